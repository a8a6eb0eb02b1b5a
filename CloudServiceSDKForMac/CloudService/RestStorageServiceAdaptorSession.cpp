// The session requests of the REST adaptor: the connection probe, the login with its account
// record, the password change, and the notice text announced by "X-Zel-Informationseq".

#include "CloudServiceSDKForMac/ASIHTTP/ServerCertificateProbe.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"
#include "platform/AlertPresenter.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

#include <array>

namespace norvane {

namespace {

constexpr std::array<RestStorageServiceAdaptor::PolicyHeaderRow, 34> kPolicyHeaders { {
    { "X-Zel-Storage", RestStorageServiceAdaptor::kNotificationStorageSizeChange, "storage" },
    { "X-Zel-Usecache", RestStorageServiceAdaptor::kNotificationUseCacheChange, "cache" },
    { "X-Zel-Disablecalendar", "DISABLE_CALENDAR", "disableCalendar" },
    { "X-Zel-Disablephonebookandgroup", "DISABLE_PHONE_BOOK_AND_GROUP", "disablePhoneBookAndGroup" },
    { "X-Zel-Disabletvout", "DISABLE_TV_OUT", "disableTvOut" },
    { "X-Zel-Disablealbum", "DISABLE_ALBUM", "disableAlbum" },
    { "X-Zel-Disablememo", "DISABLE_MEMO", "disableMemo" },
    { "X-Zel-Disablerecord", "DISABLE_RECORDER", "disableRecorder" },
    { "X-Zel-Disableautobackup", "DISABLE_AUTO_BACKUP", "disableAutoBackup" },
    { "X-Zel-Disableoffline", "DISABLE_OFFLINE", "disableOffLine" },
    { "X-Zel-Use-Offline-Myfolder", "DISABLE_OFFLINE_MYFOLDER", "disableOffLineMyFolder" },
    { "X-Zel-Use-Offline-Sharefolder", "DISABLE_OFFLINE_SHAREFOLDER", "disableOffLineShareFolder" },
    { "X-Zel-Usecache-Expire", "DISABLE_USECACHE_EXPIRE", "disableUsecacheExpire" },
    { "x-zel-auto-logout", "NOTIFICATION_AUTO_LOGOUT", "autoLogout" },
    { "x-zel-use-session-expiretime", "NOTIFICATION_USE_SESSION_EXPIRE_TIME", "expireTime" },
    { "x-zel-use-save-password", "NOTIFICATION_USE_SAVE_PASSWORD", "savePassword" },
    { "x-zel-disableWebDownload", "NOTIFICATION_DISABLE_WEB_DOWNLOAD", "disableWebDownload" },
    { "x-zel-autodevice-regist", "NOTIFICATION_AUTO_DEVICE_REGIST", "autoDeviceRegist" },
    { "x-zel-pdf-page-count", "NOTIFICATION_PDF_IMAGE_VIEWER_PAGE_COUNT", "pageCount" },
    { "x-zel-use-change-password", "NOTIFICATION_CHANGE_PASSWORD_ENABLE", "changePasswordEnable" },
    { "x-zel-enable-mail", "NOTIFICATION_ENABLE_MAIL", "enableMail" },
    { "x-zel-file-web-publish-max-file-size", "NOTIFICATION_FILE_WEB_PUBLISH_MAX_FILE_SIZE", "webPublishMaxFileSize" },
    { "x-zel-file-web-publish-max-day", "NOTIFICATION_FILE_WEB_PUBLISH_MAX_DAY", "webPublishMaxDay" },
    { "x-zel-file-web-publish-max-count", "NOTIFICATION_FILE_WEB_PUBLISH_MAX_COUNT", "webPublishMaxCount" },
    { "x-zel-file-web-publish-init-day", "NOTIFICATION_FILE_WEB_PUBLISH_INIT_DAY", "webPublishInitDay" },
    { "x-zel-file-web-publish-init-count", "NOTIFICATION_FILE_WEB_PUBLISH_INIT_COUNT", "webPublishInitCount" },
    { "x-zel-disableAcceptFileFromOtherApp", "NOTIFICATION_DISABLE_ACCEPT_FILE_FROM_OTHER_APP",
        "disableAcceptFileFromOtherApp" },
    { "x-zel-disableSendFileToOtherApp", "NOTIFICATION_DISABLE_SEND_FILE_TO_OTHER_APP", "disableSendFileToOtherApp" },
    { "x-zel-enable-pdf-viewer", "NOTIFICATION_ENABLE_PDF_VIEWER", "enablePDFViewer" },
    { "x-zel-disablePDFNote", "NOTIFICATION_DISABLE_PDFNOTE", "disablePDFNote" },
    { "x-zel-disableOfflineLog", "NOTIFICATION_DISABLE_OFFLINELOG", "disableOffLineLog" },
    { "x-zel-disableCallLog", "NOTIFICATION_DISABLE_CALLLOG", "disableCallLog" },
    { "x-zel-disableShare", "NOTIFICATION_DISABLE_SHARE", "disableShare" },
    { "x-zel-enable-local-download", "NOTIFICATION_ENABLE_LOCAL_DOWNLOAD", "enableLocalDownload" },
} };

// A notice version is a short token; anything longer is not one and is not kept.
constexpr std::uint64_t kMaxNoticeVersionSize = 1024;

// The element names of the account record in the login answer.
constexpr const char* kElementAccountStatus = "AccountStatus";
constexpr const char* kElementUserKey = "UserKey";
constexpr const char* kElementVarID = "VarID";
constexpr const char* kElementKigyoID = "KigyoID";
constexpr const char* kElementQorID = "QorID";
constexpr const char* kElementUsedSpaceSize = "UsedSpaceSize";
constexpr const char* kElementNorvaneVersion = "NorvaneVersion";
constexpr const char* kElementInformation = "Information";
constexpr const char* kElementSpaceSize = "SpaceSize";
constexpr const char* kElementUserName = "UserName";

// Every part between commas, empty ones included ("a,,b" has three parts).
std::vector<std::string> splitAtCommas(std::string_view text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        auto comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return parts;
        }
        parts.emplace_back(text.substr(start, comma - start));
        start = comma + 1;
    }
}

