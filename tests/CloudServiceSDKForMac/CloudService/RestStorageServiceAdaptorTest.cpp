#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"

#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"
#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "formats/HttpDate.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

namespace norvane {
namespace {

using test::Reply;
using test::ScriptedHttpServer;

// The network as a test wants it: one up Ethernet interface with a default route, or nothing.
class FixedNetwork : public NetworkStateSource {
public:
    explicit FixedNetwork(bool up)
        : up_(up)
    { }
    std::optional<NetworkState> snapshot() const override
    {
        NetworkState state;
        if (up_) {
            state.interfaces.push_back({ "eth0", true, false, { { NetworkAddress::v4(192, 168, 1, 2), 24 } } });
            state.routes.push_back({ "eth0", NetworkAddress::v4(0, 0, 0, 0), 0, true });
        }
        return state;
    }
    int openChangeChannel() const override { return -1; }

private:
    bool up_;
};

// The REST adaptor with the hooks that the session requests fill in made visible.
class RecordingAdaptor : public RestStorageServiceAdaptor {
public:
    using RestStorageServiceAdaptor::mv;
    std::int32_t mv(const std::string&, const std::string&, const std::string&, std::int32_t, std::int32_t, bool,
        const ValueMap&) override
    {
        return ResultFailed;
    }
    void checkNotificationWithVersion(const std::optional<std::string>& version) override
    {
        versions.push_back(version);
    }
    std::vector<std::optional<std::string>> versions;
};

// Counts one notification of the default centre for as long as it lives.
class NotificationCounter {
public:
    explicit NotificationCounter(const char* name)
        : token_(NotificationCenter::defaultCenter().addObserver(name, nullptr, [this](const Notification& n) {
            ++count;
            lastHadObject = n.object != nullptr;
        }))
    { }
    std::atomic<int> count { 0 };
    std::atomic<bool> lastHadObject { false };

private:
    ObserverToken token_;
};

class RestAdaptorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.ok()) << server.startError();
        ConnectionPool::shared().reset();
        CurrentNetworkStatus::setStateSource(std::make_shared<FixedNetwork>(true));
        transferStopFlag = false;
        StorageServiceConfig config;
        config.connectUrl = server.baseUrl();
        config.loginIP = "127.0.0.1";
        config.loginPort = server.port();
        config.baseUUID = "UUID-1";
        config.osLanguage = "ja-JP";
        config.oemUserAgent = "NorvaneTest/1.0";
        adaptor.initWithConfig(config);
        AccountInformation account;
        account.QorID = "Q1";
        account.VarID = "V2";
        account.KigyoID = "K3";
        account.UserKey = "U4";
        adaptor.headerInfo()->setAcountInfo(account);
        adaptor.headerInfo()->setTheNewDeviceId("dc09DEVICE");
    }
    void TearDown() override
    {
        transferStopFlag = false;
        CurrentNetworkStatus::setDebug(false);
        CurrentNetworkStatus::setStateSource(nullptr);
        ConnectionPool::shared().reset();
        Log::setSink({});
    }

    // A storage GET of path with the common headers, run through the request cycle.
    std::int32_t storageGet(const std::string& path, std::string_view appType = "file")
    {
        lastRequest = RestStorageServiceAdaptor::makeRequest(*adaptor.storageUrl(path), "GET");
        adaptor.makeHeader(*lastRequest, appType);
        return adaptor.runRequest(*lastRequest, kShortWaitSlice);
    }

    static std::vector<std::string> names(const test::RecordedRequest& r, std::initializer_list<std::string> ignored)
    {
        std::vector<std::string> out;
        for (auto& n : r.headerNames())
            if (std::find(ignored.begin(), ignored.end(), n) == ignored.end())
                out.push_back(n);
        return out;
    }

    ScriptedHttpServer server;
    RecordingAdaptor adaptor;
    std::shared_ptr<ASIHTTPRequest> lastRequest;
};

