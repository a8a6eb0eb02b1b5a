#pragma once

#include "server/http/HeadScanner.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvane::server {

// The name under which a request's "Range" header reaches the handlers. httplib answers 416 by
// itself, before any handler runs, to a Range header it cannot read, and the connection probe's
// bare "0-N" is one; it would also apply a range it did read to every answer on its own. So the
// connection hands the header on under this name and the ranges are the front end's alone. A
// client's own header of this name is dropped.
inline constexpr const char* kRawRangeHeader = "X-Norvane-Raw-Range";

// One accepted connection, plain or TLS, over a non-blocking socket that it owns. Two parties use
// it in turn, never at once: the reactor, which makes the TLS handshake and gathers each request
// head without ever waiting (ConnectionReactor), and a worker, which lets httplib parse the head
// that was gathered, reads the body and writes the answer. For the worker it is the byte stream of
// httplib: it renames the Range header on the way in (see above) and lets a handler cut the
// connection or keep it from answering at all.
class Connection final : public httplib::Stream {
public:
    struct Timeouts {
        std::chrono::milliseconds read { 60000 }; // each wait for body bytes
        std::chrono::milliseconds write { 60000 }; // each wait to write answer bytes
        // A request's peer may keep the worker waiting (for body bytes, or to take answer
        // bytes) this long in all, plus a second for every `bytesPerSecond` moved: a client that
        // trickles holds a worker for seconds, not for ever.
        std::chrono::milliseconds waitAllowance { 10000 };
        std::size_t bytesPerSecond = 4096;
    };

    // Takes ownership of the socket and of `ssl` (null for plain HTTP).
    Connection(
        int socket, SSL* ssl, Timeouts timeouts, HeadScanner::Limits headLimits, const std::atomic<bool>& stopping);
    ~Connection() override; // closes the socket
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // --- the reactor's side: steps that never wait ------------------------------------------
    enum class Step {
        Done,
        WantRead, // call again when the socket is readable
        WantWrite, // call again when the socket is writable
        Closed, // the peer closed the connection
        Failed,
    };
    // One step of the TLS handshake; Done at once for plain HTTP.
    Step handshake();
    // Reads what has arrived (up to the head limit and a little more) into the buffer.
    Step readAvailable();
    // Where the head that begins at the buffered bytes stands.
    HeadScanner::State scanHead();
    bool hasBufferedBytes() const { return start_ < end_; }
    // Writes as much of `bytes` as goes at once: a refusal on the way out.
    void sendNow(std::string_view bytes);
    // Reads and drops what has arrived: Closed once the peer has closed.
    Step discardAvailable();
    // Gives the buffer's memory back while the connection waits with nothing in it.
    void releaseIdleBuffer();
    // Requests served so far on this connection.
    std::size_t served() const { return served_; }

    // --- the worker's side -----------------------------------------------------------------
    // The next bytes read are the request head that scanHead() found complete.
    void beginRequest();
    // After an answer: waits up to `quick` for the next request's head to arrive whole; true when
    // it has. A client that is slower goes back to the reactor, so no worker waits for it.
    bool awaitNextHead(std::chrono::milliseconds quick);
    // Sends what the answer left in the output buffer; false when the peer cannot take it.
    bool flushOutput();
    // Plain HTTP only: whether file bytes can go from the page cache to the socket directly.
    bool canSendFile() const { return !ssl_ && !abandoned_; }
    // Sends what the output buffer holds, then `length` bytes of `fd` from `offset` with
    // sendfile(2); false when the peer cannot take them or the file ends early. The caller then
    // writes the same count from sentByFile() so that httplib counts them: that write sends
    // nothing.
    bool sendFile(int fd, off_t offset, std::size_t length);
    static const char* sentByFile();

    // The connection ends after the answer now being made (for example when its request body was
    // not read).
    void closeAfterAnswer() { closeAfterAnswer_ = true; }
    bool closesAfterAnswer() const { return closeAfterAnswer_ || abandoned_; }
    // The request reached a handler of the front end. One that did not was refused by httplib while
    // it was read (a malformed request line or header, a method without handlers): what follows it
    // on the connection cannot be trusted to start a request, so the connection ends.
    void noteHandled() { handled_ = true; }
    bool handled() const { return handled_; }
    // Nothing more is written: the answer being made is never sent and the connection is cut.
    void abandon() { abandoned_ = true; }
    // What was written so far goes out, then nothing more: an answer cut off on purpose.
    void cut()
    {
        flushOutput();
        abandon();
    }
    bool abandoned() const { return abandoned_; }
    // Reads and drops whatever the peer sends until it closes the connection, `deadline` passes or
    // the server stops. True when the peer went away.
    bool holdUntilPeerGone(std::chrono::steady_clock::time_point deadline);
    bool stopping() const { return stopping_.load(); }

    // The connection whose request the calling thread serves, if any.
    static Connection* current();
    static void setCurrent(Connection* connection);

    // httplib::Stream
    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return socket_; }

private:
    enum class Mode { Head, Body };
    bool waitReadable(std::chrono::milliseconds timeout) const;
    // A wait for the peer while serving a request, within what is left of its allowance.
    bool waitForPeer(short events, std::chrono::milliseconds timeout) const;
    // One read from the socket into `into`, without waiting: > 0 bytes, 0 at the end, -1 when
    // nothing is there yet (wantWrite: TLS must write first), -2 on a failure.
    ssize_t receive(char* into, std::size_t size, bool& wantWrite);
    // Room for `bytes` more at the end of the buffer.
    void reserve(std::size_t bytes);
    // Bytes from the peer for the worker: buffered ones first; waits for more in the body.
    ssize_t readRaw(char* ptr, std::size_t size);
    // Reads the next header line into line_ (renaming or dropping as needed); false at the end.
    bool nextHeadLine();
    std::string_view buffered() const { return { buffer_.data() + start_, end_ - start_ }; }
    // Writes all of `first` and then `second` (either may be empty), waiting for the peer as a
    // request may.
    bool sendAll(std::string_view first, std::string_view second, int flags = 0);
    // After a send on the plain socket failed: true when it is worth another try (interrupted, or
    // the peer takes bytes again in time).
    bool mayRetrySend() const;
    // The head of a kept-alive answer says so in "Connection" as well as in "Keep-Alive".
    void markKeepAlive(std::string& head) const;

    int socket_;
    SSL* ssl_;
    Timeouts timeouts_;
    const std::atomic<bool>& stopping_;
    std::vector<char> buffer_; // received, not yet read: [start_, end_)
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    HeadScanner::Limits headLimits_;
    HeadScanner scanner_;
    std::size_t headLeft_ = 0; // bytes of the gathered head that httplib has still to read
    bool peerClosed_ = false;
    Mode mode_ = Mode::Head;
    bool sawRequestLine_ = false;
    std::string line_;
    std::size_t linePosition_ = 0;
    std::size_t served_ = 0;
    mutable std::chrono::steady_clock::duration waited_ {}; // for the peer, in this request
    std::uint64_t moved_ = 0; // body and answer bytes of this request
    bool closeAfterAnswer_ = false;
    bool handled_ = false;
    bool abandoned_ = false;
    // Small writes of an answer wait here, so that a head and a short body leave in one piece.
    std::string output_;
    bool answerHeadSeen_ = false;
    std::size_t sentByFile_ = 0; // sent by sendFile(), not yet counted by a write
};

} // namespace norvane::server
