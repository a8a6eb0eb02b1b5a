#pragma once

// The fixture of the norvane-cli end-to-end tests: one norvane-server for the suite; each test
// signs up a company of its own and keeps its settings in a home folder of its own.

#include "cli/CliRunner.h"
#include "e2e/ServerProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <random>

namespace norvane::test {

namespace fs = std::filesystem;

inline std::string randomContent(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string text(size, '\0');
    for (char& c : text)
        c = static_cast<char>(generator() & 0xFF);
    return text;
}

inline void writeFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::size_t count(const std::string& text, const std::string& needle)
{
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// The entries of an "ls --json" by name.
inline std::map<std::string, nlohmann::json> byName(const nlohmann::json& listing)
{
    std::map<std::string, nlohmann::json> out;
    if (listing.contains("entries"))
        for (const auto& entry : listing["entries"])
            out[entry["name"].get<std::string>()] = entry;
    return out;
}

class CliEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = std::make_unique<ServerProcess>();
        if (!server_->start())
            FAIL() << "norvane-server did not start: " << server_->error();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(server_ && server_->running());
        std::string pattern = (fs::temp_directory_path() / "norvane-cli-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        home_ = folder_ / "home";
        work_ = folder_ / "work";
        fs::create_directories(work_);
        static std::atomic<int> sequence { 0 };
        company_ = "cli" + std::to_string(::getpid()) + "x" + std::to_string(++sequence);
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    void makeCompany(bool requireDevice = false)
    {
        ServerProcess::CompanySpec spec;
        spec.code = company_;
        spec.requireDevice = requireDevice;
        ASSERT_LT(server_->createCompany(spec).status, 300);
        for (const char* user : { "ann", "ben" })
            ASSERT_LT(server_->createUser(company_, user, password(user), std::string("Member ") + user).status, 300);
    }
    static std::string password(const std::string& user) { return "pw-" + user; }

    // norvane-cli with this test's home folder.
    CliResult cli(std::vector<std::string> arguments, const std::string& input = {},
        const std::map<std::string, std::string>& environment = {}, const fs::path& home = {})
    {
        arguments.insert(arguments.begin(), { "--home", (home.empty() ? home_ : home).string() });
        CliProcess process(
            NORVANE_CLI_BINARY, arguments, environment, folder_ / ("run" + std::to_string(++runs_)), input);
        CliResult result = process.wait();
        return result;
    }

    void signIn(const std::string& user = "ann", const fs::path& home = {})
    {
        const std::string address = "127.0.0.1:" + std::to_string(server_->port());
        ASSERT_EQ(cli({ "config", "--server", address, "--http" }, {}, {}, home).exitStatus, 0);
        const CliResult login = cli({ "login", company_, user, "--password-stdin" }, password(user) + "\n", {}, home);
        ASSERT_EQ(login.exitStatus, 0) << login.err;
    }

    static inline std::unique_ptr<ServerProcess> server_;
    fs::path folder_;
    fs::path home_;
    fs::path work_;
    std::string company_;
    int runs_ = 0;
};

} // namespace norvane::test
