#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"
#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "formats/HttpDate.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

namespace norvane {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::ScriptedHttpServer;
using A = RestStorageServiceAdaptor;

class RecordingAdaptor : public A {
public:
    using A::postNotification;
    void postNotification(const ASIHeaderMap&, const ValueMap&) override { ++posted; }
    int posted = 0;
};

std::vector<std::string> sentNames(const RecordedRequest& r)
{
    std::vector<std::string> out;
    for (auto& n : r.headerNames())
        if (n != "Host" && n != "Accept-Encoding" && n != "Content-Length")
            out.push_back(n);
    return out;
}

Reply conflict(const std::string& code)
{
    return Reply::status(409).withBody("<Error><Code>" + code + "</Code></Error>").withContentLength();
}

class AdaptorFileManagementTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.ok()) << server.startError();
        ConnectionPool::shared().reset();
        transferStopFlag = false;
        StorageServiceConfig config;
        config.connectUrl = server.baseUrl();
        config.baseUUID = "UUID-1";
        adaptor.initWithConfig(config);
        AccountInformation account;
        account.QorID = "Q1";
        account.VarID = "V2";
        account.KigyoID = "K3";
        account.UserKey = "U4";
        adaptor.headerInfo()->setAcountInfo(account);
        adaptor.headerInfo()->setTheNewDeviceId("dc09DEVICE");
    }
    void TearDown() override { ConnectionPool::shared().reset(); }

    RecordedRequest last() const
    {
        auto r = server.requests();
        return r.empty() ? RecordedRequest {} : r.back();
    }

    ScriptedHttpServer server;
    RecordingAdaptor adaptor;
};

TEST(StandardizedPathTest, RemovesRepeatsAndTrailingSlashesAndResolvesDots)
{
    EXPECT_EQ(A::standardizedPath("/FILE/a//b/./c.txt"), "/FILE/a/b/c.txt");
    EXPECT_EQ(A::standardizedPath("/FILE/a/b/../c/"), "/FILE/a/c");
    EXPECT_EQ(A::standardizedPath("/../../x"), "/x");
    EXPECT_EQ(A::standardizedPath("//"), "/");
    EXPECT_EQ(A::standardizedPath("a/../../b/."), "../b");
    EXPECT_EQ(A::standardizedPath(""), "");
    EXPECT_EQ(A::standardizedPath("/FILE/%E8%AD%B0 x/..%2F/y"), "/FILE/%E8%AD%B0 x/..%2F/y");
}

TEST_F(AdaptorFileManagementTest, CopyGoesToTheStandardizedDestinationWithItsHeadersAfterTheCommonOnes)
{
    server.enqueue(Reply::status(201).withContentLength());
    auto sent = std::chrono::system_clock::now();
    EXPECT_EQ(adaptor.cp("/FILE/a//b/./c.txt", "/FILE/src dir/c.txt", "file", 1, 1, true,
                  { { "ownername", "山田 太郎" }, { "creationdate", "2024-01-02" }, { "owner", "u1" },
                      { "author", "a1" }, { "authorname", "佐藤.花子" }, { "timestamp", "not sent" } }),
        ResultSuccess);
    auto r = last();
    EXPECT_EQ(r.method, "PUT");
    EXPECT_EQ(r.target, "/FILE/a/b/c.txt");
    EXPECT_EQ(sentNames(r),
        (std::vector<std::string> { "Date", "x-zel-app-type", "Authorization", "X-Device-Id", "x-zel-copy-src",
            "x-zel-editpermission", "x-zel-uptype", "x-zel-ownername", "x-zel-creationdate", "x-zel-owner",
            "x-zel-author", "x-zel-authorname", "x-zel-modifydate" }));
    EXPECT_EQ(r.header("x-zel-copy-src"), "/FILE/src dir/c.txt");
    EXPECT_EQ(r.header("x-zel-editpermission"), "1");
    EXPECT_EQ(r.header("x-zel-uptype"), "0");
    EXPECT_EQ(r.header("x-zel-ownername"), "%E5%B1%B1%E7%94%B0%20%E5%A4%AA%E9%83%8E");
    EXPECT_EQ(r.header("x-zel-authorname"), "%E4%BD%90%E8%97%A4%2E%E8%8A%B1%E5%AD%90");
    auto date = dateFromRFC1123(r.header("x-zel-modifydate").value_or(""));
    ASSERT_TRUE(date);
    EXPECT_LE(std::chrono::abs(*date - sent), std::chrono::seconds(5));
    EXPECT_EQ(adaptor.posted, 1);

    // The short form never overwrites; an over-long destination goes as it is.
    server.enqueue(Reply::status(201).withContentLength());
    const std::string longPath = "/FILE/" + std::string(1020, 'x') + "//y";
    EXPECT_EQ(adaptor.cp(longPath, "/FILE/s", "folder", 0, 0, ValueMap {}), ResultSuccess);
    r = last();
    EXPECT_EQ(r.target, longPath);
    EXPECT_EQ(r.header("x-zel-uptype"), "1");
    EXPECT_EQ(r.header("x-zel-editpermission"), "0");
    EXPECT_FALSE(r.header("x-zel-ownername"));
}

