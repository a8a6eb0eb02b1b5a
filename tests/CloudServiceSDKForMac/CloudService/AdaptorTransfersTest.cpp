#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"
#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "formats/HttpDate.h"
#include "platform/MainQueue.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

namespace norvane {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::ScriptedHttpServer;
using A = RestStorageServiceAdaptor;

// The adaptor with the success hook made visible: every response that counted as a success.
class RecordingAdaptor : public A {
public:
    using A::postNotification;
    void postNotification(const ASIHeaderMap& headers, const ValueMap&) override { posted.push_back(headers); }
    std::vector<ASIHeaderMap> posted;
};

// Header names as sent, without those the engine adds on its own.
std::vector<std::string> sentNames(const RecordedRequest& r)
{
    std::vector<std::string> out;
    for (auto& n : r.headerNames())
        if (n != "Host" && n != "Accept-Encoding" && n != "Content-Length")
            out.push_back(n);
    return out;
}

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

std::string textOf(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

class AdaptorTransferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.ok()) << server.startError();
        ConnectionPool::shared().reset();
        transferStopFlag = false;
        A::resetUploadBackoffDelay();
        A::setBackoffSleeper([this](std::chrono::seconds s) {
            std::lock_guard lock(mutex);
            slept.push_back(static_cast<int>(s.count()));
        });
        StorageServiceConfig config;
        config.connectUrl = server.baseUrl();
        config.baseUUID = "UUID-1";
        config.maxDownloadSize = 1 << 20;
        config.maxUploadSize = 1 << 20;
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
        A::setBackoffSleeper({});
        A::resetUploadBackoffDelay();
        transferStopFlag = false;
        ConnectionPool::shared().reset();
    }

    std::int32_t get(const std::string& path, Bytes& buffer, std::uint64_t start = 0, std::uint64_t length = 1 << 20,
        const ValueMap& option = {}, std::optional<Date> date = std::nullopt)
    {
        return adaptor.get(path, buffer, "file", start, length, nullptr, 0, 0, option, date);
    }

    // getInto, its bytes gathered in `into` as a file would gather them; a rollback cuts back to
    // where the chunk began.
    std::int32_t getInto(const std::string& path, std::string& into, std::uint64_t start, std::uint64_t length,
        std::uint64_t listedSize = 0)
    {
        struct IntoText final : ChunkSink {
            std::string& text;
            std::size_t chunkStart;
            explicit IntoText(std::string& t)
                : text(t)
                , chunkStart(t.size())
            { }
            bool write(std::span<const std::uint8_t> bytes) override
            {
                text.append(bytes.begin(), bytes.end());
                return true;
            }
            void rollback() override { text.resize(chunkStart); }
        } sink(into);
        std::uint64_t received = 0;
        const std::size_t before = into.size();
        const std::int32_t result
            = adaptor.getInto(path, sink, received, "file", start, length, nullptr, listedSize, 0, {}, std::nullopt);
        EXPECT_EQ(received, into.size() - before);
        return result;
    }

    std::int32_t put(std::uint64_t& offset, std::string_view chunk, std::uint64_t total, const ValueMap& option = {},
        std::int32_t postOrPut = 0, const std::string& path = "/FILE/a.txt", const std::string& appType = "file")
    {
        auto bytes = bytesOf(chunk);
        return adaptor.put(
            path, offset, total, "0cc175b9c0f1b6a831c399e269772661", bytes, appType, postOrPut, nullptr, option);
    }

    std::vector<int> sleeps()
    {
        std::lock_guard lock(mutex);
        return slept;
    }

    ScriptedHttpServer server;
    RecordingAdaptor adaptor;
    std::mutex mutex;
    std::vector<int> slept;
};

// ---------------------------------------------------------------------------------------------
// Download

