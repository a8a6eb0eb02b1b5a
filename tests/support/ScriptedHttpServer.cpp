#include "support/ScriptedHttpServer.h"

#define ZLIB_CONST
#include <zlib.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>

namespace norvane::test {

namespace {

constexpr std::size_t kReadSize = 16384;
constexpr std::size_t kGeneratedPiece = 65536;
constexpr std::size_t kMaxChunkLine = 4096;
// How long a closing connection keeps reading what the client still sends, so that the client
// gets to read our last answer instead of a reset.
constexpr auto kLingerTime = std::chrono::milliseconds(500);

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Whether a comma-separated header value lists the token (case-insensitively).
bool listsToken(std::string_view list, std::string_view token)
{
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        if (equalsIgnoreCase(trimBlanks(list.substr(0, comma)), token))
            return true;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool isTokenChar(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return true;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool isToken(std::string_view text)
{
    return !text.empty()
        && std::all_of(text.begin(), text.end(), [](char c) { return isTokenChar(static_cast<unsigned char>(c)); });
}

std::optional<std::uint64_t> parseDecimal(std::string_view text)
{
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = asciiLower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::vector<std::string> valuesOf(const HeaderList& headers, std::string_view name)
{
    std::vector<std::string> values;
    for (const auto& [fieldName, value] : headers) {
        if (equalsIgnoreCase(fieldName, name))
            values.push_back(value);
    }
    return values;
}

bool hasHeader(const HeaderList& headers, std::string_view name)
{
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return equalsIgnoreCase(h.first, name); });
}

// Parses "name: value" lines (without their CRLF); false with a reason on anything malformed.
bool parseHeaderLine(std::string_view line, HeaderList& into, std::string& error)
{
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
        error = "folded header line";
        return false;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
        error = "malformed header line";
        return false;
    }
    std::string_view value = trimBlanks(line.substr(colon + 1));
    for (char c : value) {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7f) {
            error = "control character in a header value";
            return false;
        }
    }
    into.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    return true;
}

struct StatusCode {
    int value = -1;
};

StatusCode statusCodeOf(std::string_view statusLine)
{
    // "HTTP/x.y NNN reason"
    std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos || statusLine.size() < space + 4)
        return {};
    auto digits = parseDecimal(statusLine.substr(space + 1, 3));
    return digits ? StatusCode { static_cast<int>(*digits) } : StatusCode {};
}

struct RangeChoice {
    int status = 200;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
};

RangeChoice chooseRange(const RecordedRequest& request, std::uint64_t size)
{
    RangeChoice whole { 200, 0, size };
    RangeChoice unsatisfiable { 416, 0, 0 };
    auto spec = request.header("Range");
    if (!spec || (request.method != "GET" && request.method != "HEAD"))
        return whole;
    std::string_view text = *spec;
    constexpr std::string_view unit = "bytes=";
    if (text.substr(0, unit.size()) != unit || text.find(',') != std::string_view::npos)
        return whole;
    text.remove_prefix(unit.size());
    std::size_t dash = text.find('-');
    if (dash == std::string_view::npos)
        return whole;
    std::string_view first = text.substr(0, dash);
    std::string_view last = text.substr(dash + 1);
    if (first.empty()) {
        auto suffix = parseDecimal(last);
        if (!suffix)
            return whole;
        if (*suffix == 0 || size == 0)
            return unsatisfiable;
        std::uint64_t length = std::min(*suffix, size);
        return { 206, size - length, length };
    }
    auto start = parseDecimal(first);
    std::optional<std::uint64_t> end = last.empty() ? std::optional<std::uint64_t>(UINT64_MAX) : parseDecimal(last);
    if (!start || !end || *end < *start)
        return whole;
    if (*start >= size)
        return unsatisfiable;
    std::uint64_t stop = std::min(*end, size - 1);
    return { 206, *start, stop - *start + 1 };
}

Reply rangeShell(const RangeChoice& choice, std::uint64_t size)
{
    Reply reply = Reply::status(choice.status);
    reply.header("Accept-Ranges", "bytes");
    if (choice.status == 206)
        reply.header("Content-Range",
            "bytes " + std::to_string(choice.start) + "-" + std::to_string(choice.start + choice.length - 1) + "/"
                + std::to_string(size));
    else if (choice.status == 416)
        reply.header("Content-Range", "bytes */" + std::to_string(size));
    return reply.withContentLength();
}

// One accepted socket, plain or TLS, non-blocking underneath. Every wait also watches the
// server's stop descriptor, so no call outlives stop().
class Channel {
public:
    enum class Io { Ok, Closed, Stopped };

    Channel(int fd, SSL* ssl, int stopFd, const std::atomic<bool>& stopped)
        : fd_(fd)
        , ssl_(ssl)
        , stopFd_(stopFd)
        , stopped_(stopped)
    { }
    ~Channel()
    {
        if (ssl_ != nullptr)
            SSL_free(ssl_);
        ::close(fd_);
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    Io handshake(std::string& error)
    {
        if (SSL_set_fd(ssl_, fd_) != 1) {
            error = "SSL_set_fd failed";
            return Io::Closed;
        }
        for (;;) {
            ERR_clear_error();
            int result = SSL_accept(ssl_);
            if (result == 1)
                return Io::Ok;
            int reason = SSL_get_error(ssl_, result);
            if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
                Io waited = wait(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, -1);
                if (waited != Io::Ok)
                    return waited;
                continue;
            }
            unsigned long code = ERR_get_error();
            char text[256] = "connection closed during the handshake";
            if (code != 0)
                ERR_error_string_n(code, text, sizeof text);
            error = text;
            ERR_clear_error();
            return Io::Closed;
        }
    }

