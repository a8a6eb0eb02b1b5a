#include "ASIHTTPTestSupport.h"

#include "platform/Log.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <sys/resource.h>
#include <thread>

namespace norvane::test {
namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/norvane-engine-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::size_t entries() const
    {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(path), std::filesystem::directory_iterator()));
    }
    std::string path;
};

using MessageTest = EngineTest;

TEST_F(MessageTest, BodyTurnsGetIntoPostButPutStaysAndEmptyBodyChangesNothing)
{
    ScriptedHttpServer server;
    server.setHandler([](const RecordedRequest&) { return Reply::ok("fine"); });

    auto get = ASIHTTPRequest::requestWithURL(server.url("/a"));
    get->appendPostData(std::string_view("payload"));
    get->startSynchronous();
    auto put = ASIHTTPRequest::requestWithURL(server.url("/b"));
    put->setRequestMethod("PUT");
    put->appendPostData(std::string_view("xyz"));
    put->startSynchronous();
    auto empty = ASIHTTPRequest::requestWithURL(server.url("/c"));
    empty->appendPostData(std::string_view(""));
    empty->startSynchronous();

    auto r = server.requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].method, "POST");
    EXPECT_EQ(r[0].body, "payload");
    EXPECT_EQ(r[0].header("Content-Length"), "7");
    EXPECT_EQ(r[1].method, "PUT");
    EXPECT_EQ(r[1].body, "xyz");
    EXPECT_EQ(r[2].method, "GET");
    EXPECT_FALSE(r[2].header("Content-Length"));
    EXPECT_EQ(body(*get), "fine");
}

TEST_F(MessageTest, SendsExactlyTheCallersHeadersInOrderPlusTheEnginesOwn)
{
    ScriptedHttpServer server;
    server.enqueue(Reply::ok(""));
    ASIHTTPRequest::setApplicationIdentity("Norvane", "1.2", "1.2");
    auto request = ASIHTTPRequest::requestWithURL(server.url("/x?q=1"));
    request->addRequestHeader("Date", "Sun, 06 Dec 2026 00:00:00 GMT");
    request->addRequestHeader("x-zel-app-type", "file");
    request->addRequestHeader("Authorization", "a:b:c:d");
    request->startSynchronous();
    ASIHTTPRequest::setApplicationIdentity("", "", "");

    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].target, "/x?q=1");
    std::vector<std::string> names;
    for (auto& [n, v] : r[0].headers)
        if (n != "Host")
            names.push_back(n);
    EXPECT_EQ(names,
        (std::vector<std::string> { "Date", "x-zel-app-type", "Authorization", "User-Agent", "Accept-Encoding" }));
    EXPECT_EQ(r[0].header("Accept-Encoding"), "gzip");
    EXPECT_TRUE(r[0].header("User-Agent")->starts_with("Norvane 1.2 (Macintosh; Mac OS X 1.1.1; "));
}

TEST_F(MessageTest, HeaderValueWithLineBreakIsRefusedBeforeAnythingIsSent)
{
    ScriptedHttpServer server;
    server.enqueue(Reply::ok(""));
    auto request = ASIHTTPRequest::requestWithURL(server.url("/"));
    request->addRequestHeader("X-Name", "evil\r\nX-Injected: 1");
    request->startSynchronous();
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->code, ASIUnableToCreateRequestErrorType);
    EXPECT_EQ(server.connectionCount(), 0u);

    auto badURL = ASIHTTPRequest::requestWithURL("not a url");
    badURL->startSynchronous();
    ASSERT_TRUE(badURL->error());
    EXPECT_EQ(badURL->error()->code, ASIUnableToCreateRequestErrorType);
}

TEST_F(MessageTest, ErrorStatusesCompleteAsResponsesAndCharsetPicksTheEncoding)
{
    ScriptedHttpServer server;
    server.enqueue(Reply::status(401).withBody("denied").withContentLength());
    server.enqueue(Reply::ok("\xe6\x97\xa5\xe6\x9c\xac").header("Content-Type", "text/xml; charset=UTF-8"));
    server.enqueue(Reply::ok("caf\xe9").header("Content-Type", "text/plain; charset=x-unknown"));

    auto unauthorized = ASIHTTPRequest::requestWithURL(server.url("/1"));
    unauthorized->startSynchronous();
    EXPECT_FALSE(unauthorized->error());
    EXPECT_EQ(unauthorized->responseStatusCode(), 401);
    EXPECT_EQ(body(*unauthorized), "denied");

    auto utf8 = ASIHTTPRequest::requestWithURL(server.url("/2"));
    utf8->startSynchronous();
    EXPECT_EQ(utf8->responseEncoding(), TextEncoding::utf8);
    EXPECT_EQ(utf8->responseString(), "\xe6\x97\xa5\xe6\x9c\xac");

    auto unknown = ASIHTTPRequest::requestWithURL(server.url("/3"));
    unknown->startSynchronous();
    EXPECT_EQ(unknown->responseEncoding(), TextEncoding::isoLatin1);
    EXPECT_EQ(unknown->responseString(), "caf\xc3\xa9");
}

