// The front end on an ephemeral loopback port, spoken to with plain sockets: what goes over the
// wire is exactly what the test wrote.

#include "StoreFixture.h"

#include "server/http/FaultRules.h"
#include "server/http/HttpFrontEnd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

namespace norvane::server::testing {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Answer {
    int status = 0; // 0: the connection ended without an answer
    std::map<std::string, std::string> headers; // lower-case names
    std::string body;
    bool cutShort = false; // fewer body bytes than Content-Length announced

    std::string header(const std::string& name) const
    {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

class Wire {
public:
    explicit Wire(int port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout { 10, 0 };
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~Wire() { ::close(fd_); }
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    void send(
        const std::string& method, const std::string& target, const Headers& headers = {}, const std::string& body = {})
    {
        std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (const auto& [name, value] : headers)
            text += name + ": " + value + "\r\n";
        if (!body.empty() || method == "POST" || method == "PUT")
            text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        text += "\r\n" + body;
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
    }

    Answer receive()
    {
        Answer answer;
        std::size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!more())
                return answer;
        }
        std::istringstream head(buffer_.substr(0, headEnd));
        buffer_.erase(0, headEnd + 4);
        std::string line;
        std::getline(head, line);
        answer.status = std::atoi(line.substr(9, 3).c_str());
        while (std::getline(head, line)) {
            auto colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = line.substr(0, colon);
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (!value.empty() && value.back() == '\r')
                value.pop_back();
            answer.headers[name] = value;
        }
        const std::size_t length
            = std::stoul(answer.header("content-length").empty() ? "0" : answer.header("content-length"));
        while (buffer_.size() < length) {
            if (!more()) {
                answer.cutShort = true;
                break;
            }
        }
        answer.body = buffer_.substr(0, std::min(length, buffer_.size()));
        buffer_.erase(0, answer.body.size());
        return answer;
    }

    // True when the peer closed the connection without sending anything more.
    bool closedByPeer()
    {
        char c = 0;
        return buffer_.empty() && ::recv(fd_, &c, 1, 0) == 0;
    }

private:
    bool more()
    {
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buffer_;
};

std::string md5Hex(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < size; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}

std::string between(const std::string& text, const std::string& open, const std::string& close)
{
    auto from = text.find(open);
    if (from == std::string::npos)
        return {};
    from += open.size();
    return text.substr(from, text.find(close, from) - from);
}

class HttpFrontEndTest : public StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        FrontEndSettings settings;
        settings.controlToken = "test-token";
        settings.noAnswerHold = std::chrono::milliseconds(300);
        frontEnd = std::make_unique<HttpFrontEnd>(*store, faults, settings);
        auto failure = frontEnd->start();
        ASSERT_FALSE(failure) << failure->description;
    }

    void TearDown() override
    {
        frontEnd.reset();
        StoreFixture::TearDown();
    }

    Answer call(
        const std::string& method, const std::string& target, const Headers& headers = {}, const std::string& body = {})
    {
        Wire wire(frontEnd->port());
        wire.send(method, target, headers, body);
        return wire.receive();
    }

    Answer login(const std::string& user, const std::string& password, const std::string& device = "dev-1")
    {
        return call("GET", "/Storage9/QORPrivateStorage/account/" + user,
            { { "Authorization", "ZEL 3f0a9c27d41e8b65c0d2e" }, { "KigyoCode", "acme" }, { "UserPassWord", password },
                { "X-Device-Id", device } });
    }

    // The authorization value of a fresh session of the user.
    std::string session(const std::string& user)
    {
        const Answer answer = login(user, user + "-secret");
        EXPECT_EQ(answer.status, 200) << answer.body;
        return between(answer.body, "<QorID>", "</QorID>") + ":" + between(answer.body, "<VarID>", "</VarID>") + ":"
            + between(answer.body, "<KigyoID>", "</KigyoID>") + ":" + between(answer.body, "<UserKey>", "</UserKey>");
    }

    Answer as(const std::string& authorization, const std::string& method, const std::string& target,
        Headers headers = {}, const std::string& body = {})
    {
        headers.emplace_back("Authorization", authorization);
        return call(method, target, headers, body);
    }

