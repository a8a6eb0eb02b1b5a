#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ASIHTTPRequest.h"
#include "CloudServiceSDKForMac/CloudService/StorageServiceAdaptor.h"
#include "CloudServiceSDKForMac/CloudService/httpHeaderInfo.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvane {

// Posted after every request that reached the server while the network is reachable (it restarts
// the inactivity logout), and for a device that is not authorised or a suspended account.
inline constexpr const char* kNotificationServerAccessCompleted = "NotificationServerAccessCompleted";
inline constexpr const char* kNotificationUserDisabled = "NotificationUserDisabled";

// The response header that carries the version of the notice text for the user.
inline constexpr const char* kInformationSeqHeader = "X-Zel-Informationseq";

// The fixed credential of the login server's requests (login, password change): the scheme word
// and the client's key.
inline constexpr const char* kLoginServerAuthorization = "ZEL 3f0a9c27d41e8b65c0d2e";

// How long the waiting thread runs its loop between two looks at the request and the stop flag:
// downloads (get, simple get, print registration) wait in long slices, everything else in short.
inline constexpr double kLongWaitSlice = 0.25;
inline constexpr double kShortWaitSlice = 0.05;

// What RestStorageServiceAdaptor::runRequest does besides waiting in slices.
struct RequestCycleOptions {
    // False for an upload chunk that must finish even when the user stops transfers (one sent from
    // the main thread, or the offline log).
    bool honourStopFlag = true;
    // False for the notice-text request itself, which must not start another such check.
    bool checkNotificationVersion = true;
    // The notice-text request runs synchronously, on the engine's own slices.
    bool startSynchronously = false;
};

// The storage adaptor over HTTP(S): URL forms, the common headers, the request cycle with its
// stop flag, the status mapping and the readers of error bodies. Each storage operation builds its
// request, adds its own headers and makeHeader's, and hands it to runRequest, which returns the
// mapped code; on 0 the operation reads the response itself and on success passes the response
// headers to postNotification.
class RestStorageServiceAdaptor : public StorageServiceAdaptor {
public:
    // Name and value of an operation's own header, in wire order.
    using HeaderField = std::pair<std::string, std::string>;
    // "Code", "Message" and "RequestId" of an error body.
    using ErrorRecord = std::map<std::string, std::string>;

    RestStorageServiceAdaptor();
    ~RestStorageServiceAdaptor() override;

    // Keeps the configuration and hangs a new header record on it, seeded with its baseUUID.
    void initWithConfig(StorageServiceConfig config) override;
    // The header record of this adaptor (the one in config().adapterInfo).
    const std::shared_ptr<httpHeaderInfo>& headerInfo() const { return config_.adapterInfo; }

    // --- URLs ---
    // connectUrl followed directly by the operation's path, in which every character that may
    // never stand raw in a URL path (blanks, controls, non-ASCII bytes, '"', '#', '<', '>', '\',
    // '^', '`', '{', '|', '}') is percent-escaped; "%" and a query stay as they are. None when the
    // path is not a storage key (isStorageKey): appended to the server's address, it could name
    // another server ("@host:port/...").
    std::optional<std::string> storageUrl(std::string_view path) const;
    // A path of the storage server: it begins with "/". Keys that the server sends are checked
    // with this before they are taken.
    static bool isStorageKey(std::string_view path);
    // "<http|https>://<loginIP>:<loginPort>/Storage9/QORPrivateStorage/<account|changepassword|
    // information>/<argument>"; the argument is put in as given.
    std::string accountUrl(std::string_view userName) const;
    std::string changePasswordUrl(std::string_view userKey) const;
    std::string informationUrl(std::string_view version) const;

    // --- requests ---
    // A request for the URL with the method, reading response texts as UTF-8 unless the server
    // names another charset, and following redirects only within the URL's origin.
    static std::shared_ptr<ASIHTTPRequest> makeRequest(const std::string& url, const std::string& method);
    // makeRequest for storageUrl(path); none, with CloudServiceErrorBadKey as the detail and
    // nothing sent, when the path is not a storage key.
    std::shared_ptr<ASIHTTPRequest> makeStorageRequest(std::string_view path, const std::string& method);
    // ResultFailed with CloudServiceErrorBadKey as the detail.
    std::int32_t refuseKey(std::string_view what);
    // The common headers of a storage request, in this order: "Date", the 60-second time-out,
    // "x-zel-app-type", "Authorization" (the account's QorID:VarID:KigyoID:UserKey),
    // "X-Device-Id", "x-locale" (when the language is set), the proxy (when useProxy), certificate
    // validation and pinning (when useHttps), "User-Agent" (when set).
    void makeHeader(ASIHTTPRequest& request, std::string_view appType) const;
    // The headers of the login server's login and password change: "Date", the fixed
    // "Authorization", the operation's own headers, "X-Device-Id" = deviceId, "x-locale", and
    // proxy and certificate settings as makeHeader; no time-out, application type or User-Agent.
    void makeLoginHeader(
        ASIHTTPRequest& request, const std::vector<HeaderField>& operationHeaders, std::string_view deviceId) const;