    // Appends what arrives next (at least one byte on Ok).
    Io read(std::string& into)
    {
        char buffer[kReadSize];
        for (;;) {
            if (stopped_.load())
                return Io::Stopped;
            if (ssl_ != nullptr) {
                ERR_clear_error();
                int n = SSL_read(ssl_, buffer, sizeof buffer);
                if (n > 0) {
                    into.append(buffer, static_cast<std::size_t>(n));
                    return Io::Ok;
                }
                int reason = SSL_get_error(ssl_, n);
                if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
                    ERR_clear_error();
                    return Io::Closed;
                }
                if (Io waited = wait(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, -1); waited != Io::Ok)
                    return waited;
            } else {
                ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                if (n > 0) {
                    into.append(buffer, static_cast<std::size_t>(n));
                    return Io::Ok;
                }
                if (n == 0)
                    return Io::Closed;
                if (errno == EINTR)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    return Io::Closed;
                if (Io waited = wait(POLLIN, -1); waited != Io::Ok)
                    return waited;
            }
        }
    }

    Io write(std::string_view data)
    {
        while (!data.empty()) {
            if (stopped_.load())
                return Io::Stopped;
            if (ssl_ != nullptr) {
                ERR_clear_error();
                int n = SSL_write(ssl_, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), INT_MAX)));
                if (n > 0) {
                    data.remove_prefix(static_cast<std::size_t>(n));
                    continue;
                }
                int reason = SSL_get_error(ssl_, n);
                if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
                    ERR_clear_error();
                    return Io::Closed;
                }
                if (Io waited = wait(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, -1); waited != Io::Ok)
                    return waited;
            } else {
                ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    data.remove_prefix(static_cast<std::size_t>(n));
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                    return Io::Closed;
                if (Io waited = wait(POLLOUT, -1); waited != Io::Ok)
                    return waited;
            }
        }
        return Io::Ok;
    }

    // Sleeps unless the server stops first (then false).
    bool pause(std::chrono::milliseconds duration)
    {
        if (duration.count() <= 0)
            return !stopped_.load();
        pollfd stop { stopFd_, POLLIN, 0 };
        auto deadline = std::chrono::steady_clock::now() + duration;
        for (;;) {
            auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return !stopped_.load();
            int result = ::poll(&stop, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
            if (result > 0)
                return false;
            if (result < 0 && errno != EINTR)
                return false;
        }
    }

    // Orderly end: TLS close_notify, FIN, then a short drain so that the client reads our last
    // bytes rather than a reset caused by data it had still in flight.
    void finish()
    {
        if (ssl_ != nullptr) {
            ERR_clear_error();
            SSL_shutdown(ssl_);
            ERR_clear_error();
        }
        ::shutdown(fd_, SHUT_WR);
        auto deadline = std::chrono::steady_clock::now() + kLingerTime;
        char sink[kReadSize];
        for (;;) {
            auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || stopped_.load())
                return;
            if (wait(POLLIN, static_cast<int>(left.count())) != Io::Ok)
                return;
            ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
                return;
        }
    }

    // Abrupt end: FIN without close_notify, nothing drained.
    void abort() { ::shutdown(fd_, SHUT_WR); }

private:
    Io wait(short events, int timeoutMs)
    {
        pollfd fds[2] = { { fd_, events, 0 }, { stopFd_, POLLIN, 0 } };
        for (;;) {
            int result = ::poll(fds, 2, timeoutMs);
            if (result < 0 && errno == EINTR)
                continue;
            if (result < 0)
                return Io::Closed;
            if (fds[1].revents != 0)
                return Io::Stopped;
            if (result == 0)
                return Io::Closed; // timed out (only the drain uses a timeout)
            return Io::Ok;
        }
    }

    int fd_;
    SSL* ssl_;
    int stopFd_;
    const std::atomic<bool>& stopped_;
};

// Reads one request off a connection, keeping whatever the client sent beyond it in the buffer.
class RequestReader {
public:
    enum class Result { Complete, Closed, Stopped, BadRequest, HeadTooLarge };

    RequestReader(Channel& channel, std::string& buffer, std::size_t maxHeaderBytes)
        : channel_(channel)
        , buffer_(buffer)
        , maxHeaderBytes_(maxHeaderBytes)
    { }

    const std::string& error() const { return error_; }

