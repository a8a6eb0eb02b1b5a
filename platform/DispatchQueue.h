#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace norvane {

// Queues of work run on a process-wide elastic pool of worker threads.
//
// The pool adds a worker whenever a task is waiting and every worker is busy, so an operation
// that holds its thread for a long time (waiting for a request, or for the main thread) never
// keeps another task from starting. Workers that stay idle for the idle timeout (5 seconds by
// default) end.
//
// A queue runs at most maxConcurrent of its tasks at a time, taking them in submission order:
// 1 makes a serial queue, N an operation queue of width N, `unlimited` a concurrent queue like
// global(). An exception escaping a task is caught and logged.
//
// Process exit: the pool is a function-local static whose destructor stops the pool, drops the
// tasks still waiting, wakes the idle workers and joins every worker (a worker still busy after a
// grace period of two seconds is detached instead of hanging the exit; it only touches state it
// co-owns). global() and the pool's state are reachable until exit, so destructors of other
// static objects may still submit; what they submit after the pool has stopped is dropped.
class DispatchQueue {
public:
    using Task = std::function<void()>;
    static constexpr std::size_t unlimited = 0;

    explicit DispatchQueue(std::string label, std::size_t maxConcurrent = 1);
    // Does not wait: tasks already submitted still run. An owner whose tasks use it cancels
    // and waits first.
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // The shared concurrent queue of default priority.
    static DispatchQueue& global();

    void async(Task task);
    // Waits until no task of this queue is waiting or running. Called from one of the queue's
    // own tasks it could only deadlock, so it logs and returns false at once.
    bool waitUntilAllOperationsAreFinished();
    // Drops the tasks that have not started (running ones finish); returns how many.
    std::size_t cancelAllOperations();

    const std::string& label() const;
    std::size_t maxConcurrent() const;

    // The pool's current number of worker threads, and how long an idle one waits before ending.
    static std::size_t workerCount();
    static void setIdleTimeout(std::chrono::milliseconds timeout);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace norvane
