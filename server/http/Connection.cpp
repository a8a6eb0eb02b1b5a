#include "server/http/Connection.h"

#include "platform/AsciiText.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

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
// The reactor reads in steps of this size; a body larger than a step is read straight into the
// reader's memory.
constexpr std::size_t kReadStep = 16384;
// Answer bytes are gathered up to this size before they are sent; larger pieces go at once,
// together with what was gathered.
constexpr std::size_t kOutputGather = 65536;
// sendfile(2) goes in steps of this size, so that a stopping server is not held up by a long one.
constexpr std::size_t kSendFileStep = 4 * 1024 * 1024;

thread_local Connection* currentConnection = nullptr;

// sendfile(2) has no MSG_NOSIGNAL: a peer that closed early must end in EPIPE, not in a signal
// that kills a process which did not ignore it (the tests run the front end in their own process).
bool blockPipeSignalOfThisThread()
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    return pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr) == 0;
}

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

Connection::Connection(
    int socket, SSL* ssl, Timeouts timeouts, HeadScanner::Limits headLimits, const std::atomic<bool>& stopping)
    : socket_(socket)
    , ssl_(ssl)
    , timeouts_(timeouts)
    , stopping_(stopping)
    , headLimits_(headLimits)
    , scanner_(headLimits)
{
    if (ssl_) {
        SSL_set_fd(ssl_, socket_);
        SSL_set_accept_state(ssl_);
    }
}

Connection::~Connection()
{
    if (ssl_) {
        if (!abandoned_ && !peerClosed_ && SSL_is_init_finished(ssl_))
            SSL_shutdown(ssl_);
        SSL_free(ssl_);
    }
    ::shutdown(socket_, SHUT_RDWR);
    ::close(socket_);
}

Connection* Connection::current()
{
    return currentConnection;
}

void Connection::setCurrent(Connection* connection)
{
    currentConnection = connection;
}

// --- the reactor's side ------------------------------------------------------------------------

Connection::Step Connection::handshake()
{
    if (!ssl_)
        return Step::Done;
    const int result = SSL_accept(ssl_);
    if (result == 1)
        return Step::Done;
    switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
        return Step::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Step::WantWrite;
    default:
        return Step::Failed;
    }
}

