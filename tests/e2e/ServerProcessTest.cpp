// The server fixture itself: it reads the announcement, gives up on a server that never makes one
// instead of hanging, and leaves no process and no folder behind.

#include "e2e/ServerProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace norvane::test {
namespace {

// No child of this process is left, running or unreaped.
bool noChildLeft()
{
    return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

class ServerProcessWithScript : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "norvane-fixture-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // An executable shell script standing in for the server.
    std::string script(const std::string& name, const std::string& body)
    {
        const auto path = folder_ / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0700);
        return path.string();
    }

    std::filesystem::path folder_;
};

TEST_F(ServerProcessWithScript, AServerThatNeverAnnouncesItselfIsGivenUpAndKilled)
{
    ServerProcess::Options options;
    options.binary = script("silent", "echo starting; exec sleep 60");
    options.startTimeout = std::chrono::milliseconds(300);
    ServerProcess silent(options);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(silent.start());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_NE(silent.error().find("did not announce"), std::string::npos) << silent.error();
    EXPECT_FALSE(silent.running());
    EXPECT_TRUE(noChildLeft());

    options.binary = script("failing", "echo 'cannot open the database' >&2; exit 3");
    ServerProcess failing(options);
    EXPECT_FALSE(failing.start());
    EXPECT_NE(failing.error().find("exited"), std::string::npos) << failing.error();
    EXPECT_NE(failing.error().find("cannot open the database"), std::string::npos) << "the log is in the error";
    EXPECT_TRUE(noChildLeft());
}

TEST_F(ServerProcessWithScript, AnnouncementLinesAreReadWhateverFollowsThem)
{
    ServerProcess::Options options;
    options.tls = true;
    options.demo = true;
    // Everything the server prints, then output that nobody reads any more.
    options.binary = script("chatty",
        "echo 'listening https://127.0.0.1:4711'\n"
        "echo 'pin sha256//AAAAbase64='\n"
        "echo 'demo ACME taro secret1'\n"
        "echo 'demo ACME hanako secret2'\n"
        "echo 'control-token tok123'\n"
        "i=0; while [ $i -lt 2000 ]; do echo 'a line of later output that fills the pipe'; i=$((i+1)); done\n"
        "touch \"$0.done\"; exec sleep 60");
    const std::string dataDir = [&] {
        ServerProcess chatty(options);
        EXPECT_TRUE(chatty.start()) << chatty.error();
        EXPECT_EQ(chatty.url(), "https://127.0.0.1:4711");
        EXPECT_EQ(chatty.port(), 4711);
        EXPECT_EQ(chatty.pin(), "sha256//AAAAbase64=");
        EXPECT_EQ(chatty.controlToken(), "tok123");
        EXPECT_EQ(chatty.demoAccounts().size(), 2u);
        if (chatty.demoAccounts().size() == 2) {
            EXPECT_EQ(chatty.demoAccounts()[1].user, "hanako");
            EXPECT_EQ(chatty.demoAccounts()[1].password, "secret2");
        }
        EXPECT_TRUE(std::filesystem::is_directory(chatty.dataDir()));
        // The later output (more than a pipe holds) is read away, so the server never stalls on it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!std::filesystem::exists(folder_ / "chatty.done") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(std::filesystem::exists(folder_ / "chatty.done"));
        // A script ignores SIGTERM only when asked to; sleep does not, so this is a clean stop.
        chatty.stop();
        EXPECT_EQ(chatty.lastExitStatus(), 128 + SIGTERM);
        return chatty.dataDir().string();
    }();
    EXPECT_FALSE(std::filesystem::exists(dataDir)) << "the folder goes with the fixture";
    EXPECT_TRUE(noChildLeft());
}

TEST_F(ServerProcessWithScript, AServerThatIgnoresSigtermIsKilledAfterTheGrace)
{
    ServerProcess::Options options;
    options.binary = script("stubborn",
        "trap '' TERM\n"
        "echo 'listening http://127.0.0.1:4712'\n"
        "echo 'control-token t'\n"
        "while true; do sleep 1; done");
    options.stopTimeout = std::chrono::milliseconds(200);
    ServerProcess stubborn(options);
    ASSERT_TRUE(stubborn.start()) << stubborn.error();
    stubborn.stop();
    EXPECT_EQ(stubborn.lastExitStatus(), 128 + SIGKILL);
    EXPECT_FALSE(stubborn.running());
}

TEST(ServerProcessTest, RealServerStartsAnswersAndStopsCleanly)
{
    std::filesystem::path dataDir;
    {
        ServerProcess server;
        ASSERT_TRUE(server.start()) << server.error();
        dataDir = server.dataDir();
        EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(server.port()));
        auto version = server.request("GET", "/Version");
        EXPECT_EQ(version.status, 200) << version.error;
        EXPECT_NE(version.body.find("<version>"), std::string::npos) << version.body;
        EXPECT_GT(server.peakResidentKiB(), 0);

        // The control endpoint wants its token.
        auto refused = server.request("DELETE", "/_control/faults", { { "X-Control-Token", "wrong" } });
        EXPECT_EQ(refused.status / 100, 4) << refused.status;
        EXPECT_EQ(server.clearFaults().status / 100, 2);

        const int port = server.port();
        ASSERT_TRUE(server.restart()) << server.error();
        EXPECT_EQ(server.port(), port) << "a restart keeps the port";
        EXPECT_EQ(server.dataDir(), dataDir);
        EXPECT_EQ(server.request("GET", "/Version").status, 200);
        server.stop();
        EXPECT_EQ(server.lastExitStatus(), 0) << server.log();
    }
    EXPECT_FALSE(std::filesystem::exists(dataDir));
    EXPECT_TRUE(noChildLeft());
}

TEST(ServerProcessTest, DemoAccountsAreAnnounced)
{
    ServerProcess::Options options;
    options.demo = true;
    options.tls = true;
    ServerProcess server(options);
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_EQ(server.url().rfind("https://127.0.0.1:", 0), 0u) << server.url();
    EXPECT_EQ(server.pin().rfind("sha256//", 0), 0u) << server.pin();
    ASSERT_FALSE(server.demoAccounts().empty());
    const auto& account = server.demoAccounts().front();
    auto login = server.request("GET", "/Storage9/QORPrivateStorage/account/" + account.user,
        { { "Authorization", "ZEL 3f0a9c27d41e8b65c0d2e" }, { "KigyoCode", account.company },
            { "UserPassWord", account.password }, { "X-Device-Id", "dc09DEMO" } });
    EXPECT_EQ(login.status, 200) << login.body;
    EXPECT_NE(login.body.find("<UserKey>"), std::string::npos) << login.body;
    // The pin is checked: a wrong one refuses the connection.
    auto wrongPin
        = httpRequest("GET", server.url() + "/Version", {}, {}, "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
    EXPECT_EQ(wrongPin.status, 0);
    EXPECT_FALSE(wrongPin.error.empty());
}

} // namespace
} // namespace norvane::test
