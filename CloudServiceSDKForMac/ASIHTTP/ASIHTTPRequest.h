#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ASIURL.h"
#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"
#include "CloudServiceSDKForMac/ASIHTTP/HTTPCookie.h"
#include "CloudServiceSDKForMac/ASIHTTP/ProxyResolver.h"
#include "CloudServiceSDKForMac/ASIHTTP/TextEncoding.h"
#include "platform/ErrorValue.h"
#include "platform/RunLoop.h"
#include "platform/Value.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

typedef void CURL;
struct curl_slist;

namespace norvane {

class ASIHTTPRequest;
class ASIInputStream;
class CurlMultiDriver;

inline constexpr const char* kASIHTTPRequestErrorDomain = "ASIHTTPRequestErrorDomain";
// userInfo of a connection failure (code 1) that TLS refused: kTLSFailureKey says why
// (kTLSFailureCertificate: the certificate did not validate; kTLSFailurePin: the server's key is
// not the pinned one), kServerPinKey the key the server showed, "sha256//<base64>", when known.
inline constexpr const char* kTLSFailureKey = "tlsFailure";
inline constexpr const char* kTLSFailureCertificate = "certificate";
inline constexpr const char* kTLSFailurePin = "pin";
inline constexpr const char* kServerPinKey = "serverPin";

// Error codes of the engine (domain "ASIHTTPRequestErrorDomain").
enum ASINetworkErrorType : long {
    ASIConnectionFailureErrorType = 1,
    ASIRequestTimedOutErrorType = 2,
    ASIRequestCancelledErrorType = 4,
    ASIUnableToCreateRequestErrorType = 5,
    ASIInternalErrorWhileBuildingRequestType = 6,
    ASIFileManagementError = 8,
    ASITooMuchRedirectionErrorType = 9,
    ASIUnhandledExceptionError = 10,
    // A redirect the request may not follow: from https to http, or of a request with a body
    // that would be sent again without it.
    ASIRedirectRefusedErrorType = 11,
};

// Receives the outcome of a request. Started is called on the main thread, finished and failed on
// the request's own thread. Every call is optional.
class ASIHTTPRequestDelegate {
public:
    virtual ~ASIHTTPRequestDelegate() = default;
    virtual void requestStarted(ASIHTTPRequest&) { }
    virtual void requestFinished(ASIHTTPRequest&) { }
    virtual void requestFailed(ASIHTTPRequest&) { }
};

// A progress indicator fed with fractions 0..1 on the main thread.
class ASIProgressDelegate {
public:
    virtual ~ASIProgressDelegate() = default;
    virtual void setProgress(float fraction) = 0;
    virtual void setMaxValue(double) { }
    // Sinks are called on the main thread, where windows draw; one that is safe on any thread
    // says so and is called where the progress arises, sparing the worker a wait for the main
    // thread at every chunk.
    virtual bool needsMainThread() const { return true; }
};

// Response headers by name as the server spelled them; repeated fields joined with ", ".
using ASIHeaderMap = std::map<std::string, std::string>;

// One HTTP/1.1 exchange: URL, method, headers and body out; status, headers and body (in memory
// or in a file) back. It runs on the RunLoop of the thread that starts it, over libcurl, which
// only moves bytes: redirects, gzip, cookies, credentials, time-outs and progress are this class's
// own. Any HTTP status, 4xx and 5xx included, finishes the request; failures are error records.
class ASIHTTPRequest : public std::enable_shared_from_this<ASIHTTPRequest> {
public:
    using Clock = std::chrono::steady_clock;

    static std::shared_ptr<ASIHTTPRequest> requestWithURL(const std::string& url);
    ~ASIHTTPRequest();
    ASIHTTPRequest(const ASIHTTPRequest&) = delete;
    ASIHTTPRequest& operator=(const ASIHTTPRequest&) = delete;

