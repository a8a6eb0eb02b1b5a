#include "bench/BenchSupport.h"

#include <curl/curl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace norvane::bench {

namespace {

// What the signal handler needs to clean up: fixed storage, no allocation there.
char gWorkDir[PATH_MAX] = {};
volatile pid_t gPids[4] = { -1, -1, -1, -1 };
bool gAllPassed = true;

extern "C" void onSignal(int sig)
{
    for (pid_t pid : gPids) {
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }
    if (gWorkDir[0]) {
        pid_t rm = ::fork();
        if (rm == 0) {
            ::execl("/bin/rm", "rm", "-rf", "--", gWorkDir, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (rm > 0)
            ::waitpid(rm, nullptr, 0);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

extern "C" std::size_t collect(char* data, std::size_t size, std::size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

extern "C" std::size_t readSlice(char* buffer, std::size_t size, std::size_t count, void* user)
{
    auto* slice = static_cast<FileSlice*>(user);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(slice->left, size * count));
    const std::size_t got = want ? std::fread(buffer, 1, want, slice->file) : 0;
    slice->left -= got;
    return got;
}

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

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

pid_t spawn(const std::vector<std::string>& args, int outFd, int errFd, int inFd)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        if (inFd >= 0)
            ::dup2(inFd, STDIN_FILENO);
        if (outFd >= 0)
            ::dup2(outFd, STDOUT_FILENO);
        if (errFd >= 0)
            ::dup2(errFd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int waitExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void cleanUpOnSignals()
{
    for (int sig : { SIGINT, SIGTERM, SIGHUP })
        std::signal(sig, onSignal);
}

void watchChild(int slot, pid_t pid)
{
    gPids[slot] = pid;
}

void stopChild(pid_t& pid, int slot)
{
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        waitExit(pid);
    }
    pid = -1;
    gPids[slot] = -1;
}

std::uint64_t sizeOf(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

double secondsSince(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int freeLoopbackPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
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
    sockaddr_in address = loopback(port);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

WorkDir::WorkDir(const std::string& name, const std::vector<std::string>& subFolders)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/norvane-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) && pattern.size() < sizeof gWorkDir) {
        path = pattern;
        std::memcpy(gWorkDir, path.c_str(), path.size() + 1);
        for (const auto& sub : subFolders)
            std::filesystem::create_directories(path + "/" + sub);
    }
}

WorkDir::~WorkDir()
{
    if (path.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    gWorkDir[0] = 0;
}

NorvaneServer::~NorvaneServer()
{
    stopChild(pid_, 1);
    if (stdout_ >= 0)
        ::close(stdout_);
}

std::string NorvaneServer::start(const std::string& program, const std::string& dataDir, const std::string& logPath)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = spawn(
        { program, "--data", dataDir, "--listen", "127.0.0.1:0", "--control-token", kControlToken }, pipeFds[1], logFd);
    watchChild(1, pid_);
    ::close(pipeFds[1]);
    if (logFd >= 0)
        ::close(logFd);
    // The pipe stays open (and unread) afterwards: the server prints only a few short lines, and
    // must not see a broken pipe when it does.
    stdout_ = pipeFds[0];
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::size_t at = std::string::npos;
    std::size_t end = std::string::npos;
    while (std::chrono::steady_clock::now() < deadline) {
        at = output.find("listening ");
        end = at == std::string::npos ? at : output.find('\n', at);
        if (end != std::string::npos)
            break;
        pollfd fd { stdout_, POLLIN, 0 };
        if (::poll(&fd, 1, 200) <= 0)
            continue;
        char chunk[512];
        ssize_t n = ::read(stdout_, chunk, sizeof chunk);
        if (n <= 0)
            break;
        output.append(chunk, static_cast<std::size_t>(n));
    }
    if (end == std::string::npos) {
        stopChild(pid_, 1);
        std::ostringstream text;
        text << "norvane-server did not announce itself; its log:\n" << std::ifstream(logPath).rdbuf();
        return text.str();
    }
    url = output.substr(at + 10, end - at - 10);
    while (!url.empty() && (url.back() == '\r' || url.back() == '/'))
        url.pop_back();
    return {};
}

long NorvaneServer::peakResidentKiB() const
{
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

Reply request(const std::string& method, const std::string& url, const std::vector<std::string>& headers,
    const std::string& body, FileSlice* slice)
{
    Reply reply;
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const auto& header : headers)
        list = curl_slist_append(list, header.c_str());
    list = curl_slist_append(list, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    if (slice) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(slice->left));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, readSlice);
        curl_easy_setopt(curl, CURLOPT_READDATA, slice);
    } else if (!body.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK)
        reply.error = curl_easy_strerror(code);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return reply;
}

Reply control(const std::string& base, const std::string& action, const std::string& json)
{
    return request("POST", base + "/_control/" + action,
        { std::string("X-Control-Token: ") + NorvaneServer::kControlToken, "Content-Type: application/json" }, json);
}

std::string between(const std::string& text, const std::string& begin, const std::string& end)
{
    auto from = text.find(begin);
    if (from == std::string::npos)
        return {};
    from += begin.size();
    auto to = text.find(end, from);
    return to == std::string::npos ? std::string() : text.substr(from, to - from);
}

std::string signUp(const std::string& base, const Account& account, std::vector<std::string>& headers)
{
    const std::pair<std::string, std::string> steps[] = {
        { "companies", "{\"code\":\"" + account.company + "\",\"name\":\"" + account.company + "\"}" },
        { "users",
            "{\"company\":\"" + account.company + "\",\"user\":\"" + account.user + "\",\"password\":\""
                + account.password + "\",\"fullName\":\"" + account.user + "\"}" },
    };
    for (const auto& [action, body] : steps) {
        Reply reply = control(base, action, body);
        if (reply.status != 200)
            return action + ": status " + std::to_string(reply.status) + " " + reply.error + " " + reply.body;
    }
    Reply login = request("GET", base + "/Storage9/QORPrivateStorage/account/" + account.user,
        { "Authorization: ZEL 3f0a9c27d41e8b65c0d2e", "KigyoCode: " + account.company,
            "UserPassWord: " + account.password, "X-Device-Id: " + account.device });
    std::string authorization;
    for (const char* field : { "QorID", "VarID", "KigyoID", "UserKey" }) {
        std::string value = between(login.body, std::string("<") + field + ">", std::string("</") + field + ">");
        if (value.empty())
            return "login: status " + std::to_string(login.status) + " " + login.error + " " + login.body;
        authorization += (authorization.empty() ? "" : ":") + value;
    }
    headers = { "Authorization: " + authorization, "X-Device-Id: " + account.device };
    return {};
}

void bench(const std::string& name, double value, int decimals, const std::string& unit, const char* op, double target)
{
    bool pass = std::string(op) == ">=" ? value >= target : value <= target;
    gAllPassed = gAllPassed && pass;
    char number[64];
    std::snprintf(number, sizeof number, "%.*f", decimals, value);
    char goal[64];
    std::snprintf(goal, sizeof goal, "%.*f", target == std::floor(target) ? 0 : decimals, target);
    std::printf(
        "BENCH %s %s %s target %s %s %s\n", name.c_str(), number, unit.c_str(), op, goal, pass ? "PASS" : "FAIL");
    std::fflush(stdout);
}

bool allPassed()
{
    return gAllPassed;
}

} // namespace norvane::bench
