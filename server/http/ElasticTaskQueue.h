#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace norvane::server {

// The request workers of the front end. A request holds its worker while its body arrives and its
// answer goes out (a held answer of a fault rule, a large upload or download), so a fixed pool
// would let a few long requests starve the rest: a worker is added whenever a request waits and
// none is idle, up to `maxThreads`; beyond that requests wait in line. Connections that only wait
// for their client hold none (see ConnectionReactor).
class ElasticTaskQueue final : public httplib::TaskQueue {
public:
    explicit ElasticTaskQueue(std::size_t maxThreads);
    ~ElasticTaskQueue() override;
    ElasticTaskQueue(const ElasticTaskQueue&) = delete;
    ElasticTaskQueue& operator=(const ElasticTaskQueue&) = delete;

    void enqueue(std::function<void()> task) override;
    // Runs what is queued, then joins every worker.
    void shutdown() override;

    std::size_t threadCount();

private:
    void work();

    std::size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool shuttingDown_ = false;
};

} // namespace norvane::server