ssize_t Connection::receive(char* into, std::size_t size, bool& wantWrite)
{
    wantWrite = false;
    if (ssl_) {
        const int n = SSL_read(ssl_, into, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        if (n > 0)
            return n;
        switch (SSL_get_error(ssl_, n)) {
        case SSL_ERROR_WANT_READ:
            return -1;
        case SSL_ERROR_WANT_WRITE:
            wantWrite = true;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_SYSCALL:
            return n == 0 ? 0 : -2;
        default:
            return -2;
        }
    }
    const ssize_t n = ::recv(socket_, into, size, MSG_DONTWAIT);
    if (n >= 0)
        return n;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
}

void Connection::reserve(std::size_t bytes)
{
    if (buffer_.size() - end_ >= bytes)
        return;
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (buffer_.size() - end_ < bytes)
        buffer_.resize(end_ + bytes);
}

Connection::Step Connection::readAvailable()
{
    if (peerClosed_)
        return Step::Closed;
    const std::size_t most = headLimits_.maxBytes + kReadStep;
    Step step = Step::WantRead;
    // Read into a step on the stack, kept as far as it is filled: a client that sends a byte at a
    // time holds no more memory than it sent.
    char scratch[kReadStep];
    while (end_ - start_ < most) {
        bool wantWrite = false;
        const ssize_t n = receive(scratch, sizeof scratch, wantWrite);
        if (n > 0) {
            reserve(static_cast<std::size_t>(n));
            std::memcpy(buffer_.data() + end_, scratch, static_cast<std::size_t>(n));
            end_ += static_cast<std::size_t>(n);
            step = Step::Done;
            continue;
        }
        if (n == 0) {
            peerClosed_ = true;
            return Step::Closed;
        }
        if (n == -2)
            return Step::Failed;
        return wantWrite ? Step::WantWrite : step;
    }
    return step;
}

HeadScanner::State Connection::scanHead()
{
    return scanner_.scan(buffered());
}

void Connection::sendNow(std::string_view bytes)
{
    if (ssl_)
        SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
    else
        ::send(socket_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    // Nothing more goes out; what the peer still sends is read and dropped until it closes, so
    // that the refusal reaches it before the connection is reset.
    ::shutdown(socket_, SHUT_WR);
    abandoned_ = true;
}

Connection::Step Connection::discardAvailable()
{
    char scratch[kReadStep];
    // A bounded amount per call: a peer that sends without pause does not hold the reactor.
    for (int step = 0; step < 16; ++step) {
        const ssize_t n = ::recv(socket_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0)
            return Step::Closed;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Step::WantRead : Step::Failed;
    }
    return Step::WantRead;
}

void Connection::releaseIdleBuffer()
{
    if (start_ < end_)
        return;
    std::vector<char>().swap(buffer_);
    start_ = end_ = 0;
}

// --- the worker's side -------------------------------------------------------------------------

void Connection::beginRequest()
{
    headLeft_ = scanner_.headLength();
    scanner_.reset();
    mode_ = Mode::Head;
    sawRequestLine_ = false;
    line_.clear();
    linePosition_ = 0;
    closeAfterAnswer_ = false;
    handled_ = false;
    answerHeadSeen_ = false;
    output_.clear();
    ++served_;
    waited_ = {};
    moved_ = 0;
}

bool Connection::awaitNextHead(std::chrono::milliseconds quick)
{
    // Whatever is left of the last request's head was never read by httplib: it is no part of
    // the next one.
    start_ += std::min(headLeft_, end_ - start_);
    headLeft_ = 0;
    scanner_.reset();
    auto state = scanHead();
    if (state == HeadScanner::State::Incomplete && ((ssl_ && SSL_pending(ssl_) > 0) || waitReadable(quick))) {
        if (readAvailable() == Step::Failed)
            return false;
        state = scanHead();
    }
    return state == HeadScanner::State::Complete;
}

bool Connection::waitReadable(std::chrono::milliseconds timeout) const
{
    return pollFor(socket_, POLLIN, timeout, stopping_);
}

bool Connection::waitForPeer(short events, std::chrono::milliseconds timeout) const
{
    const auto allowance = timeouts_.waitAllowance
        + std::chrono::seconds(moved_ / std::max<std::size_t>(timeouts_.bytesPerSecond, 1)) - waited_;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(allowance);
    if (left.count() <= 0)
        return false;
    const auto start = std::chrono::steady_clock::now();
    const bool ready = pollFor(socket_, events, std::min(timeout, left), stopping_);
    waited_ += std::chrono::steady_clock::now() - start;
    return ready;
}

ssize_t Connection::readRaw(char* ptr, std::size_t size)
{
    while (true) {
        if (start_ < end_) {
            const std::size_t n = std::min(size, end_ - start_);
            std::memcpy(ptr, buffer_.data() + start_, n);
            start_ += n;
            return static_cast<ssize_t>(n);
        }
        // The head came whole from the reactor: nothing of it is ever waited for here.
        if (mode_ == Mode::Head)
            return -1;
        if (peerClosed_)
            return 0;
        // Large reads go straight to the reader; small ones (httplib reads chunk sizes a byte at a
        // time) come from a buffered step.
        const bool direct = size >= kReadStep;
        if (!direct)
            reserve(kReadStep);
        bool wantWrite = false;
        const ssize_t n = receive(direct ? ptr : buffer_.data() + end_, direct ? size : kReadStep, wantWrite);
        if (n > 0) {
            moved_ += static_cast<std::uint64_t>(n);
            if (direct)
                return n;
            end_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            peerClosed_ = true;
            return 0;
        }
        if (n == -2)
            return -1;
        if (!waitForPeer(wantWrite ? POLLOUT : POLLIN, timeouts_.read))
            return -1;
    }
}

bool Connection::nextHeadLine()
{
    line_.clear();
    linePosition_ = 0;
    while (headLeft_ > 0) {
        const std::string_view head = buffered().substr(0, std::min(headLeft_, end_ - start_));
        const auto newline = head.find('\n');
        const std::size_t length = newline == std::string_view::npos ? head.size() : newline + 1;
        if (length == 0 || length > kMaxHeadLine)
            return false;
        std::string raw(head.substr(0, length));
        start_ += length;
        headLeft_ -= length;
        if (!sawRequestLine_) {
            sawRequestLine_ = true;
            line_ = std::move(raw);
            return true;
        }
        if (raw == "\r\n") {
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
    return false;
}

ssize_t Connection::read(char* ptr, size_t size)
{
    if (abandoned_)
        return -1;
    if (size == 0)
        return 0;
    // Whatever was written must be out before the peer is waited for ("100 Continue").
    if (!output_.empty() && !flushOutput())
        return -1;
    if (linePosition_ >= line_.size() && mode_ == Mode::Head) {
        if (!nextHeadLine())
            return -1;
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
    if (ptr == sentByFile()) {
        if (size > sentByFile_)
            return -1;
        sentByFile_ -= size;
        return static_cast<ssize_t>(size);
    }
    std::string_view bytes(ptr, size);
    std::string head;
    if (!answerHeadSeen_ && bytes.starts_with("HTTP/1.") && !bytes.starts_with("HTTP/1.1 1")) {
        // httplib writes the status line and the headers of an answer in one piece.
        answerHeadSeen_ = true;
        head.assign(bytes);
        markKeepAlive(head);
        bytes = head;
    }
    if (output_.size() + bytes.size() <= kOutputGather) {
        output_.append(bytes);
        return static_cast<ssize_t>(size);
    }
    const bool sent = sendAll(output_, bytes);
    output_.clear();
    return sent ? static_cast<ssize_t>(size) : -1;
}

void Connection::markKeepAlive(std::string& head) const
{
    const auto end = head.find("\r\n\r\n");
    if (end == std::string::npos || closesAfterAnswer())
        return;
    const std::string_view fields(head.data(), end + 2);
    if (fields.find("\r\nKeep-Alive:") != std::string_view::npos
        && fields.find("\r\nConnection:") == std::string_view::npos)
        head.insert(end + 2, "Connection: Keep-Alive\r\n");
}

bool Connection::flushOutput()
{
    if (abandoned_)
        return false;
    const bool sent = output_.empty() || sendAll(output_, {});
    output_.clear();
    return sent;
}

const char* Connection::sentByFile()
{
    static const char marker = 0;
    return &marker;
}

bool Connection::mayRetrySend() const
{
    if (errno == EINTR)
        return true;
    return (errno == EAGAIN || errno == EWOULDBLOCK) && waitForPeer(POLLOUT, timeouts_.write);
}

bool Connection::sendFile(int fd, off_t offset, std::size_t length)
{
    if (!canSendFile())
        return false;
    static thread_local const bool pipeSignalBlocked = blockPipeSignalOfThisThread();
    (void)pipeSignalBlocked;
    // The head leaves with the first bytes of the file, not in a packet of its own.
    if (!output_.empty() && !sendAll(output_, {}, MSG_MORE))
        return false;
    output_.clear();
    std::size_t left = length;
    while (left > 0) {
        if (stopping_.load())
            return false;
        const ssize_t n = ::sendfile(socket_, fd, &offset, std::min(left, kSendFileStep));
        if (n < 0) {
            if (mayRetrySend())
                continue;
            return false;
        }
        if (n == 0)
            return false; // the file is shorter than it should be
        moved_ += static_cast<std::uint64_t>(n);
        left -= static_cast<std::size_t>(n);
    }
    sentByFile_ += length;
    return true;
}

bool Connection::sendAll(std::string_view first, std::string_view second, int flags)
{
    while (!first.empty() || !second.empty()) {
        ssize_t n = 0;
        if (ssl_) {
            const std::string_view piece = first.empty() ? second : first;
            const int written
                = SSL_write(ssl_, piece.data(), static_cast<int>(std::min<std::size_t>(piece.size(), INT_MAX)));
            if (written <= 0) {
                const int error = SSL_get_error(ssl_, written);
                if (error == SSL_ERROR_WANT_WRITE && waitForPeer(POLLOUT, timeouts_.write))
                    continue;
                if (error == SSL_ERROR_WANT_READ && waitForPeer(POLLIN, timeouts_.write))
                    continue;
                return false;
            }
            n = written;
        } else {
            iovec pieces[2] = { { const_cast<char*>(first.data()), first.size() },
                { const_cast<char*>(second.data()), second.size() } };
            msghdr message {};
            message.msg_iov = first.empty() ? pieces + 1 : pieces;
            message.msg_iovlen = first.empty() || second.empty() ? 1 : 2;
            n = ::sendmsg(socket_, &message, MSG_NOSIGNAL | flags);
            if (n < 0) {
                if (mayRetrySend())
                    continue;
                return false;
            }
        }
        moved_ += static_cast<std::uint64_t>(n);
        auto taken = static_cast<std::size_t>(n);
        const std::size_t fromFirst = std::min(taken, first.size());
        first.remove_prefix(fromFirst);
        taken -= fromFirst;
        second.remove_prefix(std::min(taken, second.size()));
    }
    return true;
}

bool Connection::is_readable() const
{
    if (abandoned_)
        return false;
    if (linePosition_ < line_.size() || start_ < end_ || (ssl_ && SSL_pending(ssl_) > 0))
        return true;
    return mode_ == Mode::Body && waitForPeer(POLLIN, timeouts_.read);
}

bool Connection::is_writable() const
{
    return !abandoned_ && waitForPeer(POLLOUT, timeouts_.write);
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
    start_ = end_ = 0;
    char scratch[kReadStep];
    while (!stopping_.load()) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (!waitReadable(std::min(left, kWaitSlice)))
            continue;
        // Whatever arrives is dropped; the end of the stream or an error means the peer is gone.
        bool wantWrite = false;
        const ssize_t n = receive(scratch, sizeof scratch, wantWrite);
        if (n == 0 || n == -2) {
            peerClosed_ = n == 0;
            return true;
        }
    }
    return false;
}

} // namespace norvane::server