    FaultRules faults;
    std::unique_ptr<HttpFrontEnd> frontEnd;
};

TEST_F(HttpFrontEndTest, LoginOpensASessionThatStorageRequestsMustNameAndThatIsCheckedEachTime)
{
    EXPECT_EQ(call("GET", "/FOLDER").status, 401);
    const Answer noSession = call("GET", "/FOLDER", { { "Authorization", "a:b:1:c" } });
    EXPECT_EQ(noSession.status, 401);
    EXPECT_TRUE(noSession.body.empty()) << "a request without a session gets no body";

    const Answer wrong = login("alice", "guess");
    EXPECT_EQ(wrong.status, 400);
    EXPECT_NE(wrong.body.find("<Code>PE001</Code>"), std::string::npos);
    EXPECT_EQ(call("GET", "/Storage9/QORPrivateStorage/account/alice",
                  { { "Authorization", "ZEL 0" }, { "KigyoCode", "acme" }, { "UserPassWord", "alice-secret" } })
                  .status,
        400);

    const std::string auth = session("alice");
    const Answer root = as(auth, "GET", "/FOLDER");
    EXPECT_EQ(root.status, 200);
    EXPECT_NE(root.body.find("<Name>Photos</Name>"), std::string::npos) << root.body;
    EXPECT_EQ(root.header("x-zel-storage"), "0/0");
    EXPECT_TRUE(root.headers.contains("x-zel-informationseq"));
    EXPECT_EQ(as(auth, "GET", "/FOLDER/Nowhere").status, 404);

    // The account and the device are looked at again on every request.
    Company strict = company;
    strict.requireDevice = true;
    ASSERT_TRUE(store->updateCompany(strict));
    const Answer unregistered = as(auth, "GET", "/FOLDER");
    EXPECT_EQ(unregistered.status, 401);
    EXPECT_NE(unregistered.body.find("<Code>Device not authorized</Code>"), std::string::npos);
    EXPECT_EQ(login("alice", "alice-secret").status, 401);
    ASSERT_TRUE(store->registerDevice(alice.id, "dev-1"));
    EXPECT_EQ(as(auth, "GET", "/FOLDER").status, 200);

    ASSERT_TRUE(store->setSuspended(alice.id, true));
    const Answer suspended = as(auth, "GET", "/FOLDER");
    EXPECT_EQ(suspended.status, 403);
    EXPECT_NE(suspended.body.find("<Code>SuspendAccount</Code>"), std::string::npos);
    EXPECT_NE(login("alice", "alice-secret").body.find("<Code>PE006</Code>"), std::string::npos);
}

TEST_F(HttpFrontEndTest, RangesAreAnsweredByTheFrontEndWithTheEndHeldAtTheLastByte)
{
    std::string content(700'000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + (i * 7) % 26);
    put(alice, mine(alice), { "Memo", "big.txt" }, content);
    put(alice, mine(alice), { "Memo", "empty.txt" }, "");
    const std::string auth = session("alice");

    const Answer whole = as(auth, "GET", "/FILE/Memo/big.txt");
    EXPECT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.body == content);

    const Answer middle = as(auth, "GET", "/FILE/Memo/big.txt", { { "range", "bytes=200000-500001" } });
    EXPECT_EQ(middle.status, 206);
    EXPECT_EQ(middle.header("content-range"), "bytes 200000-500001/700000");
    EXPECT_TRUE(middle.body == content.substr(200000, 300002));

    const Answer tail = as(auth, "GET", "/FILE/Memo/big.txt", { { "Range", "bytes=699990-1048575" } });
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.header("content-length"), "10");
    EXPECT_EQ(tail.header("content-range"), "bytes 699990-699999/700000");
    EXPECT_EQ(tail.body, content.substr(699990));

    const Answer past = as(auth, "GET", "/FILE/Memo/big.txt", { { "range", "bytes=700000-1748575" } });
    EXPECT_EQ(past.status, 416);
    EXPECT_EQ(past.header("content-range"), "bytes */700000");
    EXPECT_TRUE(past.body.empty());

    const Answer empty = as(auth, "GET", "/FILE/Memo/empty.txt", { { "range", "bytes=0-1048575" } });
    EXPECT_EQ(empty.status, 200);
    EXPECT_TRUE(empty.body.empty());

    // The connection probe's bare range, which httplib alone would refuse.
    const Answer probe = call("GET", "/Version", { { "range", "0-1048576" } });
    EXPECT_EQ(probe.status, 206);
    EXPECT_NE(probe.body.find("<version>norvane-server"), std::string::npos);

    const Answer listing = as(auth, "GET", "/FOLDER/Memo", { { "range", "bytes=0-9" } });
    EXPECT_EQ(listing.status, 206);
    EXPECT_EQ(listing.body, "<?xml vers");

