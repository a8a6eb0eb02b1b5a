#include "platform/MainQueue.h"

#include "platform/Log.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>

namespace norvane {

namespace {

// Used while no queue has been set.
class InertMainQueue final : public MainQueue {
public:
    void post(Task) override { Log::line("MainQueue: no main queue set; task dropped"); }
    bool runSync(Task) override
    {
        Log::line("MainQueue: no main queue set; synchronous task dropped");
        return false;
    }
    Token postDelayed(double, Task) override
    {
        Log::line("MainQueue: no main queue set; delayed task dropped");
        return 0;
    }
    bool cancel(Token) override { return false; }
    bool isMainThread() const override { return false; }
};

struct SharedSlot {
    std::mutex mutex;
    std::shared_ptr<MainQueue> queue;
};

// Never destroyed: shared() stays usable from other objects' destructors at process exit.
SharedSlot& sharedSlot()
{
    static auto* slot = new SharedSlot { {}, std::make_shared<InertMainQueue>() };
    return *slot;
}

// Lets a waiting worker go when the task object is destroyed without running (the main thread
// ended and its loop dropped its queue).
struct SyncGuard {
    std::shared_ptr<MainQueue::SyncCall> call;
    SyncGuard() = default;
    SyncGuard(const SyncGuard&) = delete;
    SyncGuard& operator=(const SyncGuard&) = delete;
    ~SyncGuard()
    {
        if (call)
            call->finish(false);
    }
};

} // namespace

bool MainQueue::runGuarded(const Task& fn)
{
    try {
        fn();
        return true;
    } catch (const std::exception& e) {
        Log::line(std::string("MainQueue: task threw: ") + e.what());
    } catch (...) {
        Log::line("MainQueue: task threw a non-standard exception");
    }
    return false;
}

void MainQueue::SyncCall::finish(bool ok)
{
    {
        std::lock_guard lock(mutex);
        if (finished)
            return;
        finished = true;
        succeeded = ok;
    }
    done.notify_all();
}

bool MainQueue::SyncCall::wait()
{
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    return succeeded;
}

std::shared_ptr<MainQueue> MainQueue::shared()
{
    auto& slot = sharedSlot();
    std::lock_guard lock(slot.mutex);
    return slot.queue;
}

void MainQueue::setShared(std::shared_ptr<MainQueue> queue)
{
    if (!queue)
        queue = std::make_shared<InertMainQueue>();
    auto& slot = sharedSlot();
    std::lock_guard lock(slot.mutex);
    slot.queue.swap(queue); // the previous queue is released after the lock
}

RunLoopMainQueue::RunLoopMainQueue()
    : loop_(RunLoop::current())
    , mainThread_(std::this_thread::get_id())
{ }

bool RunLoopMainQueue::isMainThread() const
{
    return std::this_thread::get_id() == mainThread_;
}

void RunLoopMainQueue::post(Task fn)
{
    if (!fn)
        return;
    if (!loop_->post([fn = std::move(fn)] { runGuarded(fn); }))
        Log::line("MainQueue: the main loop has ended; task dropped");
}

bool RunLoopMainQueue::runSync(Task fn)
{
    if (!fn)
        return false;
    if (isMainThread())
        return runGuarded(fn);
    auto call = std::make_shared<MainQueue::SyncCall>();
    auto guard = std::make_shared<SyncGuard>();
    guard->call = call;
    const bool queued = loop_->post([guard, fn = std::move(fn)] { guard->call->finish(runGuarded(fn)); });
    guard.reset(); // from here only the queued task keeps it
    if (!queued) {
        Log::line("MainQueue: the main loop has ended; synchronous task dropped");
        return false;
    }
    return call->wait();
}

MainQueue::Token RunLoopMainQueue::postDelayed(double seconds, Task fn)
{
    if (!fn)
        return 0;
    return loop_->addTimer(seconds, [fn = std::move(fn)] { runGuarded(fn); });
}

bool RunLoopMainQueue::cancel(Token token)
{
    return token != 0 && loop_->cancelTimer(token);
}

} // namespace norvane
