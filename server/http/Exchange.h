#pragma once

#include "server/http/Connection.h"
#include "server/http/FaultRules.h"
#include "server/http/RenderedBodies.h"
#include "server/http/RequestTarget.h"
#include "server/store/ServerStore.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace norvane::server {

// What every request of one running front end shares.
struct ServiceContext {
    ServerStore& store;
    FaultRules& faults;
    const std::atomic<bool>& stopping;
    std::string controlToken;
    std::string baseUrl; // "http://127.0.0.1:PORT" as announced
    bool tls = false;
    std::chrono::milliseconds noAnswerHold { 60000 }; // how long a "noAnswer" rule holds a request
    std::atomic<std::uint64_t> connectionsAccepted { 0 }; // since the start, for the control endpoint
    RenderedBodies renderedBodies {}; // listings and searches, for the ranges that follow the first
};

// How a store refusal is worded: uploads and lock requests name the lock holder in a
// LockFileResult; a PUT upload to a file that is not there is 410.
enum class FailureUse { General, Upload, Lock };

// One request and its answer, with what the front end learned about it on the way to the handler
// (target, session, user, company, an active fault rule) and the ways of answering that every
// handler shares.
class Exchange {
public:
    Exchange(ServiceContext& service, const httplib::Request& request, httplib::Response& response,
        const httplib::ContentReader* reader, Connection* connection);

    ServiceContext& service;
    ServerStore& store;
    const httplib::Request& req;
    httplib::Response& res;
    Connection* connection; // null only where no connection of this front end carries the request
    RequestTarget target;
    std::string requestId;
    std::optional<Session> session;
    std::optional<User> user;
    std::optional<Company> company;
    std::optional<FaultAction> fault; // body pacing or cutting of a matched rule

    bool isRead() const { return req.method == "GET" || req.method == "HEAD"; }
    // The header's value, or empty.
    std::string header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
    // A header that the client percent-encodes, decoded; as it came when it is no valid encoding.
    std::string decodedHeader(std::string_view name) const;
    // The device named by the request, or else by its session.
    std::string deviceId() const;
    AreaRef area() const; // the target's area for the user
    AreaRef areaOf(Area area) const;

    // --- the request body --------------------------------------------------------------------
    // Content-Length above 0, or a chunked body.
    bool hasBody() const;
    // The announced length; none for a chunked body.
    std::optional<std::uint64_t> contentLength() const;
    // Hands the body to `receiver` piece by piece, paced or cut as the active fault says. False
    // when the body could not be read whole (the connection then ends after the answer) or was cut
    // (the connection is dropped without an answer).
    bool readBody(const std::function<bool(const char* data, std::size_t size)>& receiver);
    // The whole body when it has at most `limit` bytes.
    std::optional<std::string> readSmallBody(std::size_t limit);
    bool bodyWasCut() const { return bodyCut_; }

    // --- answers -----------------------------------------------------------------------------
    // Status with the error document (code, message, request id).
    void error(int status, std::string_view code, std::string_view message);
    void invalidArgument(std::string_view message) { error(400, "InvalidArgument", message); }
    // Status without a body.
    void status(int status);
    void xml(std::string document, int status = 200);
    // A body from memory; with `ranged`, the request's range applies (206/416).
    void sendBody(std::string body, const std::string& contentType, bool ranged);
    // The same from a body that others share (a rendering kept for the following ranges).
    void sendSharedBody(std::shared_ptr<const std::string> body, const std::string& contentType, bool ranged);
    // A stored file streamed in pieces from disk; with `ranged`, the request's range applies.
    void sendFile(const std::filesystem::path& path, std::uint64_t size, const std::string& contentType, bool ranged);
    // The status and body for a store refusal.
    void storeFailure(const StoreFailure& failure, FailureUse use = FailureUse::General);
    // The request is not answered: the connection is held until the client gives up (or the hold
    // time passes, or the server stops) and then cut.
    void holdWithoutAnswer();

    // Called once after the handler: the policy headers of the company, the storage gauge, the
    // notice version; a request body that was left unread is drained or ends the connection.
    void finish();

private:
    // sendBody and sendSharedBody: the body is `shared` when there is one, else `owned`.
    void sendRanged(
        std::shared_ptr<const std::string> shared, std::string owned, const std::string& contentType, bool ranged);

    const httplib::ContentReader* reader_;
    bool bodyRead_ = false;
    bool bodyCut_ = false;
};

// "Sun, 06 Nov 1994 08:49:37 GMT" of unix seconds.
std::string httpDate(std::int64_t unixSeconds);

// True for a header that may be put on the wire as it is: a token name and a value without line
// breaks or NUL.
bool isSafeHeader(std::string_view name, std::string_view value);

} // namespace norvane::server
