#include "platform/RunLoop.h"

#include "ThreadingTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <latch>
#include <unistd.h>

namespace norvane {
namespace {

using testing::LogCapture;
using testing::onNewThread;
using testing::secondsSince;
using Result = RunLoop::RunResult;
using Clock = std::chrono::steady_clock;

TEST(RunLoopTest, IdleSliceEndsOnTimeAndAStopIsConsumedByOneRun)
{
    onNewThread([] {
        auto loop = RunLoop::current();
        EXPECT_EQ(loop, RunLoop::current());
        auto start = Clock::now();
        EXPECT_EQ(loop->runFor(0.05), Result::TimedOut);
        EXPECT_GE(secondsSince(start), 0.05);
        EXPECT_LT(secondsSince(start), 1.0);

        // Raised while not running: the next run returns at once, the one after runs normally.
        loop->stop();
        bool ran = false;
        loop->post([&] { ran = true; });
        start = Clock::now();
        EXPECT_EQ(loop->runFor(30), Result::Stopped);
        EXPECT_LT(secondsSince(start), 1.0);
        EXPECT_FALSE(ran);
        EXPECT_EQ(loop->runFor(0), Result::TimedOut);
        EXPECT_TRUE(ran);
    });
}

TEST(RunLoopTest, TimersFireInDueOrderAndCancelledOnesNever)
{
    onNewThread([] {
        auto loop = RunLoop::current();
        std::vector<int> fired;
        loop->addTimer(0.03, [&] {
            fired.push_back(3);
            loop->stop();
        });
        loop->addTimer(0.01, [&] { fired.push_back(1); });
        const auto doomed = loop->addTimer(0.015, [&] { fired.push_back(99); });
        loop->addTimer(0.02, [&] { fired.push_back(2); });
        EXPECT_TRUE(loop->cancelTimer(doomed));
        EXPECT_EQ(loop->runFor(10), Result::Stopped);
        EXPECT_EQ(fired, (std::vector<int> { 1, 2, 3 }));

        // Both due in the same pass: the first cancels the second, which must not fire anyway.
        fired.clear();
        RunLoop::TimerId second = 0;
        loop->addTimer(0.001, [&] {
            fired.push_back(1);
            EXPECT_TRUE(loop->cancelTimer(second));
        });
        second = loop->addTimer(0.002, [&] { fired.push_back(2); });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        loop->runFor(0.01);
        EXPECT_EQ(fired, std::vector<int> { 1 });

        // A repeating timer keeps firing until it cancels itself from its own callback.
        int ticks = 0;
        RunLoop::TimerId repeating = 0;
        repeating = loop->addTimer(
            0.001,
            [&] {
                if (++ticks == 3) {
                    loop->cancelTimer(repeating);
                    loop->stop();
                }
            },
            0.001);
        EXPECT_EQ(loop->runFor(10), Result::Stopped);
        loop->runFor(0.02);
        EXPECT_EQ(ticks, 3);
    });
}

TEST(RunLoopTest, OtherThreadsWakeALongRunWithPostAndStop)
{
    onNewThread([] {
        auto loop = RunLoop::current();
        // Each helper thread acts only once the loop is inside its wait, so only a wake-up can
        // end the run early.
        std::latch waiting(1);
        loop->post([&] { waiting.count_down(); });
        std::thread::id ranOn;
        std::thread poster([handle = loop, &ranOn, &waiting] {
            waiting.wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_TRUE(handle->post([&ranOn] {
                ranOn = std::this_thread::get_id();
                RunLoop::current()->stop();
            }));
        });
        auto start = Clock::now();
        EXPECT_EQ(loop->runFor(30), Result::Stopped);
        EXPECT_LT(secondsSince(start), 5.0);
        poster.join();
        EXPECT_EQ(ranOn, std::this_thread::get_id());

        std::latch running(1);
        std::thread stopper([handle = loop, &running] {
            running.wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            handle->stop();
        });
        loop->post([&] { running.count_down(); });
        start = Clock::now();
        EXPECT_EQ(loop->runFor(30), Result::Stopped);
        EXPECT_LT(secondsSince(start), 5.0);
        stopper.join();
    });
}

TEST(RunLoopTest, FdSourcesFollowInterestChangesAndRemovals)
{
    onNewThread([] {
        auto loop = RunLoop::current();
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        const int reader = fds[0], writer = fds[1];
        std::vector<unsigned> seen;
        auto drain = [&](int fd, unsigned events) {
            seen.push_back(events);
            char c;
            while (::read(fd, &c, 1) > 0) { }
        };
        ASSERT_TRUE(loop->setSource(reader, RunLoop::Readable, drain));
        loop->runFor(0.01);
        EXPECT_TRUE(seen.empty());

        ASSERT_EQ(::write(writer, "x", 1), 1);
        EXPECT_TRUE(loop->setInterest(reader, RunLoop::None)); // paused: data waits
        loop->runFor(0.01);
        EXPECT_TRUE(seen.empty());
        EXPECT_TRUE(loop->setInterest(reader, RunLoop::Readable));
        loop->runFor(0);
        EXPECT_EQ(seen, std::vector<unsigned> { RunLoop::Readable });

        // Write interest is ready at once; the callback switches it off itself.
        int writable = 0;
        loop->setSource(writer, RunLoop::Writable, [&](int fd, unsigned events) {
            ++writable;
            EXPECT_TRUE(events & RunLoop::Writable);
            loop->setInterest(fd, RunLoop::None);
        });
        loop->runFor(0.01);
        EXPECT_EQ(writable, 1);

        // Both ready in one pass, each removing the other: exactly one may run.
        int calls = 0;
        loop->setSource(reader, RunLoop::Readable, [&](int, unsigned) {
            ++calls;
            loop->removeSource(writer);
        });
        loop->setSource(writer, RunLoop::Writable, [&](int, unsigned) {
            ++calls;
            loop->removeSource(reader);
        });
        ASSERT_EQ(::write(writer, "y", 1), 1);
        loop->runFor(0);
        EXPECT_EQ(calls, 1);
        EXPECT_NE(loop->hasSource(reader), loop->hasSource(writer));
        loop->removeSource(reader);
        loop->removeSource(writer);

        // The writer closing is reported; an fd closed behind the loop's back is reported once
        // and dropped rather than spinning the loop.
        seen.clear();
        loop->setSource(reader, RunLoop::Readable, drain);
        ::close(writer);
        loop->runFor(0);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_TRUE(seen[0] & RunLoop::HangUp);
        LogCapture log;
        seen.clear();
        ::close(reader);
        loop->runFor(0);
        EXPECT_EQ(seen, std::vector<unsigned> { RunLoop::Error });
        EXPECT_FALSE(loop->hasSource(reader));
        EXPECT_TRUE(log.contains("not open"));
    });
}

TEST(RunLoopTest, CallbacksMayThrowAndRunTheLoopAgain)
{
    onNewThread([] {
        auto loop = RunLoop::current();
        LogCapture log;
        std::vector<std::string> order;
        loop->post([] { throw std::runtime_error("boom"); });
        loop->post([&] {
            order.push_back("outer begins");
            loop->runFor(0); // nested: runs what is queued meanwhile
            order.push_back("outer ends");
        });
        loop->post([&] { order.push_back("inner"); });
        loop->runFor(0);
        EXPECT_TRUE(log.contains("boom"));
        EXPECT_EQ(order, (std::vector<std::string> { "outer begins", "inner", "outer ends" }));
    });
}

TEST(RunLoopTest, LoopOfAnEndedThreadIsInertAndReleasedItsWork)
{
    auto token = std::make_shared<int>(0);
    std::shared_ptr<RunLoop> handle;
    std::thread::id attachmentDiedOn, ownerThread;
    struct Attachment {
        explicit Attachment(std::thread::id* where)
            : diedOn(where)
        { }
        ~Attachment() { *diedOn = std::this_thread::get_id(); }
        std::thread::id* diedOn;
    };
    onNewThread([&] {
        ownerThread = std::this_thread::get_id();
        handle = RunLoop::current();
        handle->post([token] {});
        handle->addTimer(60, [token] {});
        handle->setAttachment("engine", std::make_shared<Attachment>(&attachmentDiedOn));
        EXPECT_NE(handle->attachment("engine"), nullptr);
    });
    EXPECT_FALSE(handle->isAlive());
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_EQ(attachmentDiedOn, ownerThread);
    EXPECT_FALSE(handle->post([token] {}));
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_EQ(handle->addTimer(0, [] {}), 0u);
    EXPECT_EQ(handle->runFor(0), Result::Stopped); // not this thread's loop
}

} // namespace
} // namespace norvane