    // Waits for a whole header block; onFirstByte runs once the request has begun to arrive.
    template <typename F> Result readHead(RecordedRequest& request, F&& onFirstByte)
    {
        std::size_t lineStart = 0;
        std::size_t headEnd = std::string::npos;
        bool started = !buffer_.empty();
        if (started)
            onFirstByte();
        for (;;) {
            for (std::size_t nl; (nl = buffer_.find('\n', lineStart)) != std::string::npos;) {
                if (nl == lineStart || (nl == lineStart + 1 && buffer_[lineStart] == '\r')) {
                    headEnd = nl + 1;
                    break;
                }
                lineStart = nl + 1;
            }
            if (headEnd != std::string::npos || buffer_.size() > maxHeaderBytes_)
                break;
            Result more = fill();
            if (more != Result::Complete)
                return more;
            if (!started) {
                started = true;
                onFirstByte();
            }
        }
        if (headEnd == std::string::npos || headEnd > maxHeaderBytes_) {
            error_ = "header block longer than " + std::to_string(maxHeaderBytes_) + " bytes";
            return Result::HeadTooLarge;
        }
        request.rawHead = buffer_.substr(0, headEnd);
        request.received = std::chrono::steady_clock::now();
        buffer_.erase(0, headEnd);
        return parseHead(request) ? Result::Complete : Result::BadRequest;
    }

    // The body framing the head announced: chunked, a length, or none.
    struct Framing {
        bool chunked = false;
        std::uint64_t length = 0;
    };
    std::optional<Framing> framing(const RecordedRequest& request)
    {
        Framing result;
        auto codings = request.headerValues("Transfer-Encoding");
        auto lengths = request.headerValues("Content-Length");
        if (!codings.empty()) {
            if (codings.size() != 1 || !equalsIgnoreCase(codings.front(), "chunked") || request.version != "HTTP/1.1") {
                error_ = "unsupported transfer coding";
                return std::nullopt;
            }
            if (!lengths.empty()) {
                error_ = "both Transfer-Encoding and Content-Length";
                return std::nullopt;
            }
            result.chunked = true;
            return result;
        }
        for (const auto& text : lengths) {
            auto value = parseDecimal(text);
            if (!value || (value != result.length && &text != &lengths.front())) {
                error_ = "invalid or conflicting Content-Length";
                return std::nullopt;
            }
            result.length = *value;
        }
        return result;
    }

    template <typename Sink> Result readBody(std::uint64_t length, Sink&& sink)
    {
        while (length > 0) {
            if (buffer_.empty()) {
                Result more = fill();
                if (more != Result::Complete)
                    return more;
            }
            std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer_.size()));
            sink(std::string_view(buffer_).substr(0, take));
            buffer_.erase(0, take);
            length -= take;
        }
        return Result::Complete;
    }

    template <typename Sink> Result readChunkedBody(HeaderList& trailers, Sink&& sink)
    {
        for (;;) {
            std::string line;
            if (Result r = takeLine(line, kMaxChunkLine); r != Result::Complete)
                return r;
            std::uint64_t size = 0;
            std::size_t digits = 0;
            for (; digits < line.size() && hexDigit(line[digits]) >= 0; ++digits) {
                if (digits == 16) {
                    error_ = "chunk size too large";
                    return Result::BadRequest;
                }
                size = size * 16 + static_cast<std::uint64_t>(hexDigit(line[digits]));
            }
            std::string_view rest = trimBlanks(std::string_view(line).substr(digits));
            if (digits == 0 || (!rest.empty() && rest.front() != ';')) {
                error_ = "malformed chunk size line";
                return Result::BadRequest;
            }
            if (size == 0)
                break;
            if (Result r = readBody(size, sink); r != Result::Complete)
                return r;
            if (Result r = takeLine(line, 0); r != Result::Complete)
                return r;
            if (!line.empty()) {
                error_ = "chunk data longer than its size";
                return Result::BadRequest;
            }
        }
        std::size_t trailerBytes = 0;
        for (;;) {
            std::string line;
            if (Result r = takeLine(line, maxHeaderBytes_); r != Result::Complete)
                return r;
            if (line.empty())
                return Result::Complete;
            trailerBytes += line.size() + 2;
            if (trailerBytes > maxHeaderBytes_) {
                error_ = "trailer block too long";
                return Result::HeadTooLarge;
            }
            if (!parseHeaderLine(line, trailers, error_))
                return Result::BadRequest;
        }
    }