using RedirectTest = EngineTest;

TEST_F(RedirectTest, FoundBecomesGetButABodyIsNeverDroppedOnTheWayWhileTemporaryKeepsEverything)
{
    ScriptedHttpServer plain;
    plain.enqueue("/start", Reply::redirect(302, "next?x=1"));
    plain.enqueue("/next?x=1", Reply::ok("landed"));
    auto get = ASIHTTPRequest::requestWithURL(plain.url("/start"));
    get->setRequestMethod("DELETE");
    get->addRequestHeader("X-Custom", "1");
    get->startSynchronous();
    EXPECT_FALSE(get->error());
    auto r = plain.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].method, "GET");
    EXPECT_FALSE(r[1].header("X-Custom"));
    EXPECT_EQ(body(*get), "landed");
    EXPECT_EQ(get->url(), plain.url("/next?x=1"));
    EXPECT_EQ(get->originalURL(), plain.url("/start"));

    // An upload answered "see elsewhere" must not turn into a GET whose answer looks like the
    // upload's.
    for (int code : { 301, 302, 303 }) {
        ScriptedHttpServer server;
        server.enqueue("/start", Reply::redirect(code, "/next"));
        server.enqueue("/next", Reply::ok("landed"));
        auto request = ASIHTTPRequest::requestWithURL(server.url("/start"));
        request->setRequestMethod("PUT");
        request->appendPostData(std::string_view("body"));
        request->startSynchronous();
        ASSERT_TRUE(request->error()) << code;
        EXPECT_EQ(request->error()->code, ASIRedirectRefusedErrorType) << code;
        EXPECT_EQ(server.requestCount(), 1u) << code;
    }

    ScriptedHttpServer server;
    server.enqueue("/start", Reply::redirect(307, "/other"));
    server.enqueue("/other", Reply::ok("kept"));
    auto request = ASIHTTPRequest::requestWithURL(server.url("/start"));
    request->setRequestMethod("PUT");
    request->appendPostData(std::string_view("body"));
    request->addRequestHeader("X-Custom", "1");
    request->addRequestHeader("Authorization", "a:b:c:d");
    request->startSynchronous();
    EXPECT_FALSE(request->error());
    r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].method, "PUT");
    EXPECT_EQ(r[1].body, "body");
    EXPECT_EQ(r[1].header("X-Custom"), "1");
    EXPECT_EQ(r[1].header("Authorization"), "a:b:c:d"); // same origin: the credentials stay
}