bool optionIsOne(const ValueMap& option, std::string_view key)
{
    auto it = option.find(key);
    if (it == option.end())
        return false;
    if (const std::string* text = it->second.string())
        return *text == "1";
    return it->second.isInteger() && it->second.toInt64() == 1;
}

// The text of the first child element of that name; empty when there is none.
std::string firstChildText(const GDataXMLElement& parent, const char* name)
{
    auto elements = parent.elementsForName(name);
    if (elements.empty())
        return {};
    return elements.front()->stringValue().value_or(std::string());
}

std::unique_ptr<GDataXMLDocument> documentOf(const std::optional<std::string>& body)
{
    if (!body || body->empty())
        return nullptr;
    auto document = GDataXMLDocument::initWithXMLString(*body);
    if (!document || !document->rootElement())
        return nullptr;
    return document;
}

// Versions come from a response header and go into the path of the notice URL: only a plain token
// (letters, digits, "-", ".", "_", "~") may, so that a version never reaches another resource.
bool isVersionToken(std::string_view version)
{
    if (version.empty() || version.size() > kMaxNoticeVersionSize || version == "." || version == "..")
        return false;
    for (char c : version) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && c != '-' && c != '.' && c != '_' && c != '~')
            return false;
    }
    return true;
}

ErrorValue serviceError(long code, std::string description)
{
    return ErrorValue { kCloudServiceErrorDomain, code, std::move(description), {} };
}

// A login-server request that failed in transport: code 2, with the transport's own detail (an
// untrusted certificate, a refused connection) as the underlying error.
ErrorValue loginTransportError(std::string description, const std::optional<ErrorValue>& transport)
{
    ErrorValue error = serviceError(CloudServiceErrorLoginTransport, std::move(description));
    if (transport) {
        error.userInfo["underlyingError"] = ValueMap { { "domain", transport->domain },
            { "code", static_cast<std::int64_t>(transport->code) }, { "description", transport->description } };
    }
    return error;
}