private:
    Result fill()
    {
        switch (channel_.read(buffer_)) {
        case Channel::Io::Ok:
            return Result::Complete;
        case Channel::Io::Stopped:
            return Result::Stopped;
        case Channel::Io::Closed:
            break;
        }
        return Result::Closed;
    }

    // One CRLF-terminated line (without the CRLF).
    Result takeLine(std::string& line, std::size_t maxLength)
    {
        for (;;) {
            std::size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                if (nl == 0 || buffer_[nl - 1] != '\r') {
                    error_ = "line not ended by CRLF";
                    return Result::BadRequest;
                }
                line = buffer_.substr(0, nl - 1);
                buffer_.erase(0, nl + 1);
                return Result::Complete;
            }
            if (buffer_.size() > std::max<std::size_t>(maxLength, 2)) {
                error_ = "line too long";
                return Result::BadRequest;
            }
            if (Result more = fill(); more != Result::Complete)
                return more;
        }
    }

    bool parseHead(RecordedRequest& request)
    {
        std::string_view head = request.rawHead;
        std::vector<std::string_view> lines;
        while (!head.empty()) {
            std::size_t nl = head.find('\n');
            std::string_view line = head.substr(0, nl);
            if (line.empty() || line.back() != '\r') {
                error_ = "line not ended by CRLF";
                return false;
            }
            line.remove_suffix(1);
            if (line.find('\r') != std::string_view::npos) {
                error_ = "stray CR";
                return false;
            }
            lines.push_back(line);
            head.remove_prefix(nl + 1);
        }
        // The last line is the empty one that ends the block.
        if (lines.size() < 2) {
            error_ = "empty request line";
            return false;
        }
        std::string_view requestLine = lines.front();
        std::size_t firstSpace = requestLine.find(' ');
        std::size_t secondSpace
            = firstSpace == std::string_view::npos ? firstSpace : requestLine.find(' ', firstSpace + 1);
        if (secondSpace == std::string_view::npos || requestLine.find(' ', secondSpace + 1) != std::string_view::npos) {
            error_ = "malformed request line";
            return false;
        }
        std::string_view method = requestLine.substr(0, firstSpace);
        std::string_view target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        std::string_view version = requestLine.substr(secondSpace + 1);
        bool targetOk = !target.empty() && std::all_of(target.begin(), target.end(), [](char c) {
            auto u = static_cast<unsigned char>(c);
            return u > 0x20 && u != 0x7f;
        });
        if (!isToken(method) || !targetOk) {
            error_ = "malformed request line";
            return false;
        }
        if (version != "HTTP/1.1" && version != "HTTP/1.0") {
            error_ = "unsupported HTTP version";
            return false;
        }
        request.method = method;
        request.target = target;
        request.version = version;
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
            if (!parseHeaderLine(lines[i], request.headers, error_))
                return false;
        }
        if (version == "HTTP/1.1" && request.headerValues("Host").size() != 1) {
            error_ = "HTTP/1.1 request without exactly one Host header";
            return false;
        }
        return true;
    }

    Channel& channel_;
    std::string& buffer_;
    std::size_t maxHeaderBytes_;
    std::string error_;
};

// Writes one reply, applying its trickle and drop settings.
class ReplyWriter {
public:
    enum class Step { Ok, Dropped, Gone };

    ReplyWriter(Channel& channel, const Reply& reply)
        : channel_(channel)
        , reply_(reply)
    { }

    Step send(std::string_view data, bool isBody)
    {
        while (!data.empty()) {
            if (limitReached())
                return Step::Dropped;
            std::size_t piece = data.size();
            if (isBody && reply_.trickleBytes > 0) {
                piece = std::min(piece, reply_.trickleBytes);
                if (bodyBytes_ > 0 && !channel_.pause(reply_.trickleInterval))
                    return Step::Gone;
            }
            if (reply_.dropAfterBytes)
                piece = static_cast<std::size_t>(std::min<std::uint64_t>(piece, *reply_.dropAfterBytes - totalBytes_));
            if (isBody && reply_.dropAfterBodyBytes)
                piece
                    = static_cast<std::size_t>(std::min<std::uint64_t>(piece, *reply_.dropAfterBodyBytes - bodyBytes_));
            if (channel_.write(data.substr(0, piece)) != Channel::Io::Ok)
                return Step::Gone;
            totalBytes_ += piece;
            if (isBody)
                bodyBytes_ += piece;
            data.remove_prefix(piece);
        }
        return Step::Ok;
    }

    // A drop limit that the whole response reached still ends the connection abruptly.
    Step finish() const { return limitReached() ? Step::Dropped : Step::Ok; }

private:
    bool limitReached() const
    {
        return (reply_.dropAfterBytes && totalBytes_ >= *reply_.dropAfterBytes)
            || (reply_.dropAfterBodyBytes && bodyBytes_ >= *reply_.dropAfterBodyBytes);
    }

    Channel& channel_;
    const Reply& reply_;
    std::uint64_t totalBytes_ = 0;
    std::uint64_t bodyBytes_ = 0;
};

enum class AfterReply { Keep, Close, Abort, Gone };

