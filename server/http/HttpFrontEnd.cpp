#include "server/http/HttpFrontEnd.h"

#include "platform/Log.h"
#include "server/handlers/ListingHandlers.h"
#include "server/handlers/ManagementHandlers.h"
#include "server/handlers/PrintHandlers.h"
#include "server/handlers/PublishingHandlers.h"
#include "server/handlers/SessionHandlers.h"
#include "server/handlers/TransferHandlers.h"
#include "server/http/ControlEndpoint.h"
#include "server/http/ElasticTaskQueue.h"
#include "server/http/Exchange.h"

#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <thread>

namespace norvane::server {

namespace {

constexpr int kListenBacklog = 256;

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
    ~Impl()
    {
        if (sslContext)
            SSL_CTX_free(sslContext);
    }

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
    std::unique_ptr<httplib::Server> server;
    std::thread acceptor;
    int port = 0;
    std::string url;
    bool started = false;
};

// httplib's server with connections of our own (see Connection): the request loop of one
// connection, keep-alive included, runs here.
class FrontEndServer final : public httplib::Server {
public:
    explicit FrontEndServer(HttpFrontEnd::Impl& impl)
        : impl_(impl)
    { }

    void raiseBacklog()
    {
        const socket_t socket = svr_sock_.load();
        if (socket != INVALID_SOCKET)
            ::listen(socket, kListenBacklog);
    }

private:
    bool process_and_close_socket(socket_t sock) override
    {
        try {
            serve(sock);
        } catch (const std::exception& failure) {
            Log::line(std::string("Connection failed: ") + failure.what());
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return true;
    }

    void serve(socket_t sock)
    {
        const auto& settings = impl_.settings;
        SSL* ssl = nullptr;
        if (impl_.sslContext) {
            ssl = SSL_new(impl_.sslContext);
            if (!ssl)
                return;
        }
        Connection connection(sock, ssl, settings.timeouts, impl_.stopping);
        if (!connection.handshake())
            return;
        for (std::size_t served = 0; served < settings.requestsPerConnection && !impl_.stopping.load(); ++served) {
            if (!connection.waitForRequest(served == 0 ? settings.timeouts.read : settings.keepAliveIdle))
                return;
            connection.beginRequest();
            const bool last = served + 1 == settings.requestsPerConnection;
            bool closed = false;
            Connection::setCurrent(&connection);
            const bool ok = process_request(connection, last, closed, nullptr);
            Connection::setCurrent(nullptr);
            if (!ok || closed || connection.closesAfterAnswer() || !connection.handled())
                return;
        }
    }

    HttpFrontEnd::Impl& impl_;
};

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
        SSL_CTX_set_mode(impl.sslContext, SSL_MODE_AUTO_RETRY);
        if (SSL_CTX_use_certificate_chain_file(impl.sslContext, settings.certificateFile.c_str()) != 1
            || SSL_CTX_use_PrivateKey_file(impl.sslContext, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1
            || SSL_CTX_check_private_key(impl.sslContext) != 1)
            return frontEndError("TLS certificate or key: " + sslErrorText());
    }

    auto server = std::make_unique<FrontEndServer>(impl);
    const std::size_t maxWorkers = settings.maxWorkers;
    server->new_task_queue = [maxWorkers] { return new ElasticTaskQueue(maxWorkers); };
    const auto seconds = [](std::chrono::milliseconds value) {
        return static_cast<time_t>(std::max<long long>(1, (value.count() + 999) / 1000));
    };
    server->set_read_timeout(seconds(settings.timeouts.read));
    server->set_write_timeout(seconds(settings.timeouts.write));
    server->set_keep_alive_timeout(seconds(settings.keepAliveIdle));
    server->set_keep_alive_max_count(settings.requestsPerConnection);
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
    if (port == 0) {
        port = server->bind_to_any_port(settings.host);
        if (port <= 0)
            return frontEndError("cannot listen on " + settings.host);
    } else if (!server->bind_to_port(settings.host, port)) {
        return frontEndError("cannot listen on " + settings.host + ":" + std::to_string(port));
    }
    server->raiseBacklog();
    impl.port = port;
    const bool ipv6 = settings.host.find(':') != std::string::npos;
    impl.url = std::string(settings.tls ? "https" : "http") + "://" + (ipv6 ? "[" + settings.host + "]" : settings.host)
        + ":" + std::to_string(port);
    impl.service.baseUrl = impl.url;

    httplib::Server* running = server.get();
    impl.server = std::move(server);
    impl.acceptor = std::thread([running] { running->listen_after_bind(); });
    // stop() must not come before the accept loop runs, or it would find nothing to stop.
    for (int i = 0; i < 5000 && !running->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl.started = true;
    return std::nullopt;
}

void HttpFrontEnd::stop()
{
    Impl& impl = *impl_;
    if (!impl.started)
        return;
    impl.stopping.store(true);
    impl.server->stop();
    if (impl.acceptor.joinable())
        impl.acceptor.join();
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
