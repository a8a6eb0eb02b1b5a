#pragma once

// What the benchmarks that drive norvane-server share: child processes that die with the
// benchmark, one temporary folder removed at the end (also after a signal), norvane-server on a
// free loopback port, plain requests with libcurl, a signed-up account, and the BENCH lines.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace norvane::bench {

// The first executable of that name on PATH or in /usr/sbin, /usr/bin; empty when there is none.
std::string findProgram(const std::string& name);

// Starts args[0] (a full path) as a child that dies with this process; its standard input comes
// from inFd, its standard output goes to outFd and its standard error to errFd when given.
pid_t spawn(const std::vector<std::string>& args, int outFd = -1, int errFd = -1, int inFd = -1);
// The exit status (128 + signal when killed), -1 when it cannot be had.
int waitExit(pid_t pid);

// Children killed and the work folder removed when a signal ends the benchmark: up to four
// children at a time, by slot.
void cleanUpOnSignals();
void watchChild(int slot, pid_t pid);
// SIGTERM, then waits; the slot is free afterwards.
void stopChild(pid_t& pid, int slot);

std::uint64_t sizeOf(const std::string& path);
double secondsSince(std::chrono::steady_clock::time_point since);
double median(std::vector<double> values);
int freeLoopbackPort();
bool acceptsConnections(int port);

// A new folder below $TMPDIR (or /tmp) named after the benchmark, with the given sub-folders;
// removed with everything in it when the object goes, or when a signal ends the run.
class WorkDir {
public:
    WorkDir(const std::string& name, const std::vector<std::string>& subFolders);
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    std::string path; // empty when it could not be made
};

// norvane-server on a free loopback port with its data in dataDir and its standard error in
// logPath, up once it has printed where it listens. Child slot 1.
class NorvaneServer {
public:
    static constexpr const char* kControlToken = "bench-control-token";

    ~NorvaneServer();
    // Empty on success, else why it did not start.
    std::string start(const std::string& program, const std::string& dataDir, const std::string& logPath);
    // Peak resident set in KiB (VmHWM of /proc/<pid>/status); -1 when unknown.
    long peakResidentKiB() const;

    std::string url; // "http://127.0.0.1:PORT"

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

// One request with libcurl: the status and the body, or the transport error.
struct Reply {
    long status = 0;
    std::string body;
    std::string error;
};

// A part of a file as a request body.
struct FileSlice {
    std::FILE* file = nullptr;
    std::uint64_t left = 0;
};

Reply request(const std::string& method, const std::string& url, const std::vector<std::string>& headers,
    const std::string& body = {}, FileSlice* slice = nullptr);
// A request to the control endpoint with its token and a JSON body.
Reply control(const std::string& base, const std::string& action, const std::string& json);
// The text between the first `begin` and the next `end`; empty when either is missing.
std::string between(const std::string& text, const std::string& begin, const std::string& end);

// The benchmark's account: company, user and password, and the device it signs in from.
struct Account {
    std::string company = "BENCH";
    std::string user = "bench";
    std::string password = "bench-pw";
    std::string device = "dc09BENCH0000000000000000000000000000";
};
// Makes the company and the user through the control endpoint and signs in: the headers of the
// storage requests in `headers`; empty on success, else why not.
std::string signUp(const std::string& base, const Account& account, std::vector<std::string>& headers);

// Prints "BENCH <name> <value> <unit> target <op> <target> PASS|FAIL"; whole targets as they are,
// fractional ones as precise as the figure. allPassed() is false once a figure missed its target.
void bench(const std::string& name, double value, int decimals, const std::string& unit, const char* op, double target);
bool allPassed();

} // namespace norvane::bench
