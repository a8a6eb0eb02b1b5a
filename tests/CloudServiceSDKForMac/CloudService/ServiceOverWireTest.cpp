// The command service with the real REST adaptor against the scripted server: what the chunk
// loops put on the wire, end to end below the application layer.

#include "CloudServiceTestSupport.h"

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "formats/MD5DigestString.h"
#include "platform/FileSystem.h"
#include "support/ScriptedHttpServer.h"

#include <condition_variable>
#include <filesystem>
#include <future>

namespace norvane::testing {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::ScriptedHttpServer;

const char* const kAccount = "<?xml version=\"1.0\"?><AccountInformationResult><AccountStatus>active</AccountStatus>"
                             "<UserKey>UK</UserKey><VarID>VR</VarID><KigyoID>KG</KigyoID><QorID>QR</QorID>"
                             "<UserName>Taro</UserName></AccountInformationResult>";

class ServiceOverWireTest : public LocalStoreTestHome {
protected:
    void SetUp() override
    {
        LocalStoreTestHome::SetUp();
        ASSERT_TRUE(server.ok()) << server.startError();
        CurrentNetworkStatus::setStateSource(std::make_shared<ReachableNetwork>());
        MainQueue::setShared(std::make_shared<RunLoopMainQueue>());
        AlertPresenter::setShared(alerts);
        RestStorageServiceAdaptor::setBackoffSleeper([this](std::chrono::seconds s) {
            std::lock_guard lock(sleptMutex);
            slept.push_back(static_cast<int>(s.count()));
        });
        RestStorageServiceAdaptor::resetUploadBackoffDelay();
        transferStopFlag = false;
        StorageServiceConfig config;
        config.connectUrl = server.baseUrl();
        config.loginIP = "127.0.0.1";
        config.loginPort = server.port();
        config.maxUploadSize = 10;
        config.maxDownloadSize = 10;
        auto adaptor = std::make_unique<RestStorageServiceAdaptor>();
        adaptor->initWithConfig(config);
        service = std::make_unique<CloudService>(std::move(adaptor));
    }
    void TearDown() override
    {
        service.reset();
        RestStorageServiceAdaptor::setBackoffSleeper({});
        RestStorageServiceAdaptor::resetUploadBackoffDelay();
        AlertPresenter::setShared(nullptr);
        MainQueue::setShared(nullptr);
        CurrentNetworkStatus::setStateSource(nullptr);
        LocalStoreTestHome::TearDown();
    }
    void logIn()
    {
        server.enqueue(Reply::ok(kAccount));
        auto login = CommandFactory::makeLoginCommand("ACME,taro,pw,dc09TEST");
        service->doCommand(ExecuteModeSync, login);
        ASSERT_EQ(login->commandRes, ResultSuccess);
        server.clearRequests();
    }
    std::vector<RecordedRequest> requestsOtherThan(const std::string& method) const
    {
        std::vector<RecordedRequest> out;
        for (auto& r : server.requests())
            if (r.method != method)
                out.push_back(r);
        return out;
    }

    static bool pumpUntil(const std::function<bool()>& pred) { return pumpMainLoopUntil(pred); }
    static bool done(const std::future<void>& future)
    {
        return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }

    std::vector<int> sleeps()
    {
        std::lock_guard lock(sleptMutex);
        return slept;
    }