    // The request cycle every operation uses. Starts the request and runs the calling thread's
    // loop in slices of sliceSeconds until it has finished or the transfer stop flag is raised,
    // then announces the server access (while the network is reachable) and maps the status.
    // Returns:
    //   4  the stop flag was raised: it is cleared and the request cancelled (a flag raised before
    //      the start sends nothing);
    //   2  the request could not be sent at all (a header value with a line break, an unusable
    //      URL); storageDetailErr holds the engine's error;
    //   otherwise checkResponseStatusCode's result: non-zero is the operation's answer (with
    //      statusError() as the detail unless the mapping set its own); on 0 the notice version
    //      of the response has been checked and the operation applies its own test (a transport
    //      failure shows as request.error(), and transportError() of it is already the detail).
    // storageDetailErr is cleared when the cycle starts.
    std::int32_t runRequest(ASIHTTPRequest& request, double sliceSeconds, const RequestCycleOptions& options = {});

    // --- outcomes ---
    // An answer with a 2xx status and no transport failure: the only kind an operation takes for
    // success.
    static bool answeredWith2xx(const ASIHTTPRequest& request);
    // The detail of an answer the operation does not take for success: kHTTPStatusErrorDomain,
    // the status as code, the server's "Code" and "Message" (from a short error body) in the user
    // info.
    static ErrorValue statusError(const ASIHTTPRequest& request);
    // The detail of a transport failure: a certificate or key the client does not trust becomes
    // CloudServiceErrorCertificateRejected or CloudServiceErrorPinMismatch (with the engine's
    // error and the server's pin in the user info); any other failure is the engine's own.
    static ErrorValue transportError(const ErrorValue& engineError);
    // Error bodies longer than this are not read for their words.
    static constexpr std::uint64_t kMaxErrorBodySize = 64 * 1024;

    // --- status mapping ---
    // 304: 6; other below 400: 0; 400: 26 for an "InvalidArgument" or "PE" code, else 27;
    // 401: 16 (and the user-disabled notice for "Device not authorized") or 27; 403: 21 (and the
    // notice for "SuspendAccount") or 27; 404: 9 with error 12; 410: 22; 413: 11; 500: 19;
    // 507: 8; every other status 0, left to the operation.
    std::int32_t checkResponseStatusCode(int status, const ASIHTTPRequest& request);
    // The same over a body text (none: no body).
    std::int32_t checkResponseStatusCode(int status, const std::optional<std::string>& body);

    // --- server policy and notices (filled in by the session requests) ---
    // The version of the notice text a response announced (none: the header was absent).
    virtual void checkNotificationWithVersion(const std::optional<std::string>& version);
    // The policy headers of a successful response.
    void postNotification(const ASIHeaderMap& headers);
    virtual void postNotification(const ASIHeaderMap& headers, const ValueMap& option);
    // Posts "NotificationUserDisabled" without an object.
    void postNotificationNameUserDisabled();

    // --- text helpers ---
    // The text between the first occurrence of begin and the next occurrence of end after it;
    // none when either is missing.
    static std::optional<std::string> beginEnd2Str(std::string_view text, std::string_view begin, std::string_view end);
    // The text between the first "<Code>" and the first "</Code>" of an error body; none when a
    // marker is missing or the end comes first.
    static std::optional<std::string> errorCodeOfBody(std::string_view body);
    // "Code", "Message" and "RequestId" from the direct children of the body's root element. None
    // for an absent, empty or unparseable body; an empty record for a root without such children.
    static std::optional<ErrorRecord> errorRecordOfBody(const std::optional<std::string>& body);
    // UTF-8 percent-escaping that keeps the characters allowed in a URL (letters, digits and
    // "!$&'()*+,-./:;=?@_~"), as for the user name of the login URL.
    static std::string percentEscape(std::string_view text);
    // The escaping of header values that carry names or paths: percentEscape that also escapes
    // ":/?-=.".
    static std::string percentEscapeForHeader(std::string_view text);

