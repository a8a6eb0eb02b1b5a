// Moves 1 GiB each way between the request engine and one loopback nginx, and the same files with
// the curl command line against the same server in the same run, interleaved; then moves 4 GiB
// each way with the engine alone in a child process and reads that process's peak resident set.
//
//   http_throughput [--rounds N]    (default 4, even: each client goes first in half the rounds)
//
// Prints BENCH lines (see ARCHITECTURE.md) on standard output, progress on standard error.
// Exit status: 0 when every figure meets its target, 1 when one misses it, 2 when the run could
// not be made (a server that did not start, a transfer that failed). Every file it writes lives
// in one temporary folder that is removed at the end, also after a failure or a signal.

#include "CloudServiceSDKForMac/ASIHTTP/ASIHTTPRequest.h"
#include "bench/BenchSupport.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace norvane;
using namespace norvane::bench;

constexpr std::uint64_t kMiB = std::uint64_t { 1 } << 20;
constexpr std::uint64_t kGiB = std::uint64_t { 1 } << 30;

double ownCpuSeconds()
{
    rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

// A file of `size` bytes: written with a byte pattern, or sparse (reads as zeros, takes no disk).
bool makeTestFile(const std::string& path, std::uint64_t size, bool sparse)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    if (sparse) {
        ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    } else {
        std::vector<char> block(kMiB);
        for (std::uint64_t done = 0; ok && done < size; done += block.size()) {
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = static_cast<char>((done + i) * 131 + ((done + i) >> 20));
            ok = ::write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
        }
    }
    // On disk before the first measurement, so that no write-back of it runs during one.
    ok = ok && (sparse || ::fsync(fd) == 0);
    return ::close(fd) == 0 && ok;
}

// One transfer's outcome: its wall-clock time and the client's CPU time, or why it failed.
struct Timing {
    double seconds = 0;
    double cpu = 0;
    std::string error;
};

// Every transfer is checked: a download must land whole, an upload must be stored whole. The
// files are removed afterwards so that the next transfer starts from the same state.
class Transfers {
public:
    Transfers(std::string dir, int port, std::string curl)
        : dir_(std::move(dir))
        , base_("http://127.0.0.1:" + std::to_string(port))
        , curl_(std::move(curl))
    { }

    Timing engineDownload(const std::string& name)
    {
        auto start = std::chrono::steady_clock::now();
        double cpu = ownCpuSeconds();
        auto request = ASIHTTPRequest::requestWithURL(base_ + "/files/" + name);
        request->setDownloadDestinationPath(dest());
        request->startSynchronous();
        Timing t { secondsSince(start), ownCpuSeconds() - cpu, {} };
        if (request->error())
            t.error = "engine download: " + request->error()->description;
        else if (request->responseStatusCode() != 200)
            t.error = "engine download: status " + std::to_string(request->responseStatusCode());
        return checkDownload(name, std::move(t));
    }

    Timing curlDownload(const std::string& name)
    {
        return checkDownload(name,
            curlTiming(
                runProgram({ curl_, "-s", "-S", "-f", "--noproxy", "*", "-o", dest(), base_ + "/files/" + name }),
                "curl download"));
    }

    Timing engineUpload(const std::string& source)
    {
        auto start = std::chrono::steady_clock::now();
        double cpu = ownCpuSeconds();
        auto request = ASIHTTPRequest::requestWithURL(base_ + "/upload/put");
        request->setRequestMethod("PUT");
        request->setShouldStreamPostDataFromDisk(true);
        request->setPostBodyFilePath(source);
        request->startSynchronous();
        Timing t { secondsSince(start), ownCpuSeconds() - cpu, {} };
        int status = request->responseStatusCode();
        if (request->error())
            t.error = "engine upload: " + request->error()->description;
        else if (status != 201 && status != 204)
            t.error = "engine upload: status " + std::to_string(status);
        return checkUpload(source, std::move(t));
    }

    Timing curlUpload(const std::string& source)
    {
        return checkUpload(source,
            curlTiming(runProgram({ curl_, "-s", "-S", "-f", "--noproxy", "*", "-o", "/dev/null", "-T", source,
                           base_ + "/upload/put" }),
                "curl upload"));
    }

