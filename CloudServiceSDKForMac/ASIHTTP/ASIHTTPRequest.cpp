#include "CloudServiceSDKForMac/ASIHTTP/ASIHTTPRequest.h"

#include "CloudServiceSDKForMac/ASIHTTP/ASIInputStream.h"
#include "CloudServiceSDKForMac/ASIHTTP/CookieStore.h"
#include "CloudServiceSDKForMac/ASIHTTP/CurlMultiDriver.h"
#include "CloudServiceSDKForMac/ASIHTTP/GzipCodec.h"
#include "CloudServiceSDKForMac/ASIHTTP/HeaderMasking.h"
#include "CloudServiceSDKForMac/ASIHTTP/ProxyResolver.h"
#include "CloudServiceSDKForMac/ASIHTTP/ServerCertificateProbe.h"
#include "CloudServiceSDKForMac/ASIHTTP/SocketRegistry.h"
#include "platform/AsciiText.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <filesystem>
#include <openssl/evp.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

// ---------------------------------------------------------------------------------------------
// Class-wide state

namespace {
struct SessionCredential {
    std::string scheme; // of the URL
    std::string host;
    std::int32_t port = 0;
    std::string username;
    std::string password;
    std::string authenticationScheme; // "Basic"
};

struct ClassState {
    std::mutex mutex;
    double defaultTimeOut = 30.0;
    std::string displayName;
    std::string shortVersion;
    std::string buildVersion;
    std::vector<SessionCredential> credentials;
    std::function<ASIHTTPRequest::Clock::time_point()> clock;
    std::recursive_mutex progressLock;
};

ClassState& classState()
{
    static ClassState* s = new ClassState; // outlives every request, whatever thread ends last
    return *s;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

std::optional<std::uint64_t> parseUnsigned(std::string_view s)
{
    s = trim(s);
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size())
        return std::nullopt;
    return v;
}

ErrorValue makeError(long code, std::string description, ValueMap userInfo = {})
{
    return ErrorValue { kASIHTTPRequestErrorDomain, code, std::move(description), std::move(userInfo) };
}

std::string randomName()
{
    static thread_local std::mt19937_64 rng(std::random_device {}());
    char buf[33];
    std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(rng()),
        static_cast<unsigned long long>(rng()));
    return buf;
}

std::string temporaryDirectory()
{
    std::error_code ec;
    auto dir = std::filesystem::temp_directory_path(ec);
    return ec ? std::string("/tmp") : dir.string();
}

bool fileExists(const std::string& path)
{
    struct stat st { };
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

std::optional<std::uint64_t> fileSize(const std::string& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    return FileSystem::writeAll(fd, std::span(reinterpret_cast<const std::uint8_t*>(data), size));
}

// Runs fn on the main thread and waits for it (inline when already there).
void onMainThread(const std::function<void()>& fn)
{
    auto queue = MainQueue::shared();
    if (queue->isMainThread())
        fn();
    else
        queue->runSync(fn);
}

// A call on a progress sink: on the main thread unless the sink is safe anywhere.
void onMainThreadFor(const ASIProgressDelegate& sink, const std::function<void()>& fn)
{
    if (sink.needsMainThread())
        onMainThread(fn);
    else
        fn();
}

std::string localeIdentifier()
{
    for (const char* name : { "LC_ALL", "LC_MESSAGES", "LANG" }) {
        const char* v = std::getenv(name);
        if (!v || !*v)
            continue;
        std::string s(v);
        s = s.substr(0, s.find_first_of(".@"));
        if (s == "C" || s == "POSIX" || s.empty())
            break;
        return s;
    }
    return "en_US";
}

bool isTLSFailure(int code)
{
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
        return true;
    default:
        return false;
    }
}

// The server's certificate did not validate (not a handshake that failed for other reasons).
bool isCertificateFailure(int code)
{
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE || code == CURLE_SSL_ISSUER_ERROR
        || code == CURLE_SSL_INVALIDCERTSTATUS;
}

bool headerTextIsSafe(std::string_view name, std::string_view value)
{
    if (name.empty())
        return false;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == ':')
            return false;
    }
    for (char c : value) {
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    }
    return true;
}

std::string proxyURL(const std::string& host, int port, ProxyChoice::Type type)
{
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::string scheme = type == ProxyChoice::Type::Socks ? "socks5h://" : "http://";
    return scheme + h + ":" + std::to_string(port);
}

// The headers that say what is asked for and nothing about who asks: the only ones a request
// takes along when it is redirected to another origin.
bool describesContentOnly(std::string_view name)
{
    static constexpr std::string_view kept[]
        = { "Accept", "Accept-Encoding", "Accept-Language", "Content-Type", "Content-Length", "Content-Encoding",
              "Date", "Range", "If-Modified-Since", "If-None-Match", "If-Range", "User-Agent" };
    return std::any_of(
        std::begin(kept), std::end(kept), [&](std::string_view k) { return ascii::equalsIgnoringCase(k, name); });
}

// The pin of the certificate the server showed first, as curl gathered it.
std::optional<std::string> serverPinOf(CURL* easy)
{
    curl_certinfo* info = nullptr;
    if (!easy || curl_easy_getinfo(easy, CURLINFO_CERTINFO, &info) != CURLE_OK || !info || info->num_of_certs < 1)
        return std::nullopt;
    for (curl_slist* field = info->certinfo[0]; field; field = field->next) {
        std::string_view text(field->data);
        if (text.starts_with("Cert:")) {
            auto certificate = ServerCertificate::fromPEM(text.substr(5));
            return certificate ? std::optional(certificate->publicKeyPin) : std::nullopt;
        }
    }
    return std::nullopt;
}

curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address)
{
    SocketRef ref = SocketRegistry::open(address->family, address->socktype, address->protocol);
    return ref.valid() ? ref.fd : CURL_SOCKET_BAD;
}

