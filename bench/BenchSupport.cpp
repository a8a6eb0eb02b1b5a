#include "bench/BenchSupport.h"

#include "formats/MD5DigestString.h"

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
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <span>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
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

Run runProgram(const std::vector<std::string>& args, const std::string& inPath, const std::string& outPath,
    const std::string& errPath)
{
    Run run;
    int pipeFds[2] = { -1, -1 };
    int out = -1;
    if (outPath.empty()) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0)
            return run;
        out = pipeFds[1];
    } else {
        out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    }
    const int in = inPath.empty() ? -1 : ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    const int err = errPath.empty() ? -1 : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = spawn(args, out, err, in);
    watchChild(2, pid);
    for (int fd : { out, in, err }) {
        if (fd >= 0)
            ::close(fd);
    }
    if (pipeFds[0] >= 0) {
        std::vector<char> buffer(1 << 16);
        for (ssize_t n; (n = ::read(pipeFds[0], buffer.data(), buffer.size())) != 0;) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            const std::string_view piece(buffer.data(), static_cast<std::size_t>(n));
            run.bytes += piece.size();
            run.lines += static_cast<std::uint64_t>(std::count(piece.begin(), piece.end(), '\n'));
            if (run.head.size() < 256)
                run.head.append(piece.substr(0, 256 - run.head.size()));
            run.tail.append(piece.substr(piece.size() > 256 ? piece.size() - 256 : 0));
            if (run.tail.size() > 256)
                run.tail.erase(0, run.tail.size() - 256);
        }
        ::close(pipeFds[0]);
    }
    int status = 0;
    rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    watchChild(2, -1);
    run.seconds = secondsSince(start);
    run.peakKiB = usage.ru_maxrss;
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
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
    stopChild(pid_, slot_);
    if (stdout_ >= 0)
        ::close(stdout_);
}

std::string NorvaneServer::start(const std::string& program, const std::string& dataDir, const std::string& logPath,
    const std::vector<std::string>& extraArgs, int slot)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<std::string> args { program, "--data", dataDir, "--listen", "127.0.0.1:0", "--control-token",
        kControlToken };
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    const bool tls = std::find(extraArgs.begin(), extraArgs.end(), "--tls") != extraArgs.end();
    slot_ = slot;
    pid_ = spawn(args, pipeFds[1], logFd);
    watchChild(slot_, pid_);
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
    // The pin follows the address.
    auto announced = [&] {
        at = output.find("listening ");
        end = at == std::string::npos ? at : output.find('\n', at);
        if (end == std::string::npos)
            return false;
        if (!tls)
            return true;
        const auto pinAt = output.find("pin ", end);
        return pinAt != std::string::npos && output.find('\n', pinAt) != std::string::npos;
    };
    while (std::chrono::steady_clock::now() < deadline) {
        if (announced())
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
    if (!announced()) {
        stopChild(pid_, slot_);
        std::ostringstream text;
        text << "norvane-server did not announce itself; its log:\n" << std::ifstream(logPath).rdbuf();
        return text.str();
    }
    url = output.substr(at + 10, end - at - 10);
    while (!url.empty() && (url.back() == '\r' || url.back() == '/'))
        url.pop_back();
    if (tls)
        pin = between(output.substr(end), "pin ", "\n");
    return {};
}

double NorvaneServer::cpuSeconds() const
{
    // Fields 14 and 15 of /proc/<pid>/stat, after the command name in parentheses.
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            user = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) {
            system = std::strtoull(field.c_str(), nullptr, 10);
            return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    return -1;
}

long NorvaneServer::connectionsAccepted() const
{
    Reply reply = request("GET", url + "/_control/connections",
        { std::string("X-Control-Token: ") + kControlToken, "Expect:" }, {}, nullptr, pin);
    if (reply.status != 200)
        return -1;
    const std::string count = between(reply.body, "\"accepted\":", "}");
    return count.empty() ? -1 : std::strtol(count.c_str(), nullptr, 10);
}

Nginx::~Nginx()
{
    stopChild(pid_, 0);
}

std::string Nginx::start(const std::string& program, const std::string& dir)
{
    std::string conf = dir + "/nginx/nginx.conf";
    std::filesystem::create_directories(dir + "/nginx");
    std::filesystem::create_directories(dir + "/www/files");
    std::filesystem::create_directories(dir + "/www/upload");
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = freeLoopbackPort();
        std::ofstream out(conf);
        out << (::geteuid() == 0 ? "user root;\n" : "") << "daemon off;\nmaster_process off;\n"
            << "pid " << dir << "/nginx/nginx.pid;\nerror_log " << dir << "/nginx/error.log warn;\n"
            << "events { worker_connections 64; }\n"
            << "http {\n  default_type application/octet-stream;\n  access_log off;\n"
            << "  sendfile on;\n  tcp_nopush on;\n  keepalive_timeout 60;\n  keepalive_requests 100000;\n"
            << "  client_body_temp_path " << dir << "/nginx/body;\n  proxy_temp_path " << dir
            << "/nginx/proxy;\n  fastcgi_temp_path " << dir << "/nginx/fastcgi;\n  uwsgi_temp_path " << dir
            << "/nginx/uwsgi;\n  scgi_temp_path " << dir << "/nginx/scgi;\n"
            << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << dir << "/www;\n"
            << "    location /files/ { }\n"
            << "    location /upload/ { dav_methods PUT; create_full_put_path on; client_max_body_size 0;\n"
            << "      client_body_buffer_size 1m; }\n  }\n}\n";
        out.close();
        pid_ = spawn({ program, "-p", dir + "/nginx", "-c", conf, "-e", dir + "/nginx/error.log" });
        watchChild(0, pid_);
        for (int wait = 0; wait < 100 && pid_ > 0; ++wait) {
            if (acceptsConnections(port))
                return {};
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                pid_ = -1;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stopChild(pid_, 0);
    }
    std::ostringstream text;
    text << "nginx did not start listening; its log:\n" << std::ifstream(dir + "/nginx/error.log").rdbuf();
    return text.str();
}