TEST_F(AdaptorTransferTest, ChunkIsAskedForByRangeAfterTheCommonHeadersAndAppended)
{
    const std::string content = test::patternBytes(0, 2621440);
    server.setHandler(
        [&content](const RecordedRequest& r) { return Reply::range(r, content).header("X-Zel-Seen", "1"); });
    Bytes buffer = bytesOf("xy");
    const Date cached = std::chrono::system_clock::from_time_t(1714557600);
    EXPECT_EQ(get("/FILE/a.bin", buffer, 1048576, 1048576,
                  { { "timestamp", "1714557600000" }, { "x-zel-request-type", "2" } }, cached),
        ResultSuccess);
    EXPECT_EQ(textOf(buffer), "xy" + content.substr(1048576, 1048576));
    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "GET");
    EXPECT_EQ(r[0].target, "/FILE/a.bin");
    EXPECT_EQ(sentNames(r[0]),
        (std::vector<std::string> { "x-zel-timestamp", "x-zel-request-type", "Date", "x-zel-app-type", "Authorization",
            "X-Device-Id", "range", "If-Modified-Since" }));
    EXPECT_EQ(r[0].header("range"), "bytes=1048576-2097151");
    EXPECT_EQ(r[0].header("x-zel-request-type"), "2");
    EXPECT_EQ(r[0].header("If-Modified-Since"), "Wed, 01 May 2024 10:00:00 GMT");
    ASSERT_EQ(adaptor.posted.size(), 1u);
    EXPECT_EQ(adaptor.posted[0].count("X-Zel-Seen"), 1u);

    // The last, short chunk; a range past the end adds nothing (the file ended on a boundary).
    EXPECT_EQ(get("/FILE/a.bin", buffer, 2097152, 1048576), ResultSuccess);
    EXPECT_EQ(buffer.size(), 2u + 1048576 + 524288);
    EXPECT_EQ(get("/FILE/a.bin", buffer, 2621440, 1048576), ResultSuccess);
    EXPECT_EQ(buffer.size(), 2u + 1048576 + 524288);
}

TEST_F(AdaptorTransferTest, ServerThatIgnoresTheRangeGivesOnlyTheAskedForBytes)
{
    const std::string content = test::patternBytes(0, 1000);
    server.setHandler([&content](const RecordedRequest&) { return Reply::ok(content); });
    Bytes buffer;
    EXPECT_EQ(get("/FILE/a", buffer, 200, 300), ResultSuccess);
    EXPECT_EQ(textOf(buffer), content.substr(200, 300));
    buffer.clear();
    EXPECT_EQ(get("/FILE/a", buffer, 900, 300), ResultSuccess);
    EXPECT_EQ(textOf(buffer), content.substr(900));
    buffer.clear();
    EXPECT_EQ(get("/FILE/a", buffer, 1000, 300), ResultSuccess);
    EXPECT_TRUE(buffer.empty());
    std::string file;
    EXPECT_EQ(getInto("/FILE/a", file, 200, 300), ResultSuccess);
    EXPECT_EQ(getInto("/FILE/a", file, 500, 1000), ResultSuccess);
    EXPECT_EQ(file, content.substr(200));
}

TEST_F(AdaptorTransferTest, PathFormsChooseRangeCacheDateAndVersionHeaders)
{
    server.setHandler([](const RecordedRequest&) { return Reply::ok(std::string(3000, 'p')); });
    const Date cached = std::chrono::system_clock::from_time_t(1714557600);
    Bytes buffer;
    EXPECT_EQ(get("/FILE/SHAREFOLDER/team/a.txt", buffer), ResultSuccess);
    EXPECT_EQ(get("/PDF/doc.pdf?pageno=2", buffer, 0, 1000, {}, cached), ResultSuccess);
    EXPECT_EQ(get("/SHAREPDF/doc.pdf?pageno=1", buffer, 0, 1000, { { "isNotUseCacheForPDFFirst", "1" } }, cached),
        ResultSuccess);
    EXPECT_EQ(get("/PDF/doc.pdf?pageno=1", buffer, 0, 1000, {}, cached), ResultSuccess);
    EXPECT_EQ(get("/FILE/a.jpg?thumbnail=120x90", buffer, 0, 1000, { { "isNotUseCacheForPDFFirst", "1" } }, cached),
        ResultSuccess);
    EXPECT_EQ(get("/SHARESEARCH?q=x", buffer), ResultSuccess);

    auto r = server.requests();
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[0].target, "/SHAREFILE/team/a.txt");
    EXPECT_FALSE(r[1].header("range")); // a page image comes whole...
    EXPECT_EQ(buffer.size(), 3000u + 3000 + 3000 + 3000 + 1000 + 3000); // ...and is kept whole
    EXPECT_TRUE(r[1].header("If-Modified-Since"));
    EXPECT_FALSE(r[2].header("If-Modified-Since")); // first page asked for afresh
    EXPECT_TRUE(r[3].header("If-Modified-Since"));
    EXPECT_EQ(r[4].target, "/FILE/a.jpg?thumbnail=120x90");
    EXPECT_EQ(r[4].header("range"), "bytes=0-999");
    EXPECT_TRUE(r[4].header("If-Modified-Since"));
    EXPECT_EQ(r[5].header("x-zel-css-version"), "4.0.0");
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_FALSE(r[i].header("x-zel-css-version")) << i;
}

