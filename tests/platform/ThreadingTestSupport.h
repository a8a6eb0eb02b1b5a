#pragma once

#include "platform/Log.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace norvane::testing {

// Captures Log lines for the lifetime of the object.
class LogCapture {
public:
    LogCapture()
    {
        Log::setSink([this](std::string_view text) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(text);
        });
    }
    ~LogCapture() { Log::setSink({}); }

    bool contains(std::string_view fragment) const
    {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(),
            [&](const std::string& line) { return line.find(fragment) != std::string::npos; });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Runs body on a thread of its own, so it gets a fresh RunLoop whatever earlier tests left behind.
template <typename F> void onNewThread(F&& body)
{
    std::thread thread(std::forward<F>(body));
    thread.join();
}

// Polls cond until it holds or the limit passes (a fault then fails the test instead of hanging it).
template <typename F> bool eventually(F&& cond, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace norvane::testing
