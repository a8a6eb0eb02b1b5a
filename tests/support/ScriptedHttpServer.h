#pragma once

#include "platform/Value.h"
#include "support/TestCertificate.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace norvane::test {

// Header fields in wire order, names and values spelled exactly as sent (values without the
// surrounding blanks).
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the server read it off the wire.
struct RecordedRequest {
    std::string method;
    std::string target; // the request-target exactly as sent
    std::string version; // "HTTP/1.1" or "HTTP/1.0"
    HeaderList headers;
    HeaderList trailers; // of a chunked body
    std::string rawHead; // request line and header block byte for byte, through the empty line
    std::string body; // decoded (de-chunked); empty when not kept
    std::uint64_t bodySize = 0;
    std::string bodyMd5; // lower-case hex, always computed
    bool bodyKept = true; // false when bodySize exceeded the server's keep limit
    bool bodyComplete = true; // false when the client went away in the middle of the body
    bool chunked = false; // the body came with "Transfer-Encoding: chunked"
    bool continueSent = false; // the server answered "Expect: 100-continue" before reading the body
    std::uint64_t connectionId = 0; // 1 for the first accepted connection, and so on
    std::size_t indexOnConnection = 0; // 0 for the first request of its connection
    std::chrono::steady_clock::time_point received; // when the header block was complete

    // First value of a header, names compared case-insensitively.
    std::optional<std::string> header(std::string_view name) const;
    std::vector<std::string> headerValues(std::string_view name) const;
    std::vector<std::string> headerNames() const;
    std::string path() const; // target up to '?'
    std::optional<std::string> query() const; // after '?', when there is one
};

// What the server sends back for one request. The server writes the status line and the headers
// exactly as given and adds nothing, except "Content-Length" (after the listed headers) when
// autoContentLength is set. The builders below say which headers they list. A HEAD request gets
// the head only. The connection stays open for the next request unless the client asked to close
// it (HTTP/1.0 without keep-alive, "Connection: close"), the reply says closeConnection, lists
// "Connection: close", or has a body delimited by the end of the connection (no Content-Length
// and no Transfer-Encoding).
struct Reply {
    // Fills out[0..count) with the body bytes at offset..offset+count.
    using Generator = std::function<void(std::uint64_t offset, char* out, std::size_t count)>;
    enum class BodyKind { Fixed, Generated };

    std::string statusLine = "HTTP/1.1 200 OK";
    HeaderList headers;
    BodyKind bodyKind = BodyKind::Fixed;
    std::string body; // Fixed
    std::uint64_t generatedSize = 0; // Generated: produced piece by piece, never held whole
    Generator generator;
    bool autoContentLength = false;
    bool holdSilently = false; // answer nothing; keep the connection until the client or the server ends it
    bool closeConnection = false; // close after the reply even when the client wants keep-alive
    std::size_t trickleBytes = 0; // body (not head) written in pieces of this size...
    std::chrono::milliseconds trickleInterval { 0 }; // ...with this pause between them
    std::optional<std::uint64_t> dropAfterBytes; // close abruptly after this many bytes of the whole response
    std::optional<std::uint64_t> dropAfterBodyBytes; // ...or of the body as framed on the wire

    // "HTTP/1.1 <code> <standard reason>" without headers or body.
    static Reply status(int code);
    static Reply withStatusLine(std::string line);
    // 200 with the body and an automatic Content-Length.
    static Reply ok(std::string body);
    // The code's status line, "Location", automatic "Content-Length: 0".
    static Reply redirect(int code, std::string location);
    // 200, "Content-Encoding: gzip", the gzip of plain, automatic Content-Length.
    static Reply gzipped(std::string_view plain);
    // 200 with a streamed body of the given size and an automatic Content-Length.
    static Reply generated(std::uint64_t size, Generator generator);
    // generated() over patternBytes().
    static Reply pattern(std::uint64_t size);
    static Reply silence();
    // Closes the connection without sending anything.
    static Reply hangUp();
    // Serves a single "Range: bytes=a-", "bytes=a-b" or "bytes=-n" of content with 206 and
    // "Content-Range"; 416 with "Content-Range: bytes */size" when a is beyond the end; 200 with
    // the whole content when there is no Range header or it is not a single byte range. Always
    // "Accept-Ranges: bytes" and an automatic Content-Length.
    static Reply range(const RecordedRequest& request, std::string_view content);
    static Reply range(const RecordedRequest& request, std::uint64_t size, Generator generator);