TEST_F(RedirectTest, CredentialsNeverFollowToAnotherOriginAndHttpsNeverFallsToHttp)
{
    ScriptedHttpServer elsewhere; // another port: another origin
    elsewhere.setHandler([](const RecordedRequest&) { return Reply::ok("elsewhere"); });
    ScriptedHttpServer server;
    server.setHandler([&](const RecordedRequest& r) { return Reply::redirect(307, elsewhere.url(r.target)); });
    CookieStore::shared().setCookies(
        { *HTTPCookie::parse("sid=secret; Path=/", *URL::parse(server.url("/")), cookieNow()) },
        *URL::parse(server.url("/")));

    const char* const credentials[] = { "Authorization", "KigyoCode", "UserPassWord", "x-tkv-password",
        "x-tkv-newpassword", "X-Device-Id", "x-zel-lock-userid", "Proxy-Authorization" };
    auto request = ASIHTTPRequest::requestWithURL(server.url("/FILE/a"));
    for (const char* name : credentials)
        request->addRequestHeader(name, "identity");
    request->addRequestHeader("Range", "bytes=0-9");
    request->setUsername("user");
    request->setPassword("pass");
    request->startSynchronous();
    EXPECT_FALSE(request->error());
    EXPECT_EQ(body(*request), "elsewhere");
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].header("Cookie"), "sid=secret");
    ASSERT_EQ(elsewhere.requestCount(), 1u);
    auto moved = elsewhere.requests()[0];
    for (const char* name : credentials)
        EXPECT_FALSE(moved.header(name)) << name;
    EXPECT_FALSE(moved.header("Cookie"));
    EXPECT_EQ(moved.header("Range"), "bytes=0-9");

    // A request that may stay only within its origin takes the redirect for its answer.
    elsewhere.clearRequests();
    auto confined = ASIHTTPRequest::requestWithURL(server.url("/FILE/b"));
    confined->setShouldRedirectOnlyWithinOrigin(true);
    confined->startSynchronous();
    EXPECT_FALSE(confined->error());
    EXPECT_EQ(confined->responseStatusCode(), 307);
    EXPECT_EQ(elsewhere.requestCount(), 0u);

    ScriptedHttpServer tls(TlsMode::SelfSigned);
    tls.setHandler([&](const RecordedRequest& r) { return Reply::redirect(307, elsewhere.url(r.target)); });
    auto downgraded = ASIHTTPRequest::requestWithURL(tls.url("/account/user"));
    downgraded->setValidatesSecureCertificate(false);
    downgraded->addRequestHeader("UserPassWord", "secret");
    downgraded->startSynchronous();
    ASSERT_TRUE(downgraded->error());
    EXPECT_EQ(downgraded->error()->code, ASIRedirectRefusedErrorType);
    EXPECT_EQ(tls.requestCount(), 1u);
    EXPECT_EQ(elsewhere.requestCount(), 0u);
}

TEST_F(RedirectTest, FiveRedirectsAreFollowedAndTheSixthFails)
{
    ScriptedHttpServer server;
    for (int i = 0; i < 5; ++i)
        server.enqueue("/" + std::to_string(i), Reply::redirect(302, "/" + std::to_string(i + 1)));
    server.enqueue("/5", Reply::ok("five"));
    auto five = ASIHTTPRequest::requestWithURL(server.url("/0"));
    five->startSynchronous();
    EXPECT_FALSE(five->error());
    EXPECT_EQ(body(*five), "five");

    server.setHandler([](const RecordedRequest&) { return Reply::redirect(302, "/loop"); });
    auto endless = ASIHTTPRequest::requestWithURL(server.url("/loop"));
    endless->startSynchronous();
    ASSERT_TRUE(endless->error());
    EXPECT_EQ(endless->error()->code, ASITooMuchRedirectionErrorType);
    EXPECT_EQ(endless->redirectCount(), 6);
}

TEST_F(RedirectTest, RedirectBodyNeverLandsInTheDestinationFile)
{
    TempDir dir;
    ScriptedHttpServer server;
    server.enqueue("/a", Reply::redirect(302, "/b").withBody("redirect page").withContentLength());
    server.enqueue("/b", Reply::ok("the file"));
    auto request = ASIHTTPRequest::requestWithURL(server.url("/a"));
    request->setDownloadDestinationPath(dir.file("out"));
    request->startSynchronous();
    EXPECT_FALSE(request->error());
    EXPECT_EQ(readFile(dir.file("out")), "the file");
    EXPECT_EQ(dir.entries(), 1u);
}

using TimeoutTest = EngineTest;

// The engine's clock is moved by hand; the loop only needs real time for its 0.25 s ticks.
struct ManualClock {
    std::shared_ptr<ASIHTTPRequest::Clock::time_point> now
        = std::make_shared<ASIHTTPRequest::Clock::time_point>(ASIHTTPRequest::Clock::now());
    void install()
    {
        auto t = now;
        ASIHTTPRequest::setClock([t] { return *t; });
    }
    void advance(double seconds)
    {
        *now += std::chrono::duration_cast<ASIHTTPRequest::Clock::duration>(std::chrono::duration<double>(seconds));
    }
};

