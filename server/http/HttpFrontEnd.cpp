#include "server/http/HttpFrontEnd.h"

#include "platform/Log.h"
#include "server/handlers/ListingHandlers.h"
#include "server/handlers/ManagementHandlers.h"
#include "server/handlers/PrintHandlers.h"
#include "server/handlers/PublishingHandlers.h"
#include "server/handlers/SessionHandlers.h"
#include "server/handlers/TransferHandlers.h"
#include "server/http/ConnectionReactor.h"
#include "server/http/ControlEndpoint.h"
#include "server/http/ElasticTaskQueue.h"
#include "server/http/Exchange.h"

#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <exception>
#include <thread>

namespace norvane::server {

namespace {

// Clients that connect at once wait here until the reactor accepts them.
constexpr int kListenBacklog = 4096;
// After an answer, how long a worker waits for the client's next request before the connection
// goes back to the reactor: a client that asks at once is served without a hand-over.
constexpr std::chrono::milliseconds kQuickNextRequest { 2 };

ErrorValue frontEndError(std::string description)
{
    return ErrorValue { kFrontEndErrorDomain, 1, std::move(description), {} };
}

std::string sslErrorText()
{
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return text;
}

void pauseFor(std::chrono::milliseconds duration, const std::atomic<bool>& stopping)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!stopping.load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void methodNotAllowed(Exchange& exchange)
{
    exchange.error(405, "MethodNotAllowed", "The method is not allowed on this resource");
}

// The rule's action before the handler runs. True when the request is answered (or deliberately
// left unanswered) by it.
bool applyFault(Exchange& exchange, const FaultAction& action, const std::atomic<bool>& stopping)
{
    Log::line("Fault rule " + std::to_string(action.ruleIndex) + " applies to " + exchange.req.method + " "
        + exchange.target.decodedPath);
    if (action.delay.count() > 0)
        pauseFor(action.delay, stopping);
    if (action.noAnswer) {
        exchange.holdWithoutAnswer();
        return true;
    }
    exchange.fault = action;
    if (action.offset416) {
        exchange.res.set_header("X-Zel-Offset-In-Database", std::to_string(*action.offset416));
        exchange.error(416, "InvalidRange", "The chunk does not continue the upload");
        return true;
    }
    if (action.status) {
        const bool markup = !action.body.empty() && action.body.front() == '<';
        exchange.sendBody(action.body, markup ? "application/xml" : "text/plain", false);
        exchange.res.status = *action.status;
        return true;
    }
    return false;
}

bool hasQuery(const Exchange& exchange, std::string_view name)
{
    return exchange.target.queryValue(name) != nullptr;
}

bool isManagementPut(const Exchange& exchange)
{
    return exchange.hasHeader("x-zel-copy-src") || exchange.hasHeader("x-zel-move-src")
        || exchange.hasHeader("x-zel-folder-rename-src") || !hasQuery(exchange, "md5");
}

// The storage requests, after authorization.
void routeStorage(Exchange& exchange)
{
    const std::string& method = exchange.req.method;
    const bool read = exchange.isRead();
    const auto& target = exchange.target;
    switch (target.form) {
    case TargetForm::Information:
        if (read)
            return handleInformation(exchange);
        break;
    case TargetForm::Folder:
        if (read)
            return handleFolderRead(exchange);
        if (method == "POST")
            return handleCreateFolder(exchange);
        if (method == "PUT")
            return handleManagementPut(exchange);
        if (method == "DELETE")
            return handleDelete(exchange);
        break;
    case TargetForm::File:
        if (read)
            return handleFileRead(exchange);
        if (method == "POST")
            return hasQuery(exchange, "md5") ? handleUpload(exchange) : handleCreateFolder(exchange);
        if (method == "PUT")
            return isManagementPut(exchange) ? handleManagementPut(exchange) : handleUpload(exchange);
        if (method == "DELETE")
            return handleDelete(exchange);
        break;
    case TargetForm::PdfPage:
        if (read)
            return handlePdfPage(exchange);
        break;
    case TargetForm::Search:
        if (read)
            return handleSearch(exchange);
        break;
    case TargetForm::Lock:
        if (read || method == "PUT" || method == "POST")
            return handleLock(exchange);
        break;
    case TargetForm::MakeUrl:
        if (method == "POST")
            return handleMakeUrl(exchange);
        break;
    case TargetForm::NetPrint:
        if (read && target.path.empty())
            return handlePrintList(exchange);
        if (method == "POST" && target.path.empty())
            return handlePrintRegistration(exchange);
        if (method == "DELETE" && target.path.size() == 1)
            return handlePrintDelete(exchange);
        break;
    default:
        break;
    }
    methodNotAllowed(exchange);
}

void dispatch(Exchange& exchange, const std::atomic<bool>& stopping)
{
    auto parse = parseRequestTarget(exchange.req.target);
    if (!parse.target) {
        if (parse.unknownForm)
            exchange.error(404, "NoSuchKey", parse.error);
        else
            exchange.invalidArgument(parse.error);
        return;
    }
    exchange.target = std::move(*parse.target);
    if (exchange.target.form == TargetForm::Control)
        return handleControl(exchange);

    if (auto action = exchange.service.faults.match(exchange.req.method, exchange.target.decodedPath)) {
        if (applyFault(exchange, *action, stopping))
            return;
    }

    const bool read = exchange.isRead();
    switch (exchange.target.form) {
    case TargetForm::Version:
        return read ? handleVersion(exchange) : methodNotAllowed(exchange);
    case TargetForm::Login:
        return read ? handleLogin(exchange) : methodNotAllowed(exchange);
    case TargetForm::ChangePassword:
        return read ? handleChangePassword(exchange) : methodNotAllowed(exchange);
    case TargetForm::PublicLink:
        return read || exchange.req.method == "POST" ? handlePublicLink(exchange) : methodNotAllowed(exchange);
    default:
        break;
    }
    if (!authorizeStorageRequest(exchange))
        return;
    routeStorage(exchange);
}

} // namespace

struct HttpFrontEnd::Impl {
    Impl(ServerStore& store, FaultRules& faults, FrontEndSettings frontEndSettings)
        : settings(std::move(frontEndSettings))
        , service { store, faults, stopping, settings.controlToken, {}, settings.tls, settings.noAnswerHold }
    { }
    ~Impl();

