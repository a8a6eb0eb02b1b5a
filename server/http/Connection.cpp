#include "server/http/Connection.h"

#include "platform/AsciiText.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace norvane::server {

namespace {

// Longer request or header lines are refused by httplib anyway; beyond this the connection is cut.
constexpr std::size_t kMaxHeadLine = 16384;
// Waits are cut into slices this long so that a stopping server is not held up by them.
constexpr std::chrono::milliseconds kWaitSlice { 100 };

thread_local Connection* currentConnection = nullptr;

bool pollFor(int socket, short events, std::chrono::milliseconds timeout, const std::atomic<bool>& stopping)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!stopping.load()) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return false;
        pollfd descriptor { socket, events, 0 };
        const int ready = ::poll(&descriptor, 1, static_cast<int>(std::min(left, kWaitSlice).count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return false;
}

void addressOf(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port)
{
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
            NI_NUMERICHOST | NI_NUMERICSERV)
        != 0) {
        ip.clear();
        port = -1;
        return;
    }
    ip = host;
    port = std::atoi(service);
}

} // namespace

Connection::Connection(int socket, SSL* ssl, Timeouts timeouts, const std::atomic<bool>& stopping)
    : socket_(socket)
    , ssl_(ssl)
    , timeouts_(timeouts)
    , stopping_(stopping)
{ }

Connection::~Connection()
{
    if (ssl_) {
        if (!abandoned_ && !peerClosed_)
            SSL_shutdown(ssl_);
        SSL_free(ssl_);
    }
}

Connection* Connection::current()
{
    return currentConnection;
}

void Connection::setCurrent(Connection* connection)
{
    currentConnection = connection;
}

bool Connection::handshake()
{
    if (!ssl_)
        return true;
    if (SSL_set_fd(ssl_, socket_) != 1)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + timeouts_.read;
    while (true) {
        const int result = SSL_accept(ssl_);
        if (result == 1)
            return true;
        const int error = SSL_get_error(ssl_, result);
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (error == SSL_ERROR_WANT_READ) {
            if (!waitReadable(left))
                return false;
        } else if (error == SSL_ERROR_WANT_WRITE) {
            if (!waitWritable(left))
                return false;
        } else {
            return false;
        }
    }
}

bool Connection::waitReadable(std::chrono::milliseconds timeout) const
{
    return pollFor(socket_, POLLIN, timeout, stopping_);
}

bool Connection::waitWritable(std::chrono::milliseconds timeout) const
{
    return pollFor(socket_, POLLOUT, timeout, stopping_);
}

bool Connection::waitForRequest(std::chrono::milliseconds idle)
{
    if (bufferStart_ < bufferEnd_ || (ssl_ && SSL_pending(ssl_) > 0))
        return true;
    return !peerClosed_ && waitReadable(idle);
}

void Connection::beginRequest()
{
    mode_ = Mode::Head;
    sawRequestLine_ = false;
    line_.clear();
    linePosition_ = 0;
    closeAfterAnswer_ = false;
    handled_ = false;
}

ssize_t Connection::fill()
{
    bufferStart_ = bufferEnd_ = 0;
    if (peerClosed_)
        return 0;
    while (true) {
        if (ssl_) {
            if (SSL_pending(ssl_) <= 0 && !waitReadable(timeouts_.read))
                return -1;
            const int n = SSL_read(ssl_, buffer_.data(), static_cast<int>(buffer_.size()));
            if (n > 0) {
                bufferEnd_ = static_cast<std::size_t>(n);
                return n;
            }
            const int error = SSL_get_error(ssl_, n);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
                continue;
            if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && n == 0)) {
                peerClosed_ = true;
                return 0;
            }
            return -1;
        }
        if (!waitReadable(timeouts_.read))
            return -1;
        const ssize_t n = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
        if (n > 0) {
            bufferEnd_ = static_cast<std::size_t>(n);
            return n;
        }
        if (n == 0) {
            peerClosed_ = true;
            return 0;
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
    }
}