    EXPECT_EQ(
        as(auth, "GET", "/FILE/Memo/big.txt", { { "If-Modified-Since", "Fri, 01 Jan 2100 00:00:00 GMT" } }).status,
        304);
    EXPECT_EQ(
        as(auth, "GET", "/FILE/Memo/big.txt", { { "If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT" } }).status,
        200);
}

TEST_F(HttpFrontEndTest, TargetsThatLeaveTheirFolderAreRefusedBeforeAnythingElse)
{
    put(alice, mine(alice), { "Memo", "a.txt" }, "secret");
    const std::string auth = session("alice");
    for (const std::string target : { "/FILE/Memo/../../../etc/passwd", "/FILE/Memo/..", "/FOLDER/%2e%2e",
             "/FILE/Memo%2Fa.txt", "/FILE/Memo%2fa.txt", "/FILE/..%5C..%5Ca.txt", "/FILE/Memo/a.txt%00.jpg",
             "/FILE/Memo//a.txt", "/FILE/Memo/a%252Fb?thumbnail=10x10", "/FILE/Memo/%0d%0aX:%20y" }) {
        for (const std::string& authorization : { auth, std::string() }) {
            const Answer answer = authorization.empty() ? call("GET", target) : as(auth, "GET", target);
            EXPECT_EQ(answer.status, 400) << target;
            EXPECT_NE(answer.body.find("<Code>InvalidArgument</Code>"), std::string::npos) << target;
        }
        EXPECT_EQ(as(auth, "DELETE", target).status, 400) << target;
    }
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/a.txt").body, "secret");
}

TEST_F(HttpFrontEndTest, UploadsResumeAtTheOffsetTheServerHolds)
{
    const std::string auth = session("alice");
    std::string content(300'000, 'x');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 31 % 251);
    const std::string md5 = md5Hex(content);
    const std::string target = "/FILE/Memo/up.bin?md5=" + md5 + "&size=300000";

    EXPECT_EQ(
        as(auth, "POST", target, { { "x-zel-file-write-range", "0-99999" } }, content.substr(0, 100000)).status, 200);
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/up.bin?md5=" + md5).body.find("<offset>100000</offset>") != std::string::npos,
        true);

    // A chunk from elsewhere is refused with the offset to go on from; the connection stays usable.
    Wire wire(frontEnd->port());
    wire.send("POST", target, { { "Authorization", auth }, { "x-zel-file-write-range", "200000-299999" } },
        content.substr(200000));
    const Answer refused = wire.receive();
    EXPECT_EQ(refused.status, 416);
    EXPECT_EQ(refused.header("x-zel-offset-in-database"), "100000");
    wire.send("POST", target, { { "Authorization", auth }, { "x-zel-file-write-range", "100000-299999" } },
        content.substr(100000));
    EXPECT_EQ(wire.receive().status, 200);
    EXPECT_TRUE(as(auth, "GET", "/FILE/Memo/up.bin").body == content);

    // A chunk whose body is not its range, and a file whose bytes are not its digest.
    EXPECT_EQ(as(auth, "POST", "/FILE/Memo/b.bin?md5=" + md5Hex("abc") + "&size=3",
                  { { "x-zel-file-write-range", "0-2" } }, "ab")
                  .status,
        400);
    const Answer mismatch = as(auth, "POST", "/FILE/Memo/b.bin?md5=" + md5Hex("abc") + "&size=3",
        { { "x-zel-file-write-range", "0-2" } }, "abd");
    EXPECT_EQ(mismatch.status, 400);
    EXPECT_NE(mismatch.body.find("<Code>InvalidArgument</Code>"), std::string::npos);
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/b.bin").status, 404);

    EXPECT_EQ(as(auth, "PUT", "/FILE/Memo/none.bin?md5=" + md5Hex("abc") + "&size=3",
                  { { "x-zel-file-write-range", "0-2" } }, "abc")
                  .status,
        410);
    EXPECT_EQ(as(auth, "POST", "/FILE/NoFolder/x.bin?md5=" + md5Hex("abc") + "&size=3",
                  { { "x-zel-file-write-range", "0-2" } }, "abc")
                  .status,
        404);
    EXPECT_EQ(as(auth, "POST", "/FILE/Memo/empty.bin?md5=" + md5Hex("") + "&size=0").status, 200);
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/empty.bin").status, 200);
}