    // --- message ---
    const std::string& url() const { return urlText_; }
    void setURL(const std::string& url) { urlText_ = url; }
    const std::string& originalURL() const { return originalURL_; }
    const std::string& requestMethod() const { return requestMethod_; }
    void setRequestMethod(std::string method) { requestMethod_ = std::move(method); }
    void setUseHTTPVersionOne(bool v) { useHTTPVersionOne_ = v; }
    // Sets (replaces) one header. Order of first setting is the order on the wire.
    void addRequestHeader(const std::string& name, const std::string& value);
    const std::vector<std::pair<std::string, std::string>>& requestHeaders() const { return requestHeaders_; }
    std::optional<std::string> requestHeader(const std::string& name) const;
    void setRequestCookies(std::vector<HTTPCookie> cookies) { requestCookies_ = std::move(cookies); }
    const std::vector<HTTPCookie>& requestCookies() const { return requestCookies_; }
    void setUseCookiePersistance(bool v) { useCookiePersistance_ = v; }
    ValueMap& userInfo() { return userInfo_; }

    // --- body ---
    void appendPostData(std::span<const std::uint8_t> bytes);
    void appendPostData(std::string_view bytes);
    // Copies the file into the body store in 256 KiB reads; false when it cannot be read.
    bool appendPostDataFromFile(const std::string& path);
    void setShouldStreamPostDataFromDisk(bool v) { shouldStreamPostDataFromDisk_ = v; }
    // Sends this file as the body without copying it (it is streamed from disk).
    void setPostBodyFilePath(const std::string& path) { postBodyFilePath_ = path; }
    void setShouldCompressRequestBody(bool v) { shouldCompressRequestBody_ = v; }
    std::uint64_t postLength() const { return postLength_; }

    // --- response ---
    int responseStatusCode() const { return responseStatusCode_; }
    const std::string& responseStatusMessage() const { return responseStatusMessage_; }
    const ASIHeaderMap& responseHeaders() const { return responseHeaders_; }
    // A response header by name, without regard to case.
    std::optional<std::string> responseHeader(std::string_view name) const;
    const std::vector<HTTPCookie>& responseCookies() const { return responseCookies_; }
    // The body (gzip bodies decompressed); none when there is none or it could not be decompressed.
    std::optional<Bytes> responseData() const;
    // The body as UTF-8 text, read in responseEncoding; none when there is no body.
    std::optional<std::string> responseString() const;
    bool isResponseCompressed() const;
    std::uint64_t contentLength() const { return contentLength_; }
    std::uint64_t totalBytesRead() const { return totalBytesRead_; }
    TextEncoding responseEncoding() const { return responseEncoding_; }
    void setDefaultResponseEncoding(TextEncoding e) { defaultResponseEncoding_ = e; }
    void setAllowCompressedResponse(bool v) { allowCompressedResponse_ = v; }
    // In-memory gzip bodies that would expand beyond this fail with code 8.
    void setMaxDecompressedBodySize(std::uint64_t bytes) { maxDecompressedBodySize_ = bytes; }
    // A body received into memory that grows beyond this fails with code 8 instead of taking
    // the process's memory (bodies meant to be large go to a file).
    void setMaxResponseDataSize(std::uint64_t bytes) { maxResponseDataSize_ = bytes; }

    // --- body handed on as it arrives ---
    // Where a response's body goes instead of memory or a file. Once a response's headers are in,
    // `accepts` decides for that response (so that the body of a redirect or of a refusal stays in
    // memory as usual); an accepted body goes piece by piece to `write`, and false from it ends the
    // request (code 8). Empty functions turn it off.
    using BodyAccept = std::function<bool(const ASIHTTPRequest&)>;
    using BodyWrite = std::function<bool(std::span<const std::uint8_t>)>;
    void setBodySink(BodyAccept accepts, BodyWrite write);

    // --- download into a file ---
    void setDownloadDestinationPath(const std::string& path) { downloadDestinationPath_ = path; }
    const std::string& downloadDestinationPath() const { return downloadDestinationPath_; }
    void setTemporaryFileDownloadPath(const std::string& path) { temporaryFileDownloadPath_ = path; }
    const std::string& temporaryFileDownloadPath() const { return temporaryFileDownloadPath_; }
    void setAllowResumeForFileDownloads(bool v) { allowResumeForFileDownloads_ = v; }
    std::uint64_t partialDownloadSize() const { return partialDownloadSize_; }

    // --- ranged-transfer progress ---
    void setOffset(std::uint64_t v) { offset_ = v; }
    void setTotalSize(std::uint64_t v) { totalSize_ = v; }

