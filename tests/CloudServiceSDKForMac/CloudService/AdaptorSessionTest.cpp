#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"
#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "CloudServiceSDKForMac/CloudService/LocalStoreTestHome.h"
#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "platform/AlertPresenter.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

namespace norvane {
namespace {

using test::Reply;
using A = RestStorageServiceAdaptor;

class UpNetwork : public NetworkStateSource {
public:
    std::optional<NetworkState> snapshot() const override
    {
        NetworkState state;
        state.interfaces.push_back({ "eth0", true, false, { { NetworkAddress::v4(10, 0, 0, 2), 24 } } });
        state.routes.push_back({ "eth0", NetworkAddress::v4(0, 0, 0, 0), 0, true });
        return state;
    }
    int openChangeChannel() const override { return -1; }
};

class SessionAdaptor : public RestStorageServiceAdaptor {
public:
    using RestStorageServiceAdaptor::mv;
    std::int32_t mv(const std::string&, const std::string&, const std::string&, std::int32_t, std::int32_t, bool,
        const ValueMap&) override
    {
        return ResultFailed;
    }
};

// Every notification of a centre name, with its user info; `object` narrows to one sender.
class Observed {
public:
    explicit Observed(const void* object, std::string name = {})
        : token_(
            NotificationCenter::defaultCenter().addObserver(std::move(name), object, [this](const Notification& n) {
                std::lock_guard lock(mutex_);
                seen_.emplace_back(n.name, n.userInfo);
            }))
    { }
    std::vector<std::pair<std::string, ValueMap>> seen() const
    {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (auto& [name, info] : seen())
            out.push_back(name);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, ValueMap>> seen_;
    ObserverToken token_;
};

const char* const kAccountXml = "<?xml version=\"1.0\"?><AccountInformationResult><AccountStatus>active</AccountStatus>"
                                "<UserKey>UK9</UserKey><VarID>VR</VarID><KigyoID>KG</KigyoID><QorID>QR</QorID>"
                                "<UsedSpaceSize>10</UsedSpaceSize><SpaceSize>100</SpaceSize><UserName>Taro</UserName>"
                                "<Information>hi</Information><UserKey>second</UserKey></AccountInformationResult>";

class AdaptorSessionTest : public LocalStoreTestHome {
protected:
    void SetUp() override
    {
        LocalStoreTestHome::SetUp();
        ASSERT_TRUE(server.ok()) << server.startError();
        ConnectionPool::shared().reset();
        CurrentNetworkStatus::setStateSource(std::make_shared<UpNetwork>());
        transferStopFlag = false;
        StorageServiceConfig config;
        config.connectUrl = server.baseUrl();
        config.loginIP = "127.0.0.1";
        config.loginPort = server.port();
        config.osLanguage = "ja-JP";
        config.maxDownloadSize = 4096;
        adaptor.initWithConfig(config);
        adaptor.headerInfo()->setAcountInfo(old);
        adaptor.headerInfo()->setTheNewDeviceId("dc09OLD");
        AlertPresenter::setShared(alerts);
    }
    void TearDown() override
    {
        AlertPresenter::setShared(nullptr);
        MainQueue::setShared(nullptr);
        CurrentNetworkStatus::setStateSource(nullptr);
        ConnectionPool::shared().reset();
        LocalStoreTestHome::TearDown();
    }
    static std::vector<std::string> names(const test::RecordedRequest& r)
    {
        std::vector<std::string> out;
        for (auto& n : r.headerNames())
            if (n != "Host" && n != "Accept-Encoding")
                out.push_back(n);
        return out;
    }

    test::ScriptedHttpServer server;
    SessionAdaptor adaptor;
    AccountInformation old { "", "OLDKEY", "v", "k", "q", "", "", "", "", "", "" };
    std::shared_ptr<RecordingAlertPresenter> alerts = std::make_shared<RecordingAlertPresenter>();
};

TEST_F(AdaptorSessionTest, LoginSendsItsHeadersAndStoresTheAccount)
{
    server.enqueue(Reply::ok(kAccountXml).header("x-zel-auto-logout", "1"));
    Observed policy(&adaptor, "NOTIFICATION_AUTO_LOGOUT");
    ValueMap info;
    EXPECT_EQ(adaptor.login("ACME,taro yamada,pa55,dc09NEW,extra", info, {}), ResultSuccess);

    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "GET");
    EXPECT_EQ(r[0].target, "/Storage9/QORPrivateStorage/account/taro%20yamada");
    EXPECT_EQ(names(r[0]),
        (std::vector<std::string> { "Date", "Authorization", "KigyoCode", "UserPassWord", "X-Device-Id", "x-locale" }));
    EXPECT_EQ(r[0].header("Authorization"), "ZEL 3f0a9c27d41e8b65c0d2e");
    EXPECT_EQ(r[0].header("KigyoCode"), "ACME");
    EXPECT_EQ(r[0].header("UserPassWord"), "pa55");
    EXPECT_EQ(r[0].header("X-Device-Id"), "dc09NEW");