    ScriptedHttpServer server;
    std::mutex sleptMutex;
    std::vector<int> slept;
    std::shared_ptr<RecordingAlertPresenter> alerts = std::make_shared<RecordingAlertPresenter>();
    std::unique_ptr<CloudService> service;
};

TEST_F(ServiceOverWireTest, UploadOfTwoAndAHalfChunksFollowsTheServersResumeOffset)
{
    logIn();
    std::mutex mutex;
    std::string stored;
    bool refusedOnce = false;
    server.setHandler([&](const RecordedRequest& r) {
        std::lock_guard lock(mutex);
        if (r.method == "GET")
            return Reply::ok("<offset>" + std::to_string(stored.size()) + "</offset>");
        auto range = r.header("x-zel-file-write-range").value_or("0-0");
        std::size_t from = std::stoull(range.substr(0, range.find('-')));
        if (from == 10 && !refusedOnce) {
            refusedOnce = true; // the server holds only 4 bytes after all
            return Reply::status(416).header("X-Zel-Offset-In-Database", "4").withContentLength();
        }
        stored.resize(std::min(stored.size(), from));
        stored += r.body;
        return Reply::ok("");
    });
    const Bytes data = patternBytes(25, 3);
    const auto local = home_ / "up.bin";
    ASSERT_TRUE(FileSystem::writeFileAtomically(local, data));
    auto put = CommandFactory::makePutCommand(local.string(), "/FILE/up.bin", nullptr);
    put->applicationType = "file";
    put->postOrPut = 1;
    service->doCommand(ExecuteModeSync, put);

    EXPECT_EQ(put->commandRes, ResultSuccess);
    std::vector<std::string> ranges;
    for (auto& r : requestsOtherThan("GET"))
        ranges.push_back(r.header("x-zel-file-write-range").value_or("-"));
    EXPECT_EQ(ranges, (std::vector<std::string> { "0-9", "10-19", "4-13", "14-23", "24-24" }));
    EXPECT_EQ(stored, std::string(data.begin(), data.end()));
    auto first = requestsOtherThan("GET").at(0);
    EXPECT_EQ(first.method, "POST");
    EXPECT_EQ(first.target, "/FILE/up.bin?md5=" + *MD5DigestString(std::span<const std::uint8_t>(data)) + "&size=25");
    EXPECT_EQ(first.header("Authorization"), "QR:VR:KG:UK");
}

TEST_F(ServiceOverWireTest, ChunkRefusedAtItsOwnOffsetIsSentAgainAfterTheBackOffUntilItsLastStep)
{
    logIn();
    // The server is still committing the first chunk: the second is refused twice at its own
    // offset, then taken.
    std::mutex mutex;
    int refusals = 2;
    server.setHandler([&](const RecordedRequest& r) {
        std::lock_guard lock(mutex);
        if (r.method == "GET")
            return Reply::ok("<offset>0</offset>");
        if (r.header("x-zel-file-write-range") == "10-19" && refusals-- > 0)
            return Reply::status(416).header("X-Zel-Offset-In-Database", "10").withContentLength();
        return Reply::ok("");
    });
    auto put = CommandFactory::makePutCommand({}, "/FILE/busy.bin", std::make_shared<Bytes>(patternBytes(25, 1)));
    put->applicationType = "file";
    service->doCommand(ExecuteModeSync, put);
    EXPECT_EQ(put->commandRes, ResultSuccess);
    std::vector<std::string> ranges;
    for (auto& r : requestsOtherThan("GET"))
        ranges.push_back(r.header("x-zel-file-write-range").value_or("-"));
    EXPECT_EQ(ranges, (std::vector<std::string> { "0-9", "10-19", "10-19", "10-19", "20-24" }));
    EXPECT_EQ(sleeps(), (std::vector<int> { 6, 60 }));

    // A server that never takes it: every step of the back-off, then the upload fails.
    server.clearRequests();
    slept.clear();
    RestStorageServiceAdaptor::resetUploadBackoffDelay();
    server.setHandler([](const RecordedRequest& r) {
        if (r.method == "GET")
            return Reply::ok("<offset>0</offset>");
        return Reply::status(416).header("X-Zel-Offset-In-Database", "0").withContentLength();
    });
    auto stuck = CommandFactory::makePutCommand({}, "/FILE/stuck.bin", std::make_shared<Bytes>(patternBytes(5, 1)));
    stuck->applicationType = "file";
    service->doCommand(ExecuteModeSync, stuck);
    EXPECT_EQ(stuck->commandRes, ResultFailed);
    EXPECT_EQ(sleeps(), (std::vector<int> { 6, 60, 120, 240, 480, 960, 1920, 1920 }));
    EXPECT_EQ(requestsOtherThan("GET").size(), 8u);
}

// A server answer held back until the test lets it go.
class Gate {
public:
    void wait()
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    }
    void open()
    {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

TEST_F(ServiceOverWireTest, StoppingATransferStopsThatCommandAndNoOther)
{
    logIn();
    Gate listing;
    server.setHandler([&](const RecordedRequest& r) {
        if (r.path() == "/FILE/big")
            return Reply::silence();
        if (r.path() == "/FOLDER/d")
            listing.wait();
        return Reply::ok("<ListBucketResult/>");
    });
    auto transfer = CommandFactory::makeGetCommand({}, "/FILE/big", std::make_shared<Bytes>());
    auto ls = CommandFactory::makeLsCommand("/FOLDER/d");
    auto transferDone = std::async(std::launch::async, [&] { service->doCommand(ExecuteModeSync, transfer); });
    auto lsDone = std::async(std::launch::async, [&] { service->doCommand(ExecuteModeSync, ls); });
    ASSERT_TRUE(pumpUntil([&] { return server.requestCount() == 2; }));

    transfer->stop();
    ASSERT_TRUE(pumpUntil([&] { return done(transferDone); }));
    EXPECT_EQ(transfer->commandRes, ResultCancelled);
    listing.open();
    ASSERT_TRUE(pumpUntil([&] { return done(lsDone); }));
    EXPECT_EQ(ls->commandRes, ResultSuccess);

    // Nothing of the stop lingers for the next command; the stopped one stays stopped.
    auto next = CommandFactory::makeLsCommand("/FOLDER/e");
    service->doCommand(ExecuteModeSync, next);
    EXPECT_EQ(next->commandRes, ResultSuccess);
    const auto sent = server.requestCount();
    service->doCommand(ExecuteModeSync, transfer);
    EXPECT_EQ(transfer->commandRes, ResultCancelled);
    EXPECT_EQ(server.requestCount(), sent);
}

TEST_F(ServiceOverWireTest, EachCommandKeepsTheOutcomeOfItsOwnRequests)
{
    logIn();
    // A permission change answered after another thread's download was refused with 404.
    Gate chmodAnswer;
    server.setHandler([&](const RecordedRequest& r) {
        if (r.path() == "/FILE/mine.txt") {
            chmodAnswer.wait();
            return Reply::ok("");
        }
        return Reply::status(404).withContentLength();
    });
    auto chmod = CommandFactory::makeChmodCommand("/FILE/mine.txt", { { kOptionAccessFlag, 1 } });
    auto chmodDone = std::async(std::launch::async, [&] { service->doCommand(ExecuteModeSync, chmod); });
    ASSERT_TRUE(pumpUntil([&] { return server.requestCount() == 1; }));
    auto missing = CommandFactory::makeGetCommand({}, "/FILE/missing.txt", std::make_shared<Bytes>());
    service->doCommand(ExecuteModeSync, missing);
    EXPECT_EQ(missing->commandRes, ResultNotFound);
    chmodAnswer.open();
    ASSERT_TRUE(pumpUntil([&] { return done(chmodDone); }));
    EXPECT_EQ(chmod->commandRes, ResultSuccess);
    EXPECT_FALSE(chmod->commandErr) << chmod->commandErr->description;

    // The lock holder of one refused upload is never named for the next refusal.
    const std::string lockBody = "<LockFileResult><Code>FileStatusError_locked</Code><UserId>u7</UserId>"
                                 "<UserName>Suzuki</UserName></LockFileResult>";
    server.setHandler([&](const RecordedRequest& r) {
        if (r.method == "GET")
            return Reply::ok("<offset>0</offset>");
        if (r.path() == "/FILE/locked.txt")
            return Reply::status(409).withBody(lockBody).withContentLength();
        return Reply::status(409).withBody("<Error><Code>FileExists</Code></Error>").withContentLength();
    });
    for (const auto& [path, body] : { std::pair<std::string, std::string> { "/FILE/locked.txt", lockBody },
             std::pair<std::string, std::string> { "/FILE/other.txt", "" } }) {
        auto put = CommandFactory::makePutCommand({}, path, std::make_shared<Bytes>(patternBytes(3)));
        put->applicationType = "file";
        service->doCommand(ExecuteModeSync, put);
        EXPECT_EQ(put->commandRes, ResultWriteConflict) << path;
        EXPECT_EQ(put->commandRestringWhenErr, body) << path;
    }
}

TEST_F(ServiceOverWireTest, OnlyALoginTheServerAcceptsAndALogoutChangeTheSession)
{
    logIn();
    // A mistyped current password is refused, and the user stays signed in.
    server.enqueue(
        Reply::ok("<ChangePasswordResult><Code>PE002</Code><Message>Wrong</Message></ChangePasswordResult>"));
    auto change = CommandFactory::makeChangePasswordCommand("ACME,taro,typo,new1");
    service->doCommand(ExecuteModeSync, change);
    EXPECT_EQ(change->commandRes, ResultPasswordChangeFailed);
    EXPECT_EQ(service->status(), StatusLoggedIn);
    server.clearRequests();

    auto* adaptor = static_cast<RestStorageServiceAdaptor*>(service->storage());
    // A listing still on its way when the user signs out.
    Gate answer;
    server.setHandler([&](const RecordedRequest& r) {
        if (r.path() == "/FOLDER/slow") {
            answer.wait();
            return Reply::ok("<ListBucketResult/>");
        }
        return Reply::status(400).withBody("<Error><Code>PE001</Code></Error>").withContentLength();
    });
    auto slow = CommandFactory::makeLsCommand("/FOLDER/slow");
    auto slowDone = std::async(std::launch::async, [&] { service->doCommand(ExecuteModeSync, slow); });
    ASSERT_TRUE(pumpUntil([&] { return server.requestCount() == 1; }));
    auto logout = CommandFactory::makeLogoutCommand();
    service->doCommand(ExecuteModeSync, logout);
    EXPECT_EQ(logout->commandRes, ResultSuccess);
    EXPECT_EQ(adaptor->headerInfo()->acountInfo(), AccountInformation {}) << "the account's keys are gone";
    answer.open();
    ASSERT_TRUE(pumpUntil([&] { return done(slowDone); }));
    EXPECT_EQ(slow->commandRes, ResultSuccess);
    EXPECT_EQ(service->status(), StatusIdle) << "a late answer does not sign the user in again";

    // The next login is the server's to accept: a wrong password is refused.
    auto login = CommandFactory::makeLoginCommand("ACME,taro,wrong,dc09TEST");
    service->doCommand(ExecuteModeSync, login);
    EXPECT_EQ(login->commandRes, ResultInvalidArgument);
    EXPECT_EQ(service->status(), StatusLoginFailed);
    EXPECT_EQ(server.requestCount(), 2u);
    auto ls = CommandFactory::makeLsCommand("/FOLDER");
    service->doCommand(ExecuteModeSync, ls);
    EXPECT_EQ(ls->commandRes, ResultNone);
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(ServiceOverWireTest, DownloadThatIsNotTheListedFileFailsAndKeepsTheOldOne)
{
    logIn();
    const auto folder = home_ / "downloads";
    std::filesystem::create_directories(folder);
    const auto local = folder / "kept.bin";
    ASSERT_TRUE(FileSystem::writeFileAtomically(local, Bytes { 'o', 'l', 'd' }));
    // The server has 20 bytes where the listing said 25, and does not say its size.
    const std::string content = test::patternBytes(0, 20);
    server.setHandler([&](const RecordedRequest& r) {
        auto range = r.header("range").value_or("bytes=0-");
        std::size_t from = std::stoull(range.substr(6, range.find('-') - 6));
        if (from >= content.size())
            return Reply::status(416).header("Content-Range", "bytes */" + std::to_string(content.size()));
        std::size_t to = std::min(from + 10, content.size()) - 1;
        return Reply::withStatusLine("HTTP/1.1 206 Partial Content")
            .header("Content-Range", "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/*")
            .withBody(content.substr(from, to - from + 1))
            .withContentLength();
    });
    auto get = CommandFactory::makeGetCommand(local.string(), "/FILE/kept.bin", nullptr);
    get->applicationType = "file";
    get->inputParameter->cmdOption[kOptionTotalSize] = 25;
    service->doCommand(ExecuteModeSync, get);

    EXPECT_EQ(get->commandRes, ResultFailed);
    ASSERT_TRUE(get->commandErr);
    EXPECT_EQ(get->commandErr->code, CloudServiceErrorBadTransferAnswer);
    EXPECT_EQ(FileSystem::readFile(local), (Bytes { 'o', 'l', 'd' }));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << "no partial file stays";
}

} // namespace
} // namespace norvane::testing