TEST_F(TimeoutTest, SilenceTimesOutWithCodeTwoAndABodyGetsHalfAsLongAgain)
{
    ScriptedHttpServer server;
    server.setHandler([](const RecordedRequest&) { return Reply::silence(); });
    ManualClock clock;
    clock.install();

    auto plain = ASIHTTPRequest::requestWithURL(server.url("/plain"));
    plain->setTimeOutSeconds(10);
    auto withBody = ASIHTTPRequest::requestWithURL(server.url("/body"));
    withBody->setTimeOutSeconds(10);
    withBody->appendPostData(std::string_view("small body"));
    plain->startAsynchronous();
    withBody->startAsynchronous();
    ASSERT_TRUE(runUntilRequests(server, 2));

    clock.advance(11);
    RunLoop::current()->runFor(0.6);
    ASSERT_TRUE(plain->isFinished());
    ASSERT_TRUE(plain->error());
    EXPECT_EQ(plain->error()->code, ASIRequestTimedOutErrorType);
    EXPECT_EQ(plain->error()->description, "The request timed out");
    EXPECT_FALSE(withBody->isFinished());

    clock.advance(5);
    RunLoop::current()->runFor(0.6);
    ASSERT_TRUE(withBody->isFinished());
    EXPECT_EQ(withBody->error()->code, ASIRequestTimedOutErrorType);
}

TEST_F(TimeoutTest, RetryOnTimeoutSendsTheRequestAgain)
{
    ScriptedHttpServer server;
    server.enqueue(Reply::silence());
    server.enqueue(Reply::ok("second time lucky"));
    ManualClock clock;
    clock.install();
    auto request = ASIHTTPRequest::requestWithURL(server.url("/"));
    request->setTimeOutSeconds(5);
    request->setNumberOfTimesToRetryOnTimeout(1);
    request->startAsynchronous();
    ASSERT_TRUE(runUntilRequests(server, 1));
    clock.advance(6);
    ASSERT_TRUE(runUntilFinished(*request));
    EXPECT_FALSE(request->error());
    EXPECT_EQ(request->retryCount(), 1);
    EXPECT_EQ(body(*request), "second time lucky");
    EXPECT_EQ(server.requestCount(), 2u);
}

using DownloadTest = EngineTest;

TEST_F(DownloadTest, ResumeSendsRangeFromTheKeptFileAndAppendsTheRest)
{
    TempDir dir;
    std::string content = patternBytes(0, 100000);
    ScriptedHttpServer server;
    server.setHandler([&](const RecordedRequest& r) { return Reply::range(r, content); });
    {
        std::ofstream part(dir.file("part"), std::ios::binary);
        part << content.substr(0, 40000);
    }
    auto request = ASIHTTPRequest::requestWithURL(server.url("/file"));
    request->setDownloadDestinationPath(dir.file("final"));
    request->setTemporaryFileDownloadPath(dir.file("part"));
    request->setAllowResumeForFileDownloads(true);
    request->startSynchronous();
    ASSERT_FALSE(request->error());
    EXPECT_EQ(server.requests().at(0).header("Range"), "bytes=40000-");
    EXPECT_EQ(request->responseStatusCode(), 206);
    EXPECT_EQ(readFile(dir.file("final")), content);
    EXPECT_FALSE(std::filesystem::exists(dir.file("part")));
}

TEST_F(DownloadTest, ServerIgnoringTheRangeStartsTheFileOverInsteadOfAppending)
{
    TempDir dir;
    ScriptedHttpServer server;
    server.enqueue(Reply::ok("whole new content"));
    {
        std::ofstream part(dir.file("part"), std::ios::binary);
        part << "stale";
    }
    auto request = ASIHTTPRequest::requestWithURL(server.url("/file"));
    request->setDownloadDestinationPath(dir.file("final"));
    request->setTemporaryFileDownloadPath(dir.file("part"));
    request->setAllowResumeForFileDownloads(true);
    request->startSynchronous();
    ASSERT_FALSE(request->error());
    EXPECT_EQ(readFile(dir.file("final")), "whole new content");
}

TEST_F(DownloadTest, GzipBodiesAreDecompressedInMemoryAndIntoFiles)
{
    TempDir dir;
    std::string plain = patternBytes(7, 300000);
    ScriptedHttpServer server;
    server.setHandler([&](const RecordedRequest&) { return Reply::gzipped(plain); });

    auto memory = ASIHTTPRequest::requestWithURL(server.url("/m"));
    memory->startSynchronous();
    ASSERT_FALSE(memory->error());
    EXPECT_TRUE(memory->isResponseCompressed());
    EXPECT_EQ(body(*memory), plain);

    auto file = ASIHTTPRequest::requestWithURL(server.url("/f"));
    file->setDownloadDestinationPath(dir.file("out"));
    file->startSynchronous();
    ASSERT_FALSE(file->error());
    EXPECT_EQ(readFile(dir.file("out")), plain);
    EXPECT_EQ(dir.entries(), 1u); // no temporary file left
}