    // The short copy is the long one without overwriting.
    std::int32_t cp(const std::string& path, const std::string& fromSourceFile, const std::string& applicationType,
        std::int32_t postOrPut, std::int32_t accessFlag, const ValueMap& option) override;
    using StorageServiceAdaptor::cp;
    // Both moves stay visible when the long one is overridden here.
    using StorageServiceAdaptor::mv;

    // --- session and account: connect, login, password change, notice text, policy headers ---
    // (session requests: declarations go here)
    // Posted for a new notice text (user info "Information"), and by the policy table for the
    // storage gauge and the cache switch.
    static constexpr const char* kNotificationNotificationChanged = "NOTIFICATION_NOTIFICATION_CHANGED";
    static constexpr const char* kNotificationStorageSizeChange = "STORAGE_SIZE_CHANGE";
    static constexpr const char* kNotificationUseCacheChange = "USE_CACHE_CHANGE";
    // Posted, with the adaptor as object, after the policy notifications of one response, so that
    // whoever keeps their values writes them once.
    static constexpr const char* kNotificationPolicyHeadersHandled = "NOTIFICATION_POLICY_HEADERS_HANDLED";
    // Where the version of the last notice text shown is kept across runs: the file "info_ver" of
    // the temporary category that start-up cleaning leaves alone.
    static constexpr const char* kNoticeVersionFileName = "info_ver";
    static constexpr const char* kNoticeVersionCategory = "do_not_delete_info";

    // One policy header: the notification posted when a response carries it, with the adaptor as
    // object and the header's value under `key`.
    struct PolicyHeaderRow {
        const char* header;
        const char* notification;
        const char* key;
    };
    // Every policy header in the order its notification is posted.
    static std::span<const PolicyHeaderRow> policyHeaderTable();

    // The connection probe: 1 when simpleGet of "/Version" succeeds, else 13.
    std::int32_t connect() override;
    // GET of path with the common headers and "range: 0-<maxDownloadSize>". 1 when the body is a
    // document whose root is "version" (the policy headers then go out, without the offline-log
    // default); 7 for 409; a mapped status as it is; 2 otherwise. The detail of a failure says
    // why: the status (407: the proxy wants credentials), or a certificate or key that is not
    // trusted, with the pin of the key the server showed.
    std::int32_t simpleGet(const std::string& path, const std::string& applicationType);
    // The pin ("sha256//<base64>") of the key the https storage server shows, reached as the
    // requests reach it; none when it cannot be learnt. Nothing but a TLS handshake is made.
    std::optional<std::string> serverPin();
    // authString: "company,user,password,deviceId". 1 with the account stored in the header record
    // (and its values in information); 2 for a short string, a transport failure (error 2) or an
    // answer without a valid account (error 3, the previous account stays); for 400, 401 and 403:
    // 26 (PE001), 16 (PE005), 21 (PE006) or 27, and always 27 for an automatic login
    // (inputOption "isAutoLogin" = "1").
    std::int32_t login(const std::string& authString, ValueMap& information, const ValueMap& inputOption) override;
    // Forgets the account: no request carries its keys any more, until the next login. 1,
    // without a request.
    std::int32_t logout() override;
    // authString: at least four parts, the third the current and the fourth the new password.
    // 1 when the server answers 200 without a document; 15 (error 13) for a refusal document, whose
    // "Message" is shown; 26/16/21/27 as for the login; 2 for a short string, a transport failure
    // (error 2) or any other answer.
    std::int32_t changePassword(const std::string& authString, ValueMap& information) override;
    // The notice text of a version from the login server; none when there is none to show.
    std::optional<std::string> getNotificationTextWithVersion(const std::optional<std::string>& version);
    // The stored notice version (none before the first notice), and storing one.
    static std::optional<std::string> storedNoticeVersion();
    static bool storeNoticeVersion(const std::string& version);

    // --- listing and search ---
    // (listing requests: declarations go here)
    // The namespace of a listing's elements, selected under the prefix "foo".
    static constexpr const char* kListingNamespaceURI = "http://norvane.invalid/storage/2009-01-01/";
    // A listing or search result larger than this is refused rather than held in memory.
    static constexpr std::uint64_t kMaxResultBodySize = std::uint64_t { 1 } << 30;
    // A listing of more entries than this is refused (11) rather than built: its records alone
    // would take gigabytes.
    static constexpr std::size_t kMaxListingEntries = 2'000'000;
    // The temporary category that holds a listing's body while it is read.
    static constexpr const char* kListingCategory = "listing";

