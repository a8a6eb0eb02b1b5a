#include "platform/DispatchQueue.h"

#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <vector>

namespace norvane {

namespace {

using Task = DispatchQueue::Task;

constexpr auto defaultIdleTimeout = std::chrono::seconds(5);
constexpr auto exitGracePeriod = std::chrono::seconds(2);

void runGuarded(const std::string& where, const Task& task)
{
    try {
        task();
    } catch (const std::exception& e) {
        Log::line("DispatchQueue " + where + ": task threw: " + e.what());
    } catch (...) {
        Log::line("DispatchQueue " + where + ": task threw a non-standard exception");
    }
}

// The pool's state, co-owned by every worker so that a worker outliving the pool object (busy at
// exit) never touches freed memory.
struct PoolCore {
    std::mutex mutex;
    std::condition_variable work; // a task arrived, or shutdown
    std::condition_variable exited; // a worker left its loop
    std::deque<Task> tasks;
    std::size_t idle = 0; // workers waiting for work
    std::size_t alive = 0; // workers inside their loop
    bool shuttingDown = false;
    std::chrono::milliseconds idleTimeout = defaultIdleTimeout;
    std::uint64_t timeoutGeneration = 0; // bumped when idleTimeout changes, to re-arm idle waits
    std::map<std::thread::id, std::thread> threads;
    std::vector<std::thread::id> finished; // left their loop, not yet joined

    // Moves the threads of retired workers out for joining outside the lock (never the caller's
    // own thread: a retiring worker's thread-exit destructors may submit work).
    void reapFinished(std::vector<std::thread>& out)
    {
        const auto self = std::this_thread::get_id();
        for (auto it = finished.begin(); it != finished.end();) {
            if (*it == self) {
                ++it;
                continue;
            }
            auto thread = threads.find(*it);
            if (thread != threads.end()) {
                out.push_back(std::move(thread->second));
                threads.erase(thread);
            }
            it = finished.erase(it);
        }
    }
};

void workerMain(const std::shared_ptr<PoolCore>& core)
{
    pthread_setname_np(pthread_self(), "norvane-worker");
    std::unique_lock lock(core->mutex);
    for (;;) {
        if (core->shuttingDown)
            break;
        if (!core->tasks.empty()) {
            Task task = std::move(core->tasks.front());
            core->tasks.pop_front();
            lock.unlock();
            runGuarded("pool", task);
            task = nullptr; // what the task captured is released outside the lock
            lock.lock();
            continue;
        }
        ++core->idle;
        const auto generation = core->timeoutGeneration;
        const bool woken = core->work.wait_for(lock, core->idleTimeout,
            [&] { return !core->tasks.empty() || core->shuttingDown || core->timeoutGeneration != generation; });
        --core->idle;
        if (!woken)
            break; // idle for too long: retire
    }
    --core->alive;
    core->finished.push_back(std::this_thread::get_id());
    core->exited.notify_all();
}

// Trivially destructible, so it can still be read after the pool's destruction at exit.
std::atomic<bool> poolStopped { false };

struct PoolHolder {
    std::shared_ptr<PoolCore> core = std::make_shared<PoolCore>();

    ~PoolHolder()
    {
        poolStopped = true;
        std::deque<Task> dropped;
        std::map<std::thread::id, std::thread> threads;
        std::vector<std::thread::id> finished;
        const auto self = std::this_thread::get_id();
        {
            std::unique_lock lock(core->mutex);
            core->shuttingDown = true;
            dropped.swap(core->tasks);
            core->work.notify_all();
            const std::size_t selfCount = core->threads.count(self); // exit() called on a worker
            core->exited.wait_for(lock, exitGracePeriod, [&] { return core->alive <= selfCount; });
            threads.swap(core->threads);
            finished.swap(core->finished);
        }
        for (auto& [id, thread] : threads) {
            bool done = false;
            for (const auto& f : finished)
                done = done || f == id;
            if (done && id != self) {
                thread.join();
            } else {
                if (id != self)
                    Log::line("DispatchQueue: a worker was still busy at exit; detached");
                thread.detach();
            }
        }
    }
};

std::shared_ptr<PoolCore> poolCore()
{
    static PoolHolder holder;
    return holder.core;
}

// Hands a task to the pool; false (task dropped) once the pool has stopped.
bool submitToPool(Task task)
{
    if (poolStopped)
        return false;
    auto core = poolCore();
    std::vector<std::thread> retired;
    {
        std::lock_guard lock(core->mutex);
        if (core->shuttingDown)
            return false;
        core->tasks.push_back(std::move(task));
        core->reapFinished(retired);
        if (core->tasks.size() > core->idle) {
            // Every idle worker is already spoken for: one more thread, so nothing waits on a
            // task that holds its worker.
            try {
                std::thread thread([core] { workerMain(core); });
                core->threads.emplace(thread.get_id(), std::move(thread));
                ++core->alive;
            } catch (const std::system_error& e) {
                // The waiting task runs when a worker frees up or the next submission succeeds.
                Log::line(std::string("DispatchQueue: cannot start a worker thread: ") + e.what());
            }
        } else {
            core->work.notify_one();
        }
    }
    for (auto& thread : retired)
        thread.join();
    return true;
}

} // namespace

struct DispatchQueue::State : std::enable_shared_from_this<State> {
    State(std::string name, std::size_t limit)
        : label(std::move(name))
        , maxConcurrent(limit)
    { }

