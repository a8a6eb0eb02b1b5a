#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"
#include "formats/HttpDate.h"
#include "platform/AsciiText.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace norvane {

namespace {

constexpr double kStorageRequestTimeOutSeconds = 60;

// What the engine would refuse to put on the wire: a name that is not a token, or a value that
// could end the header line early and smuggle in a header or a request of its own.
bool headerIsSafe(std::string_view name, std::string_view value)
{
    if (name.empty())
        return false;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == ':')
            return false;
    }
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool isEmptyBody(const std::optional<std::string>& body)
{
    return !body || body->empty();
}

bool contains(const std::optional<std::string>& body, std::string_view needle)
{
    return body && body->find(needle) != std::string::npos;
}

// Appends text to out, percent-escaping every byte that keep() does not let stand as it is.
template <class Keep> void appendEscaped(std::string& out, std::string_view text, Keep keep)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    out.reserve(out.size() + text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (keep(u)) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 0x0f];
        }
    }
}

std::string escape(std::string_view text, std::string_view kept)
{
    std::string out;
    appendEscaped(out, text, [kept](unsigned char u) {
        bool alnum = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
        return alnum || kept.find(static_cast<char>(u)) != std::string_view::npos;
    });
    return out;
}

} // namespace

RestStorageServiceAdaptor::RestStorageServiceAdaptor() = default;

RestStorageServiceAdaptor::~RestStorageServiceAdaptor() = default;

void RestStorageServiceAdaptor::initWithConfig(StorageServiceConfig config)
{
    auto info = std::make_shared<httpHeaderInfo>(config.baseUUID);
    config.adapterInfo = std::move(info);
    StorageServiceAdaptor::initWithConfig(std::move(config));
}

// ---------------------------------------------------------------------------------------------
// URLs

bool RestStorageServiceAdaptor::isStorageKey(std::string_view path)
{
    return path.starts_with('/');
}

std::optional<std::string> RestStorageServiceAdaptor::storageUrl(std::string_view path) const
{
    if (!isStorageKey(path))
        return std::nullopt;
    static constexpr std::string_view neverRaw = "\"#<>\\^`{|}";
    std::string url = config_.connectUrl;
    appendEscaped(url, path, [](unsigned char u) {
        return u > 0x20 && u < 0x7f && neverRaw.find(static_cast<char>(u)) == std::string_view::npos;
    });
    return url;
}

std::int32_t RestStorageServiceAdaptor::refuseKey(std::string_view what)
{
    Log::line("Storage request not sent: " + std::string(what) + " is not a path of the server");
    setStorageDetailErr(ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorBadKey,
        "The server named a path that is not one (it does not begin with \"/\")", {} });
    return ResultFailed;
}

std::shared_ptr<ASIHTTPRequest> RestStorageServiceAdaptor::makeStorageRequest(
    std::string_view path, const std::string& method)
{
    auto url = storageUrl(path);
    if (!url) {
        refuseKey("the key of a " + method);
        return nullptr;
    }
    return makeRequest(*url, method);
}

std::string RestStorageServiceAdaptor::loginServerUrl(std::string_view resource, std::string_view argument) const
{
    return config_.httpType() + "://" + config_.loginIP + ":" + std::to_string(config_.loginPort)
        + "/Storage9/QORPrivateStorage/" + std::string(resource) + "/" + std::string(argument);
}

std::string RestStorageServiceAdaptor::accountUrl(std::string_view userName) const
{
    return loginServerUrl("account", userName);
}

std::string RestStorageServiceAdaptor::changePasswordUrl(std::string_view userKey) const
{
    return loginServerUrl("changepassword", userKey);
}

std::string RestStorageServiceAdaptor::informationUrl(std::string_view version) const
{
    return loginServerUrl("information", version);
}

// ---------------------------------------------------------------------------------------------
// Headers

std::shared_ptr<ASIHTTPRequest> RestStorageServiceAdaptor::makeRequest(
    const std::string& url, const std::string& method)
{
    auto request = ASIHTTPRequest::requestWithURL(url);
    request->setRequestMethod(method);
    // Every request carries the account's keys or the password: none is sent on to another
    // server, whatever a response says.
    request->setShouldRedirectOnlyWithinOrigin(true);
    request->setDefaultResponseEncoding(TextEncoding::utf8);
    return request;
}

void RestStorageServiceAdaptor::applyConnectionSettings(ASIHTTPRequest& request) const
{
    if (config_.useProxy) {
        request.setProxyHost(config_.proxyHost);
        request.setProxyPort(config_.proxyPort);
        request.setProxyUsername(config_.proxyUser);
        request.setProxyPassword(config_.proxyPass);
    }
    if (config_.useHttps) {
        request.setValidatesSecureCertificate(config_.sslValidate);
        if (!config_.pinnedPublicKey.empty())
            request.setPinnedPublicKey(config_.pinnedPublicKey);
    }
}

