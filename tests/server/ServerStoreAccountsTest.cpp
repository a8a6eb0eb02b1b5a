#include "server/StoreFixture.h"

#include <fstream>
#include <iterator>

using namespace norvane::server;
using namespace norvane::server::testing;

namespace {

using ServerStoreAccounts = StoreFixture;

std::string fileText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

} // namespace

TEST_F(ServerStoreAccounts, PasswordsAreCheckedAgainstASaltedHashOnly)
{
    EXPECT_TRUE(store->checkPassword(alice, "alice-secret"));
    EXPECT_FALSE(store->checkPassword(alice, "alice-secreT"));
    EXPECT_FALSE(store->checkPassword(alice, ""));
    EXPECT_FALSE(store->checkPassword(bob, "alice-secret"));

    ASSERT_TRUE(store->setPassword(alice.id, "n3w pass"));
    EXPECT_FALSE(store->checkPassword(alice, "alice-secret"));
    EXPECT_TRUE(store->checkPassword(alice, "n3w pass"));
    EXPECT_EQ(store->setPassword(alice.id, "").failure().error, StoreError::Invalid);
    EXPECT_EQ(store->setPassword(alice.id, std::string(65, 'x')).failure().error, StoreError::Invalid);
    EXPECT_TRUE(store->setPassword(alice.id, std::string(64, 'x')));
    EXPECT_EQ(store->setPassword(999, "whatever").failure().error, StoreError::NotFound);

    // Two users with the same password get different stored forms, and neither is the text.
    auto dave = store->createUser(company.id, "dave", "Dave", "same-pass");
    auto erin = store->createUser(company.id, "erin", "Erin", "same-pass");
    ASSERT_TRUE(dave && erin);
    reopen();
    const std::string files = fileText(dir / "norvane.db") + fileText(dir / "norvane.db-wal");
    EXPECT_EQ(files.find("same-pass"), std::string::npos);
    EXPECT_EQ(files.find("n3w pass"), std::string::npos);
    EXPECT_TRUE(store->checkPassword(dave.value(), "same-pass"));
    EXPECT_TRUE(store->checkPassword(erin.value(), "same-pass"));
}

TEST_F(ServerStoreAccounts, UsersAreUniquePerCompanyAndStartWithTheirFolders)
{
    EXPECT_EQ(store->createUser(company.id, "alice", "Again", "pw").failure().error, StoreError::Exists);
    EXPECT_EQ(store->createUser(company.id + 7, "zed", "Zed", "pw").failure().error, StoreError::NotFound);
    EXPECT_EQ(store->createUser(company.id, "a/b", "Slash", "pw").failure().error, StoreError::Invalid);
    EXPECT_EQ(store->createUser(company.id, "", "Nobody", "pw").failure().error, StoreError::Invalid);

    Company other;
    other.code = "other";
    auto second = store->createCompany(other);
    ASSERT_TRUE(second);
    EXPECT_TRUE(store->createUser(second->id, "alice", "Another Alice", "pw"));
    EXPECT_EQ(store->createCompany(other).failure().error, StoreError::Exists);

    EXPECT_EQ(alice.userKey.size(), 20u);
    EXPECT_NE(alice.userKey, bob.userKey);
    auto byKey = store->userByKey(alice.userKey);
    ASSERT_TRUE(byKey);
    EXPECT_EQ(byKey->id, alice.id);
    EXPECT_EQ(store->userByLogin(company.id, "bob")->id, bob.id);
    EXPECT_EQ(store->userByLogin(company.id, "nobody").failure().error, StoreError::NotFound);

    auto root = store->lookup(mine(alice), {});
    ASSERT_TRUE(root);
    auto folders = store->children(root.value());
    ASSERT_TRUE(folders);
    std::vector<std::string> names;
    for (const auto& entry : folders.value()) {
        EXPECT_TRUE(entry.isFolder);
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, (std::vector<std::string> { ".Favorite.", "Memo", "Photos", "Recorder" }));

    ASSERT_TRUE(store->setSuspended(bob.id, true));
    EXPECT_TRUE(store->userById(bob.id)->suspended);
}