    // The folder's listing as records appended to fileInfo: 1, 2 when the body is not a usable
    // listing (the parser's error in storageDetailErr, nothing appended), 11 when it holds more
    // than kMaxListingEntries entries or kMaxResultBodySize bytes, or the download's code. One
    // request; the body goes through a temporary file, never whole into memory.
    // The option "timestamp" goes out as "x-zel-timestamp", "x-zel-request-type" as it is.
    std::int32_t ls(const std::string& path, FileInfoList& fileInfo, const ValueMap& option) override;
    // A search result (CSV) as records appended to fileInfo: 1, 2 when the body is not CSV or a row
    // is too short (the records of the rows before it stay), or the download's code.
    std::int32_t search(const std::string& path, FileInfoList& fileInfo) override;
    // The whole resource, fetched in "folder" ranges of maxDownloadSize until one comes back short
    // (or the server answers that the range lies past the end, or sends everything at once).
    std::int32_t downloadWhole(const std::string& path, const ValueMap& option, Bytes& body);

    // Listing parsers: every "Contents" element of the listing namespace, in document order, one
    // record each. 1 and the records appended, or 2 with nothing appended and the parse error in
    // *error. parseListing reads the body as a stream and holds one entry's elements at a time;
    // parseListingDocument builds the whole document first. Both give the same records.
    // More than maxEntries entries give 2 and an error of the service's domain
    // (CloudServiceErrorListingTooLarge). parseListingFile reads the body from a file.
    static std::int32_t parseListing(std::span<const std::uint8_t> body, FileInfoList& fileInfo,
        ErrorValue* error = nullptr, std::size_t maxEntries = kMaxListingEntries);
    static std::int32_t parseListingFile(const std::string& path, FileInfoList& fileInfo, ErrorValue* error = nullptr,
        std::size_t maxEntries = kMaxListingEntries);
    static std::int32_t parseListingDocument(
        std::span<const std::uint8_t> body, FileInfoList& fileInfo, ErrorValue* error = nullptr);
    // Search result rows of at least 15 fields as records; rows under 2 fields are skipped, a row
    // of 2 to 14 fields ends the parse with 2. A CSV error gives 2 and *error.
    static std::int32_t parseSearchResult(std::string_view body, FileInfoList& fileInfo, ErrorValue* error = nullptr);

    // --- transfers: get, simple get, put, upload status ---
    // (transfer requests: declarations go here)
    // What one ranged download brought back besides its result code.
    struct ChunkReply {
        Bytes body; // what the server sent (the whole resource when it ignored the range)
        bool pastEnd = false; // 416: the range starts at or beyond the end; body is empty
        bool wholeResource = false; // a range was asked for and the server sent 200 with everything
        bool intoSink = false; // the asked-for range went to the sink, not into body
        std::uint64_t sunkBytes = 0; // how many, then
    };
    // One GET of bytes [startPosition, startPosition + dataLength) of path (without a range for a
    // page image); the result codes of get, and on 1 the response in reply. With a bodyFile the
    // body is written to that file instead of reply.body. With a sink, a 206 of the asked-for range
    // goes to the sink as it arrives (rolled back when the answer then fails its checks); any
    // other answer stays in reply.body.
    std::int32_t getChunk(const std::string& path, const std::string& applicationType, std::uint64_t startPosition,
        std::uint64_t dataLength, ASIProgressDelegate* progressDelegate, std::uint64_t targetTotalSize,
        std::uint64_t totalFinishedSize, const ValueMap& option, const std::optional<Date>& lastGetDate,
        ChunkReply& reply, const std::string& bodyFile = {}, ChunkSink* sink = nullptr);
    // getChunk, with the asked-for bytes appended to dataMemory. A range past the end appends
    // nothing and succeeds (the caller sees a short chunk); 6 when not modified, 23/24/7 for a
    // conflict, 20 for a time-out, 2 for other failures.
    std::int32_t get(const std::string& path, Bytes& dataMemory, const std::string& applicationType,
        std::uint64_t startPosition, std::uint64_t dataLength, ASIProgressDelegate* progressDelegate,
        std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize, const ValueMap& option,
        const std::optional<Date>& lastGetDate) override;
    // get() without a buffer in between: the range goes from the connection to the sink.
    std::int32_t getInto(const std::string& path, ChunkSink& sink, std::uint64_t& received,
        const std::string& applicationType, std::uint64_t startPosition, std::uint64_t dataLength,
        ASIProgressDelegate* progressDelegate, std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize,
        const ValueMap& option, const std::optional<Date>& lastGetDate) override;
    // How much of the file the server holds ("<path>?md5=<md5>"): 1 and the offset (0 for a folder,
    // or when the answer names none), 2 when the answer names an offset that is not a number or
    // lies beyond fileTotalLength, or the download's code.
    std::int32_t getCurrentPutStatus(const std::string& path, std::uint64_t fileTotalLength,
        const std::string& fileMD5Info, const std::string& applicationType, std::int32_t postOrPut,
        std::uint64_t& uploadedDataSize) override;
    // One upload chunk at uploadedDataLength. 1; 12 with the server's offset in uploadedDataLength
    // after the back-off wait (2 instead when the 416 names no usable offset within the file); 5
    // for a lock conflict (body kept in errResponseString) or another conflict, 14/23/24 for the
    // named ones, 25 for 406, the mapped codes (11, 8, 22, ...), 4 when stopped, 2 otherwise.
    std::int32_t put(const std::string& path, std::uint64_t& uploadedDataLength, std::uint64_t fileTotalLength,
        const std::string& fileMD5Info, std::span<const std::uint8_t> dataMemory, const std::string& applicationType,
        std::int32_t postOrPut, ASIProgressDelegate* progressDelegate, const ValueMap& option) override;