AfterReply sendReply(Channel& channel, const RecordedRequest& request, const Reply& reply, bool clientKeepsAlive)
{
    if (reply.holdSilently) {
        std::string discard;
        while (channel.read(discard) == Channel::Io::Ok)
            discard.clear();
        return AfterReply::Gone;
    }

    ReplyWriter writer(channel, reply);
    auto outcome = [&](ReplyWriter::Step step, bool close) {
        if (step == ReplyWriter::Step::Ok)
            step = writer.finish();
        if (step == ReplyWriter::Step::Gone)
            return AfterReply::Gone;
        if (step == ReplyWriter::Step::Dropped)
            return AfterReply::Abort;
        return close || reply.closeConnection || !clientKeepsAlive ? AfterReply::Close : AfterReply::Keep;
    };

    std::string head = reply.statusLine + "\r\n";
    for (const auto& [name, value] : reply.headers)
        head += name + ": " + value + "\r\n";
    bool hasLength = hasHeader(reply.headers, "Content-Length");
    if (reply.autoContentLength) {
        std::uint64_t length = reply.bodyKind == Reply::BodyKind::Fixed ? reply.body.size() : reply.generatedSize;
        head += "Content-Length: " + std::to_string(length) + "\r\n";
        hasLength = true;
    }
    head += "\r\n";

    // A reply without any length framing ends where the connection does; so does one that says
    // "Connection: close".
    int code = statusCodeOf(reply.statusLine).value;
    bool sendsBody = request.method != "HEAD";
    bool bodiless = code / 100 == 1 || code == 204 || code == 304;
    bool delimitedByClose = sendsBody && !bodiless && !hasLength && !hasHeader(reply.headers, "Transfer-Encoding");
    bool close = delimitedByClose;
    for (const auto& value : valuesOf(reply.headers, "Connection"))
        close = close || listsToken(value, "close");

    ReplyWriter::Step step = writer.send(head, false);
    if (step != ReplyWriter::Step::Ok || !sendsBody)
        return outcome(step, close);

    switch (reply.bodyKind) {
    case Reply::BodyKind::Fixed:
        step = writer.send(reply.body, true);
        break;
    case Reply::BodyKind::Generated: {
        std::string piece;
        for (std::uint64_t offset = 0; offset < reply.generatedSize && step == ReplyWriter::Step::Ok;) {
            piece.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(kGeneratedPiece, reply.generatedSize - offset)));
            try {
                if (reply.generator)
                    reply.generator(offset, piece.data(), piece.size());
                else
                    std::fill(piece.begin(), piece.end(), '\0');
            } catch (...) {
                return AfterReply::Abort;
            }
            step = writer.send(piece, true);
            offset += piece.size();
        }
        break;
    }
    }
    return outcome(step, close);
}

std::string plainAnswer(const char* statusLine, const std::string& text)
{
    return std::string(statusLine) + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size())
        + "\r\nConnection: close\r\n\r\n" + text;
}

class Md5 {
public:
    Md5()
        : context_(EVP_MD_CTX_new())
    {
        if (context_ != nullptr)
            EVP_DigestInit_ex(context_, EVP_md5(), nullptr);
    }
    ~Md5() { EVP_MD_CTX_free(context_); }
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;

    void add(std::string_view bytes)
    {
        if (context_ != nullptr)
            EVP_DigestUpdate(context_, bytes.data(), bytes.size());
    }
    std::string hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (context_ == nullptr || EVP_DigestFinal_ex(context_, digest, &length) != 1)
            return {};
        static const char digits[] = "0123456789abcdef";
        std::string text;
        for (unsigned int i = 0; i < length; ++i) {
            text += digits[digest[i] >> 4];
            text += digits[digest[i] & 0x0f];
        }
        return text;
    }

private:
    EVP_MD_CTX* context_;
};

} // namespace

// RecordedRequest

std::optional<std::string> RecordedRequest::header(std::string_view name) const
{
    for (const auto& [fieldName, value] : headers) {
        if (equalsIgnoreCase(fieldName, name))
            return value;
    }
    return std::nullopt;
}

std::vector<std::string> RecordedRequest::headerValues(std::string_view name) const
{
    return valuesOf(headers, name);
}

std::vector<std::string> RecordedRequest::headerNames() const
{
    std::vector<std::string> names;
    for (const auto& field : headers)
        names.push_back(field.first);
    return names;
}

std::string RecordedRequest::path() const
{
    return target.substr(0, target.find('?'));
}

std::optional<std::string> RecordedRequest::query() const
{
    std::size_t mark = target.find('?');
    if (mark == std::string::npos)
        return std::nullopt;
    return target.substr(mark + 1);
}

// Reply

Reply Reply::status(int code)
{
    return withStatusLine("HTTP/1.1 " + std::to_string(code) + " " + reasonPhrase(code));
}

Reply Reply::withStatusLine(std::string line)
{
    Reply reply;
    reply.statusLine = std::move(line);
    return reply;
}

Reply Reply::ok(std::string body)
{
    Reply reply = status(200);
    reply.body = std::move(body);
    reply.autoContentLength = true;
    return reply;
}

Reply Reply::redirect(int code, std::string location)
{
    Reply reply = status(code);
    reply.header("Location", std::move(location));
    reply.autoContentLength = true;
    return reply;
}

Reply Reply::gzipped(std::string_view plain)
{
    Reply reply = status(200);
    reply.header("Content-Encoding", "gzip");
    reply.body = gzip(plain);
    reply.autoContentLength = true;
    return reply;
}

Reply Reply::generated(std::uint64_t size, Generator generator)
{
    Reply reply = status(200);
    reply.bodyKind = BodyKind::Generated;
    reply.generatedSize = size;
    reply.generator = std::move(generator);
    reply.autoContentLength = true;
    return reply;
}

Reply Reply::pattern(std::uint64_t size)
{
    return generated(size, [](std::uint64_t offset, char* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = patternByte(offset + i);
    });
}

Reply Reply::silence()
{
    Reply reply;
    reply.holdSilently = true;
    return reply;
}

Reply Reply::hangUp()
{
    Reply reply;
    reply.dropAfterBytes = 0;
    return reply;
}