int closeSocket(void*, curl_socket_t fd)
{
    return SocketRegistry::close(fd);
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Creation and set-up

std::shared_ptr<ASIHTTPRequest> ASIHTTPRequest::requestWithURL(const std::string& url)
{
    return std::shared_ptr<ASIHTTPRequest>(new ASIHTTPRequest(url));
}

ASIHTTPRequest::ASIHTTPRequest(std::string url)
    : urlText_(std::move(url))
    , timeOutSeconds_(defaultTimeOutSeconds())
{
    CurlMultiDriver::initialiseLibrary();
}

ASIHTTPRequest::~ASIHTTPRequest()
{
    // A running transfer keeps its request alive, so by now the handle belongs to no multi
    // handle of a live thread, or to this thread's.
    if (auto loop = loop_.lock(); loop && statusTimer_)
        loop->cancelTimer(statusTimer_);
    if (easy_) {
        auto loop = loop_.lock();
        if (loop && loop->isCurrent()) {
            if (auto driver = driver_.lock())
                driver->remove(easy_);
        }
        curl_easy_cleanup(easy_);
    }
    curl_slist_free_all(headerList_);
    if (postBodyWriteFd_ >= 0)
        ::close(postBodyWriteFd_);
    closeDownloadFile();
    if (didCreateTemporaryPostDataFile_ && !postBodyFilePath_.empty())
        ::unlink(postBodyFilePath_.c_str());
    if (!compressedPostBodyFilePath_.empty())
        ::unlink(compressedPostBodyFilePath_.c_str());
}

void ASIHTTPRequest::addRequestHeader(const std::string& name, const std::string& value)
{
    for (auto& [n, v] : requestHeaders_) {
        if (n == name) {
            v = value;
            return;
        }
    }
    requestHeaders_.emplace_back(name, value);
}

std::optional<std::string> ASIHTTPRequest::requestHeader(const std::string& name) const
{
    for (auto& [n, v] : requestHeaders_) {
        if (n == name)
            return v;
    }
    return std::nullopt;
}

void ASIHTTPRequest::appendPostData(std::string_view bytes)
{
    appendPostData(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void ASIHTTPRequest::appendPostData(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    if (shouldStreamPostDataFromDisk_) {
        if (postBodyFilePath_.empty()) {
            postBodyFilePath_ = temporaryDirectory() + "/norvane-body-" + randomName();
            didCreateTemporaryPostDataFile_ = true;
        }
        if (postBodyWriteFd_ < 0)
            postBodyWriteFd_ = ::open(postBodyFilePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (postBodyWriteFd_ < 0
            || !writeAll(postBodyWriteFd_, reinterpret_cast<const char*>(bytes.data()), bytes.size()))
            pendingError_
                = makeError(ASIFileManagementError, "Failed to write to file at path '" + postBodyFilePath_ + "'");
        return;
    }
    if (!postBody_)
        postBody_ = std::make_shared<Bytes>();
    postBody_->insert(postBody_->end(), bytes.begin(), bytes.end());
}

bool ASIHTTPRequest::appendPostDataFromFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<std::uint8_t> buffer(262144);
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        appendPostData(std::span(buffer.data(), static_cast<std::size_t>(n)));
    }
    ::close(fd);
    return ok;
}

void ASIHTTPRequest::setDelegate(ASIHTTPRequestDelegate* d)
{
    std::lock_guard lock(cancelledLock_);
    delegate_ = d;
}

void ASIHTTPRequest::setUploadProgressDelegate(ASIProgressDelegate* d)
{
    {
        std::lock_guard lock(cancelledLock_);
        uploadProgressDelegate_ = d;
    }
    if (d)
        onMainThreadFor(*d, [d] { d->setMaxValue(1.0); });
}

void ASIHTTPRequest::setDownloadProgressDelegate(ASIProgressDelegate* d)
{
    {
        std::lock_guard lock(cancelledLock_);
        downloadProgressDelegate_ = d;
    }
    if (d)
        onMainThreadFor(*d, [d] { d->setMaxValue(1.0); });
}

std::int32_t ASIHTTPRequest::connectionID() const
{
    std::lock_guard lock(cancelledLock_);
    return connectionInfo_ ? connectionInfo_->id : 0;
}

// ---------------------------------------------------------------------------------------------
// Results

std::optional<std::string> ASIHTTPRequest::responseHeader(std::string_view name) const
{
    for (auto& [n, v] : responseHeaders_) {
        if (ascii::equalsIgnoringCase(n, name))
            return v;
    }
    return std::nullopt;
}

bool ASIHTTPRequest::isResponseCompressed() const
{
    auto encoding = responseHeader("Content-Encoding");
    return encoding && encoding->find("gzip") != std::string::npos;
}

void ASIHTTPRequest::setBodySink(BodyAccept accepts, BodyWrite write)
{
    std::lock_guard lock(cancelledLock_);
    bodySinkAccepts_ = std::move(accepts);
    bodySinkWrite_ = std::move(write);
}

std::optional<Bytes> ASIHTTPRequest::responseData() const
{
    std::lock_guard lock(cancelledLock_);
    if (!rawResponseData_)
        return std::nullopt;
    if (!isResponseCompressed())
        return *rawResponseData_;
    if (decompressedResponseData_)
        return decompressedResponseData_;
    return GzipCodec::uncompressZippedData(*rawResponseData_, maxDecompressedBodySize_);
}

std::optional<std::string> ASIHTTPRequest::responseString() const
{
    auto data = responseData();
    if (!data)
        return std::nullopt;
    return decodeToUTF8(std::span<const std::uint8_t>(*data), responseEncoding_);
}

bool ASIHTTPRequest::isFinished() const
{
    std::lock_guard lock(cancelledLock_);
    return complete_;
}

bool ASIHTTPRequest::isExecuting() const
{
    std::lock_guard lock(cancelledLock_);
    return inProgress_;
}

bool ASIHTTPRequest::isCancelled() const
{
    std::lock_guard lock(cancelledLock_);
    return cancelled_;
}

// ---------------------------------------------------------------------------------------------
// Running

void ASIHTTPRequest::startSynchronous()
{
    {
        std::lock_guard lock(cancelledLock_);
        inProgress_ = true;
        if (cancelled_ || complete_) {
            inProgress_ = false;
            return;
        }
        isSynchronous_ = true;
        temporaryPathWasGiven_ = !temporaryFileDownloadPath_.empty();
    }
    runStartSequence();
    auto loop = RunLoop::current();
    while (!isFinished())
        loop->runFor(0.25);
    std::lock_guard lock(cancelledLock_);
    inProgress_ = false;
}

void ASIHTTPRequest::startAsynchronous()
{
    {
        std::lock_guard lock(cancelledLock_);
        inProgress_ = true;
        if (cancelled_ || complete_)
            return;
        temporaryPathWasGiven_ = !temporaryFileDownloadPath_.empty();
    }
    runStartSequence();
}

void ASIHTTPRequest::cancel()
{
    std::lock_guard lock(cancelledLock_);
    if (cancelled_ || complete_)
        return;
    failWithError(makeError(ASIRequestCancelledErrorType, "The request was cancelled"));
    complete_ = true;
    cancelLoad();
    cancelled_ = true;
}

void ASIHTTPRequest::runStartSequence()
{
    // Nothing raised inside may escape into the caller's thread.
    try {
        std::unique_lock lock(cancelledLock_);
        complete_ = false;
        if (error_) {
            complete_ = true;
            return;
        }
        auto url = URL::parse(urlText_);
        if (!url || (url->scheme() != "http" && url->scheme() != "https") || url->host().empty()) {
            failWithError(makeError(ASIUnableToCreateRequestErrorType, "Unable to create request (bad url?)"));
            return;
        }
        if (pendingError_) {
            failWithError(*pendingError_);
            return;
        }
        if (!buildPostBody() || !buildRequestHeaders())
            return;
        applyAuthorizationHeader();
        for (auto& [name, value] : requestHeaders_) {
            if (!headerTextIsSafe(name, value)) {
                failWithError(makeError(ASIUnableToCreateRequestErrorType,
                    "Unable to create request (the header '" + name + "' holds a line break or an invalid character)"));
                return;
            }
        }
        lock.unlock();
        startRequest();
    } catch (const std::exception& e) {
        std::lock_guard lock(cancelledLock_);
        ValueMap underlying { { "domain", std::string(kASIHTTPRequestErrorDomain) },
            { "code", static_cast<long>(ASIUnhandledExceptionError) }, { "description", std::string(e.what()) } };
        failWithError(makeError(ASIUnhandledExceptionError, typeid(e).name(),
            { { "failureReason", std::string(e.what()) }, { "underlyingError", underlying } }));
    }
}

bool ASIHTTPRequest::buildPostBody()
{
    if (haveBuiltPostBody_)
        return true;
    haveBuiltPostBody_ = true;
    if (shouldStreamPostDataFromDisk_ && !postBodyFilePath_.empty()) {
        if (postBodyWriteFd_ >= 0) {
            ::close(postBodyWriteFd_);
            postBodyWriteFd_ = -1;
        }
        std::string sent = postBodyFilePath_;
        if (shouldCompressRequestBody_) {
            compressedPostBodyFilePath_ = temporaryDirectory() + "/norvane-body-" + randomName() + ".gz";
            if (GzipCodec::compressDataFromFile(postBodyFilePath_, compressedPostBodyFilePath_) != 0) {
                failWithError(makeError(
                    ASIFileManagementError, "Failed to get attributes for file at path '" + postBodyFilePath_ + "'"));
                return false;
            }
            sent = compressedPostBodyFilePath_;
        }
        auto size = fileSize(sent);
        if (!size) {
            failWithError(
                makeError(ASIFileManagementError, "Failed to get attributes for file at path '" + sent + "'"));
            return false;
        }
        postLength_ = *size;
    } else if (postBody_) {
        if (shouldCompressRequestBody_) {
            auto compressed = GzipCodec::compressData(*postBody_);
            compressedPostBody_ = std::make_shared<Bytes>(compressed ? std::move(*compressed) : Bytes {});
            postLength_ = compressedPostBody_->size();
        } else {
            postLength_ = postBody_->size();
        }
    } else {
        postLength_ = 0;
    }
    if (postLength_ > 0) {
        if (requestMethod_ == "GET" || requestMethod_ == "DELETE" || requestMethod_ == "HEAD")
            requestMethod_ = "POST";
        addRequestHeader("Content-Length", std::to_string(postLength_));
    }
    return true;
}

bool ASIHTTPRequest::buildRequestHeaders()
{
    if (haveBuiltRequestHeaders_)
        return true;
    haveBuiltRequestHeaders_ = true;
    applyCookieHeader();
    if (!requestHeader("User-Agent")) {
        if (auto agent = defaultUserAgentString())
            addRequestHeader("User-Agent", *agent);
    }
    if (allowCompressedResponse_)
        addRequestHeader("Accept-Encoding", "gzip");
    if (shouldCompressRequestBody_)
        addRequestHeader("Content-Encoding", "gzip");
    if (allowResumeForFileDownloads_ && !downloadDestinationPath_.empty() && fileExists(temporaryFileDownloadPath_)) {
        auto size = fileSize(temporaryFileDownloadPath_);
        if (!size) {
            failWithError(makeError(ASIFileManagementError,
                "Failed to get attributes for file at path '" + temporaryFileDownloadPath_ + "'"));
            return false;
        }
        partialDownloadSize_ = *size;
        addRequestHeader("Range", "bytes=" + std::to_string(partialDownloadSize_) + "-");
    }
    return true;
}

void ASIHTTPRequest::applyCookieHeader()
{
    auto url = URL::parse(urlText_);
    if (!url)
        return;
    if (useCookiePersistance_) {
        for (auto& cookie : CookieStore::shared().cookiesForURL(*url))
            requestCookies_.push_back(cookie);
    }
    if (!requestCookies_.empty())
        addRequestHeader("Cookie", cookieHeaderValue(requestCookies_));
}

void ASIHTTPRequest::applyAuthorizationHeader()
{
    if (!shouldPresentCredentialsBeforeChallenge_)
        return;
    auto url = URL::parse(urlText_);
    std::optional<SessionCredential> session;
    if (useSessionPersistance_ && url) {
        auto& state = classState();
        std::lock_guard lock(state.mutex);
        for (auto& c : state.credentials) {
            if (c.scheme == url->scheme() && c.host == url->host() && c.port == url->port())
                session = c;
        }
    }
    auto basic = [](const std::string& user, const std::string& pass) {
        std::string text = user + ":" + pass;
        return "Basic " + base64forData(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    };
    if (!username_.empty() && !password_.empty() && domain_.empty()
        && (!session || session->authenticationScheme == "Basic"))
        addRequestHeader("Authorization", basic(username_, password_));
    if (session && !requestHeader("Authorization"))
        addRequestHeader("Authorization", basic(session->username, session->password));
}

void ASIHTTPRequest::startRequest()
{
    {
        std::lock_guard lock(cancelledLock_);
        if (cancelled_ || error_)
            return;
    }
    if (delegate_)
        onMainThread([this] {
            std::lock_guard lock(cancelledLock_);
            if (delegate_ && !error_)
                delegate_->requestStarted(*this);
        });

    ProgressReport report;
    {
        std::lock_guard lock(cancelledLock_);
        if (cancelled_ || error_)
            return;
        downloadComplete_ = false;
        complete_ = false;
        totalBytesRead_ = 0;
        lastBytesRead_ = 0;
        if (redirectCount_ == 0)
            originalURL_ = urlText_;
        if (lastBytesSent_ > 0 && uploadProgressDelegate_) {
            report.upload = 0.0f;
            report.uploadSink = uploadProgressDelegate_;
        }
        lastBytesSent_ = 0;
        streamBytesWritten_ = 0;
        if (shouldResetProgressIndicators_) {
            contentLength_ = 0;
            resetDownloadProgress(report);
        }
        responseHeaders_.clear();
        responseHeaderList_.clear();
        incomingHeaders_.clear();
        incomingStatusLine_.clear();
        headersRead_ = false;
        responseStatusCode_ = 0;
        responseStatusMessage_.clear();
        decompressedResponseData_.reset();
        if (downloadDestinationPath_.empty())
            rawResponseData_ = std::make_shared<Bytes>();
        bodySinkDecided_ = false;
        bodySinkTaking_ = false;

        postBodyReadStream_.reset();
        if (shouldStreamPostDataFromDisk_ && fileExists(postBodyFilePath_)) {
            postBodyReadStream_ = ASIInputStream::inputStreamWithFileAtPath(
                fileExists(compressedPostBodyFilePath_) ? compressedPostBodyFilePath_ : postBodyFilePath_);
            if (!postBodyReadStream_) {
                failWithError(makeError(ASIInternalErrorWhileBuildingRequestType, "Unable to create read stream"));
                return;
            }
        } else if (postBody_ && !postBody_->empty()) {
            postBodyReadStream_ = ASIInputStream::inputStreamWithData(
                shouldCompressRequestBody_ && compressedPostBody_ ? compressedPostBody_ : postBody_);
        }

        auto url = URL::parse(urlText_);
        if (!url) {
            failWithError(makeError(ASIUnableToCreateRequestErrorType, "Unable to create request (bad url?)"));
            return;
        }

        // Proxy choice, unless the caller named one.
        proxyType_ = ProxyChoice::Type::Http;
        if (proxyHost_.empty() && proxyPort_ == 0 && !directOnly_) {
            ProxyResolver resolver([](const std::string& scriptURL) -> std::optional<std::string> {
                auto fetch = ASIHTTPRequest::requestWithURL(scriptURL);
                fetch->directOnly_ = true;
                fetch->setTimeOutSeconds(10);
                fetch->startSynchronous();
                if (fetch->error() || fetch->responseStatusCode() >= 400)
                    return std::nullopt;
                auto data = fetch->responseData();
                if (!data)
                    return std::nullopt;
                return std::string(data->begin(), data->end());
            });
            auto choice = resolver.choose(url->string(), proxyHost_, proxyPort_, PACurl_);
            if (!choice) {
                failWithError(makeError(ASIInternalErrorWhileBuildingRequestType,
                    "Unable to obtain information on proxy servers needed for request"));
                return;
            }
            if (choice->type != ProxyChoice::Type::Direct) {
                proxyHost_ = choice->host;
                proxyPort_ = choice->port;
                proxyType_ = choice->type;
            }
        }

        auto taken = ConnectionPool::shared().take(
            url->scheme(), url->host(), url->port(), connectionInfo_, shouldAttemptPersistentConnection_);
        connectionInfo_ = taken.entry;
        connectionIsNew_ = taken.isNewEntry;
        shouldAttemptPersistentConnection_ = taken.attemptPersistentConnection;

        if (!configureEasyHandle(*url) || !scheduleTransfer()) {
            canUsePersistentConnection_ = false;
            destroyReadStream();
            failWithError(makeError(ASIInternalErrorWhileBuildingRequestType, "Unable to start HTTP connection"));
            return;
        }
        if (shouldResetProgressIndicators_)
            resetUploadProgress(report);
        lastActivityTime_ = now();

        auto loop = loop_.lock();
        if (loop && !statusTimer_) {
            std::weak_ptr<ASIHTTPRequest> weak = weak_from_this();
            statusTimer_ = loop->addTimer(
                0.25,
                [weak] {
                    if (auto self = weak.lock())
                        self->statusTick();
                },
                0.25);
        }
    }
    deliver(report);
}

bool ASIHTTPRequest::configureEasyHandle(const URL& url)
{
    easy_ = curl_easy_init();
    if (!easy_)
        return false;
    curlError_[0] = 0;
    auto set = [this](CURLoption option, auto value) { return curl_easy_setopt(easy_, option, value) == CURLE_OK; };
    bool ok = true;
    ok &= set(CURLOPT_SHARE, CurlMultiDriver::share());
    ok &= set(CURLOPT_URL, url.string().c_str());
    ok &= set(CURLOPT_NOSIGNAL, 1L);
    ok &= set(CURLOPT_ERRORBUFFER, curlError_);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    ok &= set(CURLOPT_HTTP_VERSION, useHTTPVersionOne_ ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
    ok &= set(CURLOPT_FOLLOWLOCATION, 0L);
    ok &= set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    ok &= set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    ok &= set(CURLOPT_BUFFERSIZE, 262144L);
    ok &= set(CURLOPT_UPLOAD_BUFFERSIZE, 262144L);
    ok &= set(CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    ok &= set(CURLOPT_CLOSESOCKETFUNCTION, &closeSocket);

    bool hasBody = postBodyReadStream_ && postLength_ > 0;
    if (hasBody) {
        ok &= set(CURLOPT_UPLOAD, 1L);
        ok &= set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(postLength_));
        ok &= set(CURLOPT_READDATA, this);
        ok &= set(
            CURLOPT_READFUNCTION, +[](char* buffer, std::size_t size, std::size_t count, void* self) {
                return static_cast<ASIHTTPRequest*>(self)->onReadBody(buffer, size * count);
            });
        ok &= set(CURLOPT_SEEKDATA, this);
        ok &= set(
            CURLOPT_SEEKFUNCTION, +[](void* self, curl_off_t offset, int origin) {
                auto* request = static_cast<ASIHTTPRequest*>(self);
                if (offset != 0 || origin != SEEK_SET || !request->postBodyReadStream_)
                    return CURL_SEEKFUNC_CANTSEEK;
                return request->postBodyReadStream_->rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
            });
        if (requestMethod_ != "PUT")
            ok &= set(CURLOPT_CUSTOMREQUEST, requestMethod_.c_str());
    } else if (requestMethod_ == "GET") {
        ok &= set(CURLOPT_HTTPGET, 1L);
    } else if (requestMethod_ == "HEAD") {
        ok &= set(CURLOPT_NOBODY, 1L);
    } else {
        ok &= set(CURLOPT_CUSTOMREQUEST, requestMethod_.c_str());
    }

    // Exactly our headers, in our order: curl's own defaults that we do not send are blanked.
    curl_slist_free_all(headerList_);
    headerList_ = nullptr;
    auto append = [this](const std::string& line) {
        if (auto* l = curl_slist_append(headerList_, line.c_str()))
            headerList_ = l;
    };
    for (auto& [name, value] : requestHeaders_)
        append(value.empty() ? name + ";" : name + ": " + value);
    if (!requestHeader("Accept"))
        append("Accept:");
    if (!requestHeader("Expect"))
        append("Expect:");
    ok &= set(CURLOPT_HTTPHEADER, headerList_);

    ok &= set(CURLOPT_HEADERDATA, this);
    ok &= set(
        CURLOPT_HEADERFUNCTION, +[](char* data, std::size_t size, std::size_t count, void* self) {
            return static_cast<ASIHTTPRequest*>(self)->onHeaderLine(data, size * count);
        });
    ok &= set(CURLOPT_WRITEDATA, this);
    ok &= set(
        CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t size, std::size_t count, void* self) {
            return static_cast<ASIHTTPRequest*>(self)->onBody(data, size * count);
        });
    ok &= set(CURLOPT_NOPROGRESS, 0L);
    ok &= set(CURLOPT_XFERINFODATA, this);
    ok &= set(
        CURLOPT_XFERINFOFUNCTION, +[](void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
            return static_cast<ASIHTTPRequest*>(self)->onUploadProgress(static_cast<std::uint64_t>(sent)) ? 0 : 1;
        });

    if (url.scheme() == "https") {
        ok &= set(CURLOPT_SSL_VERIFYPEER, validatesSecureCertificate_ ? 1L : 0L);
        ok &= set(CURLOPT_SSL_VERIFYHOST, validatesSecureCertificate_ ? 2L : 0L);
        if (!pinnedPublicKey_.empty()) {
            std::string pin
                = pinnedPublicKey_.rfind("sha256//", 0) == 0 ? pinnedPublicKey_ : "sha256//" + pinnedPublicKey_;
            ok &= set(CURLOPT_PINNEDPUBLICKEY, pin.c_str());
            // The pin is the trust: a self-signed certificate with the pinned key is accepted.
            ok &= set(CURLOPT_SSL_VERIFYPEER, 0L);
            ok &= set(CURLOPT_SSL_VERIFYHOST, 0L);
            // Gathered on a new connection only; a key that is not the pinned one is then named.
            ok &= set(CURLOPT_CERTINFO, 1L);
        }
    }

    if (!proxyHost_.empty() && proxyPort_ > 0) {
        ok &= set(CURLOPT_PROXY, proxyURL(proxyHost_, proxyPort_, proxyType_).c_str());
        if (!proxyUsername_.empty()) {
            ok &= set(CURLOPT_PROXYUSERNAME, proxyUsername_.c_str());
            ok &= set(CURLOPT_PROXYPASSWORD, proxyPassword_.c_str());
            ok &= set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
    } else {
        // Proxies are chosen above; curl must not pick one from the environment on its own.
        ok &= set(CURLOPT_PROXY, "");
    }

    if (!shouldAttemptPersistentConnection_) {
        ok &= set(CURLOPT_FORBID_REUSE, 1L);
        ok &= set(CURLOPT_FRESH_CONNECT, 1L);
    } else if (connectionIsNew_) {
        ok &= set(CURLOPT_FRESH_CONNECT, 1L);
    }
    return ok;
}

bool ASIHTTPRequest::scheduleTransfer()
{
    auto driver = CurlMultiDriver::forCurrentThread();
    driver_ = driver;
    loop_ = RunLoop::current();
    auto self = shared_from_this();
    return driver->add(easy_, [self](CURLcode code, curl_socket_t socket) { self->onTransferDone(code, socket); });
}

// ---------------------------------------------------------------------------------------------
// Stream events

std::size_t ASIHTTPRequest::onHeaderLine(const char* data, std::size_t size)
{
    ProgressReport report;
    {
        std::lock_guard lock(cancelledLock_);
        if (complete_ || cancelled_)
            return 0;
        std::string_view line(data, size);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.remove_suffix(1);
        if (headersRead_)
            return size; // trailer fields of a chunked body
        if (line.rfind("HTTP/", 0) == 0) {
            incomingStatusLine_ = std::string(line);
            incomingHeaders_.clear();
            return size;
        }
        if (line.empty()) {
            auto space = incomingStatusLine_.find(' ');
            auto code = space == std::string::npos
                ? std::nullopt
                : parseUnsigned(std::string_view(incomingStatusLine_).substr(space + 1, 3));
            if (code && *code >= 100 && *code < 200)
                return size; // an interim response; the real one follows
            readResponseHeaders();
            report = std::exchange(pendingReport_, ProgressReport {});
        } else if ((line.front() == ' ' || line.front() == '\t') && !incomingHeaders_.empty()) {
            incomingHeaders_.back().second += " " + std::string(trim(line));
            return size;
        } else {
            auto colon = line.find(':');
            if (colon == std::string_view::npos)
                return size;
            incomingHeaders_.emplace_back(
                std::string(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1))));
            return size;
        }
    }
    deliver(report);
    return size;
}

std::size_t ASIHTTPRequest::onBody(const char* data, std::size_t size)
{
    std::lock_guard lock(cancelledLock_);
    if (complete_ || cancelled_ || pendingError_)
        return 0;
    totalBytesRead_ += size;
    lastActivityTime_ = now();
    if (!downloadDestinationPath_.empty()) {
        if (needsRedirect_)
            return size; // the body of a redirect is not the file asked for
        if (fileDownloadFd_ < 0) {
            bool append = temporaryPathWasGiven_ && allowResumeForFileDownloads_ && !restartDownload_;
            if (temporaryFileDownloadPath_.empty()) {
                // Beside the destination, so that the final move is a rename on one file system.
                auto dir = std::filesystem::path(downloadDestinationPath_).parent_path().string();
                temporaryFileDownloadPath_
                    = (dir.empty() ? std::string(".") : dir) + "/.norvane-" + randomName() + ".part";
            }
            int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (append ? O_APPEND : O_TRUNC);
            fileDownloadFd_ = ::open(temporaryFileDownloadPath_.c_str(), flags, 0600);
            downloadBuffer_.reserve(kDownloadBufferSize);
            restartDownload_ = false;
            if (fileDownloadFd_ < 0) {
                pendingError_ = makeError(
                    ASIFileManagementError, "Failed to create file at path '" + temporaryFileDownloadPath_ + "'");
                return 0;
            }
        }
        // curl hands bodies over in small pieces; gathering them saves most of the write calls.
        if (downloadBuffer_.size() + size > kDownloadBufferSize && !flushDownloadBuffer())
            return 0;
        if (size >= kDownloadBufferSize) {
            if (!writeAll(fileDownloadFd_, data, size)) {
                reportDownloadWriteFailure();
                return 0;
            }
        } else {
            downloadBuffer_.insert(downloadBuffer_.end(), data, data + size);
        }
        return size;
    }
    if (bodySinkWrite_ && !needsRedirect_) {
        if (!bodySinkDecided_) {
            bodySinkDecided_ = true;
            bodySinkTaking_ = bodySinkAccepts_ && bodySinkAccepts_(*this);
        }
        if (bodySinkTaking_) {
            if (!bodySinkWrite_(std::span(reinterpret_cast<const std::uint8_t*>(data), size))) {
                pendingError_ = makeError(ASIFileManagementError, "The response body could not be kept");
                return 0;
            }
            return size;
        }
    }
    if (rawResponseData_) {
        if (rawResponseData_->size() + size > maxResponseDataSize_) {
            pendingError_ = makeError(ASIFileManagementError,
                "The response body is larger than " + std::to_string(maxResponseDataSize_) + " bytes");
            return 0;
        }
        rawResponseData_->insert(rawResponseData_->end(), data, data + size);
    }
    return size;
}

std::size_t ASIHTTPRequest::onReadBody(char* buffer, std::size_t size)
{
    {
        std::lock_guard lock(cancelledLock_);
        if (complete_ || cancelled_)
            return CURL_READFUNC_ABORT;
    }
    if (!postBodyReadStream_)
        return 0;
    ssize_t n = postBodyReadStream_->read(reinterpret_cast<std::uint8_t*>(buffer), size);
    return n < 0 ? CURL_READFUNC_ABORT : static_cast<std::size_t>(n);
}

bool ASIHTTPRequest::onUploadProgress(std::uint64_t sent)
{
    std::lock_guard lock(cancelledLock_);
    if (complete_ || cancelled_)
        return false;
    streamBytesWritten_ = sent;
    return true;
}

void ASIHTTPRequest::onTransferDone(int curlCode, int lastSocket)
{
    ProgressReport report;
    bool redirect = false;
    {
        std::lock_guard lock(cancelledLock_);
        if (connectionInfo_)
            ConnectionPool::shared().attachStream(connectionInfo_,
                lastSocket == CURL_SOCKET_BAD ? SocketRef {} : SocketRegistry::refForDescriptor(lastSocket));
        if (complete_ || cancelled_) {
            destroyReadStream();
            return;
        }
        long connectCode = 0;
        if (curlCode != CURLE_OK && !headersRead_ && easy_)
            curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectCode);
        if (curlCode == CURLE_OK) {
            handleStreamComplete();
        } else if (connectCode >= 400 && !pendingError_) {
            // The proxy refused the tunnel (407 and the like): that is a response, not a failure.
            incomingStatusLine_ = "HTTP/1.1 " + std::to_string(connectCode);
            incomingHeaders_.clear();
            readResponseHeaders();
            handleStreamComplete();
        } else {
            handleStreamError(curlCode);
        }
        report = std::exchange(pendingReport_, ProgressReport {});
        redirect = downloadComplete_ && needsRedirect_;
    }
    deliver(report);
    if (redirect)
        performRedirect();
    std::lock_guard lock(cancelledLock_);
    if (!inProgress_)
        stopStatusTimer();
}

void ASIHTTPRequest::readResponseHeaders()
{
    headersRead_ = true;
    responseHeaderList_ = incomingHeaders_;
    responseHeaders_.clear();
    for (auto& [name, value] : responseHeaderList_) {
        auto [it, inserted] = responseHeaders_.emplace(name, value);
        if (!inserted)
            it->second += ", " + value;
    }
    responseStatusMessage_ = incomingStatusLine_;
    responseStatusCode_ = 0;
    if (auto space = incomingStatusLine_.find(' '); space != std::string::npos) {
        if (auto code = parseUnsigned(std::string_view(incomingStatusLine_).substr(space + 1, 3)))
            responseStatusCode_ = static_cast<int>(*code);
    }

    auto url = URL::parse(urlText_);
    if (!username_.empty() && !password_.empty() && useSessionPersistance_ && url) {
        auto& state = classState();
        std::lock_guard lock(state.mutex);
        std::erase_if(state.credentials, [&](const SessionCredential& c) {
            return c.scheme == url->scheme() && c.host == url->host() && c.port == url->port();
        });
        state.credentials.push_back({ url->scheme(), url->host(), url->port(), username_, password_, "Basic" });
    }

    // A 64-bit length: files beyond 2 GiB are ordinary here.
    auto length = responseHeader("Content-Length");
    if (!length)
        length = responseHeader("X-Zel-Thumbnail-Length");
    contentLength_ = length ? parseUnsigned(*length).value_or(0) : 0;
    if (showAccurateProgress_ && shouldResetProgressIndicators_)
        resetDownloadProgress(pendingReport_);

    // The headers of answers that went wrong are what a diagnosis needs; a line for each of the
    // thousand successful chunks of a gigabyte would only bury them.
    if (responseStatusCode_ < 200 || responseStatusCode_ > 299)
        Log::line("dump header " + describeHeadersMasked(responseHeaders_));

    responseEncoding_ = defaultResponseEncoding_;
    if (auto type = responseHeader("Content-Type")) {
        if (auto charset = charsetFromContentType(*type)) {
            if (auto encoding = textEncodingFromIANAName(*charset))
                responseEncoding_ = *encoding;
        }
    }

    if (url) {
        std::vector<std::string> setCookies;
        for (auto& [name, value] : responseHeaderList_) {
            if (ascii::equalsIgnoringCase(name, "Set-Cookie"))
                setCookies.push_back(value);
        }
        responseCookies_ = HTTPCookie::parseAll(setCookies, *url, cookieNow());
        if (useCookiePersistance_ && !responseCookies_.empty()) {
            CookieStore::shared().setCookies(responseCookies_, *url);
            for (auto& cookie : responseCookies_)
                SessionCookies::shared().add(cookie);
        }
    }

    // A resumed download that the server answers with anything but the rest of the file starts
    // the file over: appending a whole body to the kept part would corrupt it.
    if (partialDownloadSize_ > 0 && responseStatusCode_ != 206) {
        partialDownloadSize_ = 0;
        restartDownload_ = true;
    }

    auto location = responseHeader("Location");
    int status = responseStatusCode_;
    if (shouldRedirect_ && location && (status == 301 || status == 302 || status == 303 || status == 307) && url)
        prepareRedirect(*url, status, *location);

    if (shouldAttemptPersistentConnection_) {
        auto connection = responseHeader("Connection");
        auto keepAlive = responseHeader("Keep-Alive");
        if (connection && ascii::equalsIgnoringCase(trim(*connection), "Keep-Alive") && keepAlive) {
            long timeout = 0;
            long max = 0;
            if (auto t = keepAlive->find("timeout="); t != std::string::npos)
                timeout = std::strtol(keepAlive->c_str() + t + 8, nullptr, 10);
            if (auto m = keepAlive->find("max="); m != std::string::npos)
                max = std::strtol(keepAlive->c_str() + m + 4, nullptr, 10);
            if (max >= 6) {
                canUsePersistentConnection_ = true;
                closeStreamTime_ = static_cast<double>(std::max(0L, timeout));
            }
        }
    }
}

void ASIHTTPRequest::prepareRedirect(const URL& from, int status, const std::string& location)
{
    auto target = from.resolve(location);
    if (!target)
        return; // nowhere to go: the 3xx is the answer
    const bool keepMessage = status == 307 || ((status == 301 || status == 302) && shouldUseRFC2616RedirectBehaviour_);
    if (from.scheme() == "https" && target->scheme() == "http") {
        pendingError_ = makeError(ASIRedirectRefusedErrorType, "The request was redirected from https to http");
        return;
    }
    if (!keepMessage && postLength_ > 0) {
        // Sent again as a GET the body would be lost, and the answer to the GET taken for the
        // answer to the body.
        pendingError_ = makeError(ASIRedirectRefusedErrorType, "The request with a body was redirected");
        return;
    }
    const bool sameOrigin = target->scheme() == from.scheme() && target->host() == from.host()
        && target->effectivePort() == from.effectivePort();
    if (!sameOrigin && shouldRedirectOnlyWithinOrigin_)
        return;

    if (keepMessage) {
        // The cookies to send belong to the new URL: rebuild that one header there.
        std::erase_if(requestHeaders_, [](auto& h) { return h.first == "Cookie"; });
        reapplyCookieHeader_ = true;
    } else {
        requestMethod_ = "GET";
        postBody_.reset();
        compressedPostBody_.reset();
        if (didCreateTemporaryPostDataFile_ && !postBodyFilePath_.empty())
            ::unlink(postBodyFilePath_.c_str());
        didCreateTemporaryPostDataFile_ = false;
        postBodyFilePath_.clear();
        shouldStreamPostDataFromDisk_ = false;
        postLength_ = 0;
        requestHeaders_.clear();
        haveBuiltRequestHeaders_ = false;
    }
    if (!sameOrigin) {
        // Credentials belong to the origin they were given for; a session cookie is one too.
        std::erase_if(requestHeaders_, [](auto& h) { return !describesContentOnly(h.first); });
        username_.clear();
        password_.clear();
        domain_.clear();
        useCookiePersistance_ = false;
        reapplyCookieHeader_ = false;
    }
    urlText_ = target->string();
    needsRedirect_ = true;
    requestCookies_.clear();
}

void ASIHTTPRequest::handleStreamComplete()
{
    downloadComplete_ = true;
    if (!headersRead_)
        readResponseHeaders();
    {
        std::lock_guard progress(classState().progressLock);
        totalBytesSent_ = streamBytesWritten_;
        complete_ = true;
        updateProgressIndicators(pendingReport_);
    }
    postBodyReadStream_.reset();
    if (didCreateTemporaryPostDataFile_ && !postBodyFilePath_.empty() && !needsRedirect_) {
        ::unlink(postBodyFilePath_.c_str());
        didCreateTemporaryPostDataFile_ = false;
    }

    if (!downloadDestinationPath_.empty()) {
        closeDownloadFile();
        if (needsRedirect_) {
            // nothing of the redirect's own body is kept
        } else if (pendingError_) {
            // a file whose last bytes were lost never takes the destination's place
            if (!allowResumeForFileDownloads_ && fileExists(temporaryFileDownloadPath_))
                removeFileReportingError(temporaryFileDownloadPath_);
        } else if (!temporaryFileDownloadPath_.empty() && fileExists(temporaryFileDownloadPath_)) {
            if (isResponseCompressed()) {
                int result
                    = GzipCodec::uncompressZippedDataFromFile(temporaryFileDownloadPath_, downloadDestinationPath_);
                if (result != 0)
                    pendingError_ = makeError(ASIFileManagementError,
                        "Decompression of " + temporaryFileDownloadPath_ + " failed with code "
                            + std::to_string(result));
                removeFileReportingError(temporaryFileDownloadPath_);
                temporaryFileDownloadPath_.clear();
            } else if (::rename(temporaryFileDownloadPath_.c_str(), downloadDestinationPath_.c_str()) != 0) {
                // rename replaces the old file in one step, so there is never a moment without one
                pendingError_ = makeError(ASIFileManagementError,
                    "Failed to move file from '" + temporaryFileDownloadPath_ + "' to '" + downloadDestinationPath_
                        + "'");
            } else {
                temporaryFileDownloadPath_.clear();
            }
        } else if (responseStatusCode_ >= 200 && responseStatusCode_ < 300) {
            // An empty body is an empty file, not a missing one.
            std::string temp = downloadDestinationPath_ + ".norvane-" + randomName() + ".part";
            int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0 || ::close(fd) != 0 || ::rename(temp.c_str(), downloadDestinationPath_.c_str()) != 0) {
                ::unlink(temp.c_str());
                pendingError_ = makeError(
                    ASIFileManagementError, "Failed to create file at path '" + downloadDestinationPath_ + "'");
            }
        }
    } else if (rawResponseData_ && isResponseCompressed() && !needsRedirect_) {
        GzipError why = GzipError::none;
        decompressedResponseData_ = GzipCodec::uncompressZippedData(*rawResponseData_, maxDecompressedBodySize_, &why);
        if (!decompressedResponseData_)
            pendingError_ = makeError(ASIFileManagementError,
                "Decompression of the response body failed with code " + std::to_string(static_cast<int>(why)));
    }

    ConnectionPool::shared().release(connectionInfo_, canUsePersistentConnection_, closeStreamTime_);
    destroyReadStream();
    if (!needsRedirect_) {
        if (pendingError_) {
            failWithError(*pendingError_);
        } else {
            reportFinished();
            markAsFinished();
        }
    }
}

