#include "CloudServiceSDKForMac/CloudService/BatchThread.h"
#include "CloudServiceSDKForMac/CloudService/CloudServiceTestSupport.h"
#include "platform/NotificationCenter.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

// Counts the service's notifications and keeps the completed lists.
class BatchEvents {
public:
    explicit BatchEvents(const CloudService& service)
        : token_(NotificationCenter::defaultCenter().addObserver("", &service, [this](const Notification& n) {
            std::lock_guard lock(mutex_);
            ++counts_[n.name];
            const auto found = n.userInfo.find(kBatchCompletedListKey);
            if (const auto* list = found == n.userInfo.end() ? nullptr : found->second.list()) {
                completed_.emplace_back();
                for (const auto& item : *list)
                    completed_.back().push_back(item.stringOr(""));
            }
        }))
    { }
    int count(const std::string& name)
    {
        std::lock_guard lock(mutex_);
        return counts_[name];
    }
    std::vector<std::vector<std::string>> completed()
    {
        std::lock_guard lock(mutex_);
        return completed_;
    }

private:
    std::mutex mutex_;
    std::map<std::string, int> counts_;
    std::vector<std::vector<std::string>> completed_;
    ObserverToken token_;
};

class BatchTest : public ServiceTest {
protected:
    // Chunks larger than the uploads: one request per command.
    void prepare()
    {
        makeService(64);
        logIn();
        service_->batch().setSleeper([this](std::chrono::milliseconds duration) {
            std::lock_guard lock(sleepMutex_);
            sleeps_.push_back(duration.count());
        });
    }

    CloudServiceCommandPtr queueUpload(const std::string& remote)
    {
        auto command = CommandFactory::makePutCommand("", remote, std::make_shared<Bytes>(patternBytes(12)));
        command->applicationType = "file";
        command->inputParameter->displayName = fs::path(remote).filename().string();
        service_->doCommand(ExecuteModeBatch, command);
        EXPECT_EQ(command->commandRes, ResultNone);
        return command;
    }

    bool finish() { return service_->batch().waitUntilStopped(std::chrono::seconds(10)); }

    std::vector<std::string> putPaths()
    {
        std::vector<std::string> out;
        for (const auto& call : fake_->puts())
            out.push_back(call.path);
        return out;
    }

    std::vector<long> sleeps()
    {
        std::lock_guard lock(sleepMutex_);
        return sleeps_;
    }

    std::mutex sleepMutex_;
    std::vector<long> sleeps_;
};

class BatchDelegate : public CloudServiceDelegate {
public:
    void requestFinished(const CloudServiceCommandPtr&) override { ++finished; }
    void requestBatchFinished(const ValueList&) override { ++batchFinished; }
    std::atomic<int> finished { 0 };
    std::atomic<int> batchFinished { 0 };
};

TEST_F(BatchTest, QueuedUploadsRunInOrderAndEndInOneCompletion)
{
    prepare();
    BatchEvents events(*service_);
    auto delegate = std::make_shared<BatchDelegate>();
    service_->setDelegate(delegate);
    for (const char* remote : { "/FILE/b0", "/FILE/b1", "/FILE/b2" })
        queueUpload(remote);
    ASSERT_EQ(service_->getBatchCount(), 3u);
    const auto queued = service_->batchQueue();
    for (const auto& task : queued) {
        EXPECT_EQ(task->filesize, 12u);
        EXPECT_NE(task->fileName.find("do_not_delete_command/cmd/"), std::string::npos);
        auto stored = CloudServiceCommand::read2Cmd(task->fileName);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->localpath, task->fileName); // it can write its own progress back
    }
    EXPECT_EQ(queued[1]->displayName, "b1");
    EXPECT_FALSE(service_->batch().isRunning());

    service_->startBatch();
    // Each command's completion hops to this (the main) thread while the worker waits.
    ASSERT_TRUE(pumpUntil([&] { return !service_->batch().isRunning() && delegate->batchFinished == 1; }));
    EXPECT_EQ(delegate->finished, 3);
    EXPECT_EQ(events.completed(), (std::vector<std::vector<std::string>> { { "/FILE/b0", "/FILE/b1", "/FILE/b2" } }));
    EXPECT_EQ(putPaths(), (std::vector<std::string> { "/FILE/b0", "/FILE/b1", "/FILE/b2" }));
    EXPECT_EQ(service_->getBatchCount(), 0u);
    for (const auto& task : queued)
        EXPECT_FALSE(fs::exists(task->fileName));
    EXPECT_EQ(fake_->received["/FILE/b2"], patternBytes(12));
}

