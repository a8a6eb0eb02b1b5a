// The client beside other processes and across its own end: norvane-cli on the home of a running
// client, a download killed with kill -9 and run again, and an edited file whose upload the server
// refuses.

#include "CloudServiceSDKForMac/CloudService/PartialDownload.h"
#include "app/logic/Path.h"
#include "cli/CliRunner.h"
#include "e2e/OperationsTestFixture.h"

#include <csignal>
#include <fstream>
#include <thread>

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

class OperationsProcessesTest : public OperationsTest {
protected:
    void TearDown() override
    {
        server().clearFaults();
        OperationsTest::TearDown();
    }

    // norvane-cli on `home`, waited for.
    test::CliResult cli(const fs::path& home, std::vector<std::string> arguments, const std::string& input = {})
    {
        return startCli(home, std::move(arguments), input)->wait();
    }
    std::unique_ptr<test::CliProcess> startCli(
        const fs::path& home, std::vector<std::string> arguments, const std::string& input = {})
    {
        arguments.insert(arguments.begin(), { "--home", home.string() });
        return std::make_unique<test::CliProcess>(NORVANE_CLI_BINARY, arguments, std::map<std::string, std::string> {},
            home_ / ("run" + std::to_string(++runs_)), input);
    }
    void cliSignIn(const fs::path& home, const Account& account)
    {
        const std::string address = "127.0.0.1:" + std::to_string(server().port());
        ASSERT_EQ(cli(home, { "config", "--server", address, "--http" }).exitStatus, 0);
        const auto login
            = cli(home, { "login", account.company, account.user, "--password-stdin" }, account.password + "\n");
        ASSERT_EQ(login.exitStatus, 0) << login.err;
    }

    static bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(30))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return condition();
    }

private:
    int runs_ = 0;
};

TEST_P(OperationsProcessesTest, TheCommandLineOnTheHomeOfARunningClientClearsNothingItUses)
{
    const auto accounts = newCompany("beside", 1);
    // This client has a file open from its cache.
    const fs::path opened = home_ / "tmp" / "file_cache" / "F1" / "open.txt";
    ASSERT_TRUE(writeFile(opened, bytesOf("being edited")));
    ASSERT_TRUE(manager_->addWatchFile("/FILE/open.txt", "/FILE/open.txt", opened.string(), std::nullopt, Value()));

    cliSignIn(home_, accounts[0]);
    EXPECT_EQ(cli(home_, { "ls" }).exitStatus, 0);
    EXPECT_EQ(FileSystem::readFile(opened), bytesOf("being edited"));
}

TEST_P(OperationsProcessesTest, ADownloadKilledOnTheWayIsTakenOverBySameVersionOnlyAndLeavesNothing)
{
    const auto accounts = newCompany("killed", 1);
    Client& client = loggedIn(accounts[0]);
    const Bytes first = randomBytes(3 * kMiB + 5, 1);
    ASSERT_EQ(client.run(putMemory(first, "/FILE/big.bin"))->commandRes, ResultSuccess);
    const fs::path cliHome = home_ / "cli";
    cliSignIn(cliHome, accounts[0]);
    const fs::path folder = home_ / "work";
    fs::create_directories(folder);
    const fs::path target = folder / "big.bin";
    const fs::path partial = PartialDownload::pathFor(target);

    // Starts the download slowly and kills it once more than a chunk has arrived.
    const auto killMidway = [&] {
        expectControlOk(
            server().setFaults(R"([{"method": "GET", "path": "/FILE/big.bin", "trickleBytesPerSecond": 600000}])"),
            "fault");
        auto get = startCli(cliHome, { "get", "my:/big.bin", target.string() });
        const bool midway = waitFor([&] { return FileSystem::fileSize(partial).value_or(0) > kMiB; });
        get->signal(SIGKILL);
        get->wait();
        server().clearFaults();
        return midway && !fs::exists(target);
    };

    // Same version: the bytes held are taken over (marked here, so that it shows) and the rest
    // follows.
    ASSERT_TRUE(killMidway());
    {
        std::fstream mark(partial, std::ios::in | std::ios::out | std::ios::binary);
        mark.write("MARK", 4);
    }
    auto rerun = cli(cliHome, { "get", "my:/big.bin", target.string() });
    ASSERT_EQ(rerun.exitStatus, 0) << rerun.err;
    Bytes expected = first;
    std::copy_n("MARK", 4, expected.begin());
    EXPECT_EQ(FileSystem::readFile(target), expected);
    EXPECT_FALSE(fs::exists(partial));

    // The server file changed meanwhile: the bytes held are of another version and are dropped.
    fs::remove(target);
    ASSERT_TRUE(killMidway());
    const Bytes second = randomBytes(3 * kMiB + 5, 2);
    ASSERT_EQ(client.run(putMemory(second, "/FILE/big.bin", false))->commandRes, ResultSuccess);
    rerun = cli(cliHome, { "get", "my:/big.bin", target.string() });
    ASSERT_EQ(rerun.exitStatus, 0) << rerun.err;
    EXPECT_EQ(FileSystem::readFile(target), second);
    EXPECT_EQ(treeContent(folder).size(), 1u);
}

TEST_P(OperationsProcessesTest, AnEditTheServerRefusesIsToldKeptAndSentWithTheNextSave)
{
    const auto accounts = newCompany("unsent", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    ASSERT_EQ(uploadInto("/FOLDER", "doc.txt", bytesOf("as downloaded")), ResultSuccess);
    ASSERT_FALSE(manager_->initFileStream());
    const fileInformation entry = *listed("/FOLDER").at("doc.txt");
    const auto [downloaded, local] = collect<std::int32_t, const std::string&>(
        [&](auto done) { StorageServiceLogic::downloadFileToFile(entry, std::move(done)); });
    ASSERT_EQ(downloaded, ResultSuccess);
    ASSERT_TRUE(manager_->addWatchFile(
        entry.uk.value_or(""), entry.uk.value_or(""), local, entry.timestamp, Value(entry.editpermission)));

    expectControlOk(server().setFaults(R"([{"method": "PUT", "path": "/FILE/doc.txt", "status": 500}])"), "fault");
    ASSERT_TRUE(writeFile(local, bytesOf("edited, refused")));
    pumpUntil([&] { return !shown().empty(); });
    EXPECT_EQ(shown()[0].messageKey, "message_watch_file_upload_failed");
    EXPECT_EQ(shown()[0].detail, "\ndoc.txt");
    ASSERT_EQ(manager_->unsentEdits().size(), 1u);
    EXPECT_EQ(fetch("/FOLDER", "doc.txt"), bytesOf("as downloaded"));
    // Logout's clearing keeps the only copy of the change.
    manager_->clearCache();
    EXPECT_EQ(FileSystem::readFile(local), bytesOf("edited, refused"));

    server().clearFaults();
    ASSERT_TRUE(manager_->addWatchFile(
        entry.uk.value_or(""), entry.uk.value_or(""), local, entry.timestamp, Value(entry.editpermission)));
    ASSERT_TRUE(writeFile(local, bytesOf("edited again, sent")));
    pumpUntil([&] { return manager_->unsentEdits().empty(); });
    EXPECT_EQ(fetch("/FOLDER", "doc.txt"), bytesOf("edited again, sent"));
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Operations, OperationsProcessesTest, ::testing::Values(Scheme::Http), schemeName);
