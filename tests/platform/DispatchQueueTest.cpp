#include "platform/DispatchQueue.h"

#include "platform/RunLoop.h"

#include "ThreadingTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <numeric>
#include <stdexcept>

namespace norvane {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::LogCapture;

// Holds tasks until opened; shared with the tasks so that a failing test can still release them.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int inside = 0, entered = 0, maxInside = 0, finished = 0;

    void pass()
    {
        std::unique_lock lock(mutex);
        ++entered;
        maxInside = std::max(maxInside, ++inside);
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
        --inside;
        ++finished;
        changed.notify_all();
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
    template <typename F> bool waitUntil(F cond, std::chrono::seconds limit = 20s)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, cond);
    }
};

TEST(DispatchQueueTest, BlockedTasksNeverStarveTheOneThatReleasesThem)
{
    auto gate = std::make_shared<Gate>();
    for (int i = 0; i < 100; ++i)
        DispatchQueue::global().async([gate] { gate->pass(); });
    DispatchQueue::global().async([gate] { gate->release(); });
    const bool allFinished = gate->waitUntil([&] { return gate->finished == 100; });
    gate->release(); // lets the tasks go even if the pool failed to grow
    EXPECT_TRUE(allFinished);
    EXPECT_TRUE(DispatchQueue::global().waitUntilAllOperationsAreFinished());
}

TEST(DispatchQueueTest, SerialQueueRunsOneTaskAtATimeInOrder)
{
    DispatchQueue queue("uploadWatchFileQueue");
    std::vector<int> order;
    std::atomic<int> inside { 0 }, maxInside { 0 };
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            const int now = ++inside;
            int seen = maxInside.load();
            while (now > seen && !maxInside.compare_exchange_weak(seen, now)) { }
            order.push_back(i);
            std::this_thread::yield();
            --inside;
        });
    }
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(maxInside, 1);
    std::vector<int> expected(200);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
}

TEST(DispatchQueueTest, OperationQueueNeverExceedsItsWidth)
{
    DispatchQueue queue("thumbnailQueue", 3);
    auto gate = std::make_shared<Gate>();
    for (int i = 0; i < 12; ++i)
        queue.async([gate] { gate->pass(); });
    EXPECT_TRUE(gate->waitUntil([&] { return gate->entered >= 3; }));
    // Time for an over-eager queue to start a fourth task.
    std::this_thread::sleep_for(20ms);
    {
        std::lock_guard lock(gate->mutex);
        EXPECT_EQ(gate->entered, 3);
    }
    gate->release();
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(gate->finished, 12);
    EXPECT_EQ(gate->maxInside, 3);
}

TEST(DispatchQueueTest, CancelDropsWaitingTasksAndAQueueCannotWaitForItself)
{
    DispatchQueue queue("cancellable", 1);
    auto gate = std::make_shared<Gate>();
    std::atomic<int> ran { 0 };
    queue.async([gate, &ran] {
        gate->pass();
        ++ran;
    });
    for (int i = 0; i < 10; ++i)
        queue.async([&] { ++ran; });
    ASSERT_TRUE(gate->waitUntil([&] { return gate->entered == 1; }));
    EXPECT_EQ(queue.cancelAllOperations(), 10u);
    gate->release();
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_EQ(ran, 1);

    LogCapture log;
    bool waitedOnItself = true, after = false;
    queue.async([&] { waitedOnItself = queue.waitUntilAllOperationsAreFinished(); });
    queue.async([] { throw std::runtime_error("task failed"); });
    queue.async([&] { after = true; });
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished());
    EXPECT_FALSE(waitedOnItself);
    EXPECT_TRUE(after);
    EXPECT_TRUE(log.contains("task failed"));
}

TEST(DispatchQueueTest, IdleWorkersRetire)
{
    DispatchQueue::global().async([] {});
    EXPECT_TRUE(DispatchQueue::global().waitUntilAllOperationsAreFinished());
    EXPECT_GT(DispatchQueue::workerCount(), 0u);
    DispatchQueue::setIdleTimeout(20ms);
    EXPECT_TRUE(eventually([] { return DispatchQueue::workerCount() == 0; }));
    DispatchQueue::setIdleTimeout(5s);
}

TEST(DispatchQueueDeathTest, ProcessExitsCleanlyWithWorkersAlive)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Idle workers, one with a run loop of its own, and a serial queue still alive.
            static DispatchQueue serial("atExit");
            for (int i = 0; i < 4; ++i)
                DispatchQueue::global().async([] { RunLoop::current()->addTimer(60, [] {}); });
            serial.async([] {});
            DispatchQueue::global().waitUntilAllOperationsAreFinished();
            serial.waitUntilAllOperationsAreFinished();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace norvane