ssize_t Connection::readRaw(char* ptr, std::size_t size)
{
    if (bufferStart_ >= bufferEnd_) {
        const ssize_t filled = fill();
        if (filled <= 0)
            return filled;
    }
    const std::size_t n = std::min(size, bufferEnd_ - bufferStart_);
    std::memcpy(ptr, buffer_.data() + bufferStart_, n);
    bufferStart_ += n;
    return static_cast<ssize_t>(n);
}

bool Connection::nextHeadLine()
{
    line_.clear();
    linePosition_ = 0;
    while (true) {
        std::string raw;
        while (true) {
            char c = 0;
            const ssize_t n = readRaw(&c, 1);
            if (n <= 0) {
                if (raw.empty())
                    return false;
                break;
            }
            raw += c;
            if (c == '\n')
                break;
            if (raw.size() > kMaxHeadLine)
                return false;
        }
        if (!sawRequestLine_) {
            sawRequestLine_ = true;
            line_ = std::move(raw);
            return true;
        }
        if (raw == "\r\n" || raw == "\n") {
            mode_ = Mode::Body;
            line_ = std::move(raw);
            return true;
        }
        const auto colon = raw.find(':');
        if (colon != std::string::npos) {
            const std::string_view name = ascii::trimBlanks(std::string_view(raw).substr(0, colon));
            if (ascii::equalsIgnoringCase(name, kRawRangeHeader))
                continue;
            if (ascii::equalsIgnoringCase(name, "Range")) {
                line_ = std::string(kRawRangeHeader) + raw.substr(colon);
                return true;
            }
        }
        line_ = std::move(raw);
        return true;
    }
}

ssize_t Connection::read(char* ptr, size_t size)
{
    if (abandoned_)
        return -1;
    if (size == 0)
        return 0;
    if (linePosition_ >= line_.size() && mode_ == Mode::Head) {
        if (!nextHeadLine())
            return line_.empty() && peerClosed_ ? 0 : -1;
    }
    if (linePosition_ < line_.size()) {
        const std::size_t n = std::min(size, line_.size() - linePosition_);
        std::memcpy(ptr, line_.data() + linePosition_, n);
        linePosition_ += n;
        return static_cast<ssize_t>(n);
    }
    return readRaw(ptr, size);
}

ssize_t Connection::write(const char* ptr, size_t size)
{
    if (abandoned_)
        return -1;
    if (size == 0)
        return 0;
    while (true) {
        if (ssl_) {
            const int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
            if (n > 0)
                return n;
            const int error = SSL_get_error(ssl_, n);
            if (error == SSL_ERROR_WANT_WRITE && waitWritable(timeouts_.write))
                continue;
            if (error == SSL_ERROR_WANT_READ && waitReadable(timeouts_.write))
                continue;
            return -1;
        }
        if (!waitWritable(timeouts_.write))
            return -1;
        const ssize_t n = ::send(socket_, ptr, size, MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
    }
}

bool Connection::is_readable() const
{
    if (abandoned_)
        return false;
    if (linePosition_ < line_.size() || bufferStart_ < bufferEnd_ || (ssl_ && SSL_pending(ssl_) > 0))
        return true;
    return waitReadable(timeouts_.read);
}

bool Connection::is_writable() const
{
    return !abandoned_ && waitWritable(timeouts_.write);
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getpeername(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ip.clear();
        port = -1;
        return;
    }
    addressOf(address, length, ip, port);
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ip.clear();
        port = -1;
        return;
    }
    addressOf(address, length, ip, port);
}

bool Connection::holdUntilPeerGone(std::chrono::steady_clock::time_point deadline)
{
    bufferStart_ = bufferEnd_ = 0;
    while (!stopping_.load()) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (!waitReadable(std::min(left, kWaitSlice)))
            continue;
        // Whatever arrives is dropped; the end of the stream or an error means the peer is gone.
        if (fill() <= 0)
            return true;
        bufferStart_ = bufferEnd_ = 0;
    }
    return false;
}

} // namespace norvane::server
