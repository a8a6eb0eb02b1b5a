#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string>

namespace norvane::server {

// The name under which a request's "Range" header reaches the handlers. httplib answers 416 by
// itself, before any handler runs, to a Range header it cannot read, and the connection probe's
// bare "0-N" is one; it would also apply a range it did read to every answer on its own. So the
// connection hands the header on under this name and the ranges are the front end's alone. A
// client's own header of this name is dropped.
inline constexpr const char* kRawRangeHeader = "X-Norvane-Raw-Range";

// One accepted connection, plain or TLS, as the byte stream that httplib parses requests from and
// writes answers to. It renames the Range header on the way in (see above) and lets a handler cut
// the connection or keep it from answering at all.
class Connection final : public httplib::Stream {
public:
    struct Timeouts {
        std::chrono::milliseconds read { 60000 };
        std::chrono::milliseconds write { 60000 };
    };

    // Takes ownership of `ssl` (may be null for plain HTTP), not of the socket.
    Connection(int socket, SSL* ssl, Timeouts timeouts, const std::atomic<bool>& stopping);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The TLS handshake; true at once for plain HTTP.
    bool handshake();
    // Waits up to `idle` for the first byte of the next request; false when the peer closed, the
    // time passed or the server stops.
    bool waitForRequest(std::chrono::milliseconds idle);
    // The next bytes read are a request line and header block.
    void beginRequest();

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
    bool waitWritable(std::chrono::milliseconds timeout) const;
    // Raw bytes from the peer through the read-ahead buffer: > 0 bytes, 0 at the end, -1 on error.
    ssize_t readRaw(char* ptr, std::size_t size);
    ssize_t fill();
    // Reads the next header line into line_ (renaming or dropping as needed); false at the end.
    bool nextHeadLine();

    int socket_;
    SSL* ssl_;
    Timeouts timeouts_;
    const std::atomic<bool>& stopping_;
    std::array<char, 16384> buffer_ {};
    std::size_t bufferStart_ = 0;
    std::size_t bufferEnd_ = 0;
    bool peerClosed_ = false;
    Mode mode_ = Mode::Head;
    bool sawRequestLine_ = false;
    std::string line_;
    std::size_t linePosition_ = 0;
    bool closeAfterAnswer_ = false;
    bool handled_ = false;
    bool abandoned_ = false;
};

} // namespace norvane::server