void ASIHTTPRequest::handleStreamError(int curlCode)
{
    ValueMap underlying { { "domain", std::string("CurlErrorDomain") }, { "code", static_cast<long>(curlCode) },
        { "description",
            std::string(curl_easy_strerror(static_cast<CURLcode>(curlCode))) + (curlError_[0] ? ": " : "")
                + curlError_ } };
    ValueMap userInfo { { "underlyingError", underlying } };
    std::string description = "A connection failure occurred";
    if (isTLSFailure(curlCode)) {
        description = "A connection failure occurred: SSL problem (possibily a bad/expired/self-signed certificate)";
        if (curlCode == CURLE_SSL_PINNEDPUBKEYNOTMATCH) {
            userInfo[kTLSFailureKey] = kTLSFailurePin;
            if (auto shown = serverPinOf(easy_))
                userInfo[kServerPinKey] = *shown;
        } else if (isCertificateFailure(curlCode)) {
            userInfo[kTLSFailureKey] = kTLSFailureCertificate;
        }
    }
    auto fileError = pendingError_;
    cancelLoad();
    complete_ = true;
    if (error_)
        return;
    if (fileError) {
        failWithError(*fileError);
        return;
    }
    failWithError(makeError(ASIConnectionFailureErrorType, description, std::move(userInfo)));
}