    const std::string label;
    const std::size_t maxConcurrent;
    std::mutex mutex;
    std::condition_variable drained;
    std::deque<Task> pending;
    std::size_t running = 0; // drain jobs on the pool

    // Runs this queue's tasks one after another on a pool worker until none is waiting.
    void drain();
};

namespace {
// The queue whose task the current thread is running, to refuse waiting on oneself.
thread_local const void* currentQueueState = nullptr;
} // namespace

void DispatchQueue::State::drain()
{
    const void* outer = currentQueueState;
    currentQueueState = this;
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex);
            if (pending.empty()) {
                if (--running == 0)
                    drained.notify_all();
                break;
            }
            task = std::move(pending.front());
            pending.pop_front();
        }
        runGuarded("\"" + label + "\"", task);
    }
    currentQueueState = outer;
}

DispatchQueue::DispatchQueue(std::string label, std::size_t maxConcurrent)
    : state_(std::make_shared<State>(std::move(label), maxConcurrent))
{ }

DispatchQueue::~DispatchQueue() = default;

DispatchQueue& DispatchQueue::global()
{
    // Never destroyed: submissions from other static destructors at exit stay valid.
    static auto* queue = new DispatchQueue("global", unlimited);
    return *queue;
}

void DispatchQueue::async(Task task)
{
    if (!task)
        return;
    bool launch = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->pending.push_back(std::move(task));
        if (state_->maxConcurrent == unlimited || state_->running < state_->maxConcurrent) {
            ++state_->running;
            launch = true;
        }
    }
    if (!launch || submitToPool([state = state_] { state->drain(); }))
        return;
    // The pool has stopped (process exit): nothing will run what is waiting here.
    std::deque<Task> dropped;
    {
        std::lock_guard lock(state_->mutex);
        dropped.swap(state_->pending);
        if (--state_->running == 0)
            state_->drained.notify_all();
    }
    Log::line("DispatchQueue \"" + state_->label + "\": the worker pool has stopped; tasks dropped");
}

bool DispatchQueue::waitUntilAllOperationsAreFinished()
{
    if (currentQueueState == state_.get()) {
        Log::line("DispatchQueue \"" + state_->label + "\": a task cannot wait for its own queue");
        return false;
    }
    std::unique_lock lock(state_->mutex);
    state_->drained.wait(lock, [&] { return state_->pending.empty() && state_->running == 0; });
    return true;
}

std::size_t DispatchQueue::cancelAllOperations()
{
    std::deque<Task> dropped;
    {
        std::lock_guard lock(state_->mutex);
        dropped.swap(state_->pending);
    }
    return dropped.size(); // the dropped tasks are destroyed here, outside the lock
}

const std::string& DispatchQueue::label() const
{
    return state_->label;
}

std::size_t DispatchQueue::maxConcurrent() const
{
    return state_->maxConcurrent;
}

std::size_t DispatchQueue::workerCount()
{
    if (poolStopped)
        return 0;
    auto core = poolCore();
    std::lock_guard lock(core->mutex);
    return core->alive;
}

void DispatchQueue::setIdleTimeout(std::chrono::milliseconds timeout)
{
    if (poolStopped)
        return;
    auto core = poolCore();
    std::lock_guard lock(core->mutex);
    core->idleTimeout = std::max(timeout, std::chrono::milliseconds(1));
    ++core->timeoutGeneration;
    core->work.notify_all(); // idle workers start their wait again with the new timeout
}

} // namespace norvane
