// Downloads of one 1 GiB file with the curl command line from norvane-server and from nginx serving
// the same bytes, in the same run, interleaved; and the server's peak resident set, set against a
// run with a 64 MiB file, so that memory that grows with the file shows.
//
//   server_throughput [--rounds N]    (default 4; each server goes first in half the rounds)
//
// The server gets the file through its own upload path (8 MiB chunks with the MD5 and the write
// range, as a client sends them), never by a copy into its data folder.
//
// Prints BENCH lines (see ARCHITECTURE.md) on standard output, progress on standard error. Exit
// status: 0 when every figure meets its target, 1 when one misses it, 2 when the run could not be
// made. Every file it writes lives in one temporary folder that is removed at the end, also after
// a failure or a signal.

#include "bench/BenchSupport.h"
#include "formats/MD5DigestString.h"

#include <curl/curl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace norvane::bench;

constexpr std::uint64_t kMiB = std::uint64_t { 1 } << 20;
constexpr std::uint64_t kGiB = std::uint64_t { 1 } << 30;
constexpr std::uint64_t kUploadChunk = 8 * kMiB;

// One download with the curl command line. With an MD5 to check, it lands in `dest` (removed
// afterwards); without one it goes to /dev/null, so that the servers' sending is what is timed and
// not the disk, and curl reports the byte count.
struct Download {
    double seconds = 0;
    std::string error;
};

Download curlDownload(const std::string& curl, const std::string& url, const std::vector<std::string>& headers,
    const std::string& dest, std::uint64_t expected, const std::string& md5 = {})
{
    const bool toFile = !md5.empty();
    std::vector<std::string> args { curl, "-s", "-S", "-f", "--noproxy", "*", "-o", toFile ? dest : "/dev/null" };
    if (!toFile) {
        args.push_back("-w");
        args.push_back("%{size_download}");
    }
    for (const auto& header : headers) {
        args.push_back("-H");
        args.push_back(header);
    }
    args.push_back(url);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return { 0, std::string("pipe: ") + std::strerror(errno) };
    auto start = std::chrono::steady_clock::now();
    pid_t child = spawn(args, pipeFds[1]);
    ::close(pipeFds[1]);
    std::string printed;
    char buffer[64];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            printed.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    ::close(pipeFds[0]);
    int rc = waitExit(child);
    Download d { secondsSince(start), rc == 0 ? "" : "curl " + url + ": exit " + std::to_string(rc) };
    const std::uint64_t received = toFile ? sizeOf(dest) : std::strtoull(printed.c_str(), nullptr, 10);
    if (d.error.empty() && received != expected)
        d.error = url + ": " + std::to_string(received) + " bytes instead of " + std::to_string(expected);
    if (d.error.empty() && toFile && md5OfFile(dest) != md5)
        d.error = url + ": the bytes differ from the file uploaded";
    if (toFile)
        std::filesystem::remove(dest);
    return d;
}

