#pragma once

// What the benchmarks that drive norvane-server share: child processes that die with the
// benchmark, timed with their CPU and peak memory, one temporary folder removed at the end (also
// after a signal), norvane-server and nginx on free loopback ports, test files and their MD5,
// plain requests with libcurl, chunked uploads, a signed-up account, and the BENCH lines.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
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

// What one run of a program brought.
struct Run {
    double seconds = 0;
    double cpuSeconds = 0; // user and system time of the child
    long peakKiB = 0; // the child's own high-water mark
    int exitStatus = -1;
    std::uint64_t bytes = 0; // of standard output, when it was read through a pipe
    std::uint64_t lines = 0;
    std::string head; // the first bytes of standard output
    std::string tail; // the last bytes
};
// Runs args (args[0] a full path) in child slot 2 with standard input from inPath when given; its
// standard output goes to outPath when given, else it is read as it comes and counted (keeping
// both ends), and its standard error to errPath when given.
Run runProgram(const std::vector<std::string>& args, const std::string& inPath = {}, const std::string& outPath = {},
    const std::string& errPath = {});

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
// logPath, up once it has printed where it listens (and, with --tls among the extra arguments, its
// key's pin). Child slot 1 unless told otherwise.
class NorvaneServer {
public:
    static constexpr const char* kControlToken = "bench-control-token";

    ~NorvaneServer();
    // Empty on success, else why it did not start.
    std::string start(const std::string& program, const std::string& dataDir, const std::string& logPath,
        const std::vector<std::string>& extraArgs = {}, int slot = 1);
    // Peak resident set in KiB (VmHWM of /proc/<pid>/status); -1 when unknown.
    long peakResidentKiB() const;
    // User and system time the server has used so far; -1 when unknown.
    double cpuSeconds() const;
    // Connections the server has accepted since it started (its control endpoint's count); -1
    // when it cannot be had.
    long connectionsAccepted() const;

    std::string url; // "http://127.0.0.1:PORT" or "https://…"
    std::string pin; // "sha256//…" with --tls

private:
    pid_t pid_ = -1;
    int slot_ = 1;
    int stdout_ = -1;
};

// nginx in the foreground as one process (no workers) in child slot 0, serving dir/www on a
// loopback port: GET below /files/, and PUT (WebDAV, folders made as needed) below /upload/. Its
// configuration, logs and temporary files live in dir/nginx.
class Nginx {
public:
    ~Nginx();
    // Empty on success, else why it did not start.
    std::string start(const std::string& program, const std::string& dir);

    int port = 0;

private:
    pid_t pid_ = -1;
};

// A file of `size` random bytes (from `seed`), synced, and its MD5; none when it cannot be written.
std::optional<std::string> makeFile(const std::string& path, std::uint64_t size, std::uint64_t seed = 1);
std::optional<std::string> md5OfFile(const std::string& path);

// A curl configuration file (curl -K): one block of options per transfer, separated by "next", so
// that one curl process makes every transfer over the connections it keeps. Values are quoted.
class CurlConfig {
public:
    // Starts the options of the next transfer.
    void next();
    void option(const std::string& name, const std::string& value);
    void flag(const std::string& name);
    bool write(const std::string& path) const;

private:
    std::string text_;
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

// With a pin ("sha256//…"), an https server is trusted by its key alone.
Reply request(const std::string& method, const std::string& url, const std::vector<std::string>& headers,
    const std::string& body = {}, FileSlice* slice = nullptr, const std::string& pin = {});
// The local file uploaded to `remote` ("/FILE/…") as the client sends it: POST with the MD5 and
// the size, `chunk` bytes a request with the write range. Empty on success, else what went wrong.
std::string uploadInChunks(const std::string& base, const std::vector<std::string>& session, const std::string& local,
    const std::string& md5, const std::string& remote, std::uint64_t chunk, const std::string& pin = {});
// A request to the control endpoint with its token and a JSON body.
Reply control(const std::string& base, const std::string& action, const std::string& json, const std::string& pin = {});
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
std::string signUp(
    const std::string& base, const Account& account, std::vector<std::string>& headers, const std::string& pin = {});

// Prints "BENCH <name> <value> <unit> target <op> <target> PASS|FAIL"; whole targets as they are,
// fractional ones as precise as the figure. allPassed() is false once a figure missed its target.
void bench(const std::string& name, double value, int decimals, const std::string& unit, const char* op, double target);
bool allPassed();

} // namespace norvane::bench