TEST_F(RestAdaptorTest, StorageRequestCarriesTheCommonHeadersInOrderAndOnlyTheSetOnes)
{
    server.enqueue(Reply::ok("<version/>"));
    auto sent = std::chrono::system_clock::now();
    EXPECT_EQ(storageGet("/FOLDER/a%20b"), ResultNone);
    EXPECT_EQ(lastRequest->timeOutSeconds(), 60);

    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "GET");
    EXPECT_EQ(r[0].target, "/FOLDER/a%20b");
    EXPECT_EQ(names(r[0], { "Host", "Accept-Encoding" }),
        (std::vector<std::string> {
            "Date", "x-zel-app-type", "Authorization", "X-Device-Id", "x-locale", "User-Agent" }));
    EXPECT_EQ(r[0].header("x-zel-app-type"), "file");
    EXPECT_EQ(r[0].header("Authorization"), "Q1:V2:K3:U4");
    EXPECT_EQ(r[0].header("X-Device-Id"), "dc09DEVICE");
    EXPECT_EQ(r[0].header("x-locale"), "ja-JP");
    EXPECT_EQ(r[0].header("User-Agent"), "NorvaneTest/1.0");
    auto date = dateFromRFC1123(r[0].header("Date").value_or(""));
    ASSERT_TRUE(date);
    EXPECT_LE(std::chrono::abs(*date - sent), std::chrono::seconds(5));

    // Without language and user agent those two are left out; an empty application type is sent.
    adaptor.config().osLanguage.clear();
    adaptor.config().oemUserAgent.clear();
    server.enqueue(Reply::ok(""));
    EXPECT_EQ(storageGet("/FILE/x", ""), ResultNone);
    r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(names(r[1], { "Host", "Accept-Encoding" }),
        (std::vector<std::string> { "Date", "x-zel-app-type", "Authorization", "X-Device-Id" }));
    EXPECT_EQ(r[1].header("x-zel-app-type"), "");
}

TEST_F(RestAdaptorTest, ProxySettingsAreUsedOnlyWhenTheProxyIsSwitchedOn)
{
    ScriptedHttpServer proxy;
    ASSERT_TRUE(proxy.ok());
    proxy.setHandler([](const test::RecordedRequest&) { return Reply::ok("via proxy"); });
    server.setHandler([](const test::RecordedRequest&) { return Reply::ok("direct"); });
    auto& config = adaptor.config();
    config.proxyHost = "127.0.0.1";
    config.proxyPort = proxy.port();
    config.proxyUser = "puser";
    config.proxyPass = "ppass";

    config.useProxy = false;
    EXPECT_EQ(storageGet("/FILE/a"), ResultNone);
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(proxy.requestCount(), 0u);

    config.useProxy = true;
    EXPECT_EQ(storageGet("/FILE/b"), ResultNone);
    auto r = proxy.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].target, server.url("/FILE/b"));
    EXPECT_EQ(r[0].header("Proxy-Authorization"), "Basic cHVzZXI6cHBhc3M=");
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(RestAdaptorTest, LoginServerRequestsCarryTheFixedCredentialAndNoStorageHeaders)
{
    EXPECT_EQ(adaptor.accountUrl("u%20ser"), server.url("/Storage9/QORPrivateStorage/account/u%20ser"));
    EXPECT_EQ(adaptor.changePasswordUrl("U4"), server.url("/Storage9/QORPrivateStorage/changepassword/U4"));
    EXPECT_EQ(adaptor.informationUrl("12"), server.url("/Storage9/QORPrivateStorage/information/12"));
    adaptor.config().useHttps = true;
    EXPECT_EQ(adaptor.informationUrl("12").rfind("https://127.0.0.1:", 0), 0u);
    adaptor.config().useHttps = false;

    server.enqueue(Reply::ok("<AccountInformationResult/>"));
    auto request = RestStorageServiceAdaptor::makeRequest(adaptor.accountUrl("u%20ser"), "GET");
    adaptor.makeLoginHeader(*request, { { "KigyoCode", "ACME" }, { "UserPassWord", "pw" } }, "dc09LOGIN");
    EXPECT_EQ(adaptor.runRequest(*request, kShortWaitSlice), ResultNone);
    EXPECT_NE(request->timeOutSeconds(), 60);

    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].target, "/Storage9/QORPrivateStorage/account/u%20ser");
    EXPECT_EQ(names(r[0], { "Host", "Accept-Encoding" }),
        (std::vector<std::string> { "Date", "Authorization", "KigyoCode", "UserPassWord", "X-Device-Id", "x-locale" }));
    EXPECT_EQ(r[0].header("Authorization"), "ZEL 3f0a9c27d41e8b65c0d2e");
    EXPECT_EQ(r[0].header("X-Device-Id"), "dc09LOGIN");
    EXPECT_EQ(r[0].header("UserPassWord"), "pw");
}