TEST_F(AdaptorFileManagementTest, MoveOfAFileAndRenameOfAFolderNameTheirSourceLast)
{
    server.setHandler([](const RecordedRequest&) { return Reply::status(200).withContentLength(); });
    EXPECT_EQ(adaptor.mv("/FILE/dest/a%20b.txt", "/FILE/src/a b.txt", "file", 0, 1, false,
                  { { "author", "a1" }, { "authorname", "佐藤 花子" }, { "owner", "not sent" } }),
        ResultSuccess);
    auto r = last();
    EXPECT_EQ(r.method, "PUT");
    EXPECT_EQ(r.target, "/FILE/dest/a%20b.txt");
    EXPECT_EQ(sentNames(r),
        (std::vector<std::string> { "x-zel-author", "x-zel-authorname", "x-zel-uptype", "x-zel-editpermission",
            "x-zel-modifydate", "Date", "x-zel-app-type", "Authorization", "X-Device-Id", "x-zel-move-src" }));
    EXPECT_EQ(r.header("x-zel-move-src"), "%2FFILE%2Fsrc%2Fa%20b%2Etxt");
    EXPECT_EQ(r.header("x-zel-uptype"), "1");
    EXPECT_EQ(r.header("x-zel-editpermission"), "1");

    EXPECT_EQ(adaptor.mv("/FOLDER/new name/", "/FOLDER/old name/", "folder", 0, 0, true, {}), ResultSuccess);
    r = last();
    EXPECT_FALSE(r.header("x-zel-move-src"));
    EXPECT_EQ(r.header("x-zel-folder-rename-src"), "%2FFOLDER%2Fold%20name%2F");
    EXPECT_EQ(r.header("x-zel-uptype"), "0");
    EXPECT_EQ(sentNames(r).front(), "x-zel-uptype");
    EXPECT_EQ(adaptor.posted, 2);
}

TEST_F(AdaptorFileManagementTest, DeleteAndPermissionChangeAreSingleRequests)
{
    server.setHandler([](const RecordedRequest&) { return Reply::status(204); });
    EXPECT_EQ(adaptor.rm("/FILE/a.txt", "file"), ResultSuccess);
    auto r = last();
    EXPECT_EQ(r.method, "DELETE");
    EXPECT_EQ(r.target, "/FILE/a.txt");
    EXPECT_EQ(sentNames(r), (std::vector<std::string> { "Date", "x-zel-app-type", "Authorization", "X-Device-Id" }));
    EXPECT_EQ(adaptor.posted, 1);

    EXPECT_EQ(adaptor.chmod("/FOLDER/shared/", "folder", 1, 1), ResultSuccess);
    r = last();
    EXPECT_EQ(r.method, "PUT");
    EXPECT_EQ(r.target, "/FOLDER/shared/");
    EXPECT_EQ(sentNames(r),
        (std::vector<std::string> {
            "Date", "x-zel-app-type", "Authorization", "X-Device-Id", "x-zel-editpermission" }));
    EXPECT_EQ(r.header("x-zel-editpermission"), "1");
    EXPECT_EQ(r.header("x-zel-app-type"), "folder");
    EXPECT_EQ(adaptor.posted, 1); // a permission change passes no policy headers on
}

TEST_F(AdaptorFileManagementTest, ConflictsAndFailuresGiveEachOperationItsCode)
{
    enum Op { Cp, Mv, Rm, Chmod };
    auto run = [this](Op op) -> std::int32_t {
        switch (op) {
        case Cp:
            return adaptor.cp("/FILE/d/a", "/FILE/s/a", "file", 0, 0, false, {});
        case Mv:
            return adaptor.mv("/FILE/d/a", "/FILE/s/a", "file", 0, 0, false, {});
        case Rm:
            return adaptor.rm("/FILE/s/a", "file");
        case Chmod:
            return adaptor.chmod("/FILE/s/a", "file", 0, 1);
        }
        return ResultNone;
    };
    // Each operation reads the answer the same way: the conflict codes, any other 409 as a refusal
    // (never a success), a mapped status as it is (the mapping itself has its own table), an
    // unmapped one and a broken connection as a failure.
    struct Case {
        std::function<Reply()> reply;
        std::int32_t result;
    };
    const Case cases[] = {
        { [] { return conflict("ResourceChanged"); }, ResultResourceChanged },
        { [] { return conflict("FileStatusError_isCopySource"); }, ResultIsCopySource },
        { [] { return conflict("FileStatusError_isCopyDest"); }, ResultIsCopyDest },
        { [] { return conflict("FileStatusError_locked"); }, ResultWriteConflict },
        { [] { return Reply::status(409).withContentLength(); }, ResultWriteConflict },
        { [] { return Reply::status(404).withContentLength(); }, ResultNotFound },
        { [] { return Reply::status(502).withContentLength(); }, ResultFailed },
        { [] { return Reply::hangUp(); }, ResultFailed },
    };
    for (const auto& c : cases) {
        for (Op op : { Cp, Mv, Rm, Chmod }) {
            server.enqueue(c.reply());
            EXPECT_EQ(run(op), c.result) << "operation " << op << ": " << c.reply().statusLine << c.reply().body;
        }
    }

    // A stop before the request sends nothing.
    std::atomic<bool> stopped { true };
    const CommandStopScope scope(stopped);
    const auto sent = server.requestCount();
    EXPECT_EQ(run(Mv), ResultCancelled);
    EXPECT_EQ(server.requestCount(), sent);
}

} // namespace
} // namespace norvane