TEST_F(DownloadTest, CorruptExplodingOrOversizedBodiesFailWithCodeEight)
{
    TempDir dir;
    ScriptedHttpServer server;
    server.setHandler([](const RecordedRequest& r) {
        if (r.path() == "/bomb")
            return Reply::gzipped(std::string(4 << 20, '\0'));
        return Reply::ok(corruptGzip("hello")).header("Content-Encoding", "gzip");
    });

    auto memory = ASIHTTPRequest::requestWithURL(server.url("/corrupt"));
    memory->startSynchronous();
    ASSERT_TRUE(memory->error());
    EXPECT_EQ(memory->error()->code, ASIFileManagementError);

    auto file = ASIHTTPRequest::requestWithURL(server.url("/corrupt"));
    file->setDownloadDestinationPath(dir.file("out"));
    file->startSynchronous();
    ASSERT_TRUE(file->error());
    EXPECT_EQ(file->error()->code, ASIFileManagementError);
    EXPECT_EQ(dir.entries(), 0u);

    auto bomb = ASIHTTPRequest::requestWithURL(server.url("/bomb"));
    bomb->setMaxDecompressedBodySize(1 << 20);
    bomb->startSynchronous();
    ASSERT_TRUE(bomb->error());
    EXPECT_EQ(bomb->error()->code, ASIFileManagementError);
}

TEST_F(DownloadTest, ADroppedTransferFailsAndLeavesTheOldFileUntouched)
{
    TempDir dir;
    {
        std::ofstream old(dir.file("out"), std::ios::binary);
        old << "previous version";
    }
    ScriptedHttpServer server;
    server.enqueue(Reply::pattern(500000).dropAfterBody(100000));
    auto request = ASIHTTPRequest::requestWithURL(server.url("/f"));
    request->setDownloadDestinationPath(dir.file("out"));
    request->startSynchronous();
    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->code, ASIConnectionFailureErrorType);
    EXPECT_EQ(readFile(dir.file("out")), "previous version");
    EXPECT_EQ(dir.entries(), 1u);
}

TEST_F(DownloadTest, AFileThatCannotBeWrittenFailsWithCodeEightAndKeepsTheOldFile)
{
    TempDir dir;
    {
        std::ofstream old(dir.file("out"), std::ios::binary);
        old << "previous version";
    }
    ScriptedHttpServer server;
    server.enqueue(Reply::pattern(2 << 20));
    // Files of this process may not grow past 1 MiB for the moment: writes fail with EFBIG.
    struct rlimit saved { };
    ::getrlimit(RLIMIT_FSIZE, &saved);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto request = ASIHTTPRequest::requestWithURL(server.url("/f"));
    request->setDownloadDestinationPath(dir.file("out"));
    request->startSynchronous();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_TRUE(request->error());
    EXPECT_EQ(request->error()->code, ASIFileManagementError);
    EXPECT_EQ(readFile(dir.file("out")), "previous version");
    EXPECT_EQ(dir.entries(), 1u);
}

TEST_F(DownloadTest, ProgressOfARangedDownloadCountsTheBytesBeforeIt)
{
    ScriptedHttpServer server;
    server.enqueue(Reply::pattern(250000).trickle(50000, std::chrono::milliseconds(120)));
    RecordingProgress progress;
    auto request = ASIHTTPRequest::requestWithURL(server.url("/part"));
    request->setDownloadProgressDelegate(&progress);
    request->setOffset(750000);
    request->setTotalSize(1000000);
    request->startSynchronous();
    ASSERT_FALSE(request->error());
    ASSERT_GE(progress.values.size(), 3u);
    EXPECT_FLOAT_EQ(progress.values.front(), 0.75f);
    EXPECT_FLOAT_EQ(progress.values.back(), 1.0f);
    EXPECT_TRUE(std::is_sorted(progress.values.begin(), progress.values.end()));
    bool sawMiddle
        = std::any_of(progress.values.begin(), progress.values.end(), [](float f) { return f > 0.75f && f < 1.0f; });
    EXPECT_TRUE(sawMiddle);
}