void ASIHTTPRequest::performRedirect()
{
    {
        std::lock_guard lock(cancelledLock_);
        if (cancelled_)
            return;
        complete_ = true;
        needsRedirect_ = false;
        redirectCount_ += 1;
        if (redirectCount_ >= 6) {
            failWithError(
                makeError(ASITooMuchRedirectionErrorType, "The request failed because it redirected too many times"));
            return;
        }
        if (reapplyCookieHeader_) {
            reapplyCookieHeader_ = false;
            applyCookieHeader();
        }
    }
    runStartSequence();
}

void ASIHTTPRequest::statusTick()
{
    ProgressReport report;
    {
        std::lock_guard lock(cancelledLock_);
        if (cancelled_ || complete_) {
            if (!inProgress_)
                stopStatusTimer();
            return;
        }
        bool scheduled = easy_ != nullptr;
        auto t = now();
        double idle = lastActivityTime_ ? std::chrono::duration<double>(t - *lastActivityTime_).count() : 0.0;
        bool timedOut = scheduled && lastActivityTime_ && timeOutSeconds_ > 0 && idle > timeOutSeconds_
            && (postLength_ == 0 || (uploadBufferSize_ > 0 && totalBytesSent_ > uploadBufferSize_)
                || idle > timeOutSeconds_ * 1.5);
        if (timedOut) {
            if (numberOfTimesToRetryOnTimeout_ > retryCount_) {
                retryCount_ += 1;
                destroyReadStream();
                closeDownloadFile();
                // The next attempt must not append to what this one wrote, unless it resumes
                // from exactly there.
                if (allowResumeForFileDownloads_ && fileExists(temporaryFileDownloadPath_)) {
                    partialDownloadSize_ = fileSize(temporaryFileDownloadPath_).value_or(0);
                    addRequestHeader("Range", "bytes=" + std::to_string(partialDownloadSize_) + "-");
                    temporaryPathWasGiven_ = true;
                } else {
                    restartDownload_ = true;
                }
                startRequest();
                return;
            }
            failWithError(makeError(ASIRequestTimedOutErrorType, "The request timed out"));
            cancelLoad();
            complete_ = true;
        } else if (scheduled) {
            if (postLength_ > 0) {
                if (totalBytesSent_ > lastBytesSent_) {
                    lastActivityTime_ = t;
                    lastBytesSent_ = totalBytesSent_;
                }
                totalBytesSent_ = streamBytesWritten_;
            }
            std::lock_guard progress(classState().progressLock);
            updateProgressIndicators(report);
        }
    }
    deliver(report);
    std::lock_guard lock(cancelledLock_);
    if (!inProgress_) {
        stopStatusTimer();
        if (auto loop = loop_.lock())
            loop->stop();
    }
}

