// norvane-cli listing one folder of a million entries on norvane-server, the whole way a person
// runs it (norvane-cli -> operations -> service -> adaptor -> engine -> server), against the curl
// command line fetching the same listing from the same server in the same run, interleaved. The
// folder is made with the server's bulk-files control action; the listing's lines (and once its
// JSON object) are read back through a pipe and counted, so nothing is taken for done that was not.
//
//   cli_listing [--entries N] [--rounds R]    (defaults 1000000 and 1)
//
// Prints BENCH lines (see ARCHITECTURE.md) on standard output, progress on standard error: entries
// per second, the time against curl's, and norvane-cli's peak resident set (from wait4, the
// child's own high-water mark; the benchmark itself stays a few megabytes) against the size of
// the listing's body. Exit status: 0 when every figure meets its target, 1 when one misses it, 2
// when the run could not be made. Everything it writes lives in one temporary folder.

#include "bench/BenchSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace norvane::bench;

std::string label(int entries)
{
    if (entries % 1000000 == 0)
        return std::to_string(entries / 1000000) + "M";
    if (entries % 1000 == 0)
        return std::to_string(entries / 1000) + "k";
    return std::to_string(entries);
}

int run(int entries, int rounds)
{
    const std::string curl = findProgram("curl");
    if (curl.empty()) {
        std::fprintf(stderr, "curl is needed (scripts/deps installs it)\n");
        return 2;
    }
    WorkDir work("cli-listing-bench", { "server/data", "home" });
    if (work.path.empty()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 2;
    }
    auto fail = [](const std::string& why) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    };
    NorvaneServer server;
    if (auto why = server.start(NORVANE_SERVER_BINARY, work.path + "/server/data", work.path + "/server/log");
        !why.empty())
        return fail(why);
    const Account account;
    std::vector<std::string> session;
    if (auto why = signUp(server.url, account, session); !why.empty())
        return fail("cannot sign up at norvane-server: " + why);

    // norvane-cli set up as a person does: the server, the account, the folder.
    const std::string home = work.path + "/home";
    const std::string passwordFile = work.path + "/password";
    std::ofstream(passwordFile) << account.password << "\n";
    const auto cli = [&](std::vector<std::string> arguments, const std::string& input = {}) {
        arguments.insert(arguments.begin(), { NORVANE_CLI_BINARY, "--home", home });
        return runProgram(arguments, input);
    };
    const std::string address = server.url.substr(server.url.find("://") + 3);
    for (auto [arguments, input] :
        { std::pair { std::vector<std::string> { "config", "--server", address, "--http" }, std::string() },
            std::pair {
                std::vector<std::string> { "login", account.company, account.user, "--password-stdin" }, passwordFile },
            std::pair { std::vector<std::string> { "mkdir", "my:/big" }, std::string() } }) {
        if (Run step = cli(arguments, input); step.exitStatus != 0)
            return fail("norvane-cli " + arguments.front() + " exited with " + std::to_string(step.exitStatus));
    }
    std::fprintf(stderr, "making %d entries\n", entries);
    const auto making = std::chrono::steady_clock::now();
    Reply made = control(server.url, "bulk-files",
        "{\"company\":\"" + account.company + "\",\"user\":\"" + account.user
            + "\",\"folder\":\"/FOLDER/big\",\"count\":" + std::to_string(entries) + "}");
    if (made.status != 200)
        return fail("bulk-files: status " + std::to_string(made.status) + " " + made.error + " " + made.body);
    std::fprintf(stderr, "made in %.1f s\n", secondsSince(making));

    // The yardstick: the same listing with curl, as the server sends it.
    std::vector<std::string> curlArgs { curl, "-s", "-S", "-f", "--noproxy", "*" };
    for (const auto& header : session) {
        curlArgs.push_back("-H");
        curlArgs.push_back(header);
    }
    curlArgs.push_back(server.url + "/FOLDER/big");

    std::vector<double> curlSeconds;
    std::vector<double> cliSeconds;
    std::uint64_t bodyBytes = 0;
    long textPeakKiB = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 0)) {
                Run fetched = runProgram(curlArgs);
                if (fetched.exitStatus != 0 || fetched.bytes == 0)
                    return fail("curl exited with " + std::to_string(fetched.exitStatus));
                bodyBytes = fetched.bytes;
                curlSeconds.push_back(fetched.seconds);
                std::fprintf(stderr, "round %d: curl        %7.2f s  %.1f MiB\n", round + 1, fetched.seconds,
                    static_cast<double>(fetched.bytes) / (1 << 20));
            } else {
                Run listed = cli({ "ls", "my:/big" });
                if (listed.exitStatus != 0 || listed.lines != static_cast<std::uint64_t>(entries))
                    return fail("norvane-cli ls exited with " + std::to_string(listed.exitStatus) + " after "
                        + std::to_string(listed.lines) + " lines of " + std::to_string(entries));
                cliSeconds.push_back(listed.seconds);
                textPeakKiB = std::max(textPeakKiB, listed.peakKiB);
                std::fprintf(stderr, "round %d: norvane-cli %7.2f s  peak %.1f MiB\n", round + 1, listed.seconds,
                    static_cast<double>(listed.peakKiB) / 1024);
            }
        }
    }
    // Once with --json: one object with every entry, checked at both ends.
    Run json = cli({ "--json", "ls", "my:/big" });
    const bool jsonWhole = json.exitStatus == 0 && json.lines == 1 && json.head.starts_with("{")
        && json.tail.ends_with("\"type\":\"file\"}]}\n");
    if (!jsonWhole)
        return fail("norvane-cli --json ls exited with " + std::to_string(json.exitStatus) + ", "
            + std::to_string(json.lines) + " lines, ending " + json.tail);
    std::fprintf(stderr, "--json:       %7.2f s  peak %.1f MiB  %.1f MiB of JSON\n", json.seconds,
        static_cast<double>(json.peakKiB) / 1024, static_cast<double>(json.bytes) / (1 << 20));

    const double body = static_cast<double>(bodyBytes);
    const std::string name = "cli_ls_" + label(entries);
    bench(name + "_entries_per_second", entries / median(cliSeconds), 0, "entries/s", ">=", 10000);
    bench(name + "_time_vs_curl", median(cliSeconds) / median(curlSeconds), 2, "ratio", "<=", 2.0);
    bench(name + "_body", body / (1 << 20), 1, "MiB", ">=", 0);
    bench(name + "_peak_rss", static_cast<double>(textPeakKiB) / 1024, 1, "MiB", ">=", 0);
    bench(name + "_peak_rss_vs_body", static_cast<double>(textPeakKiB) * 1024 / body, 2, "ratio", "<=", 4.0);
    bench(name + "_json_peak_rss_vs_body", static_cast<double>(json.peakKiB) * 1024 / body, 2, "ratio", "<=", 4.0);
    return allPassed() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    int entries = 1000000;
    int rounds = 1;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const bool known = i + 1 < args.size() && (args[i] == "--entries" || args[i] == "--rounds");
        if (!known) {
            std::fprintf(stderr, "usage: cli_listing [--entries N] [--rounds R]\n");
            return 2;
        }
        (args[i] == "--entries" ? entries : rounds) = std::max(1, std::atoi(args[i + 1].c_str()));
    }
    cleanUpOnSignals();
    return run(entries, rounds);
}