// The answer to a login-server request refused with 400, 401 or 403: the code of its error body
// decides. `disabled` is set when the device or the account is no longer allowed in.
std::int32_t refusalResult(int status, std::int32_t mapped, const std::optional<std::string>& body, bool& disabled)
{
    disabled = false;
    auto record = RestStorageServiceAdaptor::errorRecordOfBody(body);
    std::string code;
    if (record) {
        if (auto it = record->find("Code"); it != record->end())
            code = it->second;
    }
    if (status == 400 && code == "PE001")
        return ResultInvalidArgument;
    if (mapped == ResultDeviceNotAuthorized && code == "PE005") {
        disabled = true;
        return ResultDeviceNotAuthorized;
    }
    if (mapped == ResultAccountSuspended && code == "PE006") {
        disabled = true;
        return ResultAccountSuspended;
    }
    return ResultBadRequest;
}

// A body whose first character after leading blanks opens a tag.
bool looksLikeMarkup(const std::optional<std::string>& body)
{
    if (!body)
        return false;
    auto first = body->find_first_not_of(" \t\r\n");
    return first != std::string::npos && (*body)[first] == '<';
}

bool isRefusal(int status, std::int32_t mapped)
{
    return status == 400 || mapped == ResultDeviceNotAuthorized || mapped == ResultAccountSuspended;
}

} // namespace

std::span<const RestStorageServiceAdaptor::PolicyHeaderRow> RestStorageServiceAdaptor::policyHeaderTable()
{
    return kPolicyHeaders;
}

// ---------------------------------------------------------------------------------------------
// Connection probe

std::int32_t RestStorageServiceAdaptor::connect()
{
    return simpleGet("/Version", "file") == ResultSuccess ? ResultSuccess : ResultConnectFailed;
}

std::int32_t RestStorageServiceAdaptor::simpleGet(const std::string& path, const std::string& applicationType)
{
    auto request = makeStorageRequest(path, "GET");
    if (!request)
        return ResultFailed;
    makeHeader(*request, applicationType);
    request->addRequestHeader("range", "0-" + std::to_string(config_.maxDownloadSize));
    std::int32_t code = runRequest(*request, kLongWaitSlice);
    if (code != ResultNone)
        return code;

    const int status = request->responseStatusCode();
    if (status == 409)
        return ResultConflict;
    if (!answeredWith2xx(*request)) {
        // Why the server could not be reached stays with the result: a proxy that wants
        // credentials (407), a certificate or key that is not trusted (with the key the server
        // showed, for the user to decide on), another refusal.
        if (!request->error())
            setStorageDetailErr(statusError(*request));
        else if (auto detail = storageDetailErr(); detail && detail->domain == kCloudServiceErrorDomain
                 && detail->code == CloudServiceErrorCertificateRejected && !detail->userInfo.contains(kServerPinKey)) {
            if (auto pin = serverPin()) {
                detail->userInfo[kServerPinKey] = *pin;
                setStorageDetailErr(std::move(detail));
            }
        }
        Log::line("Connection probe failed with status " + std::to_string(status));
        return ResultFailed;
    }
    auto document = documentOf(request->responseString());
    if (document && document->rootElement()->name() == "version") {
        // The probe runs before anyone is signed in: it must not turn the offline log off.
        postNotification(request->responseHeaders(), ValueMap { { "isConnect", "1" } });
        return ResultSuccess;
    }
    Log::line("Connection probe answered without a version");
    return ResultFailed;
}

std::optional<std::string> RestStorageServiceAdaptor::serverPin()
{
    const auto url = URL::parse(config_.connectUrl);
    if (!config_.useHttps || !url)
        return std::nullopt;
    ServerCertificateProbe::Target target;
    target.host = url->host();
    target.port = url->effectivePort();
    if (config_.useProxy) {
        target.proxyHost = config_.proxyHost;
        target.proxyPort = static_cast<int>(config_.proxyPort);
        target.proxyUser = config_.proxyUser;
        target.proxyPassword = config_.proxyPass;
    }
    auto outcome = ServerCertificateProbe::probe(target);
    if (!outcome.certificate)
        return std::nullopt;
    return outcome.certificate->publicKeyPin;
}