TEST_F(AdaptorTransferTest, DownloadStatusesAndBrokenTransfersGiveTheirCodes)
{
    struct Case {
        Reply reply;
        std::int32_t result;
    };
    std::vector<Case> cases;
    cases.push_back({ Reply::status(304), ResultNotModified });
    cases.push_back({ Reply::status(404).withContentLength(), ResultNotFound });
    cases.push_back(
        { Reply::status(409).withBody("<Error><Code>FileStatusError_isCopySource</Code></Error>").withContentLength(),
            ResultIsCopySource });
    cases.push_back(
        { Reply::status(409).withBody("<Error><Code>FileStatusError_isCopyDest</Code></Error>").withContentLength(),
            ResultIsCopyDest });
    cases.push_back(
        { Reply::status(409).withBody("<Error><Code>Locked</Code></Error>").withContentLength(), ResultConflict });
    cases.push_back({ Reply::status(409).withContentLength(), ResultConflict });
    // Other mapped statuses pass through the shared mapping, which has its own table.
    cases.push_back({ Reply::status(502).withContentLength(), ResultFailed });
    cases.push_back({ Reply::hangUp(), ResultFailed });
    cases.push_back({ Reply::ok(std::string(5000, 'x')).dropAfterBody(100), ResultFailed });
    for (auto& c : cases) {
        server.enqueue(c.reply);
        Bytes buffer = bytesOf("kept");
        EXPECT_EQ(get("/FILE/a", buffer, 0, 4096, {}, std::chrono::system_clock::now()), c.result)
            << c.reply.statusLine << c.reply.body;
        EXPECT_EQ(textOf(buffer), "kept");
    }
    EXPECT_TRUE(adaptor.posted.empty());

    // No range can be asked for nothing.
    Bytes buffer;
    EXPECT_EQ(get("/FILE/a", buffer, 0, 0), ResultFailed);
    EXPECT_EQ(server.requestCount(), cases.size());
}

TEST_F(AdaptorTransferTest, OnlyAnAnswerThatCarriesTheFileCountsAsADownload)
{
    ScriptedHttpServer elsewhere;
    elsewhere.setHandler([](const RecordedRequest&) { return Reply::ok("not yours"); });
    std::vector<Reply> refusals;
    for (int status : { 201, 204, 405, 408, 412, 418, 429 })
        refusals.push_back(Reply::status(status).withBody("<Error><Code>Nope</Code></Error>").withContentLength());
    // Not followed: the credentials would go along.
    refusals.push_back(Reply::redirect(307, elsewhere.url("/FILE/a")));
    for (auto& reply : refusals) {
        SCOPED_TRACE(reply.statusLine);
        const int status = std::stoi(reply.statusLine.substr(9, 3));
        server.enqueue(reply);
        Bytes buffer = bytesOf("kept");
        EXPECT_EQ(get("/FILE/a", buffer), ResultFailed);
        EXPECT_EQ(textOf(buffer), "kept");
        auto error = adaptor.storageDetailErr();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain, kHTTPStatusErrorDomain);
        EXPECT_EQ(error->code, status);
    }
    EXPECT_EQ(elsewhere.requestCount(), 0u);
    EXPECT_TRUE(adaptor.posted.empty());

    // A refusal the mapping names keeps its result; the status and the server's code tell why.
    server.enqueue(Reply::status(403)
                       .withBody("<Error><Code>AccessDenied</Code><Message>No right</Message></Error>")
                       .withContentLength());
    Bytes buffer;
    EXPECT_EQ(get("/FILE/a", buffer), ResultBadRequest);
    auto denied = adaptor.storageDetailErr();
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->domain, kHTTPStatusErrorDomain);
    EXPECT_EQ(denied->code, 403);
    EXPECT_EQ(denied->userInfo.at("Code"), Value("AccessDenied"));
}