TEST_F(HttpFrontEndTest, CopiesAndFoldersRefuseTakenNamesUnlessOverwriteIsAsked)
{
    put(alice, mine(alice), { "Memo", "a.txt" }, "one");
    const std::string auth = session("alice");
    EXPECT_EQ(as(auth, "PUT", "/FOLDER/Photos", { { "x-zel-copy-src", "/FILE/Memo/a.txt" } }).status, 200);
    const Answer again = as(auth, "PUT", "/FOLDER/Photos", { { "x-zel-copy-src", "%2FFILE%2FMemo%2Fa%2Etxt" } });
    EXPECT_EQ(again.status, 409);
    EXPECT_NE(again.body.find("<Code>FileExists</Code>"), std::string::npos);
    EXPECT_EQ(
        as(auth, "PUT", "/FOLDER/Photos", { { "x-zel-copy-src", "/FILE/Memo/a.txt" }, { "x-zel-uptype", "0" } }).status,
        200);
    EXPECT_EQ(as(auth, "GET", "/FILE/Photos/a.txt").body, "one");
    EXPECT_EQ(as(auth, "PUT", "/FOLDER/Photos", { { "x-zel-copy-src", "/FILE/Memo/../a.txt" } }).status, 400);

    EXPECT_EQ(as(auth, "POST", "/FOLDER/Trip", { { "x-zel-app-type", "folder" } }).status, 200);
    const Answer taken = as(auth, "POST", "/FOLDER/Trip", { { "x-zel-app-type", "folder" } });
    EXPECT_EQ(taken.status, 409);
    EXPECT_NE(taken.body.find("<Code>FileExists</Code>"), std::string::npos);
}

TEST_F(HttpFrontEndTest, FaultRulesAnswerForTheHandlerCutBodiesAndHoldRequests)
{
    put(alice, mine(alice), { "Memo", "big.bin" }, std::string(600'000, 'z'));
    const std::string auth = session("alice");
    ASSERT_FALSE(faults.replaceFromJson(R"([
        {"method": "GET", "path": "/FILE/Memo/big.bin", "times": 1, "status": 503, "body": "busy"},
        {"method": "GET", "path": "/FILE/Memo/big.bin", "times": 1, "dropAfterBytes": 1000},
        {"method": "GET", "path": "/FOLDER/Memo", "times": 1, "noAnswer": true},
        {"method": "POST", "path": "/FILE/Memo/*", "times": 1, "offset416": 12}
    ])"));

    const Answer busy = as(auth, "GET", "/FILE/Memo/big.bin");
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.body, "busy");

    const Answer cut = as(auth, "GET", "/FILE/Memo/big.bin");
    EXPECT_EQ(cut.status, 200);
    EXPECT_EQ(cut.header("content-length"), "600000");
    EXPECT_TRUE(cut.cutShort);
    EXPECT_EQ(cut.body.size(), 1000u);

    Wire held(frontEnd->port());
    held.send("GET", "/FOLDER/Memo", { { "Authorization", auth } });
    EXPECT_TRUE(held.closedByPeer()) << "a held request is never answered";

    const Answer refused = as(
        auth, "POST", "/FILE/Memo/x?md5=" + md5Hex("abc") + "&size=3", { { "x-zel-file-write-range", "0-2" } }, "abc");
    EXPECT_EQ(refused.status, 416);
    EXPECT_EQ(refused.header("x-zel-offset-in-database"), "12");

    // Every rule is used up: the requests are served again.
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/big.bin").body.size(), 600000u);
    EXPECT_EQ(as(auth, "GET", "/FOLDER/Memo").status, 200);
}

TEST_F(HttpFrontEndTest, ControlEndpointNeedsItsToken)
{
    const std::string user = R"({"company": "newco", "user": "dana", "fullName": "Dana D", "password": "pw"})";
    EXPECT_EQ(call("POST", "/_control/users", {}, user).status, 403);
    EXPECT_EQ(call("POST", "/_control/users", { { "X-Control-Token", "test-tokeN" } }, user).status, 403);
    EXPECT_EQ(call("POST", "/_control/users", { { "X-Control-Token", "test-token" } }, user).status, 200);
    EXPECT_EQ(call("POST", "/_control/users", { { "X-Control-Token", "test-token" } }, "{not json").status, 400);
    const Answer dana = call("GET", "/Storage9/QORPrivateStorage/account/dana",
        { { "Authorization", "ZEL 3f0a9c27d41e8b65c0d2e" }, { "KigyoCode", "newco" }, { "UserPassWord", "pw" } });
    EXPECT_EQ(dana.status, 200);
    EXPECT_EQ(between(dana.body, "<UserName>", "</UserName>"), "Dana D");
}

} // namespace
} // namespace norvane::server::testing