TEST_F(BatchTest, PermanentFailureForceStopsUntilForceStart)
{
    prepare();
    BatchEvents events(*service_);
    service_->forceStartBatch(); // nothing queued: announced, nothing runs
    EXPECT_EQ(events.count(kNotificationBatchStarted), 1);
    EXPECT_FALSE(service_->batch().isRunning());

    std::atomic<bool> full { true };
    fake_->onPut = [&](std::size_t, const PutCall&, std::uint64_t&) -> std::optional<std::int32_t> {
        return full ? std::optional<std::int32_t>(ResultNoSpace) : std::nullopt;
    };
    queueUpload("/FILE/first");
    queueUpload("/FILE/second");
    service_->startBatch();
    ASSERT_TRUE(finish());
    EXPECT_EQ(events.count(kNotificationBatchStopped), 1);
    EXPECT_TRUE(service_->forceStopFlag());
    EXPECT_EQ(service_->getBatchCount(), 2u);
    EXPECT_EQ(putPaths(), (std::vector<std::string> { "/FILE/first" }));
    EXPECT_FALSE(transferStopFlag.load()); // the stop does not linger to cancel someone else

    // Neither a start nor the dispatch of another command wakes a force-stopped batch.
    service_->startBatch();
    service_->doCommand(ExecuteModeSync, CommandFactory::makeLsCommand("/FOLDER"));
    EXPECT_FALSE(service_->batch().isRunning());
    EXPECT_EQ(fake_->puts().size(), 1u);

    full = false;
    service_->forceStartBatch();
    ASSERT_TRUE(finish());
    EXPECT_EQ(events.count(kNotificationBatchStarted), 2);
    EXPECT_EQ(events.completed(), (std::vector<std::vector<std::string>> { { "/FILE/first", "/FILE/second" } }));
    EXPECT_EQ(service_->getBatchCount(), 0u);
}

TEST_F(BatchTest, TransientFailuresRetryTheHeadAfterAPauseWhileTheRestWaits)
{
    prepare();
    BatchEvents events(*service_);
    fake_->onPut = [](std::size_t index, const PutCall& call, std::uint64_t&) -> std::optional<std::int32_t> {
        if (call.path == "/FILE/flaky" && index < 2)
            return ResultFailed;
        if (call.path == "/SHAREFILE/gone" && index == 3)
            return ResultGone;
        return std::nullopt;
    };
    queueUpload("/FILE/flaky");
    queueUpload("/SHAREFILE/gone");
    queueUpload("/FILE/after");
    service_->startBatch();
    ASSERT_TRUE(finish());
    // The flaky head blocks the others until it succeeds; a shared file that is gone goes to
    // the tail and is tried again after the rest.
    EXPECT_EQ(putPaths(),
        (std::vector<std::string> {
            "/FILE/flaky", "/FILE/flaky", "/FILE/flaky", "/SHAREFILE/gone", "/FILE/after", "/SHAREFILE/gone" }));
    EXPECT_EQ(sleeps(), (std::vector<long> { 1000, 10000, 1000, 10000, 1000, 1000, 1000, 1000, 1000 }));
    EXPECT_EQ(events.completed(),
        (std::vector<std::vector<std::string>> { { "/FILE/flaky", "/FILE/after", "/SHAREFILE/gone" } }));
    EXPECT_EQ(service_->getBatchCount(), 0u);
}