void RestStorageServiceAdaptor::makeHeader(ASIHTTPRequest& request, std::string_view appType) const
{
    const auto& info = config_.adapterInfo;
    request.addRequestHeader("Date", rfc1123String(std::chrono::system_clock::now()));
    request.setTimeOutSeconds(kStorageRequestTimeOutSeconds);
    request.addRequestHeader("x-zel-app-type", std::string(appType));
    request.addRequestHeader(
        "Authorization", info ? info->acountInfo().authorizationValue() : AccountInformation {}.authorizationValue());
    request.addRequestHeader("X-Device-Id", info ? info->theNewDeviceId() : std::string());
    if (!config_.osLanguage.empty())
        request.addRequestHeader("x-locale", config_.osLanguage);
    applyConnectionSettings(request);
    if (!config_.oemUserAgent.empty())
        request.addRequestHeader("User-Agent", config_.oemUserAgent);
}

void RestStorageServiceAdaptor::makeLoginHeader(
    ASIHTTPRequest& request, const std::vector<HeaderField>& operationHeaders, std::string_view deviceId) const
{
    request.addRequestHeader("Date", rfc1123String(std::chrono::system_clock::now()));
    request.addRequestHeader("Authorization", kLoginServerAuthorization);
    for (const auto& [name, value] : operationHeaders)
        request.addRequestHeader(name, value);
    request.addRequestHeader("X-Device-Id", std::string(deviceId));
    if (!config_.osLanguage.empty())
        request.addRequestHeader("x-locale", config_.osLanguage);
    applyConnectionSettings(request);
}

// ---------------------------------------------------------------------------------------------
// Request cycle

std::int32_t RestStorageServiceAdaptor::runRequest(
    ASIHTTPRequest& request, double sliceSeconds, const RequestCycleOptions& options)
{
    // Nothing an earlier request left may be taken for this one's.
    clearOperationOutcome();

    // Header values come from the server (account keys) and from the user (passwords, names): one
    // with a line break must never reach the wire. Only the header's name is logged, as its value
    // may be a credential.
    for (const auto& [name, value] : request.requestHeaders()) {
        if (!headerIsSafe(name, value)) {
            Log::line("Storage request not sent: the header '" + name + "' holds a line break or an invalid character");
            setStorageDetailErr(ErrorValue { kASIHTTPRequestErrorDomain, ASIUnableToCreateRequestErrorType,
                "Unable to create request (a header holds a line break or an invalid character)", {} });
            return ResultFailed;
        }
    }
    // The command was stopped before this request began: nothing of it goes out.
    if (options.honourStopFlag && transfersMustStop()) {
        Log::line("Storage request " + request.requestMethod() + " not sent: transfers were stopped");
        return ResultCancelled;
    }

    if (options.startSynchronously) {
        request.startSynchronous();
    } else {
        if (!(sliceSeconds > 0) || !std::isfinite(sliceSeconds))
            sliceSeconds = kShortWaitSlice;
        request.startAsynchronous();
        auto loop = RunLoop::current();
        while (!request.isFinished() && !(options.honourStopFlag && transfersMustStop()))
            loop->runFor(sliceSeconds);
    }

    // Refused by the engine before anything was sent (an unusable URL): no server was reached.
    const auto& error = request.error();
    if (error && error->domain == kASIHTTPRequestErrorDomain && error->code == ASIUnableToCreateRequestErrorType
        && request.responseStatusCode() == 0) {
        Log::line("Storage request " + request.requestMethod() + " not sent: " + error->description);
        setStorageDetailErr(*error);
        return ResultFailed;
    }

    if (CurrentNetworkStatus::reachable())
        NotificationCenter::defaultCenter().post(kNotificationServerAccessCompleted);

    if (options.honourStopFlag && transfersMustStop() && !request.isFinished()) {
        request.cancel();
        Log::line("Storage request " + request.requestMethod() + " cancelled: transfers were stopped");
        return ResultCancelled;
    }
    if (error)
        setStorageDetailErr(transportError(*error));

    int status = request.responseStatusCode();
    std::int32_t code = checkResponseStatusCode(status, request);
    if (code != ResultNone) {
        Log::line("Storage request " + request.requestMethod() + " answered " + std::to_string(status) + ": result "
            + std::to_string(code));
        // The result names the case; the status and the server's words tell the rest (a 403 for
        // want of permission and one for a suspended account differ only there).
        if (code != ResultNotModified && !storageDetailErr())
            setStorageDetailErr(statusError(request));
        return code;
    }
    if (options.checkNotificationVersion)
        checkNotificationWithVersion(request.responseHeader(kInformationSeqHeader));
    return ResultNone;
}