    // --- time and retries ---
    double timeOutSeconds() const { return timeOutSeconds_; }
    void setTimeOutSeconds(double s) { timeOutSeconds_ = s; }
    void setNumberOfTimesToRetryOnTimeout(int n) { numberOfTimesToRetryOnTimeout_ = n; }
    int retryCount() const { return retryCount_; }

    // --- redirects ---
    // Redirects are followed unless turned off here; never from https to http, never for a
    // request whose body a 301/302/303 would drop (both fail with code 11), and to another origin
    // (scheme, host, port) only without the request's credentials: no Authorization, Cookie,
    // login or identity header and no user name and password go along, only the headers that
    // describe the content asked for.
    void setShouldRedirect(bool v) { shouldRedirect_ = v; }
    // A redirect to another origin is not followed at all: the 3xx is the response.
    void setShouldRedirectOnlyWithinOrigin(bool v) { shouldRedirectOnlyWithinOrigin_ = v; }
    void setShouldUseRFC2616RedirectBehaviour(bool v) { shouldUseRFC2616RedirectBehaviour_ = v; }
    int redirectCount() const { return redirectCount_; }

    // --- connection ---
    void setShouldAttemptPersistentConnection(bool v) { shouldAttemptPersistentConnection_ = v; }
    bool canUsePersistentConnection() const { return canUsePersistentConnection_; }
    double closeStreamTime() const { return closeStreamTime_; }
    // The pool entry id the last attempt used; 0 when it used none.
    std::int32_t connectionID() const;
    void setProxyHost(const std::string& host) { proxyHost_ = host; }
    void setProxyPort(int port) { proxyPort_ = port; }
    const std::string& proxyHost() const { return proxyHost_; }
    int proxyPort() const { return proxyPort_; }
    void setPACurl(const std::string& url) { PACurl_ = url; }
    void setProxyUsername(const std::string& v) { proxyUsername_ = v; }
    void setProxyPassword(const std::string& v) { proxyPassword_ = v; }
    void setProxyDomain(const std::string& v) { proxyDomain_ = v; }
    void setValidatesSecureCertificate(bool v) { validatesSecureCertificate_ = v; }
    // Trusts a server whose public key has this SHA-256 (base64, as "sha256//..." or bare),
    // whatever signed its certificate. Checked even when validation is off.
    void setPinnedPublicKey(const std::string& pin) { pinnedPublicKey_ = pin; }

    // --- credentials (sent before any challenge) ---
    void setUsername(const std::string& v) { username_ = v; }
    void setPassword(const std::string& v) { password_ = v; }
    void setDomain(const std::string& v) { domain_ = v; }
    void setUseSessionPersistance(bool v) { useSessionPersistance_ = v; }
    void setShouldPresentCredentialsBeforeChallenge(bool v) { shouldPresentCredentialsBeforeChallenge_ = v; }

    // --- progress and callbacks (not owned) ---
    void setDelegate(ASIHTTPRequestDelegate* d);
    void setUploadProgressDelegate(ASIProgressDelegate* d);
    void setDownloadProgressDelegate(ASIProgressDelegate* d);
    void setShowAccurateProgress(bool v) { showAccurateProgress_ = v; }
    void setShouldResetProgressIndicators(bool v) { shouldResetProgressIndicators_ = v; }
    std::uint64_t totalBytesSent() const { return totalBytesSent_; }
    std::uint64_t uploadBufferSize() const { return uploadBufferSize_; }

    // --- running ---
    // Runs the request to its end on the calling thread's run loop.
    void startSynchronous();
    // Starts the request on the calling thread's run loop and returns; the caller keeps running
    // that loop (in slices) until isFinished().
    void startAsynchronous();
    void start() { startAsynchronous(); }
    // From any thread. Fails the request with code 4 once; later calls and calls after the end do
    // nothing.
    void cancel();
    bool isFinished() const;
    bool isExecuting() const;
    bool isCancelled() const;
    bool complete() const { return isFinished(); }
    const std::optional<ErrorValue>& error() const { return error_; }