    auto account = adaptor.headerInfo()->acountInfo();
    EXPECT_EQ(account,
        (AccountInformation { "active", "UK9", "VR", "KG", "QR", "10", "", "hi", "100", "Taro", "taro yamada" }));
    EXPECT_EQ(adaptor.headerInfo()->theNewDeviceId(), "dc09NEW");
    EXPECT_EQ(info,
        (ValueMap { { "Information", "hi" }, { "SpaceSize", "100" }, { "UsedSpaceSize", "10" }, { "UserName", "Taro" },
            { "UserKey", "UK9" }, { "KigyoID", "KG" }, { "Authorization", "QR:VR:KG:UK9" } }));
    EXPECT_EQ(policy.seen(),
        (std::vector<std::pair<std::string, ValueMap>> { { "NOTIFICATION_AUTO_LOGOUT", { { "autoLogout", "1" } } } }));
}

TEST_F(AdaptorSessionTest, LoginFailuresGiveTheirCodesAndKeepTheSession)
{
    struct Row {
        Reply reply;
        bool autoLogin;
        std::int32_t result;
        int disabledPosts;
        long error; // 0: none expected; 400, 401, 403: the status, which names the refusal
    };
    // The password never goes to another server, whatever the login server answers.
    test::ScriptedHttpServer elsewhere;
    elsewhere.setHandler([](const test::RecordedRequest&) { return Reply::ok(kAccountXml); });
    auto body = [](int status, std::string text) {
        return Reply::status(status).withBody(std::move(text)).withContentLength();
    };
    Row rows[] = {
        { body(400, "<Error><Code>PE001</Code></Error>"), false, ResultInvalidArgument, 0, 400 },
        { body(400, "<Error><Code>PE002</Code></Error>"), false, ResultBadRequest, 0, 400 },
        { body(400, ""), false, ResultBadRequest, 0, 400 },
        { body(401, "<Error><Code>PE005</Code></Error>"), false, ResultDeviceNotAuthorized, 1, 401 },
        { body(401, "<Error><Code>Device not authorized</Code></Error>"), false, ResultBadRequest, 1, 401 },
        { body(401, "<Error><Code>PE005</Code>"), false, ResultBadRequest, 0, 401 },
        { body(403, "<Error><Code>PE006</Code></Error>"), false, ResultAccountSuspended, 1, 403 },
        { body(403, "<Error><Code>SuspendAccount</Code></Error>"), false, ResultBadRequest, 1, 403 },
        { body(403, "<html><body>Forbidden</body></html>"), false, ResultBadRequest, 0, 403 },
        // An automatic login only says "sign in again"; why stays in the detail.
        { body(400, "<Error><Code>PE001</Code></Error>"), true, ResultBadRequest, 0, 400 },
        { body(401, "<Error><Code>PE005</Code></Error>"), true, ResultBadRequest, 0, 401 },
        { body(404, ""), false, ResultNotFound, 0, CloudServiceErrorNotFound },
        { body(429, ""), false, ResultFailed, 0, 429 },
        { Reply::redirect(307, elsewhere.url("/Storage9/QORPrivateStorage/account/taro")), false, ResultFailed, 0,
            307 },
        { Reply::ok("<R><QorID>Q</QorID><VarID>V</VarID><KigyoID>K</KigyoID></R>"), false, ResultFailed, 0, 3 },
        { Reply::ok("<AccountInformationResult><QorID>Q</QorID><Var"), false, ResultFailed, 0, 3 },
        { Reply::ok(""), false, ResultFailed, 0, 3 },
        { Reply::hangUp(), false, ResultFailed, 0, 2 },
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.reply.statusLine + " " + row.reply.body);
        Observed disabled(nullptr, kNotificationUserDisabled);
        server.enqueue(row.reply);
        ValueMap info;
        ValueMap option = row.autoLogin ? ValueMap { { "isAutoLogin", "1" } } : ValueMap {};
        EXPECT_EQ(adaptor.login("ACME,taro,pw,dc09NEW", info, option), row.result);
        EXPECT_EQ(disabled.seen().size(), static_cast<std::size_t>(row.disabledPosts));
        auto error = adaptor.storageDetailErr();
        EXPECT_EQ(error ? error->code : 0, row.error);
        if (row.error >= 400) {
            EXPECT_EQ(error->domain, kHTTPStatusErrorDomain);
        }
        EXPECT_TRUE(info.empty());
        EXPECT_EQ(adaptor.headerInfo()->acountInfo(), old);
        EXPECT_EQ(adaptor.headerInfo()->theNewDeviceId(), "dc09OLD");
    }
    EXPECT_EQ(elsewhere.requestCount(), 0u);
    // Too few parts: nothing is sent.
    ValueMap info;
    auto sent = server.requestCount();
    EXPECT_EQ(adaptor.login("ACME,taro,pw", info, {}), ResultFailed);
    EXPECT_EQ(server.requestCount(), sent);
}

TEST_F(AdaptorSessionTest, PasswordChangeSendsBothPasswordsAndReadsTheAnswer)
{
    auto queue = std::make_shared<RunLoopMainQueue>();
    MainQueue::setShared(queue);
    server.enqueue(Reply::ok(""));
    ValueMap info;
    EXPECT_EQ(adaptor.changePassword("ACME,taro,oldpw,newpw", info), ResultSuccess);
    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].target, "/Storage9/QORPrivateStorage/changepassword/OLDKEY");
    EXPECT_EQ(names(r[0]),
        (std::vector<std::string> {
            "Date", "Authorization", "x-tkv-newpassword", "x-tkv-password", "X-Device-Id", "x-locale" }));
    EXPECT_EQ(r[0].header("x-tkv-newpassword"), "newpw");
    EXPECT_EQ(r[0].header("x-tkv-password"), "oldpw");
    EXPECT_EQ(r[0].header("X-Device-Id"), "dc09OLD");
    EXPECT_EQ(alerts->count(), 0u);

    struct Row {
        Reply reply;
        std::int32_t result;
        std::vector<Alert> alerts;
    };
    auto body = [](int status, std::string text) {
        return Reply::status(status).withBody(std::move(text)).withContentLength();
    };
    Alert failed { Alert::Kind::Show, "word_password_change_failed", "", "", {} };
    Alert refused = failed;
    refused.detail = "too short";
    Row rows[] = {
        { Reply::ok("<Error><Message>too short</Message></Error>"), ResultPasswordChangeFailed, { refused } },
        { Reply::ok("<Error><Message>too sh"), ResultFailed, { failed } },
        { Reply::ok("<html><br></html>"), ResultFailed, { failed } },
        { body(202, ""), ResultFailed, { failed } },
        { body(400, "<Error><Code>PE001</Code></Error>"), ResultInvalidArgument, {} },
        { body(400, "<Error><Code>PE010</Code></Error>"), ResultBadRequest, {} },
        { body(403, "<Error><Code>PE006</Code></Error>"), ResultAccountSuspended, {} },
        { Reply::hangUp(), ResultFailed, {} },
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.reply.statusLine + " " + row.reply.body);
        alerts->clear();
        server.enqueue(row.reply);
        EXPECT_EQ(adaptor.changePassword("ACME,taro,oldpw,newpw", info), row.result);
        EXPECT_EQ(alerts->alerts(), row.alerts);
    }

    // A device that lost its authorisation is announced a little later, on the main queue (the
    // suspended account's announcement above is let through first).
    queue->loop()->runFor(0.2);
    Observed disabled(nullptr, kNotificationUserDisabled);
    server.enqueue(body(401, "<Error><Code>PE005</Code></Error>"));
    EXPECT_EQ(adaptor.changePassword("ACME,taro,oldpw,newpw", info), ResultDeviceNotAuthorized);
    EXPECT_TRUE(disabled.seen().empty());
    for (int i = 0; i < 100 && disabled.seen().empty(); ++i)
        queue->loop()->runFor(0.02);
    EXPECT_EQ(disabled.seen().size(), 1u);
    EXPECT_EQ(adaptor.changePassword("ACME,taro,only-three", info), ResultFailed);
}