TEST_F(RestAdaptorTest, HeaderValueWithLineBreakIsNeverSentAndFailsTheOperation)
{
    auto account = adaptor.headerInfo()->acountInfo();
    account.UserKey = "U4\r\nX-Injected: 1";
    adaptor.headerInfo()->setAcountInfo(account);
    EXPECT_EQ(storageGet("/FILE/a"), ResultFailed);
    ASSERT_TRUE(adaptor.storageDetailErr());
    EXPECT_EQ(adaptor.storageDetailErr()->domain, kASIHTTPRequestErrorDomain);
    EXPECT_EQ(adaptor.storageDetailErr()->code, ASIUnableToCreateRequestErrorType);

    // The same for a device identifier that arrives by notification, and a bare LF.
    adaptor.headerInfo()->setAcountInfo({});
    NotificationCenter::defaultCenter().post(
        kNotificationDeviceIdUpdated, nullptr, { { kDeviceIdUserInfoKey, "dc09\nX-Other: 2" } });
    EXPECT_EQ(storageGet("/FILE/b"), ResultFailed);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(RestAdaptorTest, KeysThatAreNotPathsOfTheServerAreRefusedAndPathsAreEscaped)
{
    ScriptedHttpServer elsewhere;
    elsewhere.setHandler([](const test::RecordedRequest&) { return Reply::ok("stolen"); });
    const std::string bad = "@127.0.0.1:" + std::to_string(elsewhere.port()) + "/FILE/x";
    Bytes buffer;
    std::uint64_t offset = 0;
    const Bytes chunk { 'a' };
    const std::vector<std::pair<std::string, std::function<std::int32_t()>>> operations {
        { "get", [&] { return adaptor.get(bad, buffer, "file", 0, 10, nullptr, 0, 0, {}, std::nullopt); } },
        { "put", [&] { return adaptor.put(bad, offset, 1, "m", chunk, "file", 0, nullptr, {}); } },
        { "rm", [&] { return adaptor.rm(bad, "file"); } },
        { "chmod", [&] { return adaptor.chmod(bad, "file", 0, 1); } },
        { "cp source", [&] { return adaptor.cp("/FOLDER/d", bad, "file", 0, 0, false, {}); } },
        { "publish", [&] { return adaptor.publish(bad, "file", {}, buffer); } },
    };
    for (const auto& [name, operation] : operations) {
        adaptor.setStorageDetailErr(std::nullopt);
        EXPECT_EQ(operation(), ResultFailed) << name;
        ASSERT_TRUE(adaptor.storageDetailErr()) << name;
        EXPECT_EQ(adaptor.storageDetailErr()->code, CloudServiceErrorBadKey) << name;
    }
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(elsewhere.connectionCount(), 0u);

    // What may never stand raw in a path is escaped; escapes already made and a query stay.
    server.enqueue(Reply::ok(""));
    EXPECT_EQ(storageGet("/FILE/a b#c\\d\"|%41\xe6?x=1"), ResultNone);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/FILE/a%20b%23c%5Cd%22%7C%41%E6?x=1");
}

TEST_F(RestAdaptorTest, CredentialsNeverReachTheLog)
{
    std::mutex mutex;
    std::vector<std::string> lines;
    Log::setSink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    auto account = adaptor.headerInfo()->acountInfo();
    account.UserKey = "SECRETKEY";
    adaptor.headerInfo()->setAcountInfo(account);

    server.enqueue(Reply::status(401).withBody("<Error><Code>PE005</Code></Error>").withContentLength());
    EXPECT_EQ(storageGet("/FILE/a"), ResultDeviceNotAuthorized);

    server.enqueue(Reply::status(400).withBody("<Error><Code>PE001</Code></Error>").withContentLength());
    auto login = RestStorageServiceAdaptor::makeRequest(adaptor.accountUrl("user"), "GET");
    adaptor.makeLoginHeader(*login, { { "KigyoCode", "ACME" }, { "UserPassWord", "pa55word" } }, "dc09");
    EXPECT_EQ(adaptor.runRequest(*login, kShortWaitSlice), ResultInvalidArgument);

    auto refused = RestStorageServiceAdaptor::makeRequest(adaptor.changePasswordUrl("SECRETKEY"), "GET");
    adaptor.makeLoginHeader(*refused, { { "x-tkv-newpassword", "n3w\r\npass" }, { "x-tkv-password", "pa55word" } }, "");
    EXPECT_EQ(adaptor.runRequest(*refused, kShortWaitSlice), ResultFailed);

    std::lock_guard lock(mutex);
    EXPECT_FALSE(lines.empty());
    for (auto& line : lines) {
        EXPECT_EQ(line.find("SECRETKEY"), std::string::npos) << line;
        EXPECT_EQ(line.find("pa55word"), std::string::npos) << line;
        EXPECT_EQ(line.find("n3w"), std::string::npos) << line;
        EXPECT_EQ(line.find("ZEL 3f0a"), std::string::npos) << line;
    }
}

TEST_F(RestAdaptorTest, StatusMappingCoversEveryStatusAndBody)
{
    struct Row {
        int status;
        std::optional<std::string> body;
        std::int32_t result;
        int userDisabledPosts;
    };
    const std::string pe = "<Error><Code>PE005</Code></Error>";
    const Row rows[] = {
        { 0, std::nullopt, ResultNone, 0 },
        { 200, std::nullopt, ResultNone, 0 },
        { 302, std::nullopt, ResultNone, 0 },
        { 304, std::nullopt, ResultNotModified, 0 },
        { 400, std::nullopt, ResultBadRequest, 0 },
        { 400, "", ResultBadRequest, 0 },
        { 400, "<Error><Code>InvalidArgument</Code></Error>", ResultInvalidArgument, 0 },
        { 400, "<Error><Code>PE001</Code></Error>", ResultInvalidArgument, 0 },
        { 400, "<Error><Code>Other</Code></Error>", ResultBadRequest, 0 },
        { 400, "<html><body>Bad</body></html>", ResultBadRequest, 0 },
        { 401, "<Error><Code>Device not authorized</Code></Error>", ResultDeviceNotAuthorized, 1 },
        { 401, std::nullopt, ResultBadRequest, 0 },
        { 401, "", ResultBadRequest, 0 },
        { 401, pe, ResultDeviceNotAuthorized, 0 },
        { 401, "<Error><Code>Expired</Code></Error>", ResultBadRequest, 0 },
        { 403, "<Error><Code>SuspendAccount</Code></Error>", ResultAccountSuspended, 1 },
        { 403, "", ResultBadRequest, 0 },
        { 403, "<Error><Code>PE006</Code></Error>", ResultAccountSuspended, 0 },
        { 403, "<Error><Code>Forbidden</Code></Error>", ResultBadRequest, 0 },
        { 402, pe, ResultNone, 0 },
        { 404, std::nullopt, ResultNotFound, 0 },
        { 405, std::nullopt, ResultNone, 0 },
        { 409, "<Error><Code>ResourceChanged</Code></Error>", ResultNone, 0 },
        { 410, std::nullopt, ResultGone, 0 },
        { 413, std::nullopt, ResultTooLarge, 0 },
        { 500, std::nullopt, ResultServerError, 0 },
        { 501, std::nullopt, ResultNone, 0 },
        { 507, std::nullopt, ResultNoSpace, 0 },
        { 600, std::nullopt, ResultNone, 0 },
    };
    for (const auto& row : rows) {
        NotificationCounter disabled(kNotificationUserDisabled);
        adaptor.setStorageDetailErr(std::nullopt);
        EXPECT_EQ(adaptor.checkResponseStatusCode(row.status, row.body), row.result)
            << row.status << " " << row.body.value_or("<none>");
        EXPECT_EQ(disabled.count, row.userDisabledPosts) << row.status << " " << row.body.value_or("<none>");
        EXPECT_FALSE(disabled.lastHadObject);
        auto error = adaptor.storageDetailErr();
        if (row.status == 404) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain, kCloudServiceErrorDomain);
            EXPECT_EQ(error->code, CloudServiceErrorNotFound);
        } else {
            EXPECT_FALSE(error) << row.status;
        }
    }
}