    // --- class-wide ---
    static double defaultTimeOutSeconds();
    static void setDefaultTimeOutSeconds(double seconds);
    // The name and versions the default User-Agent is made of; without a name there is none.
    static void setApplicationIdentity(std::string displayName, std::string shortVersion, std::string buildVersion);
    static std::optional<std::string> defaultUserAgentString();
    static std::vector<HTTPCookie> sessionCookies();
    static void setSessionCookies(std::vector<HTTPCookie> cookies);
    static void addSessionCookie(const HTTPCookie& cookie);
    static void clearSession();
    static std::optional<Bytes> compressData(std::span<const std::uint8_t> bytes);
    static int compressDataFromFile(const std::string& source, const std::string& destination);
    static std::optional<Bytes> uncompressZippedData(std::span<const std::uint8_t> bytes);
    static int uncompressZippedDataFromFile(const std::string& source, const std::string& destination);
    // Standard Base64 (RFC 4648, "=" padding, no line breaks): the Basic authorization text.
    static std::string base64forData(std::span<const std::uint8_t> bytes);
    // The engine's time source for time-outs (tests move it on).
    static void setClock(std::function<Clock::time_point()> clock);

private:
    explicit ASIHTTPRequest(std::string url);

    // Progress fractions gathered under the request's lock and handed to the sinks after it is
    // released, so that a sink on the main thread never waits for a lock a worker holds.
    struct ProgressReport {
        std::optional<float> upload;
        std::optional<float> download;
        ASIProgressDelegate* uploadSink = nullptr;
        ASIProgressDelegate* downloadSink = nullptr;
    };

    // start sequence and its steps
    void runStartSequence();
    bool buildPostBody();
    bool buildRequestHeaders();
    void applyCookieHeader();
    void applyAuthorizationHeader();
    void startRequest();
    bool configureEasyHandle(const URL& url);
    bool scheduleTransfer();
    // stream events
    std::size_t onHeaderLine(const char* data, std::size_t size);
    std::size_t onBody(const char* data, std::size_t size);
    std::size_t onReadBody(char* buffer, std::size_t size);
    bool onUploadProgress(std::uint64_t sent);
    void onTransferDone(int curlCode, int lastSocket);
    void readResponseHeaders();
    void handleStreamComplete();
    void handleStreamError(int curlCode);
    // Decides what a 3xx with a Location does: followed (needsRedirect_), kept as the response,
    // or refused (the request's error is then set).
    void prepareRedirect(const URL& from, int status, const std::string& location);
    void performRedirect();
    void statusTick();
    void failWithError(ErrorValue error);
    void markAsFinished();
    void cancelLoad();
    void destroyReadStream();
    void reportFinished();
    void reportFailed();
    // progress
    void updateProgressIndicators(ProgressReport& report);
    void updateUploadProgress(ProgressReport& report);
    void updateDownloadProgress(ProgressReport& report);
    void resetUploadProgress(ProgressReport& report);
    void resetDownloadProgress(ProgressReport& report);
    void deliver(const ProgressReport& report);
    void stopStatusTimer();
    bool removeFileReportingError(const std::string& path);
    // The download file: buffered bytes written out; closing writes them first. False (and the
    // request's file error set) when a write failed.
    bool flushDownloadBuffer();
    bool closeDownloadFile();
    void reportDownloadWriteFailure();
    Clock::time_point now() const;