Reply Reply::range(const RecordedRequest& request, std::string_view content)
{
    RangeChoice choice = chooseRange(request, content.size());
    Reply reply = rangeShell(choice, content.size());
    reply.body
        = std::string(content.substr(static_cast<std::size_t>(choice.start), static_cast<std::size_t>(choice.length)));
    return reply;
}

Reply Reply::range(const RecordedRequest& request, std::uint64_t size, Generator generator)
{
    RangeChoice choice = chooseRange(request, size);
    Reply reply = rangeShell(choice, size);
    reply.bodyKind = BodyKind::Generated;
    reply.generatedSize = choice.length;
    std::uint64_t start = choice.start;
    reply.generator = [start, whole = std::move(generator)](std::uint64_t offset, char* out, std::size_t count) {
        if (whole)
            whole(start + offset, out, count);
    };
    return reply;
}

Reply& Reply::header(std::string name, std::string value)
{
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

Reply& Reply::withBody(std::string bytes)
{
    bodyKind = BodyKind::Fixed;
    body = std::move(bytes);
    return *this;
}

Reply& Reply::withBody(const Bytes& bytes)
{
    return withBody(std::string(bytes.begin(), bytes.end()));
}

Reply& Reply::withContentLength()
{
    autoContentLength = true;
    return *this;
}

Reply& Reply::keepAlive(int timeoutSeconds, int max)
{
    header("Connection", "Keep-Alive");
    return header("Keep-Alive", "timeout=" + std::to_string(timeoutSeconds) + ", max=" + std::to_string(max));
}

Reply& Reply::closing()
{
    closeConnection = true;
    return *this;
}

Reply& Reply::trickle(std::size_t bytes, std::chrono::milliseconds interval)
{
    trickleBytes = bytes;
    trickleInterval = interval;
    return *this;
}

Reply& Reply::dropAfterBody(std::uint64_t bytes)
{
    dropAfterBodyBytes = bytes;
    return *this;
}

// Free helpers

std::string gzip(std::string_view plain)
{
    z_stream stream {};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&stream, static_cast<uLong>(plain.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<const Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::string();
}

std::string corruptGzip(std::string_view plain)
{
    std::string stream = gzip(plain);
    // The gzip header written by zlib is 10 bytes; the next byte opens the first deflate block.
    // 0x07 is "final block, type 3", a type that does not exist.
    if (stream.size() > 10)
        stream[10] = '\x07';
    return stream;
}

char patternByte(std::uint64_t offset)
{
    std::uint64_t x = (offset + 1) * 0x9E3779B97F4A7C15ULL;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ULL;
    return static_cast<char>(x >> 56);
}

std::string patternBytes(std::uint64_t offset, std::size_t count)
{
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = patternByte(offset + i);
    return bytes;
}

std::string md5Hex(std::string_view bytes)
{
    Md5 md5;
    md5.add(bytes);
    return md5.hex();
}

std::string reasonPhrase(int code)
{
    static const std::map<int, const char*> phrases = {
        { 100, "Continue" },
        { 200, "OK" },
        { 201, "Created" },
        { 202, "Accepted" },
        { 204, "No Content" },
        { 206, "Partial Content" },
        { 207, "Multi-Status" },
        { 301, "Moved Permanently" },
        { 302, "Found" },
        { 303, "See Other" },
        { 304, "Not Modified" },
        { 307, "Temporary Redirect" },
        { 308, "Permanent Redirect" },
        { 400, "Bad Request" },
        { 401, "Unauthorized" },
        { 403, "Forbidden" },
        { 404, "Not Found" },
        { 405, "Method Not Allowed" },
        { 407, "Proxy Authentication Required" },
        { 409, "Conflict" },
        { 410, "Gone" },
        { 411, "Length Required" },
        { 412, "Precondition Failed" },
        { 413, "Content Too Large" },
        { 416, "Range Not Satisfiable" },
        { 417, "Expectation Failed" },
        { 423, "Locked" },
        { 431, "Request Header Fields Too Large" },
        { 500, "Internal Server Error" },
        { 501, "Not Implemented" },
        { 502, "Bad Gateway" },
        { 503, "Service Unavailable" },
        { 504, "Gateway Timeout" },
        { 507, "Insufficient Storage" },
    };
    auto it = phrases.find(code);
    return it != phrases.end() ? it->second : "Status";
}

// ScriptedHttpServer

ScriptedHttpServer::ScriptedHttpServer(TlsMode mode)
{
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        startError_ = std::string("eventfd: ") + std::strerror(errno);
        return;
    }
    if (mode == TlsMode::SelfSigned) {
        certificate_ = TestCertificate::generate(&startError_);
        if (!certificate_)
            return;
        tls_ = SSL_CTX_new(TLS_server_method());
        bool loaded = false;
        if (tls_ != nullptr) {
            BIO* certBio = BIO_new_mem_buf(certificate_->certificatePem.data(), -1);
            BIO* keyBio = BIO_new_mem_buf(certificate_->privateKeyPem.data(), -1);
            X509* cert = certBio != nullptr ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
            EVP_PKEY* key = keyBio != nullptr ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
            loaded = cert != nullptr && key != nullptr && SSL_CTX_use_certificate(tls_, cert) == 1
                && SSL_CTX_use_PrivateKey(tls_, key) == 1 && SSL_CTX_check_private_key(tls_) == 1;
            X509_free(cert);
            EVP_PKEY_free(key);
            BIO_free(certBio);
            BIO_free(keyBio);
            SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
            // A client that vanishes without close_notify is an ordinary end of connection here.
            SSL_CTX_set_options(tls_, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
            SSL_CTX_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        }
        if (!loaded) {
            startError_ = "setting up the TLS context failed";
            ERR_clear_error();
            return;
        }
    }

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listenFd_, 128) != 0
        || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        startError_ = std::string("listening on 127.0.0.1: ") + std::strerror(errno);
        return;
    }
    try {
        acceptThread_ = std::thread([this] { acceptLoop(); });
    } catch (const std::exception& e) {
        startError_ = std::string("starting the accept thread: ") + e.what();
        return;
    }
    port_ = ntohs(address.sin_port);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    stop();
}

