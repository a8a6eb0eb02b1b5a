#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"
#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "CloudServiceSDKForMac/CloudService/LocalStoreTestHome.h"
#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "platform/AlertPresenter.h"
#include "platform/NotificationCenter.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <atomic>

namespace norvane {
namespace {

using test::Reply;

class PublishingAdaptor : public RestStorageServiceAdaptor {
public:
    using RestStorageServiceAdaptor::mv;
    std::int32_t mv(const std::string&, const std::string&, const std::string&, std::int32_t, std::int32_t, bool,
        const ValueMap&) override
    {
        return ResultFailed;
    }
};

Reply answer(int status, std::string body)
{
    return Reply::status(status).withBody(std::move(body)).withContentLength();
}

// The notice version lands in the temporary folder, so each test gets its own data directory.
class AdaptorPublishingTest : public LocalStoreTestHome {
protected:
    void SetUp() override
    {
        LocalStoreTestHome::SetUp();
        ASSERT_TRUE(server.ok()) << server.startError();
        ConnectionPool::shared().reset();
        CurrentNetworkStatus::setDebug(true); // not reachable: no access notices
        transferStopFlag = false;
        StorageServiceConfig config;
        config.connectUrl = server.baseUrl();
        config.oemUserAgent = "NorvaneTest/2";
        adaptor.initWithConfig(config);
        AccountInformation account;
        account.QorID = "Q";
        account.VarID = "V";
        account.KigyoID = "K";
        account.UserKey = "U";
        adaptor.headerInfo()->setAcountInfo(account);
        AlertPresenter::setShared(alerts);
    }
    void TearDown() override
    {
        AlertPresenter::setShared(nullptr);
        CurrentNetworkStatus::setDebug(false);
        ConnectionPool::shared().reset();
        LocalStoreTestHome::TearDown();
    }
    static std::vector<std::string> names(const test::RecordedRequest& r)
    {
        std::vector<std::string> out;
        for (auto& n : r.headerNames())
            if (n != "Host" && n != "Accept-Encoding" && n != "Content-Length")
                out.push_back(n);
        return out;
    }

    test::ScriptedHttpServer server;
    PublishingAdaptor adaptor;
    std::shared_ptr<RecordingAlertPresenter> alerts = std::make_shared<RecordingAlertPresenter>();
};

TEST_F(AdaptorPublishingTest, PublishSendsTheLinkSettingsAndKeepsTheAnswer)
{
    std::atomic<int> storage { 0 };
    auto token = NotificationCenter::defaultCenter().addObserver(
        RestStorageServiceAdaptor::kNotificationStorageSizeChange, &adaptor, [&](const Notification&) { ++storage; });
    const std::string xml = "<?xml version=\"1.0\"?><r><valid-day>7</valid-day><download-key>k</download-key></r>";
    server.enqueue(Reply::ok(xml).header("X-Zel-Storage", "9"));
    Bytes data { 'x' };
    EXPECT_EQ(adaptor.publish(
                  "/FILE/a b.txt", "file", { { "period", "7" }, { "times", "3" }, { "needPassword", "1" } }, data),
        ResultSuccess);
    EXPECT_EQ(std::string(data.begin(), data.end()), "x" + xml);
    EXPECT_EQ(storage, 1);

    // Without a password, numbers given as numbers, and an option left out sends no header.
    server.enqueue(Reply::ok("<r/>"));
    Bytes other;
    EXPECT_EQ(adaptor.publish("/FILE/b", "", { { "period", 30 }, { "needPassword", 0 } }, other), ResultSuccess);

    auto r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].method, "POST");
    EXPECT_EQ(r[0].target, "/MAKEURL");
    EXPECT_EQ(names(r[0]),
        (std::vector<std::string> { "x-zel-makeurl-valid-day", "x-zel-makeurl-download-limit", "x-zel-makeurl-needpass",
            "x-zel-makeurl-folder", "x-zel-makeurl-file", "Date", "x-zel-app-type", "Authorization", "X-Device-Id",
            "User-Agent" }));
    EXPECT_EQ(r[0].header("x-zel-makeurl-valid-day"), "7");
    EXPECT_EQ(r[0].header("x-zel-makeurl-download-limit"), "3");
    EXPECT_EQ(r[0].header("x-zel-makeurl-needpass"), "1");
    EXPECT_EQ(r[0].header("x-zel-makeurl-folder"), "");
    EXPECT_EQ(r[0].header("x-zel-makeurl-file"), "/FILE/a b.txt");
    EXPECT_EQ(r[0].header("Authorization"), "Q:V:K:U");
    EXPECT_EQ(r[1].header("x-zel-makeurl-valid-day"), "30");
    EXPECT_EQ(r[1].header("x-zel-makeurl-needpass"), "0");
    EXPECT_FALSE(r[1].header("x-zel-makeurl-download-limit"));
    EXPECT_EQ(r[1].header("x-zel-app-type"), "");
    EXPECT_EQ(alerts->count(), 0u);
}