bool RestStorageServiceAdaptor::answeredWith2xx(const ASIHTTPRequest& request)
{
    const int status = request.responseStatusCode();
    return !request.error() && status >= 200 && status < 300;
}

ErrorValue RestStorageServiceAdaptor::statusError(const ASIHTTPRequest& request)
{
    const int status = request.responseStatusCode();
    ValueMap userInfo;
    std::string description = "The server answered " + std::to_string(status);
    // Only a short body is read for its words: a download's error page may be anything.
    if (request.totalBytesRead() <= kMaxErrorBodySize) {
        if (auto record = errorRecordOfBody(request.responseString())) {
            for (const char* key : { "Code", "Message" }) {
                if (auto found = record->find(key); found != record->end() && !found->second.empty())
                    userInfo[key] = found->second;
            }
            if (auto message = record->find("Message"); message != record->end() && !message->second.empty())
                description += ": " + message->second;
        }
    }
    return ErrorValue { kHTTPStatusErrorDomain, status, std::move(description), std::move(userInfo) };
}

ErrorValue RestStorageServiceAdaptor::transportError(const ErrorValue& engineError)
{
    const auto tls = engineError.userInfo.find(kTLSFailureKey);
    if (tls == engineError.userInfo.end() || !tls->second.string())
        return engineError;
    const bool pin = *tls->second.string() == kTLSFailurePin;
    ValueMap userInfo { { "underlyingError",
        ValueMap { { "domain", engineError.domain }, { "code", static_cast<std::int64_t>(engineError.code) },
            { "description", engineError.description } } } };
    if (auto shown = engineError.userInfo.find(kServerPinKey); shown != engineError.userInfo.end())
        userInfo[kServerPinKey] = shown->second;
    if (pin)
        return ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorPinMismatch,
            "The server's key is not the one this client trusts", std::move(userInfo) };
    return ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorCertificateRejected,
        "The server's certificate is not trusted", std::move(userInfo) };
}

// ---------------------------------------------------------------------------------------------
// Status mapping

std::int32_t RestStorageServiceAdaptor::checkResponseStatusCode(int status, const ASIHTTPRequest& request)
{
    // Only these statuses look at the body; a download's body is never turned into text here.
    std::optional<std::string> body;
    if (status == 400 || status == 401 || status == 403)
        body = request.responseString();
    return checkResponseStatusCode(status, body);
}

std::int32_t RestStorageServiceAdaptor::checkResponseStatusCode(int status, const std::optional<std::string>& body)
{
    switch (status) {
    case 304:
        return ResultNotModified;
    case 400:
        if (isEmptyBody(body))
            return ResultBadRequest;
        if (contains(body, "<Code>InvalidArgument</Code>") || contains(body, "<Code>PE"))
            return ResultInvalidArgument;
        return ResultBadRequest;
    case 401:
        if (contains(body, "<Code>Device not authorized</Code>")) {
            postNotificationNameUserDisabled();
            return ResultDeviceNotAuthorized;
        }
        if (isEmptyBody(body))
            return ResultBadRequest;
        return contains(body, "<Code>PE") ? ResultDeviceNotAuthorized : ResultBadRequest;
    case 403:
        if (contains(body, "<Code>SuspendAccount</Code>")) {
            postNotificationNameUserDisabled();
            return ResultAccountSuspended;
        }
        if (isEmptyBody(body))
            return ResultBadRequest;
        return contains(body, "<Code>PE") ? ResultAccountSuspended : ResultBadRequest;
    case 404:
        setStorageDetailErr(ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorNotFound, "Not found", {} });
        return ResultNotFound;
    case 410:
        return ResultGone;
    case 413:
        return ResultTooLarge;
    case 500:
        return ResultServerError;
    case 507:
        return ResultNoSpace;
    default:
        // Everything else (409 and 416 among them) is the operation's to decide.
        return ResultNone;
    }
}

// ---------------------------------------------------------------------------------------------
// Policy headers and notices

void RestStorageServiceAdaptor::checkNotificationWithVersion(const std::optional<std::string>& version)
{
    if (!version || version->empty())
        return;
    {
        std::lock_guard lock(noticeVersionMutex_);
        if (noticeVersionSeen_ == version)
            return;
    }
    if (storedNoticeVersion() == version) {
        std::lock_guard lock(noticeVersionMutex_);
        noticeVersionSeen_ = version;
        return;
    }
    auto text = getNotificationTextWithVersion(version);
    // Without a text the stored version stays as it was, so that the next response asks again.
    if (!text)
        return;
    NotificationCenter::defaultCenter().post(kNotificationNotificationChanged, this, { { "Information", *text } });
    if (!storeNoticeVersion(*version)) {
        Log::line("Notice version not stored: the notice will be fetched again");
        return;
    }
    std::lock_guard lock(noticeVersionMutex_);
    noticeVersionSeen_ = version;
}