    std::string served(const std::string& name) const { return dir_ + "/www/files/" + name; }

private:
    std::string dest() const { return dir_ + "/client/download"; }

    static Timing curlTiming(const Run& run, const std::string& what)
    {
        return { run.seconds, run.cpuSeconds,
            run.exitStatus == 0 ? "" : what + ": exit " + std::to_string(run.exitStatus) };
    }

    Timing checkDownload(const std::string& name, Timing t)
    {
        if (t.error.empty() && sizeOf(dest()) != sizeOf(served(name)))
            t.error = "download of " + name + " is incomplete: " + std::to_string(sizeOf(dest())) + " bytes";
        std::filesystem::remove(dest());
        return t;
    }

    Timing checkUpload(const std::string& source, Timing t)
    {
        std::string stored = dir_ + "/www/upload/put";
        if (t.error.empty() && sizeOf(stored) != sizeOf(source))
            t.error = "upload of " + source + " is incomplete: " + std::to_string(sizeOf(stored)) + " bytes stored";
        std::filesystem::remove(stored);
        return t;
    }

    std::string dir_;
    std::string base_;
    std::string curl_;
};

// The 1 GiB transfers of one client in one direction.
class Series {
public:
    void add(const Timing& t)
    {
        mbps_.push_back(static_cast<double>(kGiB) / 1e6 / t.seconds);
        cpu_.push_back(t.cpu);
    }
    double mbps() const { return median(mbps_); }
    double cpu() const { return median(cpu_); }

private:
    std::vector<double> mbps_;
    std::vector<double> cpu_;
};

// Peak resident set of this process, in KiB.
long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// The child's part: 1 GiB each way, the peak so far, then 4 GiB each way and the peak again.
// Prints "<peak after 1 GiB> <peak after 4 GiB>" in KiB.
int engineMemoryChild(const std::string& dir, int port)
{
    Transfers transfers(dir, port, "");
    long afterSmall = 0;
    for (auto [name, size] : { std::pair { "1g", kGiB }, std::pair { "4g", 4 * kGiB } }) {
        for (Timing t : { transfers.engineDownload(name), transfers.engineUpload(transfers.served(name)) }) {
            if (!t.error.empty()) {
                std::fprintf(stderr, "%s\n", t.error.c_str());
                return 2;
            }
        }
        std::fprintf(stderr, "engine moved %llu MiB each way\n", static_cast<unsigned long long>(size / kMiB));
        if (size == kGiB)
            afterSmall = peakResidentKiB();
    }
    std::printf("%ld %ld\n", afterSmall, peakResidentKiB());
    return 0;
}