void ScriptedHttpServer::stop()
{
    if (stopped_.exchange(true))
        return;
    if (stopFd_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(stopFd_, &one, sizeof one);
    }
    if (acceptThread_.joinable())
        acceptThread_.join();
    for (auto& worker : workers_)
        worker.thread.join();
    workers_.clear();
    if (listenFd_ >= 0)
        ::close(listenFd_);
    if (stopFd_ >= 0)
        ::close(stopFd_);
    listenFd_ = stopFd_ = -1;
    if (tls_ != nullptr)
        SSL_CTX_free(tls_);
    tls_ = nullptr;
}

std::string ScriptedHttpServer::baseUrl() const
{
    return std::string(certificate_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string ScriptedHttpServer::pinnedPublicKey() const
{
    return certificate_ ? certificate_->pinnedPublicKey() : std::string();
}

void ScriptedHttpServer::setHandler(Handler handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void ScriptedHttpServer::enqueue(Reply reply)
{
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(reply));
}

void ScriptedHttpServer::enqueue(std::string target, Reply reply)
{
    std::lock_guard lock(mutex_);
    targeted_[std::move(target)].push_back(std::move(reply));
}

void ScriptedHttpServer::setBodyKeepLimit(std::uint64_t bytes)
{
    std::lock_guard lock(mutex_);
    options_.bodyKeepLimit = bytes;
}

ScriptedHttpServer::Options ScriptedHttpServer::options() const
{
    std::lock_guard lock(mutex_);
    return options_;
}

std::vector<RecordedRequest> ScriptedHttpServer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t ScriptedHttpServer::requestCount() const
{
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool ScriptedHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return recorded_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void ScriptedHttpServer::clearRequests()
{
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::uint64_t ScriptedHttpServer::connectionCount() const
{
    std::lock_guard lock(mutex_);
    return connections_;
}

std::vector<std::string> ScriptedHttpServer::rejections() const
{
    std::lock_guard lock(mutex_);
    return rejections_;
}

std::size_t ScriptedHttpServer::unscriptedCount() const
{
    std::lock_guard lock(mutex_);
    return unscripted_;
}

void ScriptedHttpServer::closeIdleConnections()
{
    std::lock_guard lock(mutex_);
    // The connection's own thread closes the descriptor, and only after it has left live_, so
    // the descriptor is still ours here.
    for (const auto& entry : live_) {
        if (entry.second.idle)
            ::shutdown(entry.second.fd, SHUT_RDWR);
    }
}

std::size_t ScriptedHttpServer::idleConnectionCount() const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(live_.begin(), live_.end(), [](const auto& entry) { return entry.second.idle; }));
}

void ScriptedHttpServer::record(RecordedRequest request)
{
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
    }
    recorded_.notify_all();
}

void ScriptedHttpServer::reject(std::string reason)
{
    std::lock_guard lock(mutex_);
    rejections_.push_back(std::move(reason));
}

void ScriptedHttpServer::setIdle(std::uint64_t connectionId, bool idle)
{
    std::lock_guard lock(mutex_);
    auto it = live_.find(connectionId);
    if (it != live_.end())
        it->second.idle = idle;
}

Reply ScriptedHttpServer::chooseReply(const RecordedRequest& request)
{
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        auto take = [this](const std::string& key) -> std::optional<Reply> {
            auto it = targeted_.find(key);
            if (it == targeted_.end() || it->second.empty())
                return std::nullopt;
            Reply reply = std::move(it->second.front());
            it->second.pop_front();
            return reply;
        };
        if (auto reply = take(request.target))
            return std::move(*reply);
        if (auto reply = take(request.path()))
            return std::move(*reply);
        if (!queue_.empty()) {
            Reply reply = std::move(queue_.front());
            queue_.pop_front();
            return reply;
        }
        handler = handler_;
        if (!handler) {
            ++unscripted_;
            return Reply::withStatusLine("HTTP/1.1 500 Unscripted")
                .header("Content-Type", "text/plain")
                .withBody("no reply scripted for " + request.method + " " + request.target)
                .withContentLength();
        }
    }
    try {
        return handler(request);
    } catch (const std::exception& e) {
        reject("handler threw: " + std::string(e.what()));
    } catch (...) {
        reject("handler threw");
    }
    return Reply::withStatusLine("HTTP/1.1 500 Handler Threw").withContentLength().closing();
}