TEST_F(AdaptorTransferTest, PartialAnswersMustBeTheRangeAskedForAndTheFileListed)
{
    const std::string content = test::patternBytes(0, 100);
    struct Case {
        std::string contentRange; // empty: none
        std::string body;
        std::uint64_t listedSize;
        std::int32_t result;
    };
    const Case cases[] = {
        { "bytes 20-59/100", content.substr(20, 40), 100, ResultSuccess },
        { "bytes 20-59/*", content.substr(20, 40), 100, ResultSuccess },
        { "bytes 20-59/100", content.substr(20, 40), 0, ResultSuccess },
        { "bytes 0-39/100", content.substr(0, 40), 100, ResultFailed }, // another start
        { "bytes 21-60/100", content.substr(21, 40), 100, ResultFailed },
        { "bytes 20-59/100", content.substr(20, 30), 100, ResultFailed }, // shorter than its range
        { "bytes 20-49/100", content.substr(20, 30), 100, ResultFailed }, // stops short of what exists
        { "bytes 20-69/100", content.substr(20, 50), 100, ResultFailed }, // more than asked for
        { "", content.substr(20, 40), 100, ResultFailed },
        { "bytes 20-59/80", content.substr(20, 40), 100, ResultFailed }, // not the file listed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(
            c.contentRange + " / " + std::to_string(c.body.size()) + " listed " + std::to_string(c.listedSize));
        Reply reply = Reply::withStatusLine("HTTP/1.1 206 Partial Content").withBody(c.body).withContentLength();
        if (!c.contentRange.empty())
            reply.header("Content-Range", c.contentRange);
        server.enqueue(reply);
        Bytes buffer;
        EXPECT_EQ(adaptor.get("/FILE/a", buffer, "file", 20, 40, nullptr, c.listedSize, 0, {}, std::nullopt), c.result);
        EXPECT_EQ(textOf(buffer), c.result == ResultSuccess ? content.substr(20, 40) : "");
        // Straight into a file: what came before the checks failed is taken back.
        server.enqueue(reply);
        std::string file = "held";
        EXPECT_EQ(getInto("/FILE/a", file, 20, 40, c.listedSize), c.result);
        EXPECT_EQ(file, "held" + (c.result == ResultSuccess ? content.substr(20, 40) : ""));
    }

    // Past the end: only a file that ends exactly where the range starts.
    for (const auto& [range, result] : std::vector<std::pair<std::string, std::int32_t>> {
             { "bytes */40", ResultSuccess }, { "bytes */39", ResultFailed }, { "bytes */100", ResultFailed } }) {
        server.enqueue(Reply::status(416).header("Content-Range", range).withContentLength());
        Bytes buffer;
        EXPECT_EQ(get("/FILE/a", buffer, 40, 40), result) << range;
        EXPECT_TRUE(buffer.empty());
    }
}

TEST_F(AdaptorTransferTest, DownloadThatTimesOutGivesTwenty)
{
    auto offset = std::make_shared<std::atomic<std::int64_t>>(0);
    ASIHTTPRequest::setClock([offset] { return ASIHTTPRequest::Clock::now() + std::chrono::seconds(offset->load()); });
    server.enqueue(Reply::silence());
    auto result = std::async(std::launch::async, [&] {
        Bytes buffer;
        return get("/FILE/slow", buffer);
    });
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    *offset = 61;
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASIHTTPRequest::setClock({});
    EXPECT_EQ(result.get(), ResultTimedOut);
}

// ---------------------------------------------------------------------------------------------
// Upload status