int run(int rounds)
{
    std::string nginxProgram = findProgram("nginx");
    std::string curlProgram = findProgram("curl");
    if (nginxProgram.empty() || curlProgram.empty()) {
        std::fprintf(stderr, "nginx and curl are needed (scripts/deps installs them)\n");
        return 2;
    }
    WorkDir work("bench", { "www/files", "www/upload", "client", "nginx" });
    if (work.path.empty()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 2;
    }
    std::fprintf(stderr, "writing the test files into %s\n", work.path.c_str());
    if (!makeTestFile(work.path + "/www/files/1g", kGiB, false)
        || !makeTestFile(work.path + "/www/files/4g", 4 * kGiB, true)) {
        std::fprintf(stderr, "cannot write the test files: %s\n", std::strerror(errno));
        return 2;
    }
    Nginx server;
    if (auto why = server.start(nginxProgram, work.path); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    Transfers transfers(work.path, server.port, curlProgram);
    std::string source = transfers.served("1g");

    // Downloads first, then uploads, each direction opened by a transfer that is not counted (the
    // first transfer after a change of direction is often slow whoever makes it). Within a
    // direction the clients take turns, and who goes first alternates from round to round.
    Series engineDown, curlDown, engineUp, curlUp;
    struct Step {
        const char* label;
        Series* into;
        std::function<Timing()> run;
    };
    std::vector<std::pair<Step, Step>> directions {
        { { "engine download", &engineDown, [&] { return transfers.engineDownload("1g"); } },
            { "curl download", &curlDown, [&] { return transfers.curlDownload("1g"); } } },
        { { "engine upload", &engineUp, [&] { return transfers.engineUpload(source); } },
            { "curl upload", &curlUp, [&] { return transfers.curlUpload(source); } } }
    };
    for (auto& [engine, curl] : directions) {
        if (Timing warmUp = engine.run(); !warmUp.error.empty()) {
            std::fprintf(stderr, "%s\n", warmUp.error.c_str());
            return 2;
        }
        for (int round = 0; round < rounds; ++round) {
            for (Step* step : round % 2 ? std::array { &curl, &engine } : std::array { &engine, &curl }) {
                Timing t = step->run();
                if (!t.error.empty()) {
                    std::fprintf(stderr, "%s\n", t.error.c_str());
                    return 2;
                }
                step->into->add(t);
                std::fprintf(stderr, "round %d: %-15s %.2f s  %4.0f MB/s  cpu %.2f s\n", round + 1, step->label,
                    t.seconds, static_cast<double>(kGiB) / 1e6 / t.seconds, t.cpu);
            }
        }
    }

    // The memory figure comes from a fresh process that does nothing but the engine's transfers.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return 2;
    pid_t child = spawn({ "/proc/self/exe", "--engine-memory", work.path, std::to_string(server.port) }, pipeFds[1]);
    watchChild(3, child);
    ::close(pipeFds[1]);
    std::string reply;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            reply.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    ::close(pipeFds[0]);
    int childExit = waitExit(child);
    watchChild(3, -1);
    long peakSmall = -1;
    long peakLarge = -1;
    if (childExit != 0 || std::sscanf(reply.c_str(), "%ld %ld", &peakSmall, &peakLarge) != 2 || peakLarge <= 0) {
        std::fprintf(stderr, "the engine's memory run failed (exit %d)\n", childExit);
        return 2;
    }

    bench::bench("download_1GiB_engine_mbps", engineDown.mbps(), 0, "MB/s", ">=", 0);
    bench::bench("download_1GiB_curl_mbps", curlDown.mbps(), 0, "MB/s", ">=", 0);
    bench::bench("upload_1GiB_engine_mbps", engineUp.mbps(), 0, "MB/s", ">=", 0);
    bench::bench("upload_1GiB_curl_mbps", curlUp.mbps(), 0, "MB/s", ">=", 0);
    // The client's own CPU time per GiB: what the wall-clock figures hide when the server or the
    // machine is the bottleneck.
    bench::bench("download_1GiB_engine_cpu", engineDown.cpu(), 2, "s", ">=", 0);
    bench::bench("download_1GiB_curl_cpu", curlDown.cpu(), 2, "s", ">=", 0);
    bench::bench("upload_1GiB_engine_cpu", engineUp.cpu(), 2, "s", ">=", 0);
    bench::bench("upload_1GiB_curl_cpu", curlUp.cpu(), 2, "s", ">=", 0);
    bench::bench("download_1GiB_vs_curl", engineDown.mbps() / curlDown.mbps(), 2, "ratio", ">=", 0.9);
    bench::bench("upload_1GiB_vs_curl", engineUp.mbps() / curlUp.mbps(), 2, "ratio", ">=", 0.9);
    bench::bench("peak_rss_4GiB_each_way", static_cast<double>(peakLarge) / 1024, 1, "MiB", "<=", 64);
    // The peak may not grow with the amount moved: 4 GiB must cost what 1 GiB did.
    bench::bench("peak_rss_growth_1GiB_to_4GiB", static_cast<double>(peakLarge - peakSmall) / 1024, 1, "MiB", "<=", 4);
    return allPassed() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    norvane::MainQueue::setShared(std::make_shared<norvane::RunLoopMainQueue>());
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--engine-memory")
        return engineMemoryChild(args[1], std::atoi(args[2].c_str()));

    int rounds = 4;
    if (args.size() == 2 && args[0] == "--rounds")
        rounds = std::max(1, std::atoi(args[1].c_str()));
    else if (!args.empty()) {
        std::fprintf(stderr, "usage: http_throughput [--rounds N]\n");
        return 2;
    }
    cleanUpOnSignals();
    int result = run(rounds);
    norvane::MainQueue::setShared(nullptr);
    return result;
}