TEST_F(DownloadTest, ProgressOfAnUploadFromAFileEndsAtTheWholeObject)
{
    TempDir dir;
    std::string chunk = patternBytes(0, 3 << 20);
    {
        std::ofstream f(dir.file("chunk"), std::ios::binary);
        f << chunk;
    }
    ScriptedHttpServer server;
    server.setBodyKeepLimit(0);
    server.enqueue(Reply::ok("stored"));
    RecordingProgress progress;
    auto request = ASIHTTPRequest::requestWithURL(server.url("/up"));
    request->setRequestMethod("PUT");
    request->setShouldStreamPostDataFromDisk(true);
    request->setPostBodyFilePath(dir.file("chunk"));
    request->setUploadProgressDelegate(&progress);
    request->setOffset(3 << 20);
    request->setTotalSize(6 << 20);
    request->startSynchronous();
    ASSERT_FALSE(request->error());
    EXPECT_EQ(server.requests().at(0).bodyMd5, md5Hex(chunk));
    ASSERT_FALSE(progress.values.empty());
    EXPECT_FLOAT_EQ(progress.values.back(), 1.0f);
    EXPECT_GE(progress.values.front(), 0.0f);
}

TEST_F(DownloadTest, ASinkSafeAnywhereHearsOfProgressOnTheWorkerWhileTheMainThreadIsBusy)
{
    struct AnyThreadProgress : RecordingProgress {
        bool needsMainThread() const override { return false; }
        std::vector<std::thread::id> threads;
        void setProgress(float f) override
        {
            threads.push_back(std::this_thread::get_id());
            RecordingProgress::setProgress(f);
        }
    } progress;
    ScriptedHttpServer server;
    server.enqueue(Reply::pattern(150000).trickle(50000, std::chrono::milliseconds(60)));
    std::thread::id worker;
    auto done = std::async(std::launch::async, [&] {
        worker = std::this_thread::get_id();
        auto request = ASIHTTPRequest::requestWithURL(server.url("/f"));
        request->setDownloadProgressDelegate(&progress);
        request->startSynchronous();
        return !request->error();
    });
    // The main thread does not turn its loop: a sink waiting for it would stall the transfer.
    const bool finished = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    while (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        RunLoop::current()->runFor(0.05); // lets a stalled worker go before failing
    ASSERT_TRUE(finished);
    EXPECT_TRUE(done.get());
    ASSERT_FALSE(progress.values.empty());
    EXPECT_FLOAT_EQ(progress.values.back(), 1.0f);
    EXPECT_TRUE(std::all_of(progress.threads.begin(), progress.threads.end(), [&](auto id) { return id == worker; }));
}

using LifecycleTest = EngineTest;

TEST_F(LifecycleTest, CancellingTwiceFailsOnceAndCancellingAfterTheEndDoesNothing)
{
    ScriptedHttpServer server;
    server.enqueue(Reply::silence());
    server.enqueue(Reply::ok("done"));
    CountingDelegate delegate;
    auto request = ASIHTTPRequest::requestWithURL(server.url("/slow"));
    request->setDelegate(&delegate);
    request->startAsynchronous();
    ASSERT_TRUE(runUntilRequests(server, 1));
    request->cancel();
    request->cancel();
    EXPECT_TRUE(request->isFinished());
    EXPECT_TRUE(request->isCancelled());
    EXPECT_EQ(request->error()->code, ASIRequestCancelledErrorType);
    EXPECT_EQ(delegate.failed, 1);
    EXPECT_EQ(delegate.finished, 0);

    CountingDelegate second;
    auto finished = ASIHTTPRequest::requestWithURL(server.url("/fast"));
    finished->setDelegate(&second);
    finished->startSynchronous();
    finished->cancel();
    EXPECT_FALSE(finished->error());
    EXPECT_FALSE(finished->isCancelled());
    EXPECT_EQ(second.started, 1);
    EXPECT_EQ(second.finished, 1);
    EXPECT_EQ(second.failed, 0);
}

TEST_F(LifecycleTest, CancelFromAnotherThreadEndsTheTransferOnItsOwnThread)
{
    ScriptedHttpServer server;
    server.enqueue(Reply::pattern(50 << 20).trickle(65536, std::chrono::milliseconds(20)));
    auto request = ASIHTTPRequest::requestWithURL(server.url("/big"));
    request->startAsynchronous();
    ASSERT_TRUE(runUntilRequests(server, 1));
    std::thread([request] { request->cancel(); }).join();
    EXPECT_TRUE(request->isFinished());
    RunLoop::current()->runFor(0.2); // lets the posted tear-down run
    EXPECT_EQ(request->error()->code, ASIRequestCancelledErrorType);
}

TEST_F(LifecycleTest, CookiesSetByOneResponseGoWithTheNextRequestAndNeverIntoTheLog)
{
    std::vector<std::string> lines;
    Log::setSink([&](std::string_view l) { lines.emplace_back(l); });
    ScriptedHttpServer server;
    server.enqueue(Reply::ok("").header("Set-Cookie", "session=s3cr3t; Path=/"));
    server.enqueue(Reply::ok(""));
    server.enqueue(Reply::status(503).header("Set-Cookie", "retry=s3cr3t; Path=/").withContentLength());
    auto first = ASIHTTPRequest::requestWithURL(server.url("/login"));
    first->startSynchronous();
    auto second = ASIHTTPRequest::requestWithURL(server.url("/list"));
    second->addRequestHeader("Authorization", "Q:V:K:U");
    second->startSynchronous();
    const std::size_t afterSuccesses = lines.size();
    auto third = ASIHTTPRequest::requestWithURL(server.url("/list"));
    third->startSynchronous();
    Log::setSink({});

    EXPECT_EQ(server.requests().at(1).header("Cookie"), "session=s3cr3t");
    ASSERT_EQ(first->responseCookies().size(), 1u);
    // Headers are written down for answers that went wrong, never with a cookie's value.
    EXPECT_EQ(afterSuccesses, 0u);
    bool dumped = false;
    for (auto& l : lines) {
        EXPECT_EQ(l.find("s3cr3t"), std::string::npos) << l;
        dumped |= l.starts_with("dump header");
    }
    EXPECT_TRUE(dumped);
}

using PoolTest = EngineTest;

TEST_F(PoolTest, KeepAliveReplyLetsTheNextRequestReuseTheConnection)
{
    ScriptedHttpServer server;
    server.setHandler([](const RecordedRequest&) { return Reply::ok("k").keepAlive(15, 100); });
    auto a = ASIHTTPRequest::requestWithURL(server.url("/a"));
    a->startSynchronous();
    auto b = ASIHTTPRequest::requestWithURL(server.url("/b"));
    b->startSynchronous();
    auto r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].connectionId, r[1].connectionId);
    EXPECT_EQ(a->connectionID(), b->connectionID());
    EXPECT_TRUE(a->canUsePersistentConnection());
    EXPECT_DOUBLE_EQ(a->closeStreamTime(), 15.0);
}