TEST_F(AdaptorTransferTest, StatusQueryReadsTheServersOffsetAndRefusesUnusableOnes)
{
    std::uint64_t offset = 77;
    EXPECT_EQ(adaptor.getCurrentPutStatus("/FOLDER/d/", 10, "m", "folder", 1, offset), ResultSuccess);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(server.requestCount(), 0u);

    struct Case {
        std::string answer;
        std::int32_t result;
        std::uint64_t offset;
    };
    const Case cases[] = {
        { "<Upload><offset>4096</offset></Upload>", ResultSuccess, 4096 },
        { "<Upload><offset> 5000 </offset></Upload>", ResultSuccess, 5000 },
        { "<Upload/>", ResultSuccess, 0 },
        { "<offset></offset>", ResultSuccess, 0 },
        { "", ResultSuccess, 0 },
        { "<offset>-1</offset>", ResultFailed, 77 },
        { "<offset>12abc</offset>", ResultFailed, 77 },
        { "<offset>abc</offset>", ResultFailed, 77 },
        { "<offset>5001</offset>", ResultFailed, 77 },
        { "<offset>18446744073709551616</offset>", ResultFailed, 77 },
    };
    for (const auto& c : cases) {
        server.enqueue(Reply::ok(c.answer));
        offset = 77;
        EXPECT_EQ(adaptor.getCurrentPutStatus("/FILE/a.txt", 5000, "abc123", "file", 0, offset), c.result) << c.answer;
        EXPECT_EQ(offset, c.offset) << c.answer;
    }
    auto r = server.requests();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0].target, "/FILE/a.txt?md5=abc123");
    EXPECT_EQ(r[0].header("range"), "bytes=0-10239");
    EXPECT_EQ(r[0].header("x-zel-app-type"), "folder");

    server.enqueue(Reply::status(401).withBody("<Error><Code>PE005</Code></Error>").withContentLength());
    EXPECT_EQ(adaptor.getCurrentPutStatus("/FILE/a.txt", 5000, "abc123", "file", 0, offset), ResultDeviceNotAuthorized);
}

// ---------------------------------------------------------------------------------------------
// Upload

TEST_F(AdaptorTransferTest, ChunkCarriesItsRangeOptionsAndBody)
{
    server.enqueue(Reply::status(200).withContentLength().header("X-Zel-Seen", "1"));
    std::uint64_t offset = 4;
    const ValueMap options = { { "ownername", "山田 太郎" }, { "creationdate", "2024-01-02" }, { "owner", "u1" },
        { "author", "a1" }, { "authorname", "佐藤/花子" }, { "timestamp", "1714557600000" }, { "uptype", "3" },
        { "x-zel-lock-userid", "u7" }, { "x-zel-lock-username", "鈴木 一郎" }, { "x-zel-lock-flg", "1" },
        { "modifydate", "Wed, 01 May 2024 10:00:00 GMT" }, { "editpermission", "1" }, { "unknown", "x" } };
    EXPECT_EQ(put(offset, "456789", 10, options), ResultSuccess);
    EXPECT_EQ(offset, 4u);
    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "PUT");
    EXPECT_EQ(r[0].target, "/FILE/a.txt?md5=0cc175b9c0f1b6a831c399e269772661&size=10");
    EXPECT_EQ(sentNames(r[0]),
        (std::vector<std::string> { "x-zel-file-write-range", "x-zel-ownername", "x-zel-creationdate", "x-zel-owner",
            "x-zel-author", "x-zel-authorname", "x-zel-timestamp", "x-zel-uptype", "x-zel-lock-userid",
            "x-zel-lock-username", "x-zel-lock-flg", "x-zel-modifydate", "x-zel-editpermission", "Date",
            "x-zel-app-type", "Authorization", "X-Device-Id" }));
    EXPECT_EQ(r[0].header("x-zel-file-write-range"), "4-9");
    EXPECT_EQ(r[0].header("x-zel-ownername"), "%E5%B1%B1%E7%94%B0%20%E5%A4%AA%E9%83%8E");
    EXPECT_EQ(r[0].header("x-zel-authorname"), "%E4%BD%90%E8%97%A4%2F%E8%8A%B1%E5%AD%90");
    EXPECT_EQ(r[0].header("x-zel-lock-username"), "%E9%88%B4%E6%9C%A8%20%E4%B8%80%E9%83%8E");
    EXPECT_EQ(r[0].header("x-zel-uptype"), "3");
    EXPECT_EQ(r[0].header("x-zel-modifydate"), "Wed, 01 May 2024 10:00:00 GMT");
    EXPECT_EQ(r[0].header("x-zel-editpermission"), "1");
    EXPECT_EQ(r[0].body, "456789");
    EXPECT_EQ(adaptor.posted.size(), 1u);
}

