// Sessions against the real server: the connection probe, every login outcome the client tells
// apart, device registration, the password change, and what every response carries besides its
// body (policy headers, storage gauge, notice text).

#include "e2e/ContractTest.h"

#include <sqlite3.h>

#include <thread>

namespace norvane::testing {
namespace {

class SessionContractTest : public ContractTest { };

const void* objectOf(const Client& client)
{
    return static_cast<const RestStorageServiceAdaptor*>(client.adaptor);
}

TEST_P(SessionContractTest, LoginAnswersEveryRefusalWithItsOwnCode)
{
    const auto accounts = newCompany("login", 2);
    const Account& taro = accounts[0];
    const Account& jiro = accounts[1];

    Client& probe = newClient(taro);
    auto connect = probe.run(CommandFactory::makeConnectCommand());
    EXPECT_EQ(connect->commandRes, ResultSuccess);
    EXPECT_EQ(probe.service->status(), StatusConnected);

    const std::pair<std::string, std::int32_t> refusals[] = {
        { taro.company + "," + taro.user + ",wrong," + taro.device, ResultInvalidArgument },
        { "NO-SUCH-COMPANY," + taro.user + "," + taro.password + "," + taro.device, ResultInvalidArgument },
        { taro.company + ",nobody," + taro.password + "," + taro.device, ResultInvalidArgument },
    };
    for (const auto& [text, expected] : refusals) {
        Client& client = newClient(taro);
        auto login = client.run(CommandFactory::makeLoginCommand(text));
        EXPECT_EQ(login->commandRes, expected) << text;
        EXPECT_EQ(client.service->status(), StatusLoginFailed) << text;
    }

    expectControlOk(server().suspend(jiro.company, jiro.user), "suspend");
    NotificationLog disabled({ kNotificationUserDisabled });
    Client& suspended = newClient(jiro);
    EXPECT_EQ(suspended.run(CommandFactory::makeLoginCommand(jiro.loginText()))->commandRes, ResultAccountSuspended);
    EXPECT_EQ(disabled.seen.size(), 1u);

    Client& client = newClient(taro);
    auto login = client.run(CommandFactory::makeLoginCommand(taro.loginText()));
    ASSERT_EQ(login->commandRes, ResultSuccess);
    const auto& info = login->outputParameter->cmdOption;
    EXPECT_EQ(info.at("UserName").string() ? *info.at("UserName").string() : "", taro.fullName);
    const auto account = client.adaptor->headerInfo()->acountInfo();
    EXPECT_TRUE(account.validateCheck());
    EXPECT_EQ(account.UserKey.size(), 20u);
    EXPECT_EQ(account.QorID.size(), 16u);
    EXPECT_EQ(account.VarID.size(), 16u);
    EXPECT_EQ(account.KigyoID.find_first_not_of("0123456789"), std::string::npos) << account.KigyoID;
    EXPECT_EQ(client.adaptor->headerInfo()->theNewDeviceId(), taro.device);

    // The session works for storage requests: a fresh personal area has its four folders.
    auto root = listing(client, "/FOLDER");
    for (const char* name : { "Photos", "Memo", "Recorder", ".Favorite." }) {
        ASSERT_TRUE(root.count(name)) << name;
        EXPECT_EQ(root[name].fileType, 1u) << name;
        EXPECT_EQ(root[name].uk.value_or(""), std::string("/FOLDER/") + name);
    }
    EXPECT_EQ(root.size(), 4u);

    // A second login of the same user makes a second session; the first stays valid.
    Client& second = loggedIn(taro);
    EXPECT_NE(authorization(second), authorization(client));
    EXPECT_EQ(listing(client, "/FOLDER").size(), 4u);
}

TEST_P(SessionContractTest, StorageRequestsWithoutALiveSessionAreRefusedWithAnEmptyBody)
{
    const auto accounts = newCompany("nosession", 1);
    Client& client = loggedIn(accounts[0]);
    auto reply = server().request(
        "GET", "/FOLDER", { { "Authorization", "0123456789abcdef:0123456789abcdef:1:0" }, { "range", "bytes=0-99" } });
    EXPECT_EQ(reply.status, 401) << reply.error;
    EXPECT_TRUE(reply.body.empty()) << reply.body;

    // The adaptor of a client that never logged in sends an empty account: that is 27, not a crash
    // of the listing reader on an error page.
    Client& stranger = newClient(accounts[0]);
    FileInfoList entries;
    EXPECT_EQ(stranger.adaptor->ls("/FOLDER", entries, {}), ResultBadRequest);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(listing(client, "/FOLDER").size(), 4u);
}

TEST_P(SessionContractTest, CommandsWithoutARequestOfTheirOwnAndLogout)
{
    const auto accounts = newCompany("local", 1);
    Client& client = loggedIn(accounts[0]);
    // Changing folders is the client's own affair, and a folder is made by an upload, not by mkdir.
    EXPECT_EQ(client.run(CommandFactory::makeLsCommand("/FOLDER"))->commandRes, ResultSuccess);
    auto cd = CommandFactory::initCommand(CommandTypeCd);
    cd->inputParameter->pathName = "/FOLDER/Memo";
    EXPECT_EQ(client.run(cd)->commandRes, ResultSuccess);
    EXPECT_EQ(client.run(CommandFactory::makeMakeDirCommand("/FOLDER/by-mkdir"))->commandRes, ResultSuccess);
    EXPECT_FALSE(listing(client, "/FOLDER").count("by-mkdir"));

    EXPECT_EQ(client.run(CommandFactory::makeLogoutCommand())->commandRes, ResultSuccess);
    EXPECT_EQ(client.service->status(), StatusIdle);
    EXPECT_EQ(client.run(CommandFactory::makeLsCommand("/FOLDER"))->commandRes, ResultNone)
        << "after logout no file operation runs";
}

TEST_P(SessionContractTest, DeviceRegistrationGatesLoginsWhereTheCompanyRequiresIt)
{
    ServerProcess::CompanySpec registeredOnly;
    registeredOnly.requireDevice = true;
    auto accounts = newCompany("device", 1, registeredOnly);
    const Account& hana = accounts[0];

    NotificationLog disabled({ kNotificationUserDisabled });
    Client& before = newClient(hana);
    EXPECT_EQ(before.run(CommandFactory::makeLoginCommand(hana.loginText()))->commandRes, ResultDeviceNotAuthorized);
    EXPECT_EQ(disabled.seen.size(), 1u);

    expectControlOk(server().registerDevice(hana.company, hana.user, hana.device), "device");
    Client& after = loggedIn(hana);
    EXPECT_EQ(listing(after, "/FOLDER").size(), 4u);

    // Registration is per device: another one of the same user is still refused.
    Account other = hana;
    other.device = deviceId("other-device", 9);
    Client& stranger = newClient(other);
    EXPECT_EQ(stranger.run(CommandFactory::makeLoginCommand(other.loginText()))->commandRes, ResultDeviceNotAuthorized);
}

TEST_P(SessionContractTest, PasswordChangeTakesEffectAndARefusalShowsTheServersMessage)
{
    const auto accounts = newCompany("passwd", 1);
    const Account& yuki = accounts[0];
    Client& client = loggedIn(yuki);

    const std::string prefix = yuki.company + "," + yuki.user + ",";
    auto wrong = client.run(CommandFactory::makeChangePasswordCommand(prefix + "not-it,new-secret"));
    EXPECT_EQ(wrong->commandRes, ResultPasswordChangeFailed);
    auto empty = client.run(CommandFactory::makeChangePasswordCommand(prefix + yuki.password + ","));
    EXPECT_EQ(empty->commandRes, ResultPasswordChangeFailed);
    auto shown = alerts->records();
    ASSERT_EQ(shown.size(), 2u);
    for (const auto& record : shown) {
        EXPECT_EQ(record.alert.titleKey, "word_password_change_failed");
        EXPECT_FALSE(record.alert.detail.empty()) << "the server's Message is what the user reads";
    }

    auto changed = client.run(CommandFactory::makeChangePasswordCommand(prefix + yuki.password + ",new-secret"));
    EXPECT_EQ(changed->commandRes, ResultSuccess);

    Account renewed = yuki;
    renewed.password = "new-secret";
    Client& oldPassword = newClient(yuki);
    EXPECT_EQ(oldPassword.run(CommandFactory::makeLoginCommand(yuki.loginText()))->commandRes, ResultInvalidArgument);
    loggedIn(renewed);
}

TEST_P(SessionContractTest, PolicyHeadersOfTheCompanyArePostedAfterAListing)
{
    const auto accounts = newCompany("policy", 1);
    const auto bystanders = newCompany("nopolicy", 1);
    const Account& mika = accounts[0];
    expectControlOk(server().setPolicies(mika.company,
                        { { "X-Zel-Disablecalendar", "1" }, { "x-zel-enable-mail", "0" },
                            { "x-zel-file-web-publish-max-day", "30" } }),
        "policies");

    Client& client = loggedIn(mika);
    Client& bystander = loggedIn(bystanders[0]);
    const Bytes content = randomBytes(1234);
    ASSERT_EQ(client.run(putMemory(content, "/FILE/Memo/gauge.bin"))->commandRes, ResultSuccess);

    NotificationLog log({ "DISABLE_CALENDAR", "NOTIFICATION_ENABLE_MAIL", "NOTIFICATION_FILE_WEB_PUBLISH_MAX_DAY",
        RestStorageServiceAdaptor::kNotificationStorageSizeChange, "NOTIFICATION_DISABLE_OFFLINELOG" });
    listing(client, "/FOLDER/Memo");
    EXPECT_EQ(log.last("DISABLE_CALENDAR", "disableCalendar"), "1");
    EXPECT_EQ(log.last("NOTIFICATION_ENABLE_MAIL", "enableMail"), "0");
    EXPECT_EQ(log.last("NOTIFICATION_FILE_WEB_PUBLISH_MAX_DAY", "webPublishMaxDay"), "30");
    // The gauge is "<used>/<quota>" of this user: the one file uploaded so far.
    const auto gauge = log.last(RestStorageServiceAdaptor::kNotificationStorageSizeChange, "storage");
    ASSERT_TRUE(gauge);
    EXPECT_EQ(gauge->substr(0, gauge->find('/')), "1234") << *gauge;
    // A listing response without the offline-log header turns the offline log off.
    EXPECT_EQ(log.last("NOTIFICATION_DISABLE_OFFLINELOG", "disableOffLineLog"), "1");
    for (const auto& seen : log.seen)
        EXPECT_EQ(seen.object, objectOf(client)) << seen.name;

    // The policies are the company's own: another company's listing carries none of them.
    log.seen.clear();
    listing(bystander, "/FOLDER");
    EXPECT_FALSE(log.last("DISABLE_CALENDAR", "disableCalendar"));
    EXPECT_FALSE(log.last("NOTIFICATION_ENABLE_MAIL", "enableMail"));
    EXPECT_TRUE(log.last(RestStorageServiceAdaptor::kNotificationStorageSizeChange, "storage"));
}

TEST_P(SessionContractTest, NoticeTextOfTheCompanyReachesTheClientOncePerVersion)
{
    const auto accounts = newCompany("notice", 1);
    const Account& rin = accounts[0];
    expectControlOk(server().setInformation(rin.company, "7", "Maintenance on Sunday"), "information");

    NotificationLog log({ RestStorageServiceAdaptor::kNotificationNotificationChanged });
    Client& client = loggedIn(rin);
    listing(client, "/FOLDER");
    listing(client, "/FOLDER/Memo");
    ASSERT_EQ(log.seen.size(), 1u);
    EXPECT_EQ(
        log.last(RestStorageServiceAdaptor::kNotificationNotificationChanged, "Information"), "Maintenance on Sunday");
    EXPECT_EQ(RestStorageServiceAdaptor::storedNoticeVersion(), "7");

    expectControlOk(server().setInformation(rin.company, "8", "Back to normal"), "information");
    listing(client, "/FOLDER");
    ASSERT_EQ(log.seen.size(), 2u);
    EXPECT_EQ(log.last(RestStorageServiceAdaptor::kNotificationNotificationChanged, "Information"), "Back to normal");
}

// A server of the test's own: these tests move its clock or count its failed logins.
std::unique_ptr<ServerProcess> ownServer(Scheme scheme, std::vector<std::string> arguments = {})
{
    ServerProcess::Options options;
    options.tls = scheme == Scheme::Https;
    options.extraArguments = std::move(arguments);
    auto server = std::make_unique<ServerProcess>(options);
    EXPECT_TRUE(server->start()) << server->error();
    return server;
}

// The number of rows of a table of the server's database, -1 when it cannot be read.
long long rowsOf(const ServerProcess& server, const std::string& table)
{
    sqlite3* db = nullptr;
    long long rows = -1;
    if (sqlite3_open_v2((server.dataDir() / "norvane.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* count = nullptr;
        if (sqlite3_prepare_v2(db, ("SELECT COUNT(*) FROM " + table).c_str(), -1, &count, nullptr) == SQLITE_OK
            && sqlite3_step(count) == SQLITE_ROW)
            rows = sqlite3_column_int64(count, 0);
        sqlite3_finalize(count);
    }
    sqlite3_close(db);
    return rows;
}

HttpReply loginRequest(const ServerProcess& server, const Account& account, const std::string& password)
{
    return server.request("GET", "/Storage9/QORPrivateStorage/account/" + account.user,
        { { "Authorization", "ZEL 3f0a9c27d41e8b65c0d2e" }, { "KigyoCode", account.company },
            { "UserPassWord", password }, { "X-Device-Id", account.device } });
}

TEST_P(SessionContractTest, SessionsEndWhenLeftIdleOrOldAndTheNextRequestIsRefused)
{
    auto own = ownServer(GetParam());
    const auto accounts = newCompany("lifetime", 1, {}, own.get());
    Client& idle = loggedIn(accounts[0], own.get());
    Client& busy = loggedIn(accounts[0], own.get());
    loggedIn(accounts[0], own.get()); // never used again: only the prune removes it
    auto refusedPlainly = [&](const Client& client) {
        const HttpReply reply = own->request("GET", "/FOLDER", { { "Authorization", authorization(client) } });
        return reply.status == 401 && reply.body.empty();
    };

    // Used every eleven hours a session goes on; one left alone for twelve hours has ended.
    for (int hours = 11; hours <= 22; hours += 11) {
        expectControlOk(own->advanceClock(std::chrono::hours(11)), "clock");
        EXPECT_EQ(listing(busy, "/FOLDER").size(), 4u) << hours << " h";
    }
    EXPECT_TRUE(refusedPlainly(idle));
    EXPECT_EQ(idle.run(CommandFactory::makeLsCommand("/FOLDER"))->commandRes, ResultBadRequest)
        << "the answer that makes the client log in again";

    // However busy, a session ends seven days after its login.
    for (int hours = 33; hours < 7 * 24; hours += 11) {
        expectControlOk(own->advanceClock(std::chrono::hours(11)), "clock");
        EXPECT_FALSE(refusedPlainly(busy)) << hours << " h";
    }
    expectControlOk(own->advanceClock(std::chrono::hours(11)), "clock");
    EXPECT_TRUE(refusedPlainly(busy));
    Client& again = loggedIn(accounts[0], own.get());
    EXPECT_EQ(listing(again, "/FOLDER").size(), 4u);

    // The ended sessions' rows go by themselves; the new one stays.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (rowsOf(*own, "sessions") != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rowsOf(*own, "sessions"), 1);
}

TEST_P(SessionContractTest, APasswordChangeEndsTheSessionsOfEveryOtherDevice)
{
    const auto accounts = newCompany("revoke", 1);
    const Account& yuki = accounts[0];
    Account laptop = yuki;
    laptop.device = deviceId("laptop", 2);
    Client& earlier = loggedIn(yuki);
    Client& elsewhere = loggedIn(laptop);
    Client& here = loggedIn(yuki);
    const std::string prefix = yuki.company + "," + yuki.user + ",";
    ASSERT_EQ(here.run(CommandFactory::makeChangePasswordCommand(prefix + yuki.password + ",fresh-secret"))->commandRes,
        ResultSuccess);

    EXPECT_EQ(listing(here, "/FOLDER").size(), 4u) << "the device that changed the password stays logged in";
    EXPECT_EQ(elsewhere.run(CommandFactory::makeLsCommand("/FOLDER"))->commandRes, ResultBadRequest);
    EXPECT_EQ(earlier.run(CommandFactory::makeLsCommand("/FOLDER"))->commandRes, ResultBadRequest);
    laptop.password = "fresh-secret";
    EXPECT_EQ(listing(loggedIn(laptop), "/FOLDER").size(), 4u);
}

TEST_P(SessionContractTest, WrongPasswordsSlowFurtherTriesDownWithoutLockingTheAccountForGood)
{
    auto own = ownServer(GetParam(), { "--address-free-tries", "1000" });
    const auto accounts = newCompany("guess", 1, {}, own.get());
    const Account& kai = accounts[0];
    auto tryLogin = [&](const std::string& password) {
        Account attempt = kai;
        attempt.password = password;
        return newClient(attempt, own.get()).run(CommandFactory::makeLoginCommand(attempt.loginText()))->commandRes;
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(tryLogin("guess-" + std::to_string(i)), ResultInvalidArgument) << i;
    // The sixth try waits, the right password included, and the waiting tries do not count.
    for (int i = 0; i < 3; ++i) {
        const HttpReply early = loginRequest(*own, kai, kai.password);
        EXPECT_EQ(early.status, 429) << early.body;
        EXPECT_EQ(early.header("retry-after"), "1");
    }
    EXPECT_NE(tryLogin(kai.password), ResultSuccess);
    expectControlOk(own->advanceClock(std::chrono::seconds(1)), "clock");
    EXPECT_EQ(tryLogin(kai.password), ResultSuccess) << "a success starts the count again";

    // Five more free tries, then a wait that doubles with every failure up to a minute.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(tryLogin("guess-" + std::to_string(i)), ResultInvalidArgument) << i;
    for (long wait : { 1, 2, 4, 8, 16, 32, 60, 60 }) {
        EXPECT_EQ(loginRequest(*own, kai, kai.password).header("retry-after"), std::to_string(wait));
        if (wait > 1) {
            expectControlOk(own->advanceClock(std::chrono::seconds(wait - 1)), "clock");
            EXPECT_EQ(loginRequest(*own, kai, kai.password).status, 429) << "one second early, after " << wait;
        }
        expectControlOk(own->advanceClock(std::chrono::seconds(1)), "clock");
        EXPECT_EQ(tryLogin("wrong"), ResultInvalidArgument) << "after a wait of " << wait;
    }
    EXPECT_EQ(loginRequest(*own, kai, kai.password).header("retry-after"), "60");
    expectControlOk(own->advanceClock(std::chrono::seconds(60)), "clock");
    EXPECT_EQ(tryLogin(kai.password), ResultSuccess) << "a minute after the last failure the account is open";

    // The password change is no second way round it.
    Client& client = loggedIn(kai, own.get());
    const std::string prefix = kai.company + "," + kai.user + ",";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(client.run(CommandFactory::makeChangePasswordCommand(prefix + "guess,new-one"))->commandRes,
            ResultPasswordChangeFailed);
    alerts->clear();
    auto held = client.run(CommandFactory::makeChangePasswordCommand(prefix + kai.password + ",new-one"));
    EXPECT_EQ(held->commandRes, ResultPasswordChangeFailed);
    ASSERT_EQ(alerts->records().size(), 1u);
    EXPECT_NE(alerts->records()[0].alert.detail.find("again"), std::string::npos) << alerts->records()[0].alert.detail;
    expectControlOk(own->advanceClock(std::chrono::seconds(1)), "clock");
    EXPECT_EQ(client.run(CommandFactory::makeChangePasswordCommand(prefix + kai.password + ",new-one"))->commandRes,
        ResultSuccess);
}

TEST_P(SessionContractTest, UnknownCompaniesAndUsersCostTheWorkOfAWrongPassword)
{
    auto own = ownServer(GetParam(), { "--address-free-tries", "1000" });
    const auto accounts = newCompany("timing", 3, {}, own.get());
    auto fastest = [&](const Account& account, const std::string& password) {
        auto best = std::chrono::steady_clock::duration::max();
        for (int i = 0; i < 3; ++i) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(loginRequest(*own, account, password).status, 400);
            best = std::min(best, std::chrono::steady_clock::now() - start);
        }
        return std::chrono::duration<double, std::milli>(best).count();
    };
    const double known = fastest(accounts[0], "wrong");
    Account nobody = accounts[1];
    nobody.user = "nobody";
    Account nowhere = accounts[2];
    nowhere.company = "no-such-company";
    // Taking the fastest of three leaves out a busy machine's pauses; the hash alone is many times
    // the cost of the rest of a refusal.
    EXPECT_GT(fastest(nobody, "wrong"), known / 4) << "known user: " << known << " ms";
    EXPECT_GT(fastest(nowhere, "wrong"), known / 4) << "known user: " << known << " ms";
}

INSTANTIATE_TEST_SUITE_P(Wire, SessionContractTest, ::testing::Values(Scheme::Http, Scheme::Https), schemeName);

} // namespace
} // namespace norvane::testing
