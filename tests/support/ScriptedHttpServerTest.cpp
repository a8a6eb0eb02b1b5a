#include "support/ScriptedHttpServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace norvane::test;
using namespace std::chrono_literals;

namespace {

struct Fetch {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::vector<std::string> headerLines; // without CRLF, interim responses included
};

// One curl easy handle; consecutive fetches on it may reuse its connection.
class Client {
public:
    Client()
        : curl_(curl_easy_init())
    { }
    ~Client() { curl_easy_cleanup(curl_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    Fetch fetch(const std::string& url, const std::function<void(CURL*)>& configure = {})
    {
        Fetch result;
        curl_easy_reset(curl_);
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, 10000L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Client::onBody);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &result.body);
        curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Client::onHeader);
        curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &result.headerLines);
        if (configure)
            configure(curl_);
        result.code = curl_easy_perform(curl_);
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &result.status);
        return result;
    }

private:
    static size_t onBody(char* data, size_t size, size_t count, void* body)
    {
        static_cast<std::string*>(body)->append(data, size * count);
        return size * count;
    }
    static size_t onHeader(char* data, size_t size, size_t count, void* lines)
    {
        std::string line(data, size * count);
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
            line.resize(line.size() - 2);
        static_cast<std::vector<std::string>*>(lines)->push_back(line);
        return size * count;
    }

    CURL* curl_;
};

struct HeaderSlist {
    curl_slist* list = nullptr;
    explicit HeaderSlist(std::initializer_list<const char*> lines)
    {
        for (const char* line : lines)
            list = curl_slist_append(list, line);
    }
    ~HeaderSlist() { curl_slist_free_all(list); }
    HeaderSlist(const HeaderSlist&) = delete;
    HeaderSlist& operator=(const HeaderSlist&) = delete;
};

// A bare TCP client for what curl will not send: malformed requests, pipelining.
class RawClient {
public:
    explicit RawClient(std::uint16_t port)
        : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& bytes)
    {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Everything until the server closes (closed() then tells), or until 5 s pass.
    std::string readUntilClose()
    {
        std::string bytes;
        char buffer[4096];
        for (;;) {
            pollfd p { fd_, POLLIN, 0 };
            if (::poll(&p, 1, 5000) <= 0)
                return bytes;
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                return bytes;
            }
            bytes.append(buffer, static_cast<size_t>(n));
        }
    }
    bool closed() const { return closed_; }

private:
    int fd_;
    bool connected_ = false;
    bool closed_ = false;
};

// The first value of a header in curl's view of the response.
std::string responseHeader(const Fetch& fetch, const std::string& name)
{
    for (const auto& line : fetch.headerLines) {
        if (line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0
            && line[name.size()] == ':')
            return line.substr(name.size() + 2);
    }
    return {};
}

} // namespace