TEST_F(AdaptorTransferTest, MethodAndPathDecideUploadTypeAndQuery)
{
    server.setHandler([](const RecordedRequest&) { return Reply::status(201).withContentLength(); });
    std::uint64_t offset = 0;
    auto sent = std::chrono::system_clock::now();
    EXPECT_EQ(put(offset, "abc", 3, {}, 1), ResultSuccess); // creation
    EXPECT_EQ(put(offset, "abc", 3, { { "uptype", "0" } }, 1), ResultSuccess);
    EXPECT_EQ(put(offset, "", 0, { { "editpermission", "2" } }, 0, "/FOLDER/new/", "folder"), ResultSuccess);
    EXPECT_EQ(put(offset, "{}", 2, { { "editpermission", 1 } }, 0, "/PDF/doc.pdf?srcid=12"), ResultSuccess);
    adaptor.config().isForceUploadPDFInfo = true;
    EXPECT_EQ(put(offset, "{}", 2, {}, 0, "/SHAREPDF/doc.pdf?srcid=12"), ResultSuccess);

    auto r = server.requests();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].method, "POST");
    EXPECT_EQ(sentNames(r[0]).at(0), "x-zel-uptype");
    EXPECT_EQ(r[0].header("x-zel-uptype"), "2");
    EXPECT_EQ(r[0].header("x-zel-file-write-range"), "0-2");
    EXPECT_EQ(r[0].header("x-zel-editpermission"), "0");
    auto date = dateFromRFC1123(r[0].header("x-zel-modifydate").value_or(""));
    ASSERT_TRUE(date);
    EXPECT_LE(std::chrono::abs(*date - sent), std::chrono::seconds(5));
    EXPECT_EQ(r[1].headerValues("x-zel-uptype"), std::vector<std::string> { "0" });

    EXPECT_EQ(r[2].method, "PUT");
    EXPECT_EQ(r[2].target, "/FOLDER/new/");
    EXPECT_FALSE(r[2].header("x-zel-file-write-range"));
    EXPECT_FALSE(r[2].header("x-zel-editpermission"));
    EXPECT_FALSE(r[2].header("x-zel-uptype"));

    EXPECT_EQ(r[3].method, "POST");
    EXPECT_EQ(r[3].target, "/PDF/doc.pdf?srcid=12");
    EXPECT_EQ(r[3].header("x-zel-uptype"), "1");
    EXPECT_EQ(r[3].header("x-zel-editpermission"), "0");
    EXPECT_EQ(r[4].target, "/SHAREPDF/doc.pdf?srcid=12");
    EXPECT_EQ(r[4].header("x-zel-uptype"), "0");
}

TEST_F(AdaptorTransferTest, UploadAnswersGiveTheirCodes)
{
    const std::string lockBody = "<?xml version=\"1.0\"?><LockFileResult><lockUserId>u7</lockUserId>"
                                 "<lockUserName>鈴木</lockUserName></LockFileResult>";
    struct Case {
        Reply reply;
        std::int32_t result;
    };
    std::vector<Case> cases;
    cases.push_back({ Reply::status(409).withBody(lockBody).withContentLength(), ResultWriteConflict });
    cases.push_back({ Reply::status(409).withBody("<Error><Code>ResourceChanged</Code></Error>").withContentLength(),
        ResultResourceChanged });
    cases.push_back(
        { Reply::status(409).withBody("<Error><Code>FileStatusError_isCopySource</Code></Error>").withContentLength(),
            ResultIsCopySource });
    cases.push_back(
        { Reply::status(409).withBody("<Error><Code>FileStatusError_isCopyDest</Code></Error>").withContentLength(),
            ResultIsCopyDest });
    cases.push_back(
        { Reply::status(409).withBody("<Error><Code>Other</Code></Error>").withContentLength(), ResultWriteConflict });
    cases.push_back({ Reply::status(406).withContentLength(), ResultNotAcceptable });
    // Too large, no space, gone and refused digests are checked end to end; the other mapped
    // statuses pass through the shared mapping, which has its own table.
    cases.push_back({ Reply::status(503).withContentLength(), ResultFailed });
    cases.push_back({ Reply::hangUp(), ResultFailed });
    // Statuses that say nothing was stored: the chunk is not counted, and a redirect never
    // turns it into a body-less GET whose answer looks like the upload's.
    cases.push_back({ Reply::status(429).withContentLength(), ResultFailed });
    cases.push_back({ Reply::status(302).header("Location", "/elsewhere").withContentLength(), ResultFailed });
    cases.push_back({ Reply::status(303).header("Location", "/elsewhere").withContentLength(), ResultFailed });
    for (std::size_t i = 0; i < cases.size(); ++i) {
        server.enqueue(cases[i].reply);
        std::uint64_t offset = 0;
        EXPECT_EQ(put(offset, "abc", 3), cases[i].result) << cases[i].reply.statusLine;
        EXPECT_EQ(offset, 0u);
        if (i == 0) {
            EXPECT_EQ(adaptor.errResponseString(), lockBody);
        }
    }
    EXPECT_TRUE(adaptor.posted.empty());
    EXPECT_TRUE(sleeps().empty());
    EXPECT_EQ(server.requestCount(), cases.size());
    for (const auto& r : server.requests())
        EXPECT_EQ(r.method, "PUT");
    auto error = adaptor.storageDetailErr();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ASIRedirectRefusedErrorType);
}