std::optional<std::string> makeFile(const std::string& path, std::uint64_t size, std::uint64_t seed)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::nullopt;
    norvane::MD5Digest digest;
    bool ok = true;
    std::vector<std::uint64_t> block(std::size_t { 1 } << 17);
    std::uint64_t state = seed * 0x9e3779b97f4a7c15ULL + 1;
    for (std::uint64_t done = 0; ok && done < size;) {
        for (auto& word : block) {
            // splitmix64: fast, and no two files of different seeds alike.
            std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, block.size() * 8));
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(block.data()), n);
        digest.update(bytes);
        ok = ::write(fd, bytes.data(), n) == static_cast<ssize_t>(n);
        done += n;
    }
    ok = ok && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok)
        return std::nullopt;
    return digest.hexDigest();
}

std::optional<std::string> md5OfFile(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return std::nullopt;
    norvane::MD5Digest digest;
    std::vector<std::uint8_t> block(std::size_t { 1 } << 20);
    for (std::size_t n; (n = std::fread(block.data(), 1, block.size(), file)) > 0;)
        digest.update(std::span<const std::uint8_t>(block.data(), n));
    std::fclose(file);
    return digest.hexDigest();
}

void CurlConfig::next()
{
    if (!text_.empty())
        text_ += "next\n";
}

void CurlConfig::option(const std::string& name, const std::string& value)
{
    text_ += name + " = \"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            text_ += '\\';
        text_ += c;
    }
    text_ += "\"\n";
}

void CurlConfig::flag(const std::string& name)
{
    text_ += name + "\n";
}

bool CurlConfig::write(const std::string& path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text_;
    return static_cast<bool>(out);
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
    const std::string& body, FileSlice* slice, const std::string& pin)
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
    if (!pin.empty()) {
        // The server's self-signed certificate is trusted by its key alone.
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
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

Reply control(const std::string& base, const std::string& action, const std::string& json, const std::string& pin)
{
    return request("POST", base + "/_control/" + action,
        { std::string("X-Control-Token: ") + NorvaneServer::kControlToken, "Content-Type: application/json" }, json,
        nullptr, pin);
}

std::string uploadInChunks(const std::string& base, const std::vector<std::string>& session, const std::string& local,
    const std::string& md5, const std::string& remote, std::uint64_t chunk, const std::string& pin)
{
    const std::uint64_t size = sizeOf(local);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(local.c_str(), "rb"), &std::fclose);
    if (!file)
        return "cannot open " + local;
    const std::string url = base + remote + "?md5=" + md5 + "&size=" + std::to_string(size);
    for (std::uint64_t offset = 0; offset < size; offset += chunk) {
        FileSlice slice { file.get(), std::min(chunk, size - offset) };
        std::vector<std::string> headers = session;
        headers.push_back("x-zel-app-type: file");
        headers.push_back("x-zel-uptype: 2");
        headers.push_back(
            "x-zel-file-write-range: " + std::to_string(offset) + "-" + std::to_string(offset + slice.left - 1));
        headers.push_back("Content-Type: application/octet-stream");
        Reply reply = request("POST", url, headers, {}, &slice, pin);
        if (reply.status != 200)
            return "upload chunk at " + std::to_string(offset) + ": status " + std::to_string(reply.status) + " "
                + reply.error + " " + reply.body;
    }
    return {};
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

std::string signUp(
    const std::string& base, const Account& account, std::vector<std::string>& headers, const std::string& pin)
{
    const std::pair<std::string, std::string> steps[] = {
        { "companies", "{\"code\":\"" + account.company + "\",\"name\":\"" + account.company + "\"}" },
        { "users",
            "{\"company\":\"" + account.company + "\",\"user\":\"" + account.user + "\",\"password\":\""
                + account.password + "\",\"fullName\":\"" + account.user + "\"}" },
    };
    for (const auto& [action, body] : steps) {
        Reply reply = control(base, action, body, pin);
        if (reply.status != 200)
            return action + ": status " + std::to_string(reply.status) + " " + reply.error + " " + reply.body;
    }
    Reply login = request("GET", base + "/Storage9/QORPrivateStorage/account/" + account.user,
        { "Authorization: ZEL 3f0a9c27d41e8b65c0d2e", "KigyoCode: " + account.company,
            "UserPassWord: " + account.password, "X-Device-Id: " + account.device },
        {}, nullptr, pin);
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