void RestStorageServiceAdaptor::postNotification(const ASIHeaderMap& headers)
{
    postNotification(headers, {});
}

void RestStorageServiceAdaptor::postNotification(const ASIHeaderMap& headers, const ValueMap& option)
{
    if (headers.empty())
        return;
    // The offline and cache-expiry policies only count in the answer to a login the user made by
    // hand. They are dropped whatever the case the server spelled them in, as the table below
    // finds headers in any case.
    static constexpr std::string_view offlinePolicyHeaders[] = {
        "x-zel-disableoffline",
        "x-zel-use-offline-myfolder",
        "x-zel-use-offline-sharefolder",
        "x-zel-usecache-expire",
    };
    const bool keepOfflinePolicy = headers.contains("isLogin") && config_.isPressButtonLogin;
    ASIHeaderMap kept;
    ASIHeaderMap lowered;
    for (const auto& [name, value] : headers) {
        std::string lower = ascii::lowered(name);
        if (!keepOfflinePolicy
            && std::find(std::begin(offlinePolicyHeaders), std::end(offlinePolicyHeaders), lower)
                != std::end(offlinePolicyHeaders))
            continue;
        kept.emplace(name, value);
        lowered.emplace(std::move(lower), value);
    }

    const Value& connectFlag = option.contains("isConnect") ? option.at("isConnect") : Value();
    const bool isConnect
        = connectFlag.string() ? *connectFlag.string() == "1" : connectFlag.isInteger() && connectFlag.toInt64() == 1;
    auto& center = NotificationCenter::defaultCenter();
    for (const auto& row : policyHeaderTable()) {
        const std::string* value = nullptr;
        if (auto exact = kept.find(row.header); exact != kept.end())
            value = &exact->second;
        else if (auto any = lowered.find(ascii::lowered(row.header)); any != lowered.end())
            value = &any->second;
        if (value) {
            center.post(row.notification, this, { { row.key, *value } });
        } else if (std::string_view(row.header) == "x-zel-disableOfflineLog" && !isConnect) {
            // No word from the server keeps the offline log off, except on the connection probe,
            // which is answered before anyone is signed in.
            center.post(row.notification, this, { { row.key, "1" } });
        }
    }
    center.post(kNotificationPolicyHeadersHandled, this);
}

void RestStorageServiceAdaptor::postNotificationNameUserDisabled()
{
    NotificationCenter::defaultCenter().post(kNotificationUserDisabled);
}

// ---------------------------------------------------------------------------------------------
// Text helpers

std::optional<std::string> RestStorageServiceAdaptor::beginEnd2Str(
    std::string_view text, std::string_view begin, std::string_view end)
{
    auto b = text.find(begin);
    if (b == std::string_view::npos)
        return std::nullopt;
    auto from = b + begin.size();
    auto e = text.find(end, from);
    if (e == std::string_view::npos)
        return std::nullopt;
    return std::string(text.substr(from, e - from));
}

std::optional<std::string> RestStorageServiceAdaptor::errorCodeOfBody(std::string_view body)
{
    static constexpr std::string_view open = "<Code>";
    auto b = body.find(open);
    auto e = body.find("</Code>");
    if (b == std::string_view::npos || e == std::string_view::npos || e < b + open.size())
        return std::nullopt;
    return std::string(body.substr(b + open.size(), e - b - open.size()));
}

std::optional<RestStorageServiceAdaptor::ErrorRecord> RestStorageServiceAdaptor::errorRecordOfBody(
    const std::optional<std::string>& body)
{
    if (isEmptyBody(body))
        return std::nullopt;
    auto document = GDataXMLDocument::initWithXMLString(*body);
    if (!document || !document->rootElement())
        return std::nullopt;
    ErrorRecord record;
    for (GDataXMLNode* child : document->rootElement()->children()) {
        if (child->kind() != GDataXMLNode::Kind::Element)
            continue;
        const std::string& name = child->name();
        if ((name == "Code" || name == "Message" || name == "RequestId") && !record.contains(name))
            record[name] = child->stringValue().value_or(std::string());
    }
    return record;
}

std::string RestStorageServiceAdaptor::percentEscape(std::string_view text)
{
    return escape(text, "!$&'()*+,-./:;=?@_~");
}

std::string RestStorageServiceAdaptor::percentEscapeForHeader(std::string_view text)
{
    return escape(text, "!$&'()*+,;@_~");
}

// ---------------------------------------------------------------------------------------------
// Operations of this layer

std::int32_t RestStorageServiceAdaptor::cp(const std::string& path, const std::string& fromSourceFile,
    const std::string& applicationType, std::int32_t postOrPut, std::int32_t accessFlag, const ValueMap& option)
{
    return cp(path, fromSourceFile, applicationType, postOrPut, accessFlag, false, option);
}

} // namespace norvane