int run(int rounds)
{
    const std::string nginxProgram = findProgram("nginx");
    const std::string curlProgram = findProgram("curl");
    if (nginxProgram.empty() || curlProgram.empty()) {
        std::fprintf(stderr, "nginx and curl are needed (scripts/deps installs them)\n");
        return 2;
    }
    // www/files/1g and 64m (served by nginx, and uploaded to norvane-server), server/data and log
    // (norvane-server's), client/ (download destinations), nginx/ (its configuration and logs).
    WorkDir work("server-bench", { "www/files", "server/data", "client", "nginx" });
    if (work.path.empty()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 2;
    }
    std::fprintf(stderr, "writing the test files into %s\n", work.path.c_str());
    const std::string small = work.path + "/www/files/64m";
    const std::string large = work.path + "/www/files/1g";
    auto smallMd5 = makeFile(small, 64 * kMiB);
    auto largeMd5 = makeFile(large, kGiB);
    if (!smallMd5 || !largeMd5) {
        std::fprintf(stderr, "cannot write the test files: %s\n", std::strerror(errno));
        return 2;
    }
    Nginx nginx;
    if (auto why = nginx.start(nginxProgram, work.path); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    NorvaneServer server;
    if (auto why = server.start(NORVANE_SERVER_BINARY, work.path + "/server/data", work.path + "/server/log");
        !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    std::vector<std::string> session;
    if (auto why = signUp(server.url, Account {}, session); !why.empty()) {
        std::fprintf(stderr, "cannot sign up at norvane-server: %s\n", why.c_str());
        return 2;
    }
    const std::string dest = work.path + "/client/download";
    const std::string nginxBase = "http://127.0.0.1:" + std::to_string(nginx.port) + "/files/";

    // The small file first: the server's peak with it is the base the large one is measured from.
    auto fail = [](const std::string& why) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    };
    if (auto why = uploadInChunks(server.url, session, small, *smallMd5, "/FILE/Memo/64m", kUploadChunk); !why.empty())
        return fail(why);
    if (auto d = curlDownload(curlProgram, server.url + "/FILE/Memo/64m", session, dest, 64 * kMiB, *smallMd5);
        !d.error.empty())
        return fail(d.error);
    const long peakSmall = server.peakResidentKiB();

    auto uploadStart = std::chrono::steady_clock::now();
    if (auto why = uploadInChunks(server.url, session, large, *largeMd5, "/FILE/Memo/1g", kUploadChunk); !why.empty())
        return fail(why);
    const double uploadSeconds = secondsSince(uploadStart);
    std::fprintf(stderr, "uploaded 1 GiB to norvane-server in %.2f s\n", uploadSeconds);

    // A first download from each, not counted, with the server's bytes checked against the file.
    if (auto d = curlDownload(curlProgram, server.url + "/FILE/Memo/1g", session, dest, kGiB, *largeMd5);
        !d.error.empty())
        return fail(d.error);
    if (auto d = curlDownload(curlProgram, nginxBase + "1g", {}, dest, kGiB, *largeMd5); !d.error.empty())
        return fail(d.error);

    std::vector<double> serverMbps;
    std::vector<double> nginxMbps;
    struct Step {
        const char* label;
        std::vector<double>* into;
        std::function<Download()> run;
    };
    Step fromServer { "norvane-server", &serverMbps,
        [&] { return curlDownload(curlProgram, server.url + "/FILE/Memo/1g", session, dest, kGiB); } };
    Step fromNginx { "nginx", &nginxMbps, [&] { return curlDownload(curlProgram, nginxBase + "1g", {}, dest, kGiB); } };
    for (int round = 0; round < rounds; ++round) {
        for (Step* step : round % 2 ? std::array { &fromNginx, &fromServer } : std::array { &fromServer, &fromNginx }) {
            Download d = step->run();
            if (!d.error.empty())
                return fail(d.error);
            const double mbps = static_cast<double>(kGiB) / 1e6 / d.seconds;
            step->into->push_back(mbps);
            std::fprintf(stderr, "round %d: %-15s %.2f s  %5.0f MB/s\n", round + 1, step->label, d.seconds, mbps);
        }
    }
    const long peakLarge = server.peakResidentKiB();
    if (peakSmall <= 0 || peakLarge <= 0)
        return fail("cannot read the server's peak resident set");

    bench("server_download_1GiB_mbps", median(serverMbps), 0, "MB/s", ">=", 0);
    bench("nginx_download_1GiB_mbps", median(nginxMbps), 0, "MB/s", ">=", 0);
    bench("server_upload_1GiB_8MiB_chunks_mbps", static_cast<double>(kGiB) / 1e6 / uploadSeconds, 0, "MB/s", ">=", 0);
    bench("server_download_1GiB_vs_nginx", median(serverMbps) / median(nginxMbps), 2, "ratio", ">=", 0.70);
    bench("server_peak_rss_1GiB", static_cast<double>(peakLarge) / 1024, 1, "MiB", "<=", 64);
    // Moving 16 times the bytes may not cost more memory: the peak after the 1 GiB file's upload and
    // downloads against the peak after the 64 MiB file's.
    bench("server_peak_rss_growth_64MiB_to_1GiB", static_cast<double>(peakLarge - peakSmall) / 1024, 1, "MiB", "<=", 8);
    return allPassed() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    int rounds = 4;
    if (args.size() == 2 && args[0] == "--rounds")
        rounds = std::max(1, std::atoi(args[1].c_str()));
    else if (!args.empty()) {
        std::fprintf(stderr, "usage: server_throughput [--rounds N]\n");
        return 2;
    }
    cleanUpOnSignals();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int result = run(rounds);
    curl_global_cleanup();
    return result;
}