    void handle(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader* reader)
    {
        Exchange exchange(service, request, response, reader, Connection::current());
        if (exchange.connection)
            exchange.connection->noteHandled();
        try {
            dispatch(exchange, stopping);
        } catch (const std::exception& failure) {
            Log::line(std::string("Request failed: ") + failure.what());
            if (!exchange.connection || !exchange.connection->abandoned())
                exchange.error(500, "InternalError", "The server could not complete the request");
        }
        try {
            exchange.finish();
        } catch (const std::exception& failure) {
            Log::line(std::string("Answer not completed: ") + failure.what());
            if (exchange.connection)
                exchange.connection->abandon();
        }
    }

    FrontEndSettings settings;
    std::atomic<bool> stopping { false };
    ServiceContext service;
    SSL_CTX* sslContext = nullptr;
    std::unique_ptr<FrontEndServer> server;
    std::unique_ptr<ElasticTaskQueue> workers;
    std::unique_ptr<ConnectionReactor> reactor;
    int port = 0;
    std::string url;
    bool started = false;
};

// httplib's request parsing, routing and answer writing over connections of our own (see
// Connection). Its own accept loop and threads are not used: the reactor gathers each request head
// and a worker serves the request here.
class FrontEndServer final : public httplib::Server {
public:
    explicit FrontEndServer(HttpFrontEnd::Impl& impl)
        : impl_(impl)
    { }

    // Serves requests of the connection while they come without waiting; then hands the connection
    // back to the reactor for the next one, or closes it.
    void serve(std::unique_ptr<Connection> connection)
    {
        const auto& settings = impl_.settings;
        try {
            while (!impl_.stopping.load()) {
                connection->beginRequest();
                const bool last = connection->served() >= settings.requestsPerConnection;
                bool closed = false;
                Connection::setCurrent(connection.get());
                const bool ok = process_request(*connection, last, closed, nullptr);
                Connection::setCurrent(nullptr);
                const bool sent = connection->flushOutput();
                if (!ok || !sent || closed || last || connection->closesAfterAnswer() || !connection->handled())
                    return;
                if (!connection->awaitNextHead(kQuickNextRequest))
                    return impl_.reactor->giveBack(std::move(connection));
            }
        } catch (const std::exception& failure) {
            Connection::setCurrent(nullptr);
            Log::line(std::string("Connection failed: ") + failure.what());
        }
    }

    // httplib writes streamed answers only while it believes its own listening socket is open.
    void setListening(bool listening) { svr_sock_ = listening ? kListeningMark : INVALID_SOCKET; }

private:
    static constexpr socket_t kListeningMark = 0;
    HttpFrontEnd::Impl& impl_;
};

HttpFrontEnd::Impl::~Impl()
{
    if (sslContext)
        SSL_CTX_free(sslContext);
}

namespace {

// A bound, listening socket for host and port (0: a free one); its port is set to the real one.
int openListener(const std::string& host, int& port, std::string& error)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int failure = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); failure != 0) {
        error = ::gai_strerror(failure);
        return -1;
    }
    int listener = -1;
    for (addrinfo* address = found; address && listener < 0; address = address->ai_next) {
        listener = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (listener < 0)
            continue;
        const int yes = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(listener, address->ai_addr, address->ai_addrlen) != 0 || ::listen(listener, kListenBacklog) != 0) {
            error = std::strerror(errno);
            ::close(listener);
            listener = -1;
        }
    }
    ::freeaddrinfo(found);
    if (listener < 0)
        return -1;
    sockaddr_storage bound {};
    socklen_t length = sizeof bound;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return listener;
}

} // namespace

