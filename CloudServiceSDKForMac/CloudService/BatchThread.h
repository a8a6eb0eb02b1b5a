#pragma once

#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace norvane {

class CloudService;
class Reachability;

namespace detail {
// Waits until pred() holds. On the main thread the main run loop keeps turning meanwhile, since
// the work being waited for may itself be waiting for the main thread (a completion callback).
template <class Pred>
void waitPumpingMainThread(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Pred pred)
{
    if (!MainQueue::shared()->isMainThread()) {
        changed.wait(lock, pred);
        return;
    }
    while (!changed.wait_for(lock, std::chrono::milliseconds(5), pred)) {
        lock.unlock();
        RunLoop::current()->runFor(0);
        lock.lock();
    }
}
} // namespace detail

// The batch worker: runs the service's batch queue head by head on a thread of its own,
// retrying transient failures, ending an entry whose answer no retry can change, and
// force-stopping the batch on answers about the account or the server (no space, a device that
// is not registered, a server error).
//
// One loop runs at a time. A runBatch() while a stopped loop is still finishing its current
// command revives that loop instead of starting a second one. The worker's pauses go through an
// injectable sleeper; the default one wakes early when the worker is stopped.
class BatchThread {
public:
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    // The pause before every step, and the wait before a failed head is tried again.
    static constexpr std::chrono::milliseconds kStepPause { 1000 };
    static constexpr std::chrono::milliseconds kRetryPause { 10000 };

    // Starts the internet reachability monitor on the calling thread's run loop. The service
    // must outlive the worker; it destroys it through shutdown().
    explicit BatchThread(CloudService& service);
    ~BatchThread();
    BatchThread(const BatchThread&) = delete;
    BatchThread& operator=(const BatchThread&) = delete;

    // Starts the loop when none is wanted yet: sets the batch flag. Does not look at the force
    // stop or the network.
    void runBatch();
    // Clears the batch flag and stops the command the loop is running, so that its request gives
    // up (and nobody else's); the loop ends after its current step.
    void stopBatch();

    // A loop is running or about to run.
    bool batchFlag() const { return batchFlag_.load(); }
    // A loop thread has not finished yet (it may be finishing after a stop).
    bool isRunning() const;
    // Waits until no loop thread is left; false when the timeout passed first.
    bool waitUntilStopped(std::chrono::milliseconds timeout);

    // Replaces the pauses (tests: record them and return at once). An empty one restores the
    // default.
    void setSleeper(Sleeper sleeper);

    // Stops for good and waits for the loop thread to end. Called by the owning service before
    // it goes; later runBatch() calls do nothing.
    void shutdown();

private:
    void loop();
    void pause(std::chrono::milliseconds duration);
    bool endOrContinue();

    CloudService& service_;
    std::atomic<bool> batchFlag_ { false };

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool loopWanted_ = false; // a loop is running and will look at the flag again
    std::size_t threadsAlive_ = 0; // loop threads not yet finished (a retiring one included)
    CloudServiceCommandPtr running_; // the command the loop runs now
    bool shuttingDown_ = false;
    Sleeper sleeper_;

    std::unique_ptr<Reachability> internetReach_;
    ObserverToken reachabilityObserver_;
};

} // namespace norvane
