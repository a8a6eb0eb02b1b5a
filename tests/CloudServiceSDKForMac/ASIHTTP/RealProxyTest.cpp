#include "ASIHTTPTestSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace norvane::test {
namespace {

// The first executable of that name on PATH or in /usr/sbin; empty when there is none.
std::string findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the kernel just handed out and that nobody listens on now.
int freeLoopbackPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto address = loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

bool acceptsConnections(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto address = loopback(port);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// tinyproxy in the foreground on a loopback port, asking for Basic credentials user/secret and
// tunnelling (CONNECT) only to one port. Its files live in a temporary folder of its own.
class Tinyproxy {
public:
    ~Tinyproxy() { stop(); }

    // Empty on success, else why it did not start.
    std::string start(const std::string& program, int connectPort)
    {
        char pattern[] = "/tmp/norvane-proxy-XXXXXX";
        if (!::mkdtemp(pattern))
            return "no temporary folder";
        dir_ = pattern;
        // Another process may take the free port before tinyproxy binds it: then try another.
        for (int attempt = 0; attempt < 3; ++attempt) {
            port = freeLoopbackPort();
            std::string config = dir_ + "/tinyproxy.conf";
            std::ofstream(config) << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 16\n"
                                  << "Allow 127.0.0.1\nBasicAuth user secret\nConnectPort " << connectPort << "\n"
                                  << "PidFile \"" << dir_ << "/tinyproxy.pid\"\nLogFile \"" << dir_
                                  << "/tinyproxy.log\"\nLogLevel Info\n";
            std::string configArg = config;
            char* argv[] = { const_cast<char*>(program.c_str()), const_cast<char*>("-d"), const_cast<char*>("-c"),
                configArg.data(), nullptr };
            if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0)
                return "cannot run " + program;
            for (int wait = 0; wait < 100; ++wait) {
                if (acceptsConnections(port))
                    return {};
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            stopProcess();
        }
        std::ifstream log(dir_ + "/tinyproxy.log");
        return "tinyproxy did not start listening; its log:\n"
            + std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
    }

    void stop()
    {
        stopProcess();
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
        dir_.clear();
    }

    int port = 0;

private:
    void stopProcess()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    std::string dir_;
};

class RealProxyTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        std::string program = findProgram("tinyproxy");
        ASSERT_FALSE(program.empty()) << "tinyproxy is not installed: run scripts/deps";
        ASSERT_TRUE(plain.ok() && tls.ok()) << plain.startError() << tls.startError();
        plain.setHandler([](const RecordedRequest& r) { return Reply::ok("plain " + r.target); });
        tls.setHandler([](const RecordedRequest& r) { return Reply::ok("tls " + r.target); });
        std::string why = proxy.start(program, tls.port());
        ASSERT_TRUE(why.empty()) << why;
    }
    void TearDown() override
    {
        proxy.stop();
        EngineTest::TearDown();
    }

    // A finished request through the proxy; no credentials when user is empty.
    std::shared_ptr<ASIHTTPRequest> fetch(const std::string& url, const std::string& user, const std::string& password)
    {
        auto request = ASIHTTPRequest::requestWithURL(url);
        request->setProxyHost("127.0.0.1");
        request->setProxyPort(proxy.port);
        request->setProxyUsername(user);
        request->setProxyPassword(password);
        request->setPinnedPublicKey(tls.pinnedPublicKey()); // used for https only
        request->setTimeOutSeconds(10);
        request->startSynchronous();
        return request;
    }

    ScriptedHttpServer plain;
    ScriptedHttpServer tls { TlsMode::SelfSigned };
    Tinyproxy proxy;
};

// The proxy refuses a request it cannot authenticate with an answer, which the engine hands back
// as a finished response. Without credentials that is 407; tinyproxy 1.11 answers wrong ones with
// 401 where other proxies say 407.
const auto proxyRefusal = ::testing::AnyOf(401, 407);

TEST_F(RealProxyTest, PlainTargetIsReachedOnlyWithTheRightCredentialsWhichStayAtTheProxy)
{
    auto good = fetch(plain.url("/doc?x=1"), "user", "secret");
    ASSERT_FALSE(good->error()) << good->error()->description;
    EXPECT_EQ(good->responseStatusCode(), 200);
    EXPECT_EQ(body(*good), "plain /doc?x=1");
    ASSERT_EQ(plain.requestCount(), 1u);
    auto seen = plain.requests()[0];
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.path(), "/doc");
    EXPECT_FALSE(seen.header("Proxy-Authorization"));

    auto anonymous = fetch(plain.url("/doc"), "", "");
    ASSERT_FALSE(anonymous->error()) << anonymous->error()->description;
    EXPECT_EQ(anonymous->responseStatusCode(), 407);
    EXPECT_TRUE(anonymous->responseHeader("Proxy-Authenticate"));

    auto wrong = fetch(plain.url("/doc"), "user", "wrong");
    ASSERT_FALSE(wrong->error()) << wrong->error()->description;
    EXPECT_THAT(wrong->responseStatusCode(), proxyRefusal);
    EXPECT_EQ(plain.requestCount(), 1u);
}

TEST_F(RealProxyTest, TlsTargetIsTunnelledWithTheRightCredentialsAndARefusedTunnelIsAResponse)
{
    auto good = fetch(tls.url("/secure"), "user", "secret");
    ASSERT_FALSE(good->error()) << good->error()->description;
    EXPECT_EQ(good->responseStatusCode(), 200);
    EXPECT_EQ(body(*good), "tls /secure");
    ASSERT_EQ(tls.requestCount(), 1u);
    EXPECT_EQ(tls.requests()[0].target, "/secure");
    EXPECT_FALSE(tls.requests()[0].header("Proxy-Authorization"));

    auto anonymous = fetch(tls.url("/secure"), "", "");
    ASSERT_FALSE(anonymous->error()) << anonymous->error()->description;
    EXPECT_EQ(anonymous->responseStatusCode(), 407);

    auto wrong = fetch(tls.url("/secure"), "user", "wrong");
    ASSERT_FALSE(wrong->error()) << wrong->error()->description;
    EXPECT_THAT(wrong->responseStatusCode(), proxyRefusal);
    EXPECT_EQ(tls.requestCount(), 1u);
}

} // namespace
} // namespace norvane::test