TEST_F(AdaptorSessionTest, PolicyHeadersBecomeTheirNotificationsInTableOrder)
{
    // Every row, spelled as the server might, with the offline policies let through by a login
    // the user made by hand.
    const std::vector<std::array<std::string, 3>> table = {
        { "X-ZEL-STORAGE", "STORAGE_SIZE_CHANGE", "storage" },
        { "x-zel-usecache", "USE_CACHE_CHANGE", "cache" },
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
        { "x-zel-disablewebdownload", "NOTIFICATION_DISABLE_WEB_DOWNLOAD", "disableWebDownload" },
        { "x-zel-autodevice-regist", "NOTIFICATION_AUTO_DEVICE_REGIST", "autoDeviceRegist" },
        { "x-zel-pdf-page-count", "NOTIFICATION_PDF_IMAGE_VIEWER_PAGE_COUNT", "pageCount" },
        { "x-zel-use-change-password", "NOTIFICATION_CHANGE_PASSWORD_ENABLE", "changePasswordEnable" },
        { "x-zel-enable-mail", "NOTIFICATION_ENABLE_MAIL", "enableMail" },
        { "x-zel-file-web-publish-max-file-size", "NOTIFICATION_FILE_WEB_PUBLISH_MAX_FILE_SIZE",
            "webPublishMaxFileSize" },
        { "x-zel-file-web-publish-max-day", "NOTIFICATION_FILE_WEB_PUBLISH_MAX_DAY", "webPublishMaxDay" },
        { "x-zel-file-web-publish-max-count", "NOTIFICATION_FILE_WEB_PUBLISH_MAX_COUNT", "webPublishMaxCount" },
        { "x-zel-file-web-publish-init-day", "NOTIFICATION_FILE_WEB_PUBLISH_INIT_DAY", "webPublishInitDay" },
        { "x-zel-file-web-publish-init-count", "NOTIFICATION_FILE_WEB_PUBLISH_INIT_COUNT", "webPublishInitCount" },
        { "x-zel-disableAcceptFileFromOtherApp", "NOTIFICATION_DISABLE_ACCEPT_FILE_FROM_OTHER_APP",
            "disableAcceptFileFromOtherApp" },
        { "x-zel-disableSendFileToOtherApp", "NOTIFICATION_DISABLE_SEND_FILE_TO_OTHER_APP",
            "disableSendFileToOtherApp" },
        { "x-zel-enable-pdf-viewer", "NOTIFICATION_ENABLE_PDF_VIEWER", "enablePDFViewer" },
        { "X-Zel-DisablePDFNote", "NOTIFICATION_DISABLE_PDFNOTE", "disablePDFNote" },
        { "x-zel-disableOfflineLog", "NOTIFICATION_DISABLE_OFFLINELOG", "disableOffLineLog" },
        { "x-zel-disableCallLog", "NOTIFICATION_DISABLE_CALLLOG", "disableCallLog" },
        { "x-zel-disableShare", "NOTIFICATION_DISABLE_SHARE", "disableShare" },
        { "x-zel-enable-local-download", "NOTIFICATION_ENABLE_LOCAL_DOWNLOAD", "enableLocalDownload" },
    };
    ASIHeaderMap headers { { "isLogin", "isLogin" }, { "Content-Type", "text/xml" } };
    std::vector<std::pair<std::string, ValueMap>> expected;
    for (std::size_t i = 0; i < table.size(); ++i) {
        headers[table[i][0]] = "v" + std::to_string(i);
        expected.push_back({ table[i][1], { { table[i][2], "v" + std::to_string(i) } } });
    }
    // Then the end of the response, when whoever keeps policies saves them.
    expected.push_back({ A::kNotificationPolicyHeadersHandled, {} });
    adaptor.config().isPressButtonLogin = true;
    {
        Observed seen(&adaptor);
        adaptor.postNotification(headers);
        EXPECT_EQ(seen.seen(), expected);
    }

    // Any other time the offline and cache-expiry policies never get through, in whatever case.
    adaptor.config().isPressButtonLogin = false;
    ASIHeaderMap offline { { "isLogin", "isLogin" }, { "x-zel-disableOffline", "1" }, { "X-ZEL-DISABLEOFFLINE", "1" },
        { "x-zel-use-offline-myfolder", "1" }, { "X-Zel-Use-Offline-Sharefolder", "1" },
        { "x-zel-usecache-expire", "1" }, { "x-zel-auto-logout", "0" } };
    Observed seen(&adaptor);
    adaptor.postNotification(offline);
    EXPECT_EQ(seen.names(),
        (std::vector<std::string> {
            "NOTIFICATION_AUTO_LOGOUT", "NOTIFICATION_DISABLE_OFFLINELOG", A::kNotificationPolicyHeadersHandled }));
    EXPECT_EQ(seen.seen()[1].second, (ValueMap { { "disableOffLineLog", "1" } }));

    // The offline-log default is left out for the connection probe; an empty map posts nothing.
    adaptor.postNotification({ { "x-zel-enable-mail", "0" } }, { { "isConnect", "1" } });
    adaptor.postNotification({});
    EXPECT_EQ(seen.names(),
        (std::vector<std::string> { "NOTIFICATION_AUTO_LOGOUT", "NOTIFICATION_DISABLE_OFFLINELOG",
            A::kNotificationPolicyHeadersHandled, "NOTIFICATION_ENABLE_MAIL", A::kNotificationPolicyHeadersHandled }));
}

