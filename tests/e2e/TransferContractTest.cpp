// Uploads and downloads through the command service against the real server: byte-identical round
// trips around the chunk size, replacing content, and transfers broken off in the middle (by an
// injected fault, or by killing the server) that resume where the server says it stands.

#include "e2e/ContractTest.h"

#include "formats/MD5DigestString.h"

#include <filesystem>

namespace norvane::testing {
namespace {

std::string asText(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string md5Of(const Bytes& bytes)
{
    return MD5DigestString(std::span<const std::uint8_t>(bytes)).value_or("");
}

// Whether the two are the same bytes, without printing megabytes when they are not.
::testing::AssertionResult sameBytes(const Bytes& expected, const Bytes& actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got " << actual.size()
                                         << ", first difference at " << at;
}

// Regular files in the folder, dot files (partial downloads) included.
std::size_t filesIn(const std::filesystem::path& folder)
{
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}

class TransferContractTest : public ContractTest {
protected:
    void TearDown() override
    {
        if (faultsSet_)
            server().clearFaults();
        ContractTest::TearDown();
    }

    // One fault rule, in force for exactly `times` matching requests.
    void faultOnce(const std::string& method, const std::string& path, std::uint64_t dropAfterBytes, int times = 1)
    {
        const std::string rule = R"([{"method":")" + method + R"(","path":")" + path + R"(","times":)"
            + std::to_string(times) + R"(,"dropAfterBytes":)" + std::to_string(dropAfterBytes) + "}]";
        expectControlOk(server().setFaults(rule), "fault " + rule);
        faultsSet_ = true;
    }

    // One answer in place of the server's own, for exactly one matching request.
    void statusOnce(const std::string& method, const std::string& path, int status)
    {
        const std::string rule = R"([{"method":")" + method + R"(","path":")" + path + R"(","times":1,"status":)"
            + std::to_string(status) + "}]";
        expectControlOk(server().setFaults(rule), "fault " + rule);
        faultsSet_ = true;
    }

private:
    bool faultsSet_ = false;
};

TEST_P(TransferContractTest, RoundTripsAreByteIdenticalAroundTheChunkSize)
{
    const auto accounts = newCompany("roundtrip", 1);
    Client& client = loggedIn(accounts[0]);
    ASSERT_EQ(client.run(makeFolder("/FOLDER/rt"))->commandRes, ResultSuccess);

    const std::size_t sizes[] = { 0, 1, kMiB, kMiB + 1, 5 * kMiB + 3 };
    for (std::size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const Bytes content = randomBytes(size, 7);
        const std::string name = std::to_string(size) + ".bin";
        const std::string remote = "/FILE/rt/" + name;
        auto put = client.run(putFile(writeLocal("up-" + name, content), remote));
        ASSERT_EQ(put->commandRes, ResultSuccess);

        const auto local = (home_ / ("down-" + name)).string();
        auto get = client.run(getFile(local, remote));
        ASSERT_EQ(get->commandRes, ResultSuccess);
        auto landed = FileSystem::readFile(local);
        ASSERT_TRUE(landed);
        EXPECT_TRUE(sameBytes(content, *landed));
        EXPECT_TRUE(sameBytes(content, download(client, remote))) << "second download, into memory";

        // What the server itself answers to a plain request without a range: everything, once.
        auto whole = raw(client, "GET", remote);
        EXPECT_EQ(whole.status, 200);
        EXPECT_EQ(whole.body.size(), size);
        EXPECT_TRUE(whole.body == asText(content));

        auto entries = listing(client, "/FOLDER/rt");
        ASSERT_TRUE(entries.count(name));
        EXPECT_EQ(entries[name].fileSize, size);
        EXPECT_EQ(entries[name].fileType, 0u);
        EXPECT_EQ(entries[name].uk.value_or(""), remote);
    }

    // Ranges as the server answers them: clamped at the end, refused past it.
    const std::string remote = "/FILE/rt/" + std::to_string(kMiB + 1) + ".bin";
    auto tail = raw(client, "GET", remote, { { "range", "bytes=1048570-2000000" } });
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.header("content-range"), "bytes 1048570-1048576/1048577");
    EXPECT_EQ(tail.body.size(), 7u);
    auto past = raw(client, "GET", remote, { { "range", "bytes=1048577-2000000" } });
    EXPECT_EQ(past.status, 416);
    EXPECT_EQ(past.header("content-range"), "bytes */1048577");
    EXPECT_TRUE(past.body.empty());

    // A copy that the client holds from a later date is not sent again.
    Bytes unchanged;
    const Date later = std::chrono::system_clock::now() + std::chrono::hours(1);
    EXPECT_EQ(client.adaptor->get(remote, unchanged, "file", 0, kMiB, nullptr, 0, 0, {}, later), ResultNotModified);
    EXPECT_TRUE(unchanged.empty());
}

TEST_P(TransferContractTest, ReplacingContentAndUploadsTheServerMustRefuse)
{
    const auto accounts = newCompany("replace", 1);
    Client& client = loggedIn(accounts[0]);
    const Bytes first = randomBytes(3 * kMiB + 17, 1);
    const Bytes second = randomBytes(kMiB / 2, 2);
    ASSERT_EQ(client.run(putMemory(first, "/FILE/Memo/doc.bin"))->commandRes, ResultSuccess);
    const std::string stampBefore = listing(client, "/FOLDER/Memo")["doc.bin"].timestamp.value_or("");

    // PUT over the existing file: shorter content replaces all of the longer one.
    ASSERT_EQ(client.run(putMemory(second, "/FILE/Memo/doc.bin", /*create=*/false))->commandRes, ResultSuccess);
    EXPECT_TRUE(sameBytes(second, download(client, "/FILE/Memo/doc.bin")));
    auto entry = listing(client, "/FOLDER/Memo")["doc.bin"];
    EXPECT_EQ(entry.fileSize, second.size());
    EXPECT_NE(entry.timestamp.value_or(""), stampBefore) << "the version text changes with the content";

    // An update of a file that does not exist is gone (410); the service sends it again as a
    // creation under the name prepared for that.
    auto update = putMemory(first, "/FILE/Memo/missing.bin", /*create=*/false);
    update->inputParameter->cmdOption[kOptionForPostRemoteFileName] = "/FILE/Memo/created.bin";
    EXPECT_EQ(client.run(update)->commandRes, ResultSuccess);
    EXPECT_TRUE(sameBytes(first, download(client, "/FILE/Memo/created.bin")));
    EXPECT_EQ(client.run(getMemory("/FILE/Memo/missing.bin"))->commandRes, ResultNotFound);

    // Into a folder that does not exist: 404.
    EXPECT_EQ(client.run(putMemory(second, "/FILE/NoSuchFolder/x.bin"))->commandRes, ResultNotFound);

    // Content whose MD5 does not match what was announced never becomes visible.
    const Bytes small = randomBytes(100, 3);
    std::uint64_t offset = 0;
    EXPECT_EQ(client.adaptor->put("/FILE/Memo/forged.bin", offset, small.size(), md5Of(randomBytes(100, 4)), small,
                  "file", 1, nullptr, {}),
        ResultInvalidArgument);
    EXPECT_FALSE(listing(client, "/FOLDER/Memo").count("forged.bin"));

    // A chunk that does not start where the server stands is answered with the server's offset.
    offset = 40;
    EXPECT_EQ(client.adaptor->put("/FILE/Memo/gap.bin", offset, small.size(), md5Of(small),
                  std::span<const std::uint8_t>(small).subspan(40), "file", 1, nullptr, {}),
        ResultResumeAtOffset);
    EXPECT_EQ(offset, 0u);
    EXPECT_FALSE(listing(client, "/FOLDER/Memo").count("gap.bin"));

    // A path that tries to climb out of the area is refused before anything is stored.
    auto climb = raw(client, "GET", "/FILE/Memo/%2E%2E/%2E%2E/etc/passwd");
    EXPECT_EQ(climb.status, 400) << climb.body;
    EXPECT_NE(climb.body.find("<Code>InvalidArgument</Code>"), std::string::npos) << climb.body;
}

TEST_P(TransferContractTest, CompanyLimitsRefuseUploadsAndKeepNothingOfThem)
{
    ServerProcess::CompanySpec limits;
    limits.maxFileSize = 2 * kMiB;
    limits.quota = 3 * kMiB;
    const auto accounts = newCompany("limits", 1, limits);
    Client& client = loggedIn(accounts[0]);

    EXPECT_EQ(client.run(putMemory(randomBytes(2 * kMiB + 1, 5), "/FILE/Memo/big.bin"))->commandRes, ResultTooLarge);
    ASSERT_EQ(client.run(putMemory(randomBytes(2 * kMiB, 6), "/FILE/Memo/fits.bin"))->commandRes, ResultSuccess);
    EXPECT_EQ(client.run(putMemory(randomBytes(kMiB + 1, 7), "/FILE/Memo/over.bin"))->commandRes, ResultNoSpace);
    std::vector<std::string> shown;
    for (const auto& alert : alerts->alerts())
        shown.push_back(alert.titleKey);
    EXPECT_EQ(shown, (std::vector<std::string> { "message_upload_size_too_big", "message_space_not_enough" }));

    NotificationLog log({ RestStorageServiceAdaptor::kNotificationStorageSizeChange });
    auto memo = listing(client, "/FOLDER/Memo");
    EXPECT_EQ(memo.size(), 1u);
    EXPECT_TRUE(memo.count("fits.bin"));
    EXPECT_EQ(log.last(RestStorageServiceAdaptor::kNotificationStorageSizeChange, "storage"),
        std::to_string(2 * kMiB) + "/" + std::to_string(3 * kMiB));
}

TEST_P(TransferContractTest, UploadBrokenOffMidwayResumesFromTheServersOffset)
{
    const auto accounts = newCompany("upresume", 1);
    Client& client = loggedIn(accounts[0]);
    const Bytes content = randomBytes(3 * kMiB + 5, 11);
    const std::string remote = "/FILE/Memo/resume.bin";
    constexpr std::uint64_t kDropAfter = 200000;

    // Two chunks go through; the third breaks off after some of its bytes. A kept-alive
    // connection that dies before any answer may be taken for one the server had let go
    // meanwhile, and the chunk sent once more on a new connection (as curl does, depending on
    // when it sees the connection go): so it breaks off twice, and what is left of the rule goes
    // before the resume.
    client.adaptor->puts.clear();
    client.adaptor->beforePut = [&](std::size_t index, const std::string& path, std::uint64_t) {
        if (index == 2 && path == remote)
            faultOnce("POST", remote, kDropAfter, 2);
    };
    auto put = putFile(writeLocal("resume.bin", content), remote);
    client.run(put);
    client.adaptor->beforePut = nullptr;
    server().clearFaults();
    EXPECT_NE(put->commandRes, ResultSuccess);
    ASSERT_EQ(client.adaptor->puts.size(), 3u);
    EXPECT_EQ(client.adaptor->puts[2].offset, 2 * kMiB);
    EXPECT_FALSE(listing(client, "/FOLDER/Memo").count("resume.bin")) << "half a file is never visible";

    // The server holds the two chunks it acknowledged, perhaps more of the broken one, never all.
    std::uint64_t held = 0;
    ASSERT_EQ(
        client.adaptor->getCurrentPutStatus(remote, content.size(), md5Of(content), "file", 1, held), ResultSuccess);
    EXPECT_GE(held, 2 * kMiB);
    EXPECT_LE(held, 2 * kMiB + kDropAfter);

    // The same command again asks first and goes on from exactly there.
    client.adaptor->puts.clear();
    client.run(put);
    EXPECT_EQ(put->commandRes, ResultSuccess);
    ASSERT_FALSE(client.adaptor->puts.empty());
    EXPECT_EQ(client.adaptor->statusQueries.back().offset, held);
    EXPECT_EQ(client.adaptor->puts.front().offset, held);
    EXPECT_TRUE(sameBytes(content, download(client, remote)));
}

TEST_P(TransferContractTest, DownloadBrokenOffMidwayLeavesNothingAndResumesFromItsRange)
{
    const auto accounts = newCompany("downresume", 1);
    Client& client = loggedIn(accounts[0]);
    const Bytes content = randomBytes(3 * kMiB + 5, 13);
    const std::string remote = "/FILE/Memo/big.bin";
    ASSERT_EQ(client.run(putMemory(content, remote))->commandRes, ResultSuccess);

    const std::filesystem::path folder = home_ / "downloads";
    std::filesystem::create_directories(folder);
    const auto target = (folder / "big.bin").string();
    client.adaptor->beforeGet = [&](const std::string& path, std::uint64_t start) {
        if (path == remote && start == 2 * kMiB)
            faultOnce("GET", remote, 100000);
    };
    auto get = getFile(target, remote);
    client.run(get);
    client.adaptor->beforeGet = nullptr;
    EXPECT_NE(get->commandRes, ResultSuccess);
    EXPECT_EQ(filesIn(folder), 0u) << "neither the target nor a partial file stays behind";

    // The range from the break on comes whole, and the tail is exactly the file's.
    Bytes rest;
    ASSERT_EQ(
        client.adaptor->get(remote, rest, "file", 2 * kMiB, 2 * kMiB, nullptr, 0, 0, {}, std::nullopt), ResultSuccess);
    EXPECT_TRUE(sameBytes(Bytes(content.begin() + 2 * kMiB, content.end()), rest));

    client.run(get);
    EXPECT_EQ(get->commandRes, ResultSuccess);
    auto landed = FileSystem::readFile(target);
    ASSERT_TRUE(landed);
    EXPECT_TRUE(sameBytes(content, *landed));
    EXPECT_EQ(filesIn(folder), 1u);
}

TEST_P(TransferContractTest, AChunkTheServerDidNotTakeIsNeverCountedAsSent)
{
    const auto accounts = newCompany("throttled", 1);
    Client& client = loggedIn(accounts[0]);
    const Bytes content = randomBytes(2 * kMiB + 3, 17);
    const std::string remote = "/FILE/Memo/throttled.bin";

    // The second chunk is answered "too many requests": the upload has not happened.
    client.adaptor->beforePut = [&](std::size_t index, const std::string& path, std::uint64_t) {
        if (index == 1 && path == remote)
            statusOnce("POST", remote, 429);
    };
    auto put = client.run(putFile(writeLocal("throttled.bin", content), remote));
    client.adaptor->beforePut = nullptr;
    EXPECT_EQ(put->commandRes, ResultFailed);
    ASSERT_TRUE(put->commandErr);
    EXPECT_EQ(put->commandErr->domain, kHTTPStatusErrorDomain);
    EXPECT_EQ(put->commandErr->code, 429);
    EXPECT_FALSE(listing(client, "/FOLDER/Memo").count("throttled.bin"));
    std::uint64_t held = 0;
    ASSERT_EQ(
        client.adaptor->getCurrentPutStatus(remote, content.size(), md5Of(content), "file", 1, held), ResultSuccess);
    EXPECT_EQ(held, kMiB) << "only the first chunk is stored";

    client.run(put);
    EXPECT_EQ(put->commandRes, ResultSuccess);
    EXPECT_TRUE(sameBytes(content, download(client, remote)));
}

INSTANTIATE_TEST_SUITE_P(Wire, TransferContractTest, ::testing::Values(Scheme::Http, Scheme::Https), schemeName);

// Killing the server needs a server of the test's own.
class ServerKillTest : public ContractTest { };

TEST_P(ServerKillTest, KillDuringAnUploadKeepsEveryAcknowledgedChunk)
{
    ServerProcess::Options options;
    options.tls = GetParam() == Scheme::Https;
    ServerProcess own(options);
    ASSERT_TRUE(own.start()) << own.error();
    const std::string pin = own.pin();
    const auto accounts = newCompany("kill", 1, {}, &own);
    Client& client = loggedIn(accounts[0], &own);

    const Bytes earlier = randomBytes(kMiB + 9, 21);
    ASSERT_EQ(client.run(putMemory(earlier, "/FILE/Memo/earlier.bin"))->commandRes, ResultSuccess);

    const Bytes content = randomBytes(4 * kMiB + 7, 22);
    const std::string remote = "/FILE/Memo/killed.bin";
    client.adaptor->puts.clear();
    client.adaptor->beforePut = [&](std::size_t index, const std::string& path, std::uint64_t) {
        if (index == 3 && path == remote)
            own.kill();
    };
    auto put = putFile(writeLocal("killed.bin", content), remote);
    client.run(put);
    client.adaptor->beforePut = nullptr;
    EXPECT_NE(put->commandRes, ResultSuccess);
    EXPECT_EQ(own.lastExitStatus(), 128 + SIGKILL);

    ASSERT_TRUE(own.start()) << own.error();
    EXPECT_EQ(own.pin(), pin) << "the key made on first start is kept";
    // The session survived the crash, and so did every chunk the server acknowledged.
    std::uint64_t held = 0;
    ASSERT_EQ(
        client.adaptor->getCurrentPutStatus(remote, content.size(), md5Of(content), "file", 1, held), ResultSuccess);
    EXPECT_EQ(held, 3 * kMiB);

    client.adaptor->puts.clear();
    client.run(put);
    EXPECT_EQ(put->commandRes, ResultSuccess);
    ASSERT_FALSE(client.adaptor->puts.empty());
    EXPECT_EQ(client.adaptor->puts.front().offset, 3 * kMiB);
    EXPECT_TRUE(sameBytes(content, download(client, remote)));
    EXPECT_TRUE(sameBytes(earlier, download(client, "/FILE/Memo/earlier.bin")));

    own.stop();
    EXPECT_EQ(own.lastExitStatus(), 0) << "SIGTERM stops the server cleanly\n" << own.log();
}

INSTANTIATE_TEST_SUITE_P(Wire, ServerKillTest, ::testing::Values(Scheme::Http, Scheme::Https), schemeName);

} // namespace
} // namespace norvane::testing
