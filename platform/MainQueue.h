#pragma once

#include "platform/RunLoop.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace norvane {

// The main thread as a queue: windows, completion callbacks and alerts hop onto it. The GUI
// implements it over its own event loop; the CLI and the tests use RunLoopMainQueue. Every
// implementation catches and logs an exception thrown by a task; none escapes.
class MainQueue {
public:
    using Task = std::function<void()>;
    using Token = std::uint64_t; // 0 is never a valid token

    virtual ~MainQueue() = default;

    // Runs fn later on the main thread, in posting order.
    virtual void post(Task fn) = 0;
    // Runs fn on the main thread and waits for it; on the main thread it runs inline. Returns
    // true when fn ran and returned normally; false when it threw or could not run at all (the
    // main loop has ended), so a waiting worker is never left hanging.
    virtual bool runSync(Task fn) = 0;
    // Runs fn on the main thread after `seconds`; the token cancels it. Returns 0 when it cannot
    // be scheduled.
    virtual Token postDelayed(double seconds, Task fn) = 0;
    // True when the delayed task was still pending: it will never run.
    virtual bool cancel(Token token) = 0;
    virtual bool isMainThread() const = 0;

    // The process-wide instance. Until one is set, shared() returns an inert queue that logs and
    // drops every task (runSync returns false), so early or misconfigured callers cannot crash.
    static std::shared_ptr<MainQueue> shared();
    static void setShared(std::shared_ptr<MainQueue> queue);

    // For the implementations: runs fn, logging and swallowing what it throws; false when it threw.
    static bool runGuarded(const Task& fn);

    // For the implementations: the meeting point of a worker waiting in runSync and its task on the main thread. The
    // first finish counts: a task that runs after its worker was let go changes nothing.
    struct SyncCall {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool succeeded = false;

        void finish(bool ok);
        // Waits for finish and gives its outcome.
        bool wait();
    };
};

// The main queue over the RunLoop of the thread that constructs it; tasks run while that thread
// runs its loop (RunLoop::current()->runFor(...)).
class RunLoopMainQueue final : public MainQueue {
public:
    RunLoopMainQueue();

    void post(Task fn) override;
    bool runSync(Task fn) override;
    Token postDelayed(double seconds, Task fn) override;
    bool cancel(Token token) override;
    bool isMainThread() const override;

    const std::shared_ptr<RunLoop>& loop() const { return loop_; }

private:
    const std::shared_ptr<RunLoop> loop_;
    const std::thread::id mainThread_;
};

} // namespace norvane