TEST_F(AdaptorSessionTest, ConnectProbesTheVersionWithoutTheOfflineLogDefault)
{
    Observed seen(&adaptor);
    server.enqueue(Reply::ok("<version>3.1</version>").header("X-Zel-Storage", "55"));
    EXPECT_EQ(adaptor.connect(), ResultSuccess);
    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "GET");
    EXPECT_EQ(r[0].target, "/Version");
    EXPECT_EQ(names(r[0]),
        (std::vector<std::string> { "Date", "x-zel-app-type", "Authorization", "X-Device-Id", "x-locale", "range" }));
    EXPECT_EQ(r[0].header("range"), "0-4096");
    EXPECT_EQ(r[0].header("x-zel-app-type"), "file");
    EXPECT_EQ(seen.seen(),
        (std::vector<std::pair<std::string, ValueMap>> {
            { "STORAGE_SIZE_CHANGE", { { "storage", "55" } } }, { A::kNotificationPolicyHeadersHandled, {} } }));

    const std::pair<Reply, std::int32_t> rows[] = {
        { Reply::ok("<other/>"), ResultFailed },
        { Reply::ok("<version>3."), ResultFailed },
        { Reply::ok(""), ResultFailed },
        { Reply::status(409).withBody("<version/>").withContentLength(), ResultConflict },
        { Reply::status(502).withBody("<version/>").withContentLength(), ResultFailed },
        { Reply::status(500).withContentLength(), ResultServerError },
        { Reply::hangUp(), ResultFailed },
    };
    for (auto& [reply, result] : rows) {
        SCOPED_TRACE(reply.statusLine + " " + reply.body);
        server.enqueue(reply);
        EXPECT_EQ(adaptor.simpleGet("/Version", "file"), result);
        server.enqueue(reply);
        EXPECT_EQ(adaptor.connect(), ResultConnectFailed);
    }
    EXPECT_EQ(seen.seen().size(), 2u);
}