void ASIHTTPRequest::failWithError(ErrorValue error)
{
    complete_ = true;
    if (error.code != ASITooMuchRedirectionErrorType) {
        ConnectionPool::shared().drop(connectionInfo_, canUsePersistentConnection_, closeStreamTime_);
        destroyReadStream();
    }
    if (!cancelled_ && !error_) {
        error_ = std::move(error);
        reportFailed();
        markAsFinished();
    }
}

void ASIHTTPRequest::markAsFinished()
{
    inProgress_ = false;
    if (auto loop = loop_.lock())
        loop->stop();
    else
        RunLoop::current()->stop();
}

void ASIHTTPRequest::cancelLoad()
{
    destroyReadStream();
    postBodyReadStream_.reset();
    if (rawResponseData_) {
        rawResponseData_.reset();
    } else {
        closeDownloadFile();
        if (!allowResumeForFileDownloads_ && !temporaryFileDownloadPath_.empty()
            && fileExists(temporaryFileDownloadPath_))
            removeFileReportingError(temporaryFileDownloadPath_);
    }
    if (didCreateTemporaryPostDataFile_ && !postBodyFilePath_.empty()) {
        removeFileReportingError(postBodyFilePath_);
        didCreateTemporaryPostDataFile_ = false;
        postBodyFilePath_.clear();
    }
    responseHeaders_.clear();
}