TEST_F(RestAdaptorTest, RequestCycleMapsTheStatusFromTheWireAndClearsAnEarlierFailure)
{
    NotificationCounter disabled(kNotificationUserDisabled);
    server.enqueue(
        Reply::status(401).withBody("<Error><Code>Device not authorized</Code></Error>").withContentLength());
    EXPECT_EQ(storageGet("/FILE/a"), ResultDeviceNotAuthorized);
    EXPECT_EQ(disabled.count, 1);

    server.enqueue(Reply::status(404).withContentLength());
    EXPECT_EQ(storageGet("/FILE/missing"), ResultNotFound);
    ASSERT_TRUE(adaptor.storageDetailErr());
    EXPECT_EQ(adaptor.storageDetailErr()->code, CloudServiceErrorNotFound);

    server.enqueue(Reply::status(409).withBody("<Error><Code>Locked</Code></Error>").withContentLength());
    EXPECT_EQ(storageGet("/FILE/locked"), ResultNone);
    EXPECT_EQ(lastRequest->responseStatusCode(), 409);
    EXPECT_FALSE(adaptor.storageDetailErr());

    // A transport failure is left to the operation: it sees status 0 and the engine's error.
    server.enqueue(Reply::hangUp());
    EXPECT_EQ(storageGet("/FILE/gone"), ResultNone);
    EXPECT_TRUE(lastRequest->error());
}

