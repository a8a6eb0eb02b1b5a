#pragma once

#include "server/http/Connection.h"

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace norvane::server {

// Accepts connections and watches every one that waits for something from its client (the TLS
// handshake, a request head, the next request of a kept-alive connection) on one thread with
// epoll, so that a slow client never holds a worker: only a connection whose request head has
// arrived whole is handed to a worker. Deadlines end what takes too long: the handshake and the
// head together, each later head, and the wait for the next request. A head with too many lines or
// bytes is answered 431 and the connection closed.
class ConnectionReactor {
public:
    struct Settings {
        std::chrono::milliseconds headTimeout { 10000 };
        std::chrono::milliseconds keepAliveIdle { 5000 };
        HeadScanner::Limits headLimits;
        Connection::Timeouts timeouts;
        SSL_CTX* tls = nullptr; // null: plain HTTP
        std::atomic<std::uint64_t>* accepted = nullptr; // counts every accepted connection
    };
    // Receives each connection whose head is complete; runs on the reactor's thread, so it only
    // hands the connection on.
    using Dispatch = std::function<void(std::unique_ptr<Connection>)>;

    ConnectionReactor(Settings settings, Dispatch dispatch, const std::atomic<bool>& stopping);
    ~ConnectionReactor(); // stops
    ConnectionReactor(const ConnectionReactor&) = delete;
    ConnectionReactor& operator=(const ConnectionReactor&) = delete;

    // Watches the listening socket (bound and listening; the reactor owns it from now on) on a
    // thread of its own.
    std::optional<std::string> start(int listeningSocket);
    // Closes the listening socket and every connection it watches, and ends its thread.
    void stop();
    // A connection whose answer went out and that stays open: watched for its next request.
    // Closed at once when the reactor has stopped.
    void giveBack(std::unique_ptr<Connection> connection);

private:
    enum class Phase { Handshake, Idle, Head, Closing };
    struct Watched {
        std::unique_ptr<Connection> connection;
        Phase phase = Phase::Idle;
        std::chrono::steady_clock::time_point deadline;
        std::uint32_t events = 0;
    };
    using Clock = std::chrono::steady_clock;

    void run();
    void acceptAll();
    void adoptReturned();
    void watch(std::unique_ptr<Connection> connection, Phase phase, Clock::time_point deadline);
    void serviceEvent(int fd);
    // Reads, then looks at the head: hands it on, refuses it, or goes on waiting.
    void readHead(int fd, Watched& watched);
    void setInterest(int fd, Watched& watched, std::uint32_t events);
    void refuse(int fd, Watched& watched, int status, const char* reason, const char* code, const char* message);
    void forget(int fd); // closes the connection
    void release(int fd); // hands the connection on
    void expireDeadlines();

    Settings settings_;
    Dispatch dispatch_;
    const std::atomic<bool>& stopping_;
    int listener_ = -1;
    int epoll_ = -1;
    int wake_ = -1; // eventfd: connections came back, or stop
    bool listenerPaused_ = false;
    Clock::time_point resumeAccepting_;
    std::unordered_map<int, Watched> watched_;
    std::thread thread_;
    std::mutex returnedMutex_;
    std::vector<std::unique_ptr<Connection>> returned_;
    bool stopped_ = false; // under returnedMutex_
    std::atomic<bool> ending_ { false };
};

} // namespace norvane::server