    // message
    std::string urlText_;
    std::string originalURL_;
    std::string requestMethod_ = "GET";
    bool useHTTPVersionOne_ = false;
    std::vector<std::pair<std::string, std::string>> requestHeaders_;
    bool haveBuiltRequestHeaders_ = false;
    std::vector<HTTPCookie> requestCookies_;
    bool useCookiePersistance_ = true;
    ValueMap userInfo_;
    // body
    std::shared_ptr<Bytes> postBody_;
    std::string postBodyFilePath_;
    bool shouldStreamPostDataFromDisk_ = false;
    bool didCreateTemporaryPostDataFile_ = false;
    int postBodyWriteFd_ = -1;
    bool shouldCompressRequestBody_ = false;
    std::shared_ptr<Bytes> compressedPostBody_;
    std::string compressedPostBodyFilePath_;
    std::uint64_t postLength_ = 0;
    bool haveBuiltPostBody_ = false;
    std::unique_ptr<ASIInputStream> postBodyReadStream_;
    // response
    int responseStatusCode_ = 0;
    std::string responseStatusMessage_;
    ASIHeaderMap responseHeaders_;
    std::vector<std::pair<std::string, std::string>> responseHeaderList_;
    std::vector<std::pair<std::string, std::string>> incomingHeaders_;
    std::string incomingStatusLine_;
    bool headersRead_ = false;
    std::vector<HTTPCookie> responseCookies_;
    std::shared_ptr<Bytes> rawResponseData_;
    BodyAccept bodySinkAccepts_;
    BodyWrite bodySinkWrite_;
    bool bodySinkDecided_ = false; // for the response now arriving
    bool bodySinkTaking_ = false;
    std::optional<Bytes> decompressedResponseData_;
    std::uint64_t contentLength_ = 0;
    std::uint64_t totalBytesRead_ = 0;
    TextEncoding responseEncoding_ = TextEncoding::isoLatin1;
    TextEncoding defaultResponseEncoding_ = TextEncoding::isoLatin1;
    bool allowCompressedResponse_ = true;
    std::uint64_t maxDecompressedBodySize_ = std::uint64_t { 256 } << 20;
    std::uint64_t maxResponseDataSize_ = std::uint64_t { 512 } << 20;
    // download file
    std::string downloadDestinationPath_;
    std::string temporaryFileDownloadPath_;
    bool allowResumeForFileDownloads_ = false;
    std::uint64_t partialDownloadSize_ = 0;
    int fileDownloadFd_ = -1;
    static constexpr std::size_t kDownloadBufferSize = 262144;
    Bytes downloadBuffer_;
    bool temporaryPathWasGiven_ = false;
    bool restartDownload_ = false;
    // Found while the transfer runs (a file that cannot be written, a refused redirect): the
    // request fails with it when the transfer ends.
    std::optional<ErrorValue> pendingError_;
    // ranged progress
    std::uint64_t offset_ = 0;
    std::uint64_t totalSize_ = 0;
    // time
    double timeOutSeconds_;
    std::optional<Clock::time_point> lastActivityTime_;
    int numberOfTimesToRetryOnTimeout_ = 0;
    int retryCount_ = 0;
    RunLoop::TimerId statusTimer_ = 0;
    // redirects
    bool shouldRedirect_ = true;
    bool shouldUseRFC2616RedirectBehaviour_ = false;
    bool shouldRedirectOnlyWithinOrigin_ = false;
    int redirectCount_ = 0;
    bool needsRedirect_ = false;
    bool reapplyCookieHeader_ = false;
    // connection
    bool shouldAttemptPersistentConnection_ = true;
    bool canUsePersistentConnection_ = false;
    std::shared_ptr<PoolEntry> connectionInfo_;
    bool connectionIsNew_ = false;
    double closeStreamTime_ = 2.0;
    std::string proxyHost_;
    int proxyPort_ = 0;
    ProxyChoice::Type proxyType_ = ProxyChoice::Type::Http;
    bool directOnly_ = false; // fetching a proxy script: never ask for a proxy again
    std::string PACurl_;
    std::string proxyUsername_;
    std::string proxyPassword_;
    std::string proxyDomain_;
    bool validatesSecureCertificate_ = true;
    std::string pinnedPublicKey_;
    // credentials
    std::string username_;
    std::string password_;
    std::string domain_;
    bool useSessionPersistance_ = true;
    bool shouldPresentCredentialsBeforeChallenge_ = true;
    // progress
    ASIProgressDelegate* uploadProgressDelegate_ = nullptr;
    ASIProgressDelegate* downloadProgressDelegate_ = nullptr;
    bool showAccurateProgress_ = true;
    bool shouldResetProgressIndicators_ = true;
    std::uint64_t uploadBufferSize_ = 0;
    std::uint64_t totalBytesSent_ = 0;
    std::uint64_t streamBytesWritten_ = 0;
    std::uint64_t lastBytesSent_ = 0;
    std::uint64_t lastBytesRead_ = 0;
    bool updatedProgress_ = false;
    ProgressReport pendingReport_;
    // lifecycle
    bool complete_ = false;
    bool inProgress_ = false;
    bool isSynchronous_ = false;
    bool downloadComplete_ = false;
    bool cancelled_ = false;
    std::optional<ErrorValue> error_;
    ASIHTTPRequestDelegate* delegate_ = nullptr;
    mutable std::recursive_mutex cancelledLock_;
    // transfer
    std::weak_ptr<RunLoop> loop_;
    std::weak_ptr<CurlMultiDriver> driver_;
    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    char curlError_[256] = {};
};

} // namespace norvane
