#pragma once

// Runs the built norvane-cli as a child process: arguments as given, standard input from a
// string, standard output and error caught in files, an environment of the test's choosing, and
// a time limit after which the child is killed (a hanging command fails its test, not the suite).

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace norvane::test {

struct CliResult {
    int exitStatus = -1; // 128 + signal when killed; -1 when it could not be started
    std::string out;
    std::string err;

    // The one JSON object of --json: standard output must hold exactly one line that parses.
    nlohmann::json json() const
    {
        const std::size_t end = out.find('\n');
        if (end == std::string::npos || end + 1 != out.size())
            return nlohmann::json();
        return nlohmann::json::parse(out.substr(0, end), nullptr, false);
    }
};

inline std::string readWhole(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A child norvane-cli; waits for it (or kills it) when destroyed.
class CliProcess {
public:
    CliProcess(const std::string& binary, const std::vector<std::string>& arguments,
        const std::map<std::string, std::string>& environment, const std::filesystem::path& folder,
        const std::string& input = {})
        : folder_(folder)
    {
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "stdin", std::ios::binary) << input;
        std::ofstream(folder_ / "stdout").close();
        std::ofstream(folder_ / "stderr").close();

        std::map<std::string, std::string> merged;
        for (char** entry = environ; *entry; ++entry) {
            std::string text(*entry);
            const std::size_t equals = text.find('=');
            if (equals != std::string::npos)
                merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
        // Nothing of the person running the tests leaks in: no editor, no desktop, no language.
        for (const char* name :
            { "VISUAL", "EDITOR", "DISPLAY", "WAYLAND_DISPLAY", "LC_ALL", "LC_MESSAGES", "LANG", "NORVANE_HOME",
                "NORVANE_LOG", "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY" })
            merged.erase(name);
        merged["LANGUAGE"] = "en";
        for (const auto& [name, value] : environment)
            merged[name] = value;
        std::vector<std::string> envText;
        for (const auto& [name, value] : merged)
            envText.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& text : envText)
            envp.push_back(text.data());
        envp.push_back(nullptr);

        std::vector<std::string> argvText { binary };
        argvText.insert(argvText.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& text : argvText)
            argv.push_back(text.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string in = (folder_ / "stdin").string();
        const std::string out = (folder_ / "stdout").string();
        const std::string err = (folder_ / "stderr").string();
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_TRUNC, 0600);
        // Its own session: no controlling terminal, so questions take the --yes/--no answer or
        // the safe one, and passwords come only from standard input.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        if (posix_spawn(&pid_, binary.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }

    ~CliProcess()
    {
        if (pid_ > 0 && !finished_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const
    {
        if (pid_ > 0 && !finished_)
            ::kill(pid_, number);
    }
    std::string err() const { return readWhole(folder_ / "stderr"); }

    // Waits for the exit; kills the child when the time is up.
    CliResult wait(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        CliResult result;
        if (pid_ <= 0)
            return result;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        for (;;) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_)
                break;
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        finished_ = true;
        result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readWhole(folder_ / "stdout");
        result.err = readWhole(folder_ / "stderr");
        return result;
    }

private:
    std::filesystem::path folder_;
    pid_t pid_ = -1;
    bool finished_ = false;
};

} // namespace norvane::test