TEST_F(PoolTest, ReplyWithoutEnoughKeepAliveClosesTheConnection)
{
    ScriptedHttpServer server;
    server.setHandler([](const RecordedRequest&) { return Reply::ok("k").keepAlive(15, 5); });
    auto a = ASIHTTPRequest::requestWithURL(server.url("/a"));
    a->startSynchronous();
    EXPECT_FALSE(a->canUsePersistentConnection());
    auto b = ASIHTTPRequest::requestWithURL(server.url("/b"));
    b->startSynchronous();
    auto r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NE(r[0].connectionId, r[1].connectionId);
    // The pool entry is the same idle one, its connection a new one.
    EXPECT_EQ(a->connectionID(), b->connectionID());
}

TEST_F(PoolTest, ExpiredEntriesAreClosedAndReplaced)
{
    auto now = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    ConnectionPool::shared().setClock([now] { return *now; });
    ScriptedHttpServer server;
    server.setHandler([](const RecordedRequest&) { return Reply::ok("k").keepAlive(2, 100); });
    auto a = ASIHTTPRequest::requestWithURL(server.url("/a"));
    a->startSynchronous();
    *now += std::chrono::seconds(3);
    auto b = ASIHTTPRequest::requestWithURL(server.url("/b"));
    b->startSynchronous();
    auto r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NE(r[0].connectionId, r[1].connectionId);
    EXPECT_NE(a->connectionID(), b->connectionID());
    EXPECT_EQ(ConnectionPool::shared().snapshot().size(), 1u);
}

TEST_F(PoolTest, RequestsOnTwoThreadsShareTheConnectionCache)
{
    ScriptedHttpServer server;
    server.setHandler([](const RecordedRequest&) { return Reply::ok("k").keepAlive(15, 100); });
    std::thread([&] { ASIHTTPRequest::requestWithURL(server.url("/a"))->startSynchronous(); }).join();
    std::thread([&] { ASIHTTPRequest::requestWithURL(server.url("/b"))->startSynchronous(); }).join();
    auto r = server.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].connectionId, r[1].connectionId);
}