TEST_F(RestAdaptorTest, AStopBeforeTheStartSendsNothingUnlessTheRequestIgnoresItAndAnInterruptStopsEverything)
{
    std::atomic<bool> stopped { true };
    {
        const CommandStopScope scope(stopped);
        EXPECT_EQ(storageGet("/FILE/a"), ResultCancelled);
        EXPECT_EQ(server.requestCount(), 0u);

        // An upload chunk that must go through does.
        server.enqueue(Reply::ok("done"));
        auto chunk = RestStorageServiceAdaptor::makeRequest(*adaptor.storageUrl("/FILE/log"), "PUT");
        adaptor.makeHeader(*chunk, "file");
        chunk->appendPostData(std::string_view("log bytes"));
        EXPECT_EQ(adaptor.runRequest(*chunk, kShortWaitSlice, { .honourStopFlag = false }), ResultNone);
        EXPECT_EQ(chunk->responseStatusCode(), 200);
        ASSERT_EQ(server.requestCount(), 1u);
        EXPECT_EQ(server.requests()[0].body, "log bytes");
    }
    // The stop belonged to that command; another goes out.
    server.enqueue(Reply::ok(""));
    EXPECT_EQ(storageGet("/FILE/b"), ResultNone);
    EXPECT_EQ(server.requestCount(), 2u);

    // An interrupt of the whole process stops every request until it is lowered.
    transferStopFlag = true;
    EXPECT_EQ(storageGet("/FILE/c"), ResultCancelled);
    EXPECT_EQ(storageGet("/FILE/d"), ResultCancelled);
    EXPECT_TRUE(transferStopFlag);
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(RestAdaptorTest, ServerAccessIsAnnouncedOnlyWhileTheNetworkIsReachable)
{
    NotificationCounter accessed(kNotificationServerAccessCompleted);
    server.setHandler([](const test::RecordedRequest&) { return Reply::status(500).withContentLength(); });
    EXPECT_EQ(storageGet("/FILE/a"), ResultServerError);
    EXPECT_EQ(accessed.count, 1);
    EXPECT_FALSE(accessed.lastHadObject);

    CurrentNetworkStatus::setDebug(true);
    EXPECT_EQ(storageGet("/FILE/b"), ResultServerError);
    CurrentNetworkStatus::setDebug(false);
    CurrentNetworkStatus::setStateSource(std::make_shared<FixedNetwork>(false));
    EXPECT_EQ(storageGet("/FILE/c"), ResultServerError);
    EXPECT_EQ(accessed.count, 1);
    EXPECT_EQ(server.requestCount(), 3u);

    // A request the engine refuses reaches no server and announces nothing.
    CurrentNetworkStatus::setStateSource(std::make_shared<FixedNetwork>(true));
    auto bad = RestStorageServiceAdaptor::makeRequest("not a url", "GET");
    EXPECT_EQ(adaptor.runRequest(*bad, kShortWaitSlice), ResultFailed);
    EXPECT_EQ(accessed.count, 1);
}

TEST_F(RestAdaptorTest, NoticeVersionIsHandedOnOnlyForResponsesTheOperationReads)
{
    server.enqueue(Reply::ok("").header("x-zel-informationseq", "17"));
    server.enqueue(Reply::ok(""));
    server.enqueue(Reply::status(500).header("X-Zel-Informationseq", "18").withContentLength());
    server.enqueue(Reply::ok("").header("X-Zel-Informationseq", "19"));
    EXPECT_EQ(storageGet("/FILE/a"), ResultNone);
    EXPECT_EQ(storageGet("/FILE/b"), ResultNone);
    EXPECT_EQ(storageGet("/FILE/c"), ResultServerError);
    auto notice = RestStorageServiceAdaptor::makeRequest(adaptor.informationUrl("19"), "GET");
    adaptor.makeHeader(*notice, "");
    EXPECT_EQ(
        adaptor.runRequest(*notice, kShortWaitSlice, { .checkNotificationVersion = false, .startSynchronously = true }),
        ResultNone);
    EXPECT_EQ(notice->responseStatusCode(), 200);
    EXPECT_EQ(adaptor.versions, (std::vector<std::optional<std::string>> { "17", std::nullopt }));
}

TEST(RestAdaptorTextTest, BeginEnd2StrTakesTheFirstBeginAndTheNextEndAfterIt)
{
    using A = RestStorageServiceAdaptor;
    EXPECT_EQ(A::beginEnd2Str("x<a>1</a><a>2</a>", "<a>", "</a>"), "1");
    EXPECT_EQ(A::beginEnd2Str("<a></a>", "<a>", "</a>"), "");
    EXPECT_EQ(A::beginEnd2Str("</a><a>3</a>", "<a>", "</a>"), "3");
    EXPECT_EQ(A::beginEnd2Str("abc", "", "c"), "ab");
    EXPECT_EQ(A::beginEnd2Str("<a>open", "<a>", "</a>"), std::nullopt);
    EXPECT_EQ(A::beginEnd2Str("</a>", "<a>", "</a>"), std::nullopt);
    EXPECT_EQ(A::beginEnd2Str("ab", "ab", "b"), std::nullopt); // the end may not overlap the begin
    EXPECT_EQ(A::beginEnd2Str("", "<a>", "</a>"), std::nullopt);
}

TEST(RestAdaptorTextTest, ErrorBodiesGiveTheirCodeAndRecordOrNothing)
{
    using A = RestStorageServiceAdaptor;
    EXPECT_EQ(A::errorCodeOfBody("<Error><Code>PE005</Code><Message>m</Message></Error>"), "PE005");
    EXPECT_EQ(A::errorCodeOfBody("<Error><Code>PE0"), std::nullopt);
    EXPECT_EQ(A::errorCodeOfBody("</Code><Code>PE1"), std::nullopt);
    EXPECT_EQ(A::errorCodeOfBody(""), std::nullopt);

    auto record
        = A::errorRecordOfBody("<?xml version=\"1.0\"?><Error><Code>PE001</Code><Message>Bad &amp; worse</Message>"
                               "<RequestId>r-9</RequestId><Other>x</Other><Code>second</Code></Error>");
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, (A::ErrorRecord { { "Code", "PE001" }, { "Message", "Bad & worse" }, { "RequestId", "r-9" } }));
    EXPECT_EQ(A::errorRecordOfBody("<Error/>"), A::ErrorRecord {});
    EXPECT_EQ(A::errorRecordOfBody("<html><body><p>Gateway</p></body></html>"), A::ErrorRecord {});
    EXPECT_EQ(A::errorRecordOfBody("<Error><Code>PE001</Code><Mess"), std::nullopt);
    EXPECT_EQ(A::errorRecordOfBody("<html><br></html>"), std::nullopt);
    EXPECT_EQ(A::errorRecordOfBody(""), std::nullopt);
    EXPECT_EQ(A::errorRecordOfBody(std::nullopt), std::nullopt);
    EXPECT_EQ(A::errorRecordOfBody(std::string("\0\xff\xfe", 3)), std::nullopt);
}

TEST(RestAdaptorTextTest, PercentEscapingKeepsUrlCharactersAndForHeadersAlsoEscapesPathMarks)
{
    using A = RestStorageServiceAdaptor;
    EXPECT_EQ(A::percentEscape("a b/c.d-e:f?g=h%#ü"), "a%20b/c.d-e:f?g=h%25%23%C3%BC");
    EXPECT_EQ(A::percentEscapeForHeader("a b/c.d-e:f?g=h%#ü"), "a%20b%2Fc%2Ed%2De%3Af%3Fg%3Dh%25%23%C3%BC");
    EXPECT_EQ(A::percentEscapeForHeader("x\r\ny"), "x%0D%0Ay");
    EXPECT_EQ(A::percentEscape("A~_!*'()"), "A~_!*'()");
}

} // namespace
} // namespace norvane