TEST_F(AdaptorSessionTest, AFailedProbeSaysWhetherTheProxyTheCertificateOrTheAddressIsToBlame)
{
    const auto probe = [](StorageServiceConfig config) {
        SessionAdaptor probing;
        probing.initWithConfig(std::move(config));
        const std::int32_t result = probing.connect();
        return std::pair { result, probing.storageDetailErr().value_or(ErrorValue {}) };
    };

    // A proxy that wants credentials.
    test::ScriptedHttpServer proxy;
    proxy.setHandler([](const test::RecordedRequest&) {
        return Reply::status(407).header("Proxy-Authenticate", "Basic realm=\"office\"").withContentLength();
    });
    StorageServiceConfig viaProxy;
    viaProxy.connectUrl = server.baseUrl();
    viaProxy.useProxy = true;
    viaProxy.proxyHost = "127.0.0.1";
    viaProxy.proxyPort = proxy.port();
    auto [proxyResult, proxyDetail] = probe(viaProxy);
    EXPECT_EQ(proxyResult, ResultConnectFailed);
    EXPECT_EQ(proxyDetail.domain, kHTTPStatusErrorDomain);
    EXPECT_EQ(proxyDetail.code, 407);
    EXPECT_EQ(server.requestCount(), 0u);

    // A certificate that does not validate, and a key that is not the pinned one: both name the
    // key the server showed, and no request reaches it.
    test::ScriptedHttpServer tls(test::TlsMode::SelfSigned);
    ASSERT_TRUE(tls.ok()) << tls.startError();
    StorageServiceConfig secure;
    secure.connectUrl = tls.baseUrl();
    secure.useHttps = true;
    secure.sslValidate = true;
    auto [certificateResult, certificateDetail] = probe(secure);
    EXPECT_EQ(certificateResult, ResultConnectFailed);
    EXPECT_EQ(certificateDetail.domain, kCloudServiceErrorDomain);
    EXPECT_EQ(certificateDetail.code, CloudServiceErrorCertificateRejected);
    EXPECT_EQ(certificateDetail.userInfo[kServerPinKey], Value(tls.pinnedPublicKey()));
    secure.pinnedPublicKey = "sha256//BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB=";
    auto [pinResult, pinDetail] = probe(secure);
    EXPECT_EQ(pinResult, ResultConnectFailed);
    EXPECT_EQ(pinDetail.code, CloudServiceErrorPinMismatch);
    EXPECT_EQ(pinDetail.userInfo[kServerPinKey], Value(tls.pinnedPublicKey()));
    EXPECT_EQ(tls.requestCount(), 0u);
    secure.pinnedPublicKey = tls.pinnedPublicKey();
    tls.enqueue(Reply::ok("<version>1</version>"));
    EXPECT_EQ(probe(secure).first, ResultSuccess);

    // An address where nothing answers is none of those.
    StorageServiceConfig nowhere;
    nowhere.connectUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
    proxy.stop();
    auto [nowhereResult, nowhereDetail] = probe(nowhere);
    EXPECT_EQ(nowhereResult, ResultConnectFailed);
    EXPECT_EQ(nowhereDetail.domain, kASIHTTPRequestErrorDomain);
    EXPECT_EQ(nowhereDetail.code, ASIConnectionFailureErrorType);
}

