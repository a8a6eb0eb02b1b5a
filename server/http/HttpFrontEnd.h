#pragma once

#include "platform/ErrorValue.h"
#include "server/http/Connection.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace norvane::server {

class ServerStore;
class FaultRules;
class FrontEndServer;

inline constexpr const char* kFrontEndErrorDomain = "norvane.server.http";

struct FrontEndSettings {
    std::string host = "127.0.0.1";
    int port = 0; // 0: a free port
    bool tls = false;
    std::filesystem::path certificateFile; // PEM, with tls
    std::filesystem::path keyFile; // PEM, with tls
    std::string controlToken; // empty: the control endpoint refuses everything
    std::size_t maxWorkers = 512; // workers serve requests whose head has arrived whole
    Connection::Timeouts timeouts; // each wait for body bytes or to write answer bytes
    std::chrono::milliseconds headTimeout { 10000 }; // TLS handshake and head; each later head
    std::chrono::milliseconds keepAliveIdle { 5000 }; // the wait for the next request
    std::size_t maxHeaders = 100; // header lines of a request; more: 431
    std::size_t maxHeadBytes = 64 * 1024; // request line, headers, empty line; more: 431
    // A kept-alive connection ends after this many requests (a 10 GiB transfer in 1 MiB chunks).
    std::size_t requestsPerConnection = 10000;
    std::chrono::milliseconds noAnswerHold { 60000 };
};

// The HTTP(S) front end of norvane-server: accepts connections (a reactor gathers each request head
// without holding a thread, see ConnectionReactor), reads each request's target and checks it,
// authorizes storage requests, applies fault rules and passes the request to the handler of its
// family on a worker.
class HttpFrontEnd {
public:
    HttpFrontEnd(ServerStore& store, FaultRules& faults, FrontEndSettings settings);
    ~HttpFrontEnd(); // stops
    HttpFrontEnd(const HttpFrontEnd&) = delete;
    HttpFrontEnd& operator=(const HttpFrontEnd&) = delete;

    // Binds and starts accepting on a thread of its own. Connections are accepted from the moment
    // this returns without an error.
    std::optional<ErrorValue> start();
    // Stops accepting, ends the open connections and waits for their workers.
    void stop();

    int port() const;
    // "http://HOST:PORT" or "https://HOST:PORT" with the real port.
    const std::string& url() const;

private:
    friend class FrontEndServer; // runs the connections
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace norvane::server