TEST_F(ServerStoreAccounts, CompanySettingsRoundTrip)
{
    Company changed = company;
    changed.requireDevice = true;
    changed.maxFileSize = 1000;
    changed.quota = 5000;
    changed.policyHeaders = { { "X-Zel-Policy-Web", "0" }, { "X-Zel-Policy-Print", "1" } };
    changed.informationSeq = "7";
    changed.informationText = "Maintenance tonight";
    ASSERT_TRUE(store->updateCompany(changed));
    reopen();
    auto loaded = store->companyByCode("acme");
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(loaded->requireDevice);
    EXPECT_EQ(loaded->maxFileSize, 1000);
    EXPECT_EQ(loaded->quota, 5000);
    EXPECT_EQ(loaded->policyHeaders, changed.policyHeaders);
    EXPECT_EQ(loaded->informationSeq, "7");
    EXPECT_EQ(loaded->informationText, "Maintenance tonight");
    EXPECT_EQ(store->companyByCode("ACME").failure().error, StoreError::NotFound);

    changed.policyHeaders.erase("X-Zel-Policy-Web");
    ASSERT_TRUE(store->updateCompany(changed));
    EXPECT_EQ(store->companyById(company.id)->policyHeaders.size(), 1u);
    changed.id = 4242;
    EXPECT_EQ(store->updateCompany(changed).failure().error, StoreError::NotFound);
}

TEST_F(ServerStoreAccounts, SessionsAreFoundOnlyByTheirWholeAuthorizationAndSurviveRestarts)
{
    auto session = store->createSession(alice.id, "device-1");
    ASSERT_TRUE(session);
    EXPECT_EQ(session->qorId.size(), 16u);
    EXPECT_EQ(session->varId.size(), 16u);
    const std::string cid = std::to_string(company.id);
    const std::string good = session->qorId + ":" + session->varId + ":" + cid + ":" + alice.userKey;

    reopen();
    auto found = store->sessionByAuthorization(good);
    ASSERT_TRUE(found) << found.failure().detail;
    EXPECT_EQ(found->userId, alice.id);
    EXPECT_EQ(found->deviceId, "device-1");

    const std::vector<std::string> forged = {
        session->qorId + ":" + session->varId + ":" + cid + ":" + bob.userKey, // someone else's key
        session->qorId + ":0000000000000000:" + cid + ":" + alice.userKey, // guessed VarID
        session->qorId + ":" + session->varId + ":" + std::to_string(company.id + 1) + ":" + alice.userKey,
        session->qorId + ":" + session->varId + ":" + cid, // a part missing
        good + ":extra",
        "",
        ":::",
        "ZEL 3f0a9c27d41e8b65c0d2e",
    };
    for (const auto& value : forged)
        EXPECT_EQ(store->sessionByAuthorization(value).failure().error, StoreError::NotFound) << value;
    EXPECT_EQ(store->createSession(999, "d").failure().error, StoreError::NotFound);
}

TEST_F(ServerStoreAccounts, SessionsEndByIdlenessAndAgeOnTheStoresClockAndArePruned)
{
    auto now = std::chrono::system_clock::now();
    store->setClock([&now] { return now; });
    auto authorization = [&](const Session& session) {
        return session.qorId + ":" + session.varId + ":" + std::to_string(company.id) + ":" + alice.userKey;
    };
    const auto start = now;
    const auto unused = store->createSession(alice.id, "d1").value();
    const auto idle = store->createSession(alice.id, "d2").value();
    const auto other = store->createSession(alice.id, "d3").value();

    // A use within a minute of the last one is not written: the idle time runs from that one.
    now = start + std::chrono::seconds(30);
    ASSERT_TRUE(store->sessionByAuthorization(authorization(idle)));
    now = start + std::chrono::hours(12) - std::chrono::seconds(1);
    EXPECT_TRUE(store->sessionByAuthorization(authorization(other))) << "one second before its end";
    now = start + std::chrono::hours(12);
    EXPECT_FALSE(store->sessionByAuthorization(authorization(idle)));
    EXPECT_TRUE(store->sessionByAuthorization(authorization(other)));

    // Used every eleven hours, a session ends seven days after it was made.
    const auto fresh = store->createSession(alice.id, "d4").value();
    const auto loginTime = now;
    while (now + std::chrono::hours(11) < loginTime + std::chrono::hours(7 * 24)) {
        now += std::chrono::hours(11);
        EXPECT_TRUE(store->sessionByAuthorization(authorization(fresh)));
    }
    now = loginTime + std::chrono::hours(7 * 24);
    EXPECT_FALSE(store->sessionByAuthorization(authorization(fresh)));

    // Sessions nobody asks for again are removed by the prune alone.
    EXPECT_EQ(store->pruneExpired().value(), 2);
    EXPECT_EQ(store->pruneExpired().value(), 0);
    EXPECT_FALSE(store->sessionByAuthorization(authorization(unused)));
}