TEST(ScriptedHttpServer, RecordsTheRequestAndAnswersExactlyAsScripted)
{
    ScriptedHttpServer server;
    ASSERT_TRUE(server.ok()) << server.startError();
    server.enqueue(
        Reply::status(207).header("X-Zeta", "1").header("x-alpha", "two").withBody("payload").withContentLength());

    HeaderSlist headers { "X-Second: 2", "X-First:   1  " };
    Fetch fetch = Client().fetch(server.url("/up/load?name=a%20b"), [&](CURL* c) {
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.list);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, "hello world");
    });

    ASSERT_EQ(fetch.code, CURLE_OK);
    EXPECT_EQ(fetch.headerLines,
        (std::vector<std::string> {
            "HTTP/1.1 207 Multi-Status", "X-Zeta: 1", "x-alpha: two", "Content-Length: 7", "" }));
    EXPECT_EQ(fetch.body, "payload");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& request = requests.front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/up/load?name=a%20b");
    EXPECT_EQ(request.path(), "/up/load");
    EXPECT_EQ(request.query(), "name=a%20b");
    EXPECT_EQ(request.version, "HTTP/1.1");
    EXPECT_EQ(request.body, "hello world");
    EXPECT_EQ(request.bodyMd5, "5eb63bbbe01eeed093cb22bb8f5acdc3");
    EXPECT_EQ(request.header("x-first"), "1");
    EXPECT_EQ(request.header("Content-Length"), "11");
    auto names = request.headerNames();
    auto second = std::find(names.begin(), names.end(), "X-Second");
    auto first = std::find(names.begin(), names.end(), "X-First");
    ASSERT_NE(second, names.end());
    EXPECT_LT(second, first) << "header order must be the order on the wire";
    EXPECT_EQ(request.rawHead.rfind("POST /up/load?name=a%20b HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(request.rawHead.find("\r\nX-First:   1  \r\n"), std::string::npos);
    EXPECT_EQ(request.rawHead.substr(request.rawHead.size() - 4), "\r\n\r\n");
}

TEST(ScriptedHttpServer, ChoosesTargetedQueuedHandledOrUnscriptedReplies)
{
    ScriptedHttpServer server;
    ASSERT_TRUE(server.ok()) << server.startError();
    server.enqueue("/t", Reply::status(201));
    server.enqueue(Reply::status(202));
    server.setHandler([](const RecordedRequest& request) {
        if (request.path() == "/throw")
            throw std::runtime_error("scripted failure");
        return Reply::status(203).withContentLength();
    });

    Client client;
    EXPECT_EQ(client.fetch(server.url("/t?x=1")).status, 201);
    EXPECT_EQ(client.fetch(server.url("/t")).status, 202);
    EXPECT_EQ(client.fetch(server.url("/t")).status, 203);
    EXPECT_EQ(client.fetch(server.url("/throw")).status, 500);
    EXPECT_EQ(server.rejections().size(), 1u);
    server.setHandler(nullptr);
    Fetch unscripted = client.fetch(server.url("/nothing"));
    EXPECT_EQ(unscripted.status, 500);
    EXPECT_EQ(unscripted.body, "no reply scripted for GET /nothing");
    EXPECT_EQ(server.unscriptedCount(), 1u);
}

TEST(ScriptedHttpServer, KeepsConnectionsUntilAReplyOrTheServerClosesThem)
{
    ScriptedHttpServer server;
    ASSERT_TRUE(server.ok()) << server.startError();
    server.enqueue(Reply::ok("a"));
    server.enqueue(Reply::ok("b").closing());
    server.enqueue(Reply::ok("c"));
    server.enqueue(Reply::ok("d"));

    Client client;
    for (const char* expected : { "a", "b", "c" })
        EXPECT_EQ(client.fetch(server.url("/")).body, expected);
    // Wait until the third connection is back waiting for a request, then let it go stale.
    for (int i = 0; i < 500 && server.idleConnectionCount() == 0; ++i)
        std::this_thread::sleep_for(10ms);
    server.closeIdleConnections();
    EXPECT_EQ(client.fetch(server.url("/")).body, "d");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].connectionId, requests[1].connectionId);
    EXPECT_EQ(requests[1].indexOnConnection, 1u);
    EXPECT_NE(requests[2].connectionId, requests[1].connectionId);
    EXPECT_EQ(requests[2].indexOnConnection, 0u);
    EXPECT_NE(requests[3].connectionId, requests[2].connectionId);
    EXPECT_EQ(server.connectionCount(), 3u);
}