HttpFrontEnd::HttpFrontEnd(ServerStore& store, FaultRules& faults, FrontEndSettings settings)
    : impl_(std::make_unique<Impl>(store, faults, std::move(settings)))
{ }

HttpFrontEnd::~HttpFrontEnd()
{
    stop();
}

std::optional<ErrorValue> HttpFrontEnd::start()
{
    Impl& impl = *impl_;
    if (impl.started)
        return frontEndError("already started");
    const auto& settings = impl.settings;
    if (settings.tls) {
        impl.sslContext = SSL_CTX_new(TLS_server_method());
        if (!impl.sslContext)
            return frontEndError("TLS context: " + sslErrorText());
        SSL_CTX_set_min_proto_version(impl.sslContext, TLS1_2_VERSION);
        // A peer that closes without a close_notify simply ends the stream.
        SSL_CTX_set_options(impl.sslContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
        if (SSL_CTX_use_certificate_chain_file(impl.sslContext, settings.certificateFile.c_str()) != 1
            || SSL_CTX_use_PrivateKey_file(impl.sslContext, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1
            || SSL_CTX_check_private_key(impl.sslContext) != 1)
            return frontEndError("TLS certificate or key: " + sslErrorText());
    }

    auto server = std::make_unique<FrontEndServer>(impl);
    // What the "Keep-Alive" header of each answer tells the client.
    server->set_keep_alive_max_count(settings.requestsPerConnection);
    server->set_keep_alive_timeout(
        std::max<time_t>(1, std::chrono::duration_cast<std::chrono::seconds>(settings.keepAliveIdle).count()));
    // Ranges, compression and routing by path are the front end's own: the target is read from the
    // raw request line, never from httplib's decoded path.
    server->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        auto& writable = const_cast<httplib::Request&>(request);
        writable.ranges.clear();
        writable.headers.erase("Accept-Encoding");
        writable.path = "/";
        return httplib::Server::HandlerResponse::Unhandled;
    });
    Impl* self = &impl;
    server->Get("/", [self](const httplib::Request& request, httplib::Response& response) {
        self->handle(request, response, nullptr);
    });
    auto withBody = [self](const httplib::Request& request, httplib::Response& response,
                        const httplib::ContentReader& reader) { self->handle(request, response, &reader); };
    server->Post("/", httplib::Server::HandlerWithContentReader(withBody));
    server->Put("/", httplib::Server::HandlerWithContentReader(withBody));
    server->Delete("/", httplib::Server::HandlerWithContentReader(withBody));

    int port = settings.port;
    std::string error;
    const int listener = openListener(settings.host, port, error);
    if (listener < 0)
        return frontEndError("cannot listen on " + settings.host + ":" + std::to_string(settings.port) + ": " + error);
    impl.port = port;
    const bool ipv6 = settings.host.find(':') != std::string::npos;
    impl.url = std::string(settings.tls ? "https" : "http") + "://" + (ipv6 ? "[" + settings.host + "]" : settings.host)
        + ":" + std::to_string(port);
    impl.service.baseUrl = impl.url;

    server->setListening(true);
    impl.server = std::move(server);
    impl.workers = std::make_unique<ElasticTaskQueue>(settings.maxWorkers);
    ConnectionReactor::Settings reactorSettings;
    reactorSettings.headTimeout = settings.headTimeout;
    reactorSettings.keepAliveIdle = settings.keepAliveIdle;
    reactorSettings.headLimits = { settings.maxHeaders, settings.maxHeadBytes };
    reactorSettings.timeouts = settings.timeouts;
    reactorSettings.tls = impl.sslContext;
    reactorSettings.accepted = &impl.service.connectionsAccepted;
    impl.reactor = std::make_unique<ConnectionReactor>(
        reactorSettings,
        [self](std::unique_ptr<Connection> connection) {
            auto held = std::make_shared<std::unique_ptr<Connection>>(std::move(connection));
            self->workers->enqueue([self, held] { self->server->serve(std::move(*held)); });
        },
        impl.stopping);
    if (auto failure = impl.reactor->start(listener))
        return frontEndError(*failure);
    impl.started = true;
    return std::nullopt;
}

void HttpFrontEnd::stop()
{
    Impl& impl = *impl_;
    if (!impl.started)
        return;
    impl.stopping.store(true);
    // No connection is accepted or handed on any more; the workers end what they serve.
    impl.server->setListening(false);
    impl.reactor->stop();
    impl.workers->shutdown();
    impl.started = false;
}

int HttpFrontEnd::port() const
{
    return impl_->port;
}

const std::string& HttpFrontEnd::url() const
{
    return impl_->url;
}

} // namespace norvane::server
