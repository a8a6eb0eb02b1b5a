#include "platform/MainQueue.h"

#include "ThreadingTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>

namespace norvane {
namespace {

using testing::LogCapture;
using testing::onNewThread;
using Result = RunLoop::RunResult;

TEST(MainQueueTest, RunSyncFromAWorkerRunsOnTheMainLoopAndWaits)
{
    onNewThread([] {
        RunLoopMainQueue queue;
        const auto mainThread = std::this_thread::get_id();
        std::thread::id ranOn;
        int value = 0, seenAfterReturn = 0;
        bool ok = false, throwingOk = true;
        std::thread worker([&] {
            EXPECT_FALSE(queue.isMainThread());
            ok = queue.runSync([&] {
                ranOn = std::this_thread::get_id();
                value = 42;
            });
            seenAfterReturn = value;
            LogCapture log;
            throwingOk = queue.runSync([] { throw std::runtime_error("main thread task failed"); });
            EXPECT_TRUE(log.contains("main thread task failed"));
            queue.loop()->stop();
        });
        EXPECT_EQ(queue.loop()->runFor(30), Result::Stopped);
        worker.join();
        EXPECT_TRUE(ok);
        EXPECT_EQ(ranOn, mainThread);
        EXPECT_EQ(seenAfterReturn, 42);
        EXPECT_FALSE(throwingOk);

        // On the main thread it runs inline, without the loop running.
        EXPECT_TRUE(queue.isMainThread());
        bool inlineRan = false;
        EXPECT_TRUE(queue.runSync([&] { inlineRan = true; }));
        EXPECT_TRUE(inlineRan);
    });
}

TEST(MainQueueTest, DelayedTasksRunInTimeOrderUnlessCancelled)
{
    onNewThread([] {
        RunLoopMainQueue queue;
        std::vector<std::string> order;
        queue.post([&] { order.push_back("posted"); });
        const auto last = queue.postDelayed(0.02, [&] {
            order.push_back("late");
            queue.loop()->stop();
        });
        const auto doomed = queue.postDelayed(0.005, [&] { order.push_back("cancelled"); });
        queue.postDelayed(0.01, [&] { order.push_back("early"); });
        bool cancelled = false;
        std::thread([&] { cancelled = queue.cancel(doomed); }).join(); // from another thread
        EXPECT_TRUE(cancelled);
        EXPECT_FALSE(queue.cancel(doomed));
        EXPECT_EQ(queue.loop()->runFor(30), Result::Stopped);
        EXPECT_EQ(order, (std::vector<std::string> { "posted", "early", "late" }));
        EXPECT_FALSE(queue.cancel(last)); // already ran
        EXPECT_FALSE(queue.cancel(0));
    });
}

TEST(MainQueueTest, RunSyncReturnsWhenTheMainThreadEndsInsteadOfHanging)
{
    std::shared_ptr<RunLoopMainQueue> queue;
    std::latch created(1), workerAboutToWait(1);
    std::atomic<bool> ran { false };
    bool result = true;
    std::thread mainThread([&] {
        queue = std::make_shared<RunLoopMainQueue>();
        created.count_down();
        workerAboutToWait.wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // Ends without ever running its loop: the queued task is dropped.
    });
    std::thread worker([&] {
        created.wait();
        workerAboutToWait.count_down();
        result = queue->runSync([&] { ran = true; });
    });
    worker.join();
    mainThread.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(queue->runSync([&] { ran = true; })); // and later calls fail at once
    EXPECT_FALSE(ran);
}

TEST(MainQueueTest, SharedInstanceIsInertUntilSet)
{
    MainQueue::setShared(nullptr);
    ASSERT_NE(MainQueue::shared(), nullptr);
    bool ran = false;
    EXPECT_FALSE(MainQueue::shared()->runSync([&] { ran = true; }));
    EXPECT_EQ(MainQueue::shared()->postDelayed(0, [&] { ran = true; }), 0u);
    EXPECT_FALSE(ran);
    auto queue = std::make_shared<RunLoopMainQueue>();
    MainQueue::setShared(queue);
    EXPECT_TRUE(MainQueue::shared()->runSync([&] { ran = true; })); // this thread is its main thread
    EXPECT_TRUE(ran);
    MainQueue::setShared(nullptr);
}

} // namespace
} // namespace norvane
