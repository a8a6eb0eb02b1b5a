#include "server/http/ElasticTaskQueue.h"

#include "platform/Log.h"

#include <exception>

namespace norvane::server {

ElasticTaskQueue::ElasticTaskQueue(std::size_t maxThreads)
    : maxThreads_(maxThreads == 0 ? 1 : maxThreads)
{ }

ElasticTaskQueue::~ElasticTaskQueue()
{
    shutdown();
}

void ElasticTaskQueue::enqueue(std::function<void()> task)
{
    std::unique_lock lock(mutex_);
    if (shuttingDown_)
        return;
    tasks_.push_back(std::move(task));
    if (idle_ < tasks_.size() && threads_.size() < maxThreads_) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::exception&) {
            // No thread to be had: the task waits for a worker that is already there.
            if (threads_.empty())
                Log::line("Connection worker could not be started");
        }
    }
    lock.unlock();
    wake_.notify_one();
}

void ElasticTaskQueue::shutdown()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (auto& thread : threads) {
        if (thread.joinable())
            thread.join();
    }
}

std::size_t ElasticTaskQueue::threadCount()
{
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void ElasticTaskQueue::work()
{
    std::unique_lock lock(mutex_);
    while (true) {
        ++idle_;
        wake_.wait(lock, [this] { return !tasks_.empty() || shuttingDown_; });
        --idle_;
        if (tasks_.empty())
            return; // shutting down with nothing left
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace norvane::server