TEST_F(AdaptorSessionTest, NoticeTextIsFetchedOncePerVersionAndTheVersionIsKept)
{
    const std::string info = "/Storage9/QORPrivateStorage/information/";
    auto notice = [](std::string text) {
        return Reply::ok(
            "<AccountInformationResult><Information>" + text + "</Information></AccountInformationResult>");
    };
    server.setHandler([](const test::RecordedRequest&) { return Reply::ok("<version/>"); });
    Observed changed(&adaptor, RestStorageServiceAdaptor::kNotificationNotificationChanged);
    auto probe = [&](std::optional<std::string> version) {
        server.enqueue("/Version",
            version ? Reply::ok("<version/>").header("x-zel-informationseq", *version) : Reply::ok("<version/>"));
        EXPECT_EQ(adaptor.connect(), ResultSuccess);
    };
    auto fetched = [&] {
        std::vector<std::string> out;
        for (auto& r : server.requests())
            if (r.target.starts_with(info))
                out.push_back(r.target.substr(info.size()) + " " + r.header("x-zel-app-type").value_or("?"));
        return out;
    };

    server.enqueue(info + "5", notice("Maintenance"));
    probe("5");
    probe("5");
    probe(std::nullopt);
    EXPECT_EQ(fetched(), (std::vector<std::string> { "5 " }));
    EXPECT_EQ(changed.seen(),
        (std::vector<std::pair<std::string, ValueMap>> {
            { "NOTIFICATION_NOTIFICATION_CHANGED", { { "Information", "Maintenance" } } } }));
    std::ifstream file(home_ / "tmp" / "do_not_delete_info" / "info_ver");
    std::string stored((std::istreambuf_iterator<char>(file)), {});
    EXPECT_EQ(stored, "5");

    // Answers without exactly one text leave the version as it was, so each response asks again.
    server.enqueue(info + "6", Reply::status(404).withContentLength());
    server.enqueue(info + "6", Reply::ok("<AccountInformationResult><Information>x</Inf"));
    server.enqueue(info + "6", Reply::ok("<AccountInformationResult/>"));
    server.enqueue(info + "6", notice("a</Information><Information>b"));
    server.enqueue(info + "6", Reply::ok("<html><br></html>"));
    server.enqueue(info + "6", notice("New"));
    for (int i = 0; i < 6; ++i)
        probe("6");
    probe("6");
    EXPECT_EQ(fetched().size(), 7u);
    EXPECT_EQ(changed.seen().size(), 2u);
    EXPECT_EQ(changed.seen().back().second, (ValueMap { { "Information", "New" } }));
    EXPECT_EQ(RestStorageServiceAdaptor::storedNoticeVersion(), "6");

    // A new adaptor (the next run) knows the version; one that is no plain token is never fetched.
    SessionAdaptor next;
    next.initWithConfig(adaptor.config());
    server.enqueue("/Version", Reply::ok("<version/>").header("X-Zel-Informationseq", "6"));
    EXPECT_EQ(next.connect(), ResultSuccess);
    probe("../account/x");
    EXPECT_EQ(fetched().size(), 7u);
}

} // namespace
} // namespace norvane