using TlsTest = EngineTest;

TEST_F(TlsTest, SelfSignedServerIsRefusedUnlessValidationIsOffOrItsKeyIsPinned)
{
    ScriptedHttpServer server(TlsMode::SelfSigned);
    ASSERT_TRUE(server.ok()) << server.startError();
    server.setHandler([](const RecordedRequest&) { return Reply::ok("secure"); });

    auto strict = ASIHTTPRequest::requestWithURL(server.url("/"));
    strict->startSynchronous();
    ASSERT_TRUE(strict->error());
    EXPECT_EQ(strict->error()->code, ASIConnectionFailureErrorType);
    EXPECT_NE(strict->error()->description.find("SSL problem"), std::string::npos);

    auto lax = ASIHTTPRequest::requestWithURL(server.url("/"));
    lax->setValidatesSecureCertificate(false);
    lax->startSynchronous();
    EXPECT_FALSE(lax->error());
    EXPECT_EQ(body(*lax), "secure");

    auto pinned = ASIHTTPRequest::requestWithURL(server.url("/"));
    pinned->setPinnedPublicKey(server.pinnedPublicKey());
    pinned->startSynchronous();
    EXPECT_FALSE(pinned->error());
    EXPECT_EQ(body(*pinned), "secure");

    auto wrongPin = ASIHTTPRequest::requestWithURL(server.url("/"));
    wrongPin->setPinnedPublicKey("sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
    wrongPin->startSynchronous();
    ASSERT_TRUE(wrongPin->error());
    EXPECT_EQ(wrongPin->error()->code, ASIConnectionFailureErrorType);
}

using ProxyTest = EngineTest;

TEST_F(ProxyTest, ExplicitProxyCarriesTheRequestWithItsCredentials)
{
    // A proxy's refusal as a finished response is checked against a real proxy; here the exact
    // request line and credential header the proxy gets.
    ScriptedHttpServer proxy;
    proxy.enqueue(Reply::ok("via proxy"));
    auto request = ASIHTTPRequest::requestWithURL("http://storage.invalid/file");
    request->setProxyHost("127.0.0.1");
    request->setProxyPort(proxy.port());
    request->setProxyUsername("user");
    request->setProxyPassword("pw");
    request->startSynchronous();
    ASSERT_FALSE(request->error());
    EXPECT_EQ(body(*request), "via proxy");
    auto r = proxy.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].target, "http://storage.invalid/file");
    EXPECT_EQ(r[0].header("Proxy-Authorization"), "Basic dXNlcjpwdw==");
}

TEST_F(ProxyTest, AutoConfigScriptRoutesOneHostThroughTheProxyAndUnreadableScriptGoesDirect)
{
    TempDir dir;
    ScriptedHttpServer proxy;
    proxy.setHandler([](const RecordedRequest&) { return Reply::ok("proxied"); });
    ScriptedHttpServer origin;
    origin.setHandler([](const RecordedRequest&) { return Reply::ok("direct"); });
    {
        std::ofstream pac(dir.file("proxy.pac"));
        pac << "function FindProxyForURL(url, host) {\n"
               "  if (dnsDomainIs(host, \".invalid\")) return \"PROXY 127.0.0.1:"
            << proxy.port()
            << "\";\n"
               "  return \"DIRECT\";\n}\n";
    }
    auto viaProxy = ASIHTTPRequest::requestWithURL("http://files.example.invalid/x");
    viaProxy->setPACurl("file://" + dir.file("proxy.pac"));
    viaProxy->startSynchronous();
    ASSERT_FALSE(viaProxy->error()) << viaProxy->error()->description;
    EXPECT_EQ(body(*viaProxy), "proxied");

    auto direct = ASIHTTPRequest::requestWithURL(origin.url("/y"));
    direct->setPACurl("file://" + dir.file("proxy.pac"));
    direct->startSynchronous();
    EXPECT_EQ(body(*direct), "direct");

    auto unreadable = ASIHTTPRequest::requestWithURL(origin.url("/z"));
    unreadable->setPACurl("file://" + dir.file("missing.pac"));
    unreadable->startSynchronous();
    EXPECT_EQ(body(*unreadable), "direct");
    EXPECT_EQ(proxy.requestCount(), 1u);
}

} // namespace
} // namespace norvane::test
