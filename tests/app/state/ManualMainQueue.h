#pragma once

#include "platform/MainQueue.h"

#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// A main queue whose clock only moves when a test says so. The thread that makes it is the main
// thread; tasks posted to it wait for runPosted().
class ManualMainQueue final : public norvane::MainQueue {
public:
    void post(Task fn) override
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(fn));
    }
    bool runSync(Task fn) override { return isMainThread() && (fn(), true); }
    Token postDelayed(double seconds, Task fn) override
    {
        std::lock_guard lock(mutex_);
        delayed_.emplace(nextToken_, std::make_pair(now_ + seconds, std::move(fn)));
        return nextToken_++;
    }
    bool cancel(Token token) override
    {
        std::lock_guard lock(mutex_);
        return delayed_.erase(token) > 0;
    }
    bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }

    void runPosted()
    {
        std::unique_lock lock(mutex_);
        std::vector<Task> tasks = std::exchange(posted_, {});
        lock.unlock();
        for (auto& task : tasks)
            task();
    }
    // Moves the clock on, running every delayed task that comes due, in order of due time.
    void advance(double seconds)
    {
        const double until = now_ + seconds;
        for (;;) {
            std::unique_lock lock(mutex_);
            auto first = delayed_.end();
            for (auto it = delayed_.begin(); it != delayed_.end(); ++it)
                if (it->second.first <= until && (first == delayed_.end() || it->second.first < first->second.first))
                    first = it;
            if (first == delayed_.end())
                break;
            now_ = first->second.first;
            Task due = std::move(first->second.second);
            delayed_.erase(first);
            lock.unlock();
            due();
        }
        now_ = until;
    }
    std::size_t pendingPosted() const
    {
        std::lock_guard lock(mutex_);
        return posted_.size();
    }
    std::size_t pendingDelayed() const
    {
        std::lock_guard lock(mutex_);
        return delayed_.size();
    }

private:
    mutable std::mutex mutex_;
    const std::thread::id mainThread_ = std::this_thread::get_id();
    double now_ = 0;
    Token nextToken_ = 1;
    std::vector<Task> posted_;
    std::map<Token, std::pair<double, Task>> delayed_;
};
