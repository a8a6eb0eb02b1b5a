#include "server/http/ConnectionReactor.h"

#include "platform/Log.h"
#include "server/http/RandomText.h"
#include "server/http/ResponseText.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace norvane::server {

namespace {

constexpr int kEventsPerWait = 256;
constexpr int kAcceptsPerWake = 256;
// How often the deadlines are looked at; also the longest a stop waits for the thread.
constexpr std::chrono::milliseconds kTick { 100 };
// After a refusal, how long what the peer still sends is read and dropped before the close.
constexpr std::chrono::milliseconds kLinger { 2000 };
// When no descriptor is left to accept with, accepting pauses this long.
constexpr std::chrono::milliseconds kAcceptPause { 100 };

std::string refusalText(int status, const char* reason, const char* code, const char* message)
{
    const std::string body = errorDocument(code, message, secureRandomHex(8));
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: application/xml\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

ConnectionReactor::ConnectionReactor(Settings settings, Dispatch dispatch, const std::atomic<bool>& stopping)
    : settings_(settings)
    , dispatch_(std::move(dispatch))
    , stopping_(stopping)
{ }

ConnectionReactor::~ConnectionReactor()
{
    stop();
    if (listener_ >= 0)
        ::close(listener_);
    if (epoll_ >= 0)
        ::close(epoll_);
    if (wake_ >= 0)
        ::close(wake_);
}

std::optional<std::string> ConnectionReactor::start(int listeningSocket)
{
    listener_ = listeningSocket;
    const int flags = ::fcntl(listener_, F_GETFL, 0);
    if (flags < 0 || ::fcntl(listener_, F_SETFL, flags | O_NONBLOCK) != 0)
        return std::string("cannot make the listening socket non-blocking: ") + std::strerror(errno);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_ < 0 || wake_ < 0)
        return std::string("cannot watch connections: ") + std::strerror(errno);
    for (int fd : { listener_, wake_ }) {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0)
            return std::string("cannot watch connections: ") + std::strerror(errno);
    }
    thread_ = std::thread([this] { run(); });
    return std::nullopt;
}

void ConnectionReactor::stop()
{
    if (thread_.joinable()) {
        ending_.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
        thread_.join();
    }
    std::vector<std::unique_ptr<Connection>> left;
    {
        std::lock_guard lock(returnedMutex_);
        stopped_ = true;
        left.swap(returned_);
    }
}

void ConnectionReactor::giveBack(std::unique_ptr<Connection> connection)
{
    {
        std::lock_guard lock(returnedMutex_);
        if (stopped_)
            return; // closed on the way out
        returned_.push_back(std::move(connection));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
}

void ConnectionReactor::run()
{
    epoll_event events[kEventsPerWait];
    auto nextTick = Clock::now() + kTick;
    while (!ending_.load()) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        const int ready
            = ::epoll_wait(epoll_, events, kEventsPerWait, static_cast<int>(std::max<long>(0, wait.count())));
        if (ready < 0 && errno != EINTR) {
            Log::line(std::string("Connection watch failed: ") + std::strerror(errno));
            break;
        }
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener_) {
                acceptAll();
            } else if (fd == wake_) {
                std::uint64_t count = 0;
                [[maybe_unused]] auto got = ::read(wake_, &count, sizeof count);
                adoptReturned();
            } else {
                serviceEvent(fd);
            }
        }
        if (Clock::now() >= nextTick) {
            expireDeadlines();
            nextTick = Clock::now() + kTick;
        }
    }
    // Every connection still waiting for its client ends with the reactor.
    for (auto& [fd, watched] : watched_)
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    watched_.clear();
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
    ::close(listener_);
    listener_ = -1;
}

void ConnectionReactor::acceptAll()
{
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The connection stays in the backlog until a descriptor is free again.
                Log::line(std::string("Connections wait: ") + std::strerror(errno));
                epoll_event event {};
                event.data.fd = listener_;
                ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
                listenerPaused_ = true;
                resumeAccepting_ = Clock::now() + kAcceptPause;
            }
            return;
        }
        if (settings_.accepted)
            settings_.accepted->fetch_add(1, std::memory_order_relaxed);
        // Answers leave as they are written: a short one held back for the acknowledgement of the
        // one before (which the client delays) would cost every request on a kept-alive
        // connection some 40 ms.
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        SSL* ssl = nullptr;
        if (settings_.tls && !(ssl = SSL_new(settings_.tls))) {
            ::close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>(fd, ssl, settings_.timeouts, settings_.headLimits, stopping_);
        // The handshake and the first head share one deadline from the moment of acceptance.
        watch(std::move(connection), ssl ? Phase::Handshake : Phase::Head, Clock::now() + settings_.headTimeout);
    }
}