void ScriptedHttpServer::acceptLoop()
{
    for (;;) {
        pollfd fds[2] = { { listenFd_, POLLIN, 0 }, { stopFd_, POLLIN, 0 } };
        int result = ::poll(fds, 2, -1);
        if (result < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0 || stopped_.load())
            return;
        if (result <= 0 || fds[0].revents == 0)
            continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or the like: back off instead of spinning on a ready socket.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                ::poll(&fds[1], 1, 10);
            continue;
        }
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        workers_.remove_if([](Worker& worker) {
            if (!worker.done->load())
                return false;
            worker.thread.join();
            return true;
        });
        std::uint64_t id = 0;
        {
            std::lock_guard lock(mutex_);
            id = ++connections_;
            live_[id] = LiveConnection { fd, false };
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
            workers_.push_back(Worker { std::thread([this, fd, id, done] {
                                           serve(fd, id);
                                           done->store(true);
                                       }),
                done });
        } catch (const std::exception&) {
            std::lock_guard lock(mutex_);
            live_.erase(id);
            ::close(fd);
        }
    }
}

void ScriptedHttpServer::serve(int fd, std::uint64_t connectionId)
{
    // Writing to a socket the client has closed must fail with EPIPE, not kill the test binary
    // (OpenSSL writes without MSG_NOSIGNAL).
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    SSL* ssl = tls_ != nullptr ? SSL_new(tls_) : nullptr;
    Channel channel(fd, ssl, stopFd_, stopped_);
    auto leave = [&] {
        std::lock_guard lock(mutex_);
        live_.erase(connectionId);
    };
    std::string error;
    if (tls_ != nullptr && (ssl == nullptr || channel.handshake(error) != Channel::Io::Ok)) {
        if (!stopped_.load())
            reject("connection " + std::to_string(connectionId) + ": TLS handshake failed: " + error);
        leave();
        return;
    }

    std::string buffer;
    for (std::size_t index = 0;; ++index) {
        Options settings = options();
        setIdle(connectionId, buffer.empty());
        RecordedRequest request;
        request.connectionId = connectionId;
        request.indexOnConnection = index;
        RequestReader reader(channel, buffer, settings.maxHeaderBytes);
        auto result = reader.readHead(request, [&] { setIdle(connectionId, false); });

        std::optional<RequestReader::Framing> framing;
        if (result == RequestReader::Result::Complete) {
            // Settings changed while the connection sat idle apply to this request.
            settings = options();
            framing = reader.framing(request);
            if (!framing)
                result = RequestReader::Result::BadRequest;
        }
        if (result == RequestReader::Result::Complete) {
            bool hasBody = framing->chunked || framing->length > 0;
            auto expect = request.header("Expect");
            if (hasBody && expect && equalsIgnoreCase(*expect, "100-continue") && request.version == "HTTP/1.1") {
                if (channel.write("HTTP/1.1 100 Continue\r\n\r\n") != Channel::Io::Ok)
                    break;
                request.continueSent = true;
            }
            Md5 md5;
            auto sink = [&](std::string_view bytes) {
                request.bodySize += bytes.size();
                md5.add(bytes);
                if (!request.bodyKept)
                    return;
                if (request.bodySize > settings.bodyKeepLimit) {
                    request.bodyKept = false;
                    std::string().swap(request.body);
                } else {
                    request.body.append(bytes);
                }
            };
            request.chunked = framing->chunked;
            result = framing->chunked ? reader.readChunkedBody(request.trailers, sink)
                                      : reader.readBody(framing->length, sink);
            request.bodyMd5 = md5.hex();
            if (result == RequestReader::Result::Closed || result == RequestReader::Result::Stopped) {
                // The client gave up in the middle of its body: record what arrived.
                request.bodyComplete = false;
                record(std::move(request));
                break;
            }
        }
        if (result == RequestReader::Result::Closed || result == RequestReader::Result::Stopped)
            break;
        if (result == RequestReader::Result::BadRequest || result == RequestReader::Result::HeadTooLarge) {
            bool tooLarge = result == RequestReader::Result::HeadTooLarge;
            reject("connection " + std::to_string(connectionId) + ": " + reader.error());
            std::string answer = plainAnswer(
                tooLarge ? "HTTP/1.1 431 Request Header Fields Too Large" : "HTTP/1.1 400 Bad Request", reader.error());
            if (channel.write(answer) == Channel::Io::Ok)
                channel.finish();
            break;
        }

        std::string connectionHeader;
        for (const auto& value : request.headerValues("Connection"))
            connectionHeader += value + ",";
        bool clientKeepsAlive = request.version == "HTTP/1.1" ? !listsToken(connectionHeader, "close")
                                                              : listsToken(connectionHeader, "keep-alive");
        record(request);
        Reply reply = chooseReply(request);
        AfterReply after = sendReply(channel, request, reply, clientKeepsAlive);
        if (after == AfterReply::Keep)
            continue;
        if (after == AfterReply::Close)
            channel.finish();
        else if (after == AfterReply::Abort)
            channel.abort();
        break;
    }
    leave();
}

} // namespace norvane::test