    Reply& header(std::string name, std::string value);
    Reply& withBody(std::string bytes);
    Reply& withBody(const Bytes& bytes);
    Reply& withContentLength();
    // "Connection: Keep-Alive" and "Keep-Alive: timeout=T, max=M", the form the engine looks for.
    Reply& keepAlive(int timeoutSeconds = 15, int max = 100);
    Reply& closing();
    Reply& trickle(std::size_t bytes, std::chrono::milliseconds interval);
    Reply& dropAfterBody(std::uint64_t bytes);
};

// gzip wrapper (zlib window bits 31), default level.
std::string gzip(std::string_view plain);
// A gzip stream whose first deflate block has an invalid type, so any inflater fails at once.
std::string corruptGzip(std::string_view plain);
// A deterministic byte pattern in which every offset matters (a shifted range never matches).
char patternByte(std::uint64_t offset);
std::string patternBytes(std::uint64_t offset, std::size_t count);
std::string md5Hex(std::string_view bytes);
std::string reasonPhrase(int code);

enum class TlsMode { Plain, SelfSigned };

// An HTTP/1.1 server on 127.0.0.1 (ephemeral port) for wire-level tests: records every request
// and answers exactly what the test scripted. Strict on purpose: bare LF line ends, folded
// headers, blanks before the colon, a missing Host on HTTP/1.1, conflicting lengths and unknown
// transfer codings get "400 Bad Request" and a close; an over-long header block gets 431.
// Each connection runs on its own thread; the destructor stops and joins them all, also those
// that hold a silent connection or are in the middle of a trickle.
class ScriptedHttpServer {
public:
    using Handler = std::function<Reply(const RecordedRequest&)>;

    explicit ScriptedHttpServer(TlsMode mode = TlsMode::Plain);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // False when listening (or making the certificate) failed; startError() says why.
    bool ok() const { return port_ != 0; }
    const std::string& startError() const { return startError_; }
    std::uint16_t port() const { return port_; }
    std::string baseUrl() const; // "http://127.0.0.1:PORT" or "https://..."
    std::string url(std::string_view target) const { return baseUrl() + std::string(target); }
    bool isTls() const { return certificate_.has_value(); }
    std::string pinnedPublicKey() const;

    // Which reply a request gets: the first queued for its exact target, else the first queued
    // for its path (a key without '?'), else the first of the general queue, else the handler,
    // else "500 Unscripted" with a text body (counted by unscriptedCount()). The handler runs on
    // the connection's thread, without the server's lock, on several threads at once when
    // several connections are busy; a handler that throws gets a 500 and a close.
    void setHandler(Handler handler);
    void enqueue(Reply reply);
    void enqueue(std::string target, Reply reply);

    void setBodyKeepLimit(std::uint64_t bytes); // bodies above it keep only size and MD5

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    void clearRequests();
    std::uint64_t connectionCount() const;
    // Why connections were refused (malformed requests, oversize heads, failed TLS handshakes,
    // throwing handlers), in order.
    std::vector<std::string> rejections() const;
    std::size_t unscriptedCount() const;

    // Closes every connection that waits for its next request, as a server whose keep-alive
    // ran out would: the next request of a client on it finds it gone.
    void closeIdleConnections();
    // Connections that wait for their next request.
    std::size_t idleConnectionCount() const;
    // Idempotent; the destructor calls it.
    void stop();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    struct LiveConnection {
        int fd = -1;
        bool idle = false;
    };
    struct Options {
        std::uint64_t bodyKeepLimit = UINT64_MAX;
        std::size_t maxHeaderBytes = 65536;
    };

    void acceptLoop();
    void serve(int fd, std::uint64_t connectionId);
    Reply chooseReply(const RecordedRequest& request);
    void record(RecordedRequest request);
    void reject(std::string reason);
    void setIdle(std::uint64_t connectionId, bool idle);
    Options options() const;

    std::string startError_;
    std::uint16_t port_ = 0;
    int listenFd_ = -1;
    int stopFd_ = -1;
    SSL_CTX* tls_ = nullptr;
    std::optional<TestCertificate> certificate_;
    std::thread acceptThread_;
    std::list<Worker> workers_; // touched by the accept thread, and by stop() after joining it
    std::atomic<bool> stopped_ { false };

    mutable std::mutex mutex_;
    mutable std::condition_variable recorded_;
    Options options_;
    Handler handler_;
    std::deque<Reply> queue_;
    std::map<std::string, std::deque<Reply>, std::less<>> targeted_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::string> rejections_;
    std::size_t unscripted_ = 0;
    std::uint64_t connections_ = 0;
    std::map<std::uint64_t, LiveConnection> live_;
};

} // namespace norvane::test