TEST_F(AdaptorTransferTest, ResumeAnswerMovesTheOffsetOnlyWithinTheFile)
{
    server.enqueue(Reply::status(416).header("X-Zel-Offset-In-Database", "4096").withContentLength());
    std::uint64_t offset = 1048576;
    EXPECT_EQ(put(offset, "abc", 8192), ResultResumeAtOffset);
    EXPECT_EQ(offset, 4096u);
    EXPECT_EQ(sleeps(), std::vector<int> { 6 });

    for (const char* bad : { "", "abc", "-1", "8193", "99999999999999999999" }) {
        Reply reply = Reply::status(416).withContentLength();
        if (*bad)
            reply.header("X-Zel-Offset-In-Database", bad);
        server.enqueue(reply);
        offset = 100;
        EXPECT_EQ(put(offset, "abc", 8192), ResultFailed) << bad;
        EXPECT_EQ(offset, 100u) << bad;
    }
    EXPECT_EQ(sleeps(), std::vector<int> { 6 });
}

TEST_F(AdaptorTransferTest, BackOffGrowsWithEachResumeAnswerAndStartsOverAfterAnyOther)
{
    server.setHandler([](const RecordedRequest& r) {
        if (r.body == "ok")
            return Reply::status(200).withContentLength();
        return Reply::status(416).header("X-Zel-Offset-In-Database", "0").withContentLength();
    });
    std::uint64_t offset = 0;
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(put(offset, "again", 10), ResultResumeAtOffset);
    EXPECT_EQ(sleeps(), (std::vector<int> { 6, 60, 120, 240, 480, 960, 1920, 1920, 1920 }));
    EXPECT_EQ(A::uploadBackoffDelay(), 1920);

    EXPECT_EQ(put(offset, "ok", 10), ResultSuccess);
    EXPECT_EQ(A::uploadBackoffDelay(), 3);
    EXPECT_EQ(put(offset, "again", 10), ResultResumeAtOffset);
    EXPECT_EQ(sleeps().back(), 6);
}

TEST_F(AdaptorTransferTest, StoppingEndsTheBackOffWaitEarly)
{
    A::setBackoffSleeper({});
    server.enqueue(Reply::status(416).header("X-Zel-Offset-In-Database", "2").withContentLength());
    std::atomic<bool> stopped { false };
    auto results = std::async(std::launch::async, [&] {
        const CommandStopScope scope(stopped);
        std::uint64_t offset = 0;
        const std::int32_t first = put(offset, "abc", 10);
        offset = 2;
        return std::pair<std::int32_t, std::int32_t> { first, put(offset, "c", 10) };
    });
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stopped = true;
    // The delay is 6 seconds; a stop makes it end well before, and the next chunk gives up.
    ASSERT_EQ(results.wait_for(std::chrono::seconds(4)), std::future_status::ready);
    EXPECT_EQ(results.get(), (std::pair<std::int32_t, std::int32_t> { ResultResumeAtOffset, ResultCancelled }));
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(AdaptorTransferTest, AStoppedCommandSendsNoChunkUnlessItIsTheOfflineLogOrOnTheMainThread)
{
    server.setHandler([](const RecordedRequest&) { return Reply::status(200).withContentLength(); });
    std::atomic<bool> stopped { true };
    const CommandStopScope scope(stopped);
    std::uint64_t offset = 0;
    EXPECT_EQ(put(offset, "abc", 3), ResultCancelled);
    EXPECT_EQ(server.requestCount(), 0u);

    EXPECT_EQ(put(offset, "log", 3, { { "isUploadOfflineLog", "1" } }), ResultSuccess);
    MainQueue::setShared(std::make_shared<RunLoopMainQueue>());
    EXPECT_EQ(put(offset, "main", 4), ResultSuccess);
    MainQueue::setShared(nullptr);
    EXPECT_EQ(server.requestCount(), 2u);
}

} // namespace
} // namespace norvane