TEST(ScriptedHttpServer, RefusesMalformedRequestsAndKeepsServing)
{
    ScriptedHttpServer server;
    ASSERT_TRUE(server.ok()) << server.startError();
    struct Case {
        std::string bytes;
        std::string status;
    };
    const std::vector<Case> cases = {
        { "GARBAGE\r\n\r\n", "HTTP/1.1 400 " },
        { "GET / HTTP/1.1\nHost: x\n\n", "HTTP/1.1 400 " },
        { "GET / HTTP/1.1\r\nHost : x\r\n\r\n", "HTTP/1.1 400 " },
        { "GET / HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", "HTTP/1.1 400 " },
        { "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 " },
        { "GET / HTTP/2.0\r\nHost: x\r\n\r\n", "HTTP/1.1 400 " },
        { "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 400 " },
        { "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", "HTTP/1.1 400 " },
        { "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "HTTP/1.1 400 " },
        { "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFF\r\n", "HTTP/1.1 400 " },
        { "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(70000, 'b') + "\r\n\r\n", "HTTP/1.1 431 " },
    };
    for (const auto& c : cases) {
        RawClient raw(server.port());
        ASSERT_TRUE(raw.connected());
        raw.send(c.bytes);
        std::string answer = raw.readUntilClose();
        EXPECT_EQ(answer.rfind(c.status, 0), 0u) << c.bytes << " -> " << answer;
        EXPECT_TRUE(raw.closed()) << c.bytes;
    }
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(server.rejections().size(), cases.size());

    server.enqueue(Reply::ok("still here"));
    EXPECT_EQ(Client().fetch(server.url("/")).body, "still here");
}

TEST(ScriptedHttpServer, ChunkedUploadsGetTheirContinueAndLargeBodiesKeepOnlyTheirDigest)
{
    ScriptedHttpServer server;
    ASSERT_TRUE(server.ok()) << server.startError();
    constexpr std::size_t size = 256 * 1024 + 17;
    const std::string expected = patternBytes(0, size);
    server.enqueue(Reply::status(201).withContentLength());
    server.enqueue(Reply::status(201).withContentLength());

    Client client;

    // A chunked upload that first waits for "100 Continue".
    std::size_t sent = 0;
    auto readBody = +[](char* out, size_t size1, size_t count, void* state) -> size_t {
        auto* s = static_cast<std::pair<const std::string*, std::size_t*>*>(state);
        size_t n = std::min(size1 * count, s->first->size() - *s->second);
        std::memcpy(out, s->first->data() + *s->second, n);
        *s->second += n;
        return n;
    };
    std::pair<const std::string*, std::size_t*> state { &expected, &sent };
    HeaderSlist headers { "Expect: 100-continue", "Transfer-Encoding: chunked" };
    Fetch upload = client.fetch(server.url("/up"), [&](CURL* c) {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.list);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(c, CURLOPT_READDATA, &state);
        curl_easy_setopt(c, CURLOPT_EXPECT_100_TIMEOUT_MS, 20000L);
    });
    EXPECT_EQ(upload.code, CURLE_OK);
    EXPECT_EQ(upload.status, 201);
    ASSERT_FALSE(upload.headerLines.empty());
    EXPECT_EQ(upload.headerLines.front(), "HTTP/1.1 100 Continue");

    // Above the keep limit only size and digest stay.
    server.setBodyKeepLimit(1024);
    Fetch sized = client.fetch(server.url("/up2"), [&](CURL* c) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, 100000L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, expected.data());
    });
    EXPECT_EQ(sized.status, 201);

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const RecordedRequest& chunked = requests[0];
    EXPECT_TRUE(chunked.chunked);
    EXPECT_TRUE(chunked.continueSent);
    EXPECT_TRUE(chunked.bodyComplete);
    EXPECT_EQ(chunked.bodySize, size);
    EXPECT_TRUE(chunked.body == expected);
    const RecordedRequest& digestOnly = requests[1];
    EXPECT_FALSE(digestOnly.bodyKept);
    EXPECT_TRUE(digestOnly.body.empty());
    EXPECT_EQ(digestOnly.bodySize, 100000u);
    EXPECT_EQ(digestOnly.bodyMd5, md5Hex(std::string_view(expected).substr(0, 100000)));
}