namespace {
// A transfer handle on its way out. Whoever drops the last reference takes it out of its
// multi handle (when that still exists) and frees it, so the handle is released even when the
// task carrying it is discarded by a loop whose thread has ended.
struct RetiredTransfer {
    std::weak_ptr<CurlMultiDriver> driver;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    ~RetiredTransfer()
    {
        if (auto d = driver.lock())
            d->remove(easy);
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
};
} // namespace

void ASIHTTPRequest::destroyReadStream()
{
    if (!easy_)
        return;
    auto retired = std::make_shared<RetiredTransfer>();
    retired->driver = driver_;
    retired->easy = std::exchange(easy_, nullptr);
    retired->headers = std::exchange(headerList_, nullptr);
    auto loop = loop_.lock();
    // A transfer belongs to its thread's multi handle: it is taken out there, and only there
    // is the last reference dropped.
    if (loop && !loop->isCurrent())
        loop->post([held = std::move(retired)]() mutable { held.reset(); });
}

void ASIHTTPRequest::reportFinished()
{
    if (delegate_ && !error_)
        delegate_->requestFinished(*this);
}

void ASIHTTPRequest::reportFailed()
{
    if (delegate_)
        delegate_->requestFailed(*this);
}

bool ASIHTTPRequest::flushDownloadBuffer()
{
    if (downloadBuffer_.empty() || fileDownloadFd_ < 0)
        return true;
    bool written
        = writeAll(fileDownloadFd_, reinterpret_cast<const char*>(downloadBuffer_.data()), downloadBuffer_.size());
    downloadBuffer_.clear();
    if (!written)
        reportDownloadWriteFailure();
    return written;
}

bool ASIHTTPRequest::closeDownloadFile()
{
    bool written = flushDownloadBuffer();
    if (fileDownloadFd_ >= 0) {
        ::close(fileDownloadFd_);
        fileDownloadFd_ = -1;
    }
    return written;
}

void ASIHTTPRequest::reportDownloadWriteFailure()
{
    if (!pendingError_)
        pendingError_
            = makeError(ASIFileManagementError, "Failed to write to file at path '" + temporaryFileDownloadPath_ + "'");
}

bool ASIHTTPRequest::removeFileReportingError(const std::string& path)
{
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    if (!pendingError_)
        pendingError_ = makeError(ASIFileManagementError, "Failed to delete file at path '" + path + "'");
    return false;
}

void ASIHTTPRequest::stopStatusTimer()
{
    if (!statusTimer_)
        return;
    if (auto loop = loop_.lock())
        loop->cancelTimer(statusTimer_);
    statusTimer_ = 0;
}

ASIHTTPRequest::Clock::time_point ASIHTTPRequest::now() const
{
    auto& state = classState();
    std::lock_guard lock(state.mutex);
    return state.clock ? state.clock() : Clock::now();
}

// ---------------------------------------------------------------------------------------------
// Progress

namespace {
float fraction(double done, double total)
{
    if (total <= 0)
        return done > 0 ? 1.0f : 0.0f;
    return static_cast<float>(std::clamp(done / total, 0.0, 1.0));
}
} // namespace

void ASIHTTPRequest::updateProgressIndicators(ProgressReport& report)
{
    if (!showAccurateProgress_ && (!complete_ || updatedProgress_))
        return;
    updateUploadProgress(report);
    updateDownloadProgress(report);
}

void ASIHTTPRequest::updateUploadProgress(ProgressReport& report)
{
    if (totalBytesSent_ > 0 && uploadBufferSize_ == 0 && totalBytesSent_ != postLength_)
        uploadBufferSize_ = totalBytesSent_;
    if (totalBytesSent_ > 0 && uploadProgressDelegate_) {
        resetUploadProgress(report);
        updatedProgress_ = true;
    }
}

void ASIHTTPRequest::resetUploadProgress(ProgressReport& report)
{
    if (!uploadProgressDelegate_)
        return;
    // Without a whole-object size the body is the whole object.
    double total = static_cast<double>(totalSize_ ? totalSize_ : postLength_ + offset_);
    double buffer = static_cast<double>(uploadBufferSize_);
    report.upload = fraction(static_cast<double>(totalBytesSent_ + offset_) - buffer, total - buffer);
    report.uploadSink = uploadProgressDelegate_;
}

void ASIHTTPRequest::updateDownloadProgress(ProgressReport& report)
{
    if (!headersRead_)
        return;
    std::uint64_t bytes = partialDownloadSize_ + totalBytesRead_;
    if (downloadProgressDelegate_) {
        // The reply's length covers only what this request fetches; a resumed part comes first.
        if (totalSize_ == 0)
            totalSize_ = contentLength_ ? contentLength_ + partialDownloadSize_ : 0;
        report.download = fraction(static_cast<double>(offset_ + bytes), static_cast<double>(totalSize_));
        if (totalSize_ == 0)
            report.download = 0.0f;
        report.downloadSink = downloadProgressDelegate_;
        updatedProgress_ = true;
    }
    lastBytesRead_ = bytes;
}

void ASIHTTPRequest::resetDownloadProgress(ProgressReport& report)
{
    if (!downloadProgressDelegate_)
        return;
    report.download = totalSize_ == 0 ? 0.0f
                                      : fraction(static_cast<double>(offset_ + partialDownloadSize_ + totalBytesRead_),
                                          static_cast<double>(totalSize_));
    report.downloadSink = downloadProgressDelegate_;
}

void ASIHTTPRequest::deliver(const ProgressReport& report)
{
    if (!report.upload && !report.download)
        return;
    std::lock_guard progress(classState().progressLock);
    if (report.upload && report.uploadSink)
        onMainThreadFor(*report.uploadSink, [&report] { report.uploadSink->setProgress(*report.upload); });
    if (report.download && report.downloadSink)
        onMainThreadFor(*report.downloadSink, [&report] { report.downloadSink->setProgress(*report.download); });
}

// ---------------------------------------------------------------------------------------------
// Class-wide operations

double ASIHTTPRequest::defaultTimeOutSeconds()
{
    auto& state = classState();
    std::lock_guard lock(state.mutex);
    return state.defaultTimeOut;
}

void ASIHTTPRequest::setDefaultTimeOutSeconds(double seconds)
{
    auto& state = classState();
    std::lock_guard lock(state.mutex);
    state.defaultTimeOut = seconds;
}

void ASIHTTPRequest::setApplicationIdentity(std::string displayName, std::string shortVersion, std::string buildVersion)
{
    auto& state = classState();
    std::lock_guard lock(state.mutex);
    state.displayName = std::move(displayName);
    state.shortVersion = std::move(shortVersion);
    state.buildVersion = std::move(buildVersion);
}

std::optional<std::string> ASIHTTPRequest::defaultUserAgentString()
{
    auto& state = classState();
    std::lock_guard lock(state.mutex);
    if (state.displayName.empty())
        return std::nullopt;
    std::string version = state.shortVersion;
    if (!state.shortVersion.empty() && !state.buildVersion.empty() && state.shortVersion != state.buildVersion)
        version = state.shortVersion + " rv:" + state.buildVersion;
    else if (version.empty())
        version = state.buildVersion;
    return state.displayName + " " + version + " (Macintosh; Mac OS X 1.1.1; " + localeIdentifier() + ")";
}

std::vector<HTTPCookie> ASIHTTPRequest::sessionCookies()
{
    return SessionCookies::shared().list();
}

void ASIHTTPRequest::setSessionCookies(std::vector<HTTPCookie> cookies)
{
    SessionCookies::shared().replace(std::move(cookies), CookieStore::shared());
}

void ASIHTTPRequest::addSessionCookie(const HTTPCookie& cookie)
{
    SessionCookies::shared().add(cookie);
}

void ASIHTTPRequest::clearSession()
{
    {
        auto& state = classState();
        std::lock_guard lock(state.mutex);
        state.credentials.clear();
    }
    SessionCookies::shared().clear();
}

std::optional<Bytes> ASIHTTPRequest::compressData(std::span<const std::uint8_t> bytes)
{
    return GzipCodec::compressData(bytes);
}

int ASIHTTPRequest::compressDataFromFile(const std::string& source, const std::string& destination)
{
    return GzipCodec::compressDataFromFile(source, destination);
}

std::optional<Bytes> ASIHTTPRequest::uncompressZippedData(std::span<const std::uint8_t> bytes)
{
    return GzipCodec::uncompressZippedData(bytes);
}

int ASIHTTPRequest::uncompressZippedDataFromFile(const std::string& source, const std::string& destination)
{
    return GzipCodec::uncompressZippedDataFromFile(source, destination);
}

std::string ASIHTTPRequest::base64forData(std::span<const std::uint8_t> bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

void ASIHTTPRequest::setClock(std::function<Clock::time_point()> clock)
{
    auto& state = classState();
    std::lock_guard lock(state.mutex);
    state.clock = std::move(clock);
}

} // namespace norvane