// ---------------------------------------------------------------------------------------------
// Login

std::int32_t RestStorageServiceAdaptor::login(
    const std::string& authString, ValueMap& information, const ValueMap& inputOption)
{
    auto parts = splitAtCommas(authString);
    if (parts.size() < 4) {
        Log::line("Login not sent: the login text has fewer than four parts");
        return ResultFailed;
    }
    const std::string& company = parts[0];
    const std::string& userName = parts[1];
    const std::string& password = parts[2];
    const std::string& deviceId = parts[3];

    auto request = makeRequest(accountUrl(percentEscape(userName)), "GET");
    makeLoginHeader(*request, { { "KigyoCode", company }, { "UserPassWord", password } }, deviceId);
    const std::int32_t mapped = runRequest(*request, kShortWaitSlice);
    const int status = request->responseStatusCode();

    if (isRefusal(status, mapped)) {
        // An automatic login never tells the user why: the login window is shown instead.
        if (optionIsOne(inputOption, "isAutoLogin"))
            return ResultBadRequest;
        bool disabled = false;
        std::int32_t result = refusalResult(status, mapped, request->responseString(), disabled);
        if (disabled)
            postNotificationNameUserDisabled();
        return result;
    }
    if (mapped != ResultNone)
        return mapped;
    if (request->error()) {
        setStorageDetailErr(loginTransportError("The login request failed", storageDetailErr()));
        return ResultFailed;
    }
    if (!answeredWith2xx(*request)) {
        setStorageDetailErr(statusError(*request));
        return ResultFailed;
    }

    auto document = documentOf(request->responseString());
    AccountInformation account;
    if (document) {
        const GDataXMLElement& root = *document->rootElement();
        account.AccountStatus = firstChildText(root, kElementAccountStatus);
        account.UserKey = firstChildText(root, kElementUserKey);
        account.VarID = firstChildText(root, kElementVarID);
        account.KigyoID = firstChildText(root, kElementKigyoID);
        account.QorID = firstChildText(root, kElementQorID);
        account.UsedSpaceSize = firstChildText(root, kElementUsedSpaceSize);
        account.NorvaneVersion = firstChildText(root, kElementNorvaneVersion);
        account.Information = firstChildText(root, kElementInformation);
        account.SpaceSize = firstChildText(root, kElementSpaceSize);
        account.UserName = firstChildText(root, kElementUserName);
        account.UserId = userName;
    }
    const auto& info = headerInfo();
    // A refused or unreadable answer leaves the session that is in use as it was.
    if (!document || !account.validateCheck() || !info) {
        setStorageDetailErr(serviceError(CloudServiceErrorLoginResponse, "The login answer holds no valid account"));
        return ResultFailed;
    }

    info->setTheNewDeviceId(deviceId);
    info->setAcountInfo(account);
    information["Information"] = account.Information;
    information["SpaceSize"] = account.SpaceSize;
    information["UsedSpaceSize"] = account.UsedSpaceSize;
    information["UserName"] = account.UserName;
    information["UserKey"] = account.UserKey;
    information["KigyoID"] = account.KigyoID;
    information["Authorization"] = account.authorizationValue();

    ASIHeaderMap headers = request->responseHeaders();
    headers["isLogin"] = "isLogin";
    postNotification(headers);
    return ResultSuccess;
}

std::int32_t RestStorageServiceAdaptor::logout()
{
    if (const auto& info = headerInfo())
        info->setAcountInfo(AccountInformation {});
    return ResultSuccess;
}

// ---------------------------------------------------------------------------------------------
// Password change