TEST(ScriptedHttpServer, FaultRepliesBreakTheTransferAsAsked)
{
    ScriptedHttpServer server;
    ASSERT_TRUE(server.ok()) << server.startError();
    const std::string body = patternBytes(0, 1000);
    server.enqueue(Reply::ok(body).dropAfterBody(300));
    server.enqueue(Reply::hangUp());
    server.enqueue(Reply::silence());

    Client client;
    Fetch truncated = client.fetch(server.url("/truncated"));
    EXPECT_EQ(truncated.code, CURLE_PARTIAL_FILE);
    EXPECT_EQ(truncated.body, body.substr(0, 300));

    EXPECT_EQ(client.fetch(server.url("/nothing")).code, CURLE_GOT_NOTHING);

    Fetch silent = client.fetch(server.url("/silent"), [](CURL* c) { curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 400L); });
    EXPECT_EQ(silent.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST(ScriptedHttpServer, StopsWhileConnectionsAreSilentTricklingOrIdle)
{
    auto server = std::make_unique<ScriptedHttpServer>();
    ASSERT_TRUE(server->ok()) << server->startError();
    server->enqueue("/slow", Reply::ok("xyz").trickle(1, 60s));
    server->enqueue("/silent", Reply::silence());
    RawClient slow(server->port());
    RawClient silent(server->port());
    RawClient idle(server->port());
    slow.send("GET /slow HTTP/1.1\r\nHost: x\r\n\r\n");
    silent.send("GET /silent HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(server->waitForRequests(2, 5s));

    auto stopped = std::async(std::launch::async, [&] { server.reset(); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready) << "stopping hung";
    std::string partial = slow.readUntilClose();
    EXPECT_TRUE(slow.closed());
    EXPECT_EQ(partial.find("\r\n\r\nxyz"), std::string::npos) << "the trickle must have been cut short";
    silent.readUntilClose();
    EXPECT_TRUE(silent.closed());
}

TEST(ScriptedHttpServer, RangeHelperServesPartialContent)
{
    ScriptedHttpServer server;
    ASSERT_TRUE(server.ok()) << server.startError();
    const std::string content = patternBytes(0, 10000);
    server.setHandler([&](const RecordedRequest& request) { return Reply::range(request, content); });
    auto range = [](const char* spec) { return [spec](CURL* c) { curl_easy_setopt(c, CURLOPT_RANGE, spec); }; };

    Client client;
    Fetch middle = client.fetch(server.url("/file"), range("100-199"));
    EXPECT_EQ(middle.status, 206);
    EXPECT_EQ(responseHeader(middle, "Content-Range"), "bytes 100-199/10000");
    EXPECT_TRUE(middle.body == content.substr(100, 100));

    Fetch resumed = client.fetch(server.url("/file"),
        [](CURL* c) { curl_easy_setopt(c, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(9000)); });
    EXPECT_EQ(resumed.status, 206);
    EXPECT_TRUE(resumed.body == content.substr(9000));
    EXPECT_EQ(server.requests().back().header("Range"), "bytes=9000-");

    Fetch beyond = client.fetch(server.url("/file"), range("20000-"));
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(responseHeader(beyond, "Content-Range"), "bytes */10000");
}

TEST(ScriptedHttpServer, ServesTlsWithAGeneratedCertificate)
{
    ScriptedHttpServer server(TlsMode::SelfSigned);
    ASSERT_TRUE(server.ok()) << server.startError();
    ASSERT_EQ(server.baseUrl().rfind("https://127.0.0.1:", 0), 0u);
    server.setHandler([](const RecordedRequest&) { return Reply::ok("secure"); });
    Client client;

    EXPECT_EQ(client.fetch(server.url("/")).code, CURLE_PEER_FAILED_VERIFICATION);

    auto pinned = [](std::string pin) {
        return [pin](CURL* c) {
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
            if (!pin.empty())
                curl_easy_setopt(c, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
        };
    };
    EXPECT_EQ(client.fetch(server.url("/"), pinned(server.pinnedPublicKey())).code, CURLE_OK);
    EXPECT_EQ(client.fetch(server.url("/"), pinned("sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")).code,
        CURLE_SSL_PINNEDPUBKEYNOTMATCH);
    Fetch unverified = client.fetch(server.url("/x"), pinned(""));
    EXPECT_EQ(unverified.code, CURLE_OK);
    EXPECT_EQ(unverified.body, "secure");
    EXPECT_EQ(server.requests().back().target, "/x");
}