    // The process-wide wait after a 416 answer, in seconds: 3 at start; each upload answer doubles
    // it (12 becomes 60, at most 1920) and any answer other than 416 sets it back to 3.
    static std::int32_t uploadBackoffDelay();
    static void resetUploadBackoffDelay();
    // Who waits the back-off delay. The default sleeps on the calling thread and wakes early when
    // transfers are stopped; tests put in their own. An empty function restores the default.
    using BackoffSleeper = std::function<void(std::chrono::seconds)>;
    static void setBackoffSleeper(BackoffSleeper sleeper);

    // An option as header text: a text as it is, an integer or a boolean in decimal; none when the
    // option is missing or of another kind.
    static std::optional<std::string> optionHeaderText(const ValueMap& option, std::string_view key);

    // --- file management: rm, cp, mv, chmod, lock ---
    // (file management requests: declarations go here)
    // PUT to the destination (standardised when at most 1024 characters) with "x-zel-copy-src".
    std::int32_t cp(const std::string& path, const std::string& fromSourceFile, const std::string& applicationType,
        std::int32_t postOrPut, std::int32_t accessFlag, bool overwriteFlag, const ValueMap& option) override;
    // PUT to the destination with the percent-escaped source as "x-zel-move-src" (a file) or
    // "x-zel-folder-rename-src" (a folder).
    std::int32_t mv(const std::string& path, const std::string& fromSourceFile, const std::string& applicationType,
        std::int32_t postOrPut, std::int32_t accessFlag, bool overwriteFlag, const ValueMap& option) override;
    // DELETE of the path.
    std::int32_t rm(const std::string& path, const std::string& applicationType) override;
    // PUT to the path with "x-zel-editpermission".
    std::int32_t chmod(const std::string& path, const std::string& applicationType, std::int32_t postOrPut,
        std::int32_t accessFlag) override;
    // A path with repeated and trailing "/" removed and "." and ".." resolved ("/a//b/./c/../d/"
    // is "/a/b/d"; ".." never climbs above the root).
    static std::string standardizedPath(std::string_view path);

    // --- publishing and printing ---
    // (publishing requests: declarations go here)
    // Options of a publish and the headers they become.
    static constexpr const char* kPublishOptionPeriod = "period"; // "x-zel-makeurl-valid-day"
    static constexpr const char* kPublishOptionTimes = "times"; // "x-zel-makeurl-download-limit"
    static constexpr const char* kPublishOptionNeedPassword = "needPassword"; // "x-zel-makeurl-needpass"

    // A web download link for the file (POST "/MAKEURL"). 1 with the answer's body appended to
    // resData; 23/24 when the file takes part in a copy; a mapped status as it is; otherwise an
    // alert with the server's message and 2.
    std::int32_t publish(
        const std::string& path, const std::string& applicationType, const ValueMap& option, Bytes& resData) override;
    // Registers the file for printing (POST "/NETPRINT"). outputMessage and outputMessage2 receive
    // the answer's "ResultInfo/detail" and "ResultInfo/faultdetail" (empty when absent). 1 for
    // 200; 23/24/7 for 409; a mapped status as it is; 2 otherwise, also for an answer that is not
    // a document.
    std::int32_t netPrint(const std::string& path, const std::string& password, const std::string& day,
        std::string& outputMessage, std::string& outputMessage2) override;

private:
    void applyConnectionSettings(ASIHTTPRequest& request) const;
    std::string loginServerUrl(std::string_view resource, std::string_view argument) const;

    // The notice version this adaptor last found stored or stored itself: every storage answer
    // names the version, and the stored file is read only when the answer's differs from it.
    std::mutex noticeVersionMutex_;
    std::optional<std::string> noticeVersionSeen_;
};

} // namespace norvane