TEST_F(AdaptorPublishingTest, PublishFailuresGiveTheirCodeAndTheRightAlert)
{
    auto alert = [](std::string title, std::string message, std::string detail) {
        return std::vector<Alert> { { Alert::Kind::Show, std::move(title), std::move(message), std::move(detail),
            {} } };
    };
    const std::string refused = "<Error><Code>Limit</Code><Message>Too many links</Message></Error>";
    struct Row {
        Reply reply;
        std::int32_t result;
        std::vector<Alert> alerts;
    };
    Row rows[] = {
        { answer(503, ""), ResultFailed, alert("word_other_error", "", "") },
        { answer(503, refused), ResultFailed, alert("word_other_error", "", "Too many links") },
        { answer(502, refused), ResultFailed, alert("", "", "Too many links") },
        { answer(502, "<Error><Message>Too many"), ResultFailed, alert("", "message_can_not_link_create", "") },
        { answer(502, "<html><br></html>"), ResultFailed, alert("", "message_can_not_link_create", "") },
        { answer(409, "<Error><Code>FileStatusError_isCopySource</Code></Error>"), ResultIsCopySource, {} },
        { answer(409, "<Error><Code>FileStatusError_isCopyDest</Code></Error>"), ResultIsCopyDest, {} },
        { answer(409, refused), ResultFailed, alert("", "", "Too many links") },
        { answer(404, ""), ResultNotFound, {} },
        { Reply::hangUp(), ResultFailed, alert("", "message_can_not_link_create", "") },
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.reply.statusLine + " " + row.reply.body);
        alerts->clear();
        server.enqueue(row.reply);
        Bytes data;
        EXPECT_EQ(adaptor.publish("/FILE/a", "file", { { "period", "7" } }, data), row.result);
        EXPECT_TRUE(data.empty());
        EXPECT_EQ(alerts->alerts(), row.alerts);
    }
}

TEST_F(AdaptorPublishingTest, PrintRegistrationSendsItsHeadersAndReturnsBothTexts)
{
    std::string detail = "stale", fault = "stale";
    server.enqueue(Reply::ok("<Result><ResultInfo><detail>12345</detail><faultdetail>ok</faultdetail>"
                             "<detail>second</detail></ResultInfo></Result>"));
    EXPECT_EQ(adaptor.netPrint("/FILE/doc.pdf", "secret", "2", detail, fault), ResultSuccess);
    EXPECT_EQ(detail, "12345");
    EXPECT_EQ(fault, "ok");
    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "POST");
    EXPECT_EQ(r[0].target, "/NETPRINT");
    EXPECT_EQ(names(r[0]),
        (std::vector<std::string> { "x-zel-netprint-file", "x-zel-netprint-password", "x-zel-netprint-keepday", "Date",
            "x-zel-app-type", "Authorization", "X-Device-Id", "User-Agent" }));
    EXPECT_EQ(r[0].header("x-zel-netprint-file"), "/FILE/doc.pdf");
    EXPECT_EQ(r[0].header("x-zel-netprint-password"), "secret");
    EXPECT_EQ(r[0].header("x-zel-netprint-keepday"), "2");
    EXPECT_EQ(r[0].header("x-zel-app-type"), "file");

    struct Row {
        Reply reply;
        std::int32_t result;
        std::string detail, fault;
    };
    const std::string texts = "<ResultInfo><detail>-1</detail><faultdetail>busy</faultdetail></ResultInfo>";
    Row rows[] = {
        { answer(409, "<R><Code>FileStatusError_isCopyDest</Code>" + texts + "</R>"), ResultIsCopyDest, "-1", "busy" },
        { answer(409, "<R><Code>FileStatusError_isCopySource</Code>" + texts + "</R>"), ResultIsCopySource, "-1",
            "busy" },
        { answer(409, "<R>" + texts + "</R>"), ResultConflict, "-1", "busy" },
        { answer(409, ""), ResultFailed, "", "" },
        { answer(503, "<R>" + texts + "</R>"), ResultFailed, "-1", "busy" },
        { Reply::ok("<R><ResultInfo><detail>3</detail></ResultInfo></R>"), ResultSuccess, "3", "" },
        { Reply::ok("<html><body>Maintenance</body></html>"), ResultSuccess, "", "" },
        { Reply::ok("<R><ResultInfo><detail>3</det"), ResultFailed, "", "" },
        { Reply::ok("<html><br></html>"), ResultFailed, "", "" },
        { Reply::ok(""), ResultFailed, "", "" },
        { answer(500, "<R>" + texts + "</R>"), ResultServerError, "", "" },
        { Reply::hangUp(), ResultFailed, "", "" },
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.reply.statusLine + " " + row.reply.body);
        server.enqueue(row.reply);
        detail = fault = "stale";
        EXPECT_EQ(adaptor.netPrint("/FILE/doc.pdf", "", "1", detail, fault), row.result);
        EXPECT_EQ(detail, row.detail);
        EXPECT_EQ(fault, row.fault);
    }
    EXPECT_EQ(alerts->count(), 0u);
}

} // namespace
} // namespace norvane