TEST_F(ServerStoreAccounts, DevicesArePendingUntilRegistered)
{
    ASSERT_TRUE(store->rememberDevice(alice.id, "laptop"));
    EXPECT_FALSE(store->isDeviceRegistered(alice.id, "laptop"));
    ASSERT_TRUE(store->registerDevice(alice.id, "laptop"));
    EXPECT_TRUE(store->isDeviceRegistered(alice.id, "laptop"));
    // Seeing it again at a login does not undo the registration.
    ASSERT_TRUE(store->rememberDevice(alice.id, "laptop"));
    EXPECT_TRUE(store->isDeviceRegistered(alice.id, "laptop"));
    EXPECT_FALSE(store->isDeviceRegistered(bob.id, "laptop"));
    ASSERT_TRUE(store->registerDevice(alice.id, "laptop", false));
    EXPECT_FALSE(store->isDeviceRegistered(alice.id, "laptop"));
    EXPECT_EQ(store->rememberDevice(alice.id, "").failure().error, StoreError::Invalid);
    EXPECT_EQ(store->registerDevice(999, "x").failure().error, StoreError::NotFound);
}

TEST_F(ServerStoreAccounts, ShareLinksCountDownloadsUntilTheLimitOrTheExpiry)
{
    const Entry file = put(alice, mine(alice), { "Memo", "note.txt" }, "hello");
    auto link = store->createShareLink(alice, file, 3, 2, true);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->key.size(), 24u);
    EXPECT_EQ(link->key.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos);
    EXPECT_EQ(link->password.size(), 4u);
    EXPECT_EQ(link->password.find_first_not_of("0123456789"), std::string::npos);
    const auto now
        = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(link->validUntil), static_cast<double>(now + 3 * 86400), 5.0);

    EXPECT_EQ(store->countShareDownload(link->key)->downloadCount, 1);
    EXPECT_EQ(store->countShareDownload(link->key)->downloadCount, 2);
    EXPECT_EQ(store->countShareDownload(link->key).failure().error, StoreError::Forbidden);
    EXPECT_EQ(store->shareLink(link->key)->downloadCount, 2);

    auto open = store->createShareLink(alice, file, 1, 0, false);
    ASSERT_TRUE(open);
    EXPECT_TRUE(open->password.empty());
    EXPECT_NE(open->key, link->key);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(store->countShareDownload(open->key)) << "an unlimited link refused delivery " << i;
    sql("UPDATE share_links SET valid_until = valid_until - 2 * 86400 WHERE key = '" + open->key + "'");
    EXPECT_EQ(store->countShareDownload(open->key).failure().error, StoreError::Forbidden);

    EXPECT_EQ(
        store->createShareLink(alice, get(mine(alice), { "Memo" }), 1, 0, false).failure().error, StoreError::NotAFile);
    EXPECT_EQ(store->createShareLink(bob, file, 1, 0, false).failure().error, StoreError::Forbidden);
    EXPECT_EQ(store->createShareLink(alice, file, 0, 0, false).failure().error, StoreError::Invalid);
    // The link goes with its file.
    ASSERT_TRUE(store->remove(alice, mine(alice), { "Memo", "note.txt" }));
    EXPECT_EQ(store->shareLink(link->key).failure().error, StoreError::NotFound);
    EXPECT_EQ(store->countShareDownload("no-such-key").failure().error, StoreError::NotFound);
}

TEST_F(ServerStoreAccounts, PrintJobsAreKeptPerUserInOrder)
{
    PrintJob job;
    job.userId = alice.id;
    job.fileName = "a.pdf";
    job.printId = "12345678";
    auto first = store->addPrintJob(job);
    job.fileName = "b.pdf";
    auto second = store->addPrintJob(job);
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(first->key.empty());
    EXPECT_NE(first->key, second->key);
    job.key = first->key;
    EXPECT_EQ(store->addPrintJob(job).failure().error, StoreError::Exists);

    auto jobs = store->printJobs(alice.id);
    ASSERT_TRUE(jobs);
    ASSERT_EQ(jobs->size(), 2u);
    EXPECT_EQ(jobs->at(0).fileName, "a.pdf");
    EXPECT_EQ(jobs->at(1).fileName, "b.pdf");
    EXPECT_TRUE(store->printJobs(bob.id)->empty());

    EXPECT_EQ(store->removePrintJob(bob.id, first->key).failure().error, StoreError::NotFound);
    ASSERT_TRUE(store->removePrintJob(alice.id, first->key));
    ASSERT_EQ(store->printJobs(alice.id)->size(), 1u);
    EXPECT_EQ(store->printJobs(alice.id)->at(0).key, second->key);
}