std::int32_t RestStorageServiceAdaptor::changePassword(const std::string& authString, ValueMap&)
{
    auto parts = splitAtCommas(authString);
    if (parts.size() < 4) {
        Log::line("Password change not sent: the text has fewer than four parts");
        return ResultFailed;
    }
    const auto& info = headerInfo();
    const AccountInformation account = info ? info->acountInfo() : AccountInformation {};
    const std::string deviceId = info ? info->theNewDeviceId() : std::string();

    auto request = makeRequest(changePasswordUrl(account.UserKey), "GET");
    makeLoginHeader(*request, { { "x-tkv-newpassword", parts[3] }, { "x-tkv-password", parts[2] } }, deviceId);
    const std::int32_t mapped = runRequest(*request, kShortWaitSlice);
    const int status = request->responseStatusCode();

    if (isRefusal(status, mapped)) {
        bool disabled = false;
        std::int32_t result = refusalResult(status, mapped, request->responseString(), disabled);
        if (disabled) {
            // A little later, so that whoever reacts finds the failed change reported first.
            auto token = MainQueue::shared()->postDelayed(
                0.1, [] { NotificationCenter::defaultCenter().post(kNotificationUserDisabled); });
            if (token == 0)
                postNotificationNameUserDisabled();
        }
        return result;
    }
    if (mapped != ResultNone)
        return mapped;
    if (request->error()) {
        setStorageDetailErr(loginTransportError("The password change request failed", storageDetailErr()));
        return ResultFailed;
    }

    // The server answers a change it made with a 200 that holds no document; a document is always
    // a refusal. Markup that does not parse (a cut-off refusal, a proxy's error page) is no proof
    // that the password changed, so it is not taken for success.
    const auto body = request->responseString();
    if (auto document = documentOf(body)) {
        AlertPresenter::shared()->show(
            "word_password_change_failed", {}, firstChildText(*document->rootElement(), "Message"));
        setStorageDetailErr(serviceError(CloudServiceErrorPasswordChange, "The password change was refused"));
        return ResultPasswordChangeFailed;
    }
    if (status == 200 && !looksLikeMarkup(body))
        return ResultSuccess;
    AlertPresenter::shared()->show("word_password_change_failed", {});
    setStorageDetailErr(statusError(*request));
    return ResultFailed;
}

// ---------------------------------------------------------------------------------------------
// Notice text

std::optional<std::string> RestStorageServiceAdaptor::getNotificationTextWithVersion(
    const std::optional<std::string>& version)
{
    if (!version || version->empty())
        return std::nullopt;
    if (!isVersionToken(*version)) {
        Log::line("Notice text not fetched: the announced version is not a plain token");
        return std::nullopt;
    }
    auto request = makeRequest(informationUrl(*version), "GET");
    makeHeader(*request, "");
    // The fetch happens inside another operation: it neither starts a check of its own nor takes
    // away a stop meant for the transfer around it.
    RequestCycleOptions options;
    options.honourStopFlag = false;
    options.checkNotificationVersion = false;
    options.startSynchronously = true;
    if (runRequest(*request, kShortWaitSlice, options) != ResultNone || request->error()
        || request->responseStatusCode() != 200)
        return std::nullopt;

    auto document = documentOf(request->responseString());
    if (!document)
        return std::nullopt;
    auto nodes = document->nodesForXPath("/AccountInformationResult/Information");
    if (!nodes || nodes->size() != 1)
        return std::nullopt;
    return nodes->front()->stringValue().value_or(std::string());
}

std::optional<std::string> RestStorageServiceAdaptor::storedNoticeVersion()
{
    auto bytes = FileSystem::readFile(
        LocalStorePaths::fullPathOfTempFile(kNoticeVersionFileName, kNoticeVersionCategory), kMaxNoticeVersionSize);
    if (!bytes)
        return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

bool RestStorageServiceAdaptor::storeNoticeVersion(const std::string& version)
{
    const auto path = LocalStorePaths::fullPathOfTempFile(kNoticeVersionFileName, kNoticeVersionCategory);
    return FileSystem::writeFileAtomically(
        path, std::span(reinterpret_cast<const std::uint8_t*>(version.data()), version.size()));
}

} // namespace norvane