void ConnectionReactor::adoptReturned()
{
    std::vector<std::unique_ptr<Connection>> returned;
    {
        std::lock_guard lock(returnedMutex_);
        returned.swap(returned_);
    }
    for (auto& connection : returned) {
        const int fd = connection->socket();
        connection->releaseIdleBuffer();
        watch(std::move(connection), Phase::Idle, Clock::now() + settings_.keepAliveIdle);
        // Bytes of the next request may be in already, in the buffer or inside TLS.
        if (auto it = watched_.find(fd); it != watched_.end())
            readHead(fd, it->second);
    }
}

void ConnectionReactor::watch(std::unique_ptr<Connection> connection, Phase phase, Clock::time_point deadline)
{
    const int fd = connection->socket();
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        Log::line(std::string("Connection not watched: ") + std::strerror(errno));
        return; // closed with the connection
    }
    watched_[fd] = Watched { std::move(connection), phase, deadline, EPOLLIN };
}

void ConnectionReactor::serviceEvent(int fd)
{
    auto it = watched_.find(fd);
    if (it == watched_.end())
        return;
    Watched& watched = it->second;
    Connection& connection = *watched.connection;
    switch (watched.phase) {
    case Phase::Handshake:
        switch (connection.handshake()) {
        case Connection::Step::Done:
            watched.phase = Phase::Head;
            return readHead(fd, watched);
        case Connection::Step::WantRead:
            return setInterest(fd, watched, EPOLLIN);
        case Connection::Step::WantWrite:
            return setInterest(fd, watched, EPOLLOUT);
        default:
            return forget(fd);
        }
    case Phase::Idle:
    case Phase::Head:
        return readHead(fd, watched);
    case Phase::Closing:
        if (connection.discardAvailable() != Connection::Step::WantRead)
            forget(fd);
        return;
    }
}

void ConnectionReactor::readHead(int fd, Watched& watched)
{
    Connection& connection = *watched.connection;
    const Connection::Step step = connection.readAvailable();
    if (step == Connection::Step::Failed)
        return forget(fd);
    setInterest(fd, watched, step == Connection::Step::WantWrite ? EPOLLOUT : EPOLLIN);
    if (watched.phase == Phase::Idle && connection.hasBufferedBytes()) {
        // The next request has begun: its head has its own deadline.
        watched.phase = Phase::Head;
        watched.deadline = Clock::now() + settings_.headTimeout;
    }
    switch (connection.scanHead()) {
    case HeadScanner::State::Complete:
        return release(fd);
    case HeadScanner::State::TooLarge:
        return refuse(fd, watched, 431, "Request Header Fields Too Large", "RequestHeaderFieldsTooLarge",
            "The request head has too many header lines or bytes");
    case HeadScanner::State::Malformed:
        return refuse(fd, watched, 400, "Bad Request", "BadRequest", "This is not an HTTP request");
    case HeadScanner::State::Incomplete:
        if (step == Connection::Step::Closed)
            forget(fd);
        return;
    }
}

void ConnectionReactor::setInterest(int fd, Watched& watched, std::uint32_t events)
{
    if (watched.events == events)
        return;
    epoll_event event {};
    event.events = events;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
    watched.events = events;
}

void ConnectionReactor::refuse(
    int fd, Watched& watched, int status, const char* reason, const char* code, const char* message)
{
    watched.connection->sendNow(refusalText(status, reason, code, message));
    watched.phase = Phase::Closing;
    watched.deadline = Clock::now() + kLinger;
    setInterest(fd, watched, EPOLLIN);
}

void ConnectionReactor::forget(int fd)
{
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    watched_.erase(fd);
}

void ConnectionReactor::release(int fd)
{
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    auto it = watched_.find(fd);
    auto connection = std::move(it->second.connection);
    watched_.erase(it);
    dispatch_(std::move(connection));
}

void ConnectionReactor::expireDeadlines()
{
    const auto now = Clock::now();
    if (listenerPaused_ && now >= resumeAccepting_) {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = listener_;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
        listenerPaused_ = false;
    }
    for (auto it = watched_.begin(); it != watched_.end();) {
        Watched& watched = it->second;
        if (now < watched.deadline) {
            ++it;
            continue;
        }
        // A head begun but not finished in time is told so; an idle connection just ends.
        if (watched.phase == Phase::Head && watched.connection->hasBufferedBytes())
            watched.connection->sendNow(
                refusalText(408, "Request Timeout", "RequestTimeout", "The request head did not arrive in time"));
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->first, nullptr);
        it = watched_.erase(it);
    }
}

} // namespace norvane::server