TEST_F(BatchTest, CancelStopsTheWorkerAndEmptiesTheQueue)
{
    prepare();
    std::atomic<bool> entered { false };
    fake_->onPut = [&](std::size_t, const PutCall&, std::uint64_t&) -> std::optional<std::int32_t> {
        // A request that waits until it is told to give up, as a real one does.
        entered = true;
        for (int i = 0; i < 5000 && !transfersMustStop(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (!transfersMustStop())
            return std::nullopt;
        return ResultCancelled;
    };
    queueUpload("/FILE/a");
    queueUpload("/FILE/b");
    const auto files = service_->batchQueue();
    service_->startBatch();
    ASSERT_TRUE(pumpUntil([&] { return entered.load(); }));
    service_->cancelCommand(nullptr);
    ASSERT_TRUE(finish());
    EXPECT_EQ(service_->getBatchCount(), 0u);
    EXPECT_EQ(fake_->puts().size(), 1u);
    EXPECT_FALSE(service_->forceStopFlag());
    for (const auto& task : files)
        EXPECT_FALSE(fs::exists(task->fileName)) << "a cancelled entry leaves no archive behind";
}

TEST_F(BatchTest, AHeadThatCannotBeReadOrCanNeverSucceedDoesNotHoldTheQueue)
{
    prepare();
    BatchEvents events(*service_);
    auto delegate = std::make_shared<BatchDelegate>();
    service_->setDelegate(delegate);
    fake_->onPut = [](std::size_t, const PutCall& call, std::uint64_t&) -> std::optional<std::int32_t> {
        if (call.path == "/FILE/huge")
            return ResultTooLarge;
        return std::nullopt;
    };
    queueUpload("/FILE/broken");
    queueUpload("/FILE/huge");
    queueUpload("/FILE/fine");
    const auto queued = service_->batchQueue();
    { // the head's archive is damaged on disk
        std::ofstream damaged(queued[0]->fileName, std::ios::trunc);
        damaged << "not an archive";
    }
    service_->startBatch();
    ASSERT_TRUE(pumpUntil([&] { return !service_->batch().isRunning() && delegate->batchFinished == 1; }));
    EXPECT_EQ(putPaths(), (std::vector<std::string> { "/FILE/huge", "/FILE/fine" }));
    EXPECT_EQ(delegate->finished, 2); // the refused one is told with its result
    EXPECT_EQ(events.completed(), (std::vector<std::vector<std::string>> { { "/FILE/fine" } }));
    EXPECT_EQ(service_->getBatchCount(), 0u);
    EXPECT_FALSE(service_->forceStopFlag());
    const auto paused = sleeps();
    EXPECT_EQ(std::count(paused.begin(), paused.end(), BatchThread::kRetryPause.count()), 0);
    EXPECT_TRUE(fs::exists(queued[0]->fileName + ".unreadable"));
    EXPECT_FALSE(fs::exists(queued[1]->fileName));
}

TEST_F(BatchTest, QueueSurvivesInCommandDataForTheNextService)
{
    prepare();
    queueUpload("/FILE/p1");
    queueUpload("/FILE/p2");
    service_->writeBatchQueueAndCommandHistory();
    const fs::path stored = service_->commandDataFilePath();
    EXPECT_EQ(stored.filename(), "command.data");
    EXPECT_EQ(stored.parent_path().filename(), "do_not_delete_command");
    ASSERT_TRUE(fs::exists(stored));

    prepare(); // a new service, as after a restart
    BatchEvents events(*service_);
    EXPECT_EQ(service_->getBatchCount(), 0u);
    service_->stopBatch(); // a restored queue runs even when force-stopped
    service_->readBatchQueueAndCommandHistory();
    ASSERT_TRUE(finish());
    EXPECT_FALSE(fs::exists(stored));
    EXPECT_EQ(events.completed(), (std::vector<std::vector<std::string>> { { "/FILE/p1", "/FILE/p2" } }));
    EXPECT_EQ(fake_->received["/FILE/p1"], patternBytes(12));
    EXPECT_EQ(service_->getBatchCount(), 0u);
}

} // namespace
