#include "e2e/ServerProcess.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace norvane::test {

namespace {

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); });
    return text;
}

std::string trimmed(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string randomHex(std::size_t length)
{
    std::random_device device;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i)
        out += kDigits[device() % 16];
    return out;
}

extern "C" std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user)
{
    static_cast<HttpReply*>(user)->body.append(data, size * count);
    return size * count;
}

extern "C" std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* reply = static_cast<HttpReply*>(user);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        reply->headers.clear(); // a new response (after a 100 Continue) starts afresh
        return size * count;
    }
    const auto colon = line.find(':');
    if (colon != std::string::npos)
        reply->headers[lowered(trimmed(line.substr(0, colon)))] = trimmed(line.substr(colon + 1));
    return size * count;
}

// The exit code of a reaped child, 128 + signal for one killed by a signal.
int exitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

HttpReply httpRequest(const std::string& method, const std::string& url, const HttpHeaders& headers,
    const std::string& body, const std::string& pin)
{
    HttpReply reply;
    CURL* curl = curl_easy_init();
    if (!curl) {
        reply.error = "curl_easy_init failed";
        return reply;
    }
    curl_slist* list = nullptr;
    for (const auto& [name, value] : headers)
        list = curl_slist_append(list, (name + ": " + value).c_str());
    // No "Expect: 100-continue" pause in front of bodies: it only slows the tests down.
    list = curl_slist_append(list, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    if (method == "HEAD")
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    if (!body.empty() || method == "POST" || method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    if (!pin.empty()) {
        // The key decides, not the chain: the server's certificate signs itself.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
    }
    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK)
        reply.error = curl_easy_strerror(code);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return reply;
}

ServerProcess::ServerProcess()
    : ServerProcess(Options {})
{ }

ServerProcess::ServerProcess(Options options)
    : options_(std::move(options))
    , controlToken_(randomHex(32))
{
    if (options_.binary.empty())
        options_.binary = NORVANE_SERVER_BINARY;
}

ServerProcess::~ServerProcess()
{
    stop();
    if (!baseDir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(baseDir_, ignored);
    }
}

bool ServerProcess::start()
{
    if (running())
        return true;
    error_.clear();
    if (baseDir_.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "norvane-e2e-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            error_ = std::string("cannot create a temporary folder: ") + std::strerror(errno);
            return false;
        }
        baseDir_ = pattern;
        dataDir_ = baseDir_ / "data";
        std::filesystem::create_directories(dataDir_);
    }

    // A restart keeps the port, so that clients configured for it reach the server again.
    const int wantedPort = port_;
    std::vector<std::string> args { options_.binary, "--data", dataDir_.string(), "--listen",
        "127.0.0.1:" + std::to_string(wantedPort), "--control-token", controlToken_ };
    if (options_.tls)
        args.push_back("--tls");
    if (options_.demo)
        args.push_back("--demo");
    if (!options_.faultsFile.empty()) {
        args.push_back("--faults");
        args.push_back(options_.faultsFile);
    }
    args.insert(args.end(), options_.extraArguments.begin(), options_.extraArguments.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string logPath = (baseDir_ / "server.log").string();
    const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls from here to exec. The server dies with the test process,
        // even when that one crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        if (logFd >= 0)
            ::dup2(logFd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (logFd >= 0)
        ::close(logFd);
    if (child < 0) {
        ::close(pipeFds[0]);
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    pid_ = child;
    stdoutFd_ = pipeFds[0];
    url_.clear();
    pin_.clear();
    demo_.clear();
    if (readAnnouncement()) {
        startDrain();
        return true;
    }
    const std::string why = error_;
    kill();
    error_ = why + "\nserver log:\n" + log();
    // The old port may have been taken by someone else in the meantime: one more try on a new one.
    if (wantedPort != 0 && why.find("exited") != std::string::npos) {
        port_ = 0;
        if (start())
            return true;
    }
    return false;
}

bool ServerProcess::readAnnouncement()
{
    const auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
    // Once the address (and the pin) are known, the token line is waited for only briefly: the
    // token is ours anyway.
    std::optional<std::chrono::steady_clock::time_point> graceEnd;
    bool sawToken = false;
    std::string buffer;
    for (;;) {
        std::size_t newline;
        while ((newline = buffer.find('\n')) != std::string::npos) {
            std::string line = trimmed(buffer.substr(0, newline));
            buffer.erase(0, newline + 1);
            std::istringstream words(line);
            std::string word;
            words >> word;
            if (word == "listening") {
                words >> url_;
                const auto colon = url_.rfind(':');
                port_ = colon == std::string::npos ? 0 : std::atoi(url_.c_str() + colon + 1);
                while (!url_.empty() && url_.back() == '/')
                    url_.pop_back();
            } else if (word == "pin") {
                words >> pin_;
            } else if (word == "demo") {
                DemoAccount account;
                words >> account.company >> account.user >> account.password;
                demo_.push_back(account);
            } else if (word == "control-token") {
                std::string printed;
                words >> printed;
                if (!printed.empty())
                    controlToken_ = printed;
                sawToken = true;
            }
        }
        const bool addressKnown = !url_.empty() && port_ > 0 && (!options_.tls || !pin_.empty());
        if (addressKnown && sawToken)
            break;
        const auto now = std::chrono::steady_clock::now();
        if (addressKnown && !graceEnd)
            graceEnd = now + std::chrono::seconds(2);
        if (graceEnd && now >= *graceEnd)
            break;
        if (now >= deadline) {
            error_ = "norvane-server did not announce itself within " + std::to_string(options_.startTimeout.count())
                + " ms";
            return false;
        }
        const auto until = graceEnd ? std::min(*graceEnd, deadline) : deadline;
        pollfd fd { stdoutFd_, POLLIN, 0 };
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        const int ready = ::poll(&fd, 1, static_cast<int>(std::clamp<long long>(wait, 1, 1000)));
        if (ready < 0 && errno != EINTR) {
            error_ = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if (ready <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = ::read(stdoutFd_, chunk, sizeof chunk);
        if (n > 0) {
            buffer.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            if (addressKnown)
                break;
            error_ = "norvane-server exited before it was listening";
            return false;
        }
    }
    std::lock_guard lock(outputMutex_);
    laterOutput_ = buffer;
    return true;
}

void ServerProcess::startDrain()
{
    // Whatever the server prints later must not fill the pipe and stall it.
    drain_ = std::thread([this, fd = stdoutFd_] {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                std::lock_guard lock(outputMutex_);
                if (laterOutput_.size() < (1u << 20))
                    laterOutput_.append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                return;
            }
        }
    });
}

void ServerProcess::stop()
{
    reap(SIGTERM, options_.stopTimeout);
}

void ServerProcess::kill()
{
    reap(SIGKILL, std::chrono::milliseconds(0));
}

void ServerProcess::reap(int signal, std::chrono::milliseconds grace)
{
    if (pid_ > 0) {
        ::kill(pid_, signal);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done == 0) {
            ::kill(pid_, SIGKILL);
            while ((done = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) { }
        }
        lastExit_ = done == pid_ ? exitCodeOf(status) : -1;
        pid_ = -1;
    }
    // The write end closed with the process, so the drain sees the end of its stream.
    if (drain_.joinable())
        drain_.join();
    if (stdoutFd_ >= 0) {
        ::close(stdoutFd_);
        stdoutFd_ = -1;
    }
}

std::string ServerProcess::log() const
{
    if (baseDir_.empty())
        return {};
    std::ifstream in(baseDir_ / "server.log");
    std::ostringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    constexpr std::size_t kTail = 8000;
    return all.size() > kTail ? all.substr(all.size() - kTail) : all;
}

long ServerProcess::peakResidentKiB() const
{
    if (pid_ <= 0)
        return -1;
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

HttpReply ServerProcess::request(
    const std::string& method, const std::string& path, const HttpHeaders& headers, const std::string& body) const
{
    return httpRequest(method, url_ + path, headers, body, pin_);
}

HttpReply ServerProcess::control(const std::string& method, const std::string& path, const std::string& json) const
{
    HttpHeaders headers { { "X-Control-Token", controlToken_ } };
    if (!json.empty())
        headers.emplace_back("Content-Type", "application/json");
    return request(method, path, headers, json);
}

HttpReply ServerProcess::createCompany(const CompanySpec& company) const
{
    nlohmann::json body { { "code", company.code }, { "name", company.name.empty() ? company.code : company.name },
        { "requireDevice", company.requireDevice } };
    if (company.maxFileSize > 0)
        body["maxFileSize"] = company.maxFileSize;
    if (company.quota > 0)
        body["quota"] = company.quota;
    return control("POST", "/_control/companies", body.dump());
}

HttpReply ServerProcess::createUser(
    const std::string& company, const std::string& user, const std::string& password, const std::string& fullName) const
{
    nlohmann::json body { { "company", company }, { "user", user }, { "password", password }, { "name", fullName } };
    return control("POST", "/_control/users", body.dump());
}

HttpReply ServerProcess::registerDevice(
    const std::string& company, const std::string& user, const std::string& device) const
{
    nlohmann::json body { { "company", company }, { "user", user }, { "device", device } };
    return control("POST", "/_control/devices", body.dump());
}

HttpReply ServerProcess::createSharedFolder(
    const std::string& company, const std::string& name, const std::vector<std::string>& managers) const
{
    nlohmann::json body { { "company", company }, { "name", name }, { "managers", managers } };
    return control("POST", "/_control/shared-folders", body.dump());
}

HttpReply ServerProcess::suspend(const std::string& company, const std::string& user, bool suspended) const
{
    nlohmann::json body { { "company", company }, { "user", user }, { "suspended", suspended } };
    return control("POST", "/_control/suspend", body.dump());
}

HttpReply ServerProcess::setPolicies(
    const std::string& company, const std::map<std::string, std::string>& headers) const
{
    nlohmann::json body { { "company", company }, { "headers", headers } };
    return control("POST", "/_control/policies", body.dump());
}

HttpReply ServerProcess::setInformation(
    const std::string& company, const std::string& seq, const std::string& text) const
{
    nlohmann::json body { { "company", company }, { "seq", seq }, { "text", text } };
    return control("POST", "/_control/information", body.dump());
}

HttpReply ServerProcess::setReadOnly(
    const std::string& company, const std::string& entryKey, bool readOnly, const std::string& user) const
{
    nlohmann::json body { { "company", company }, { "path", entryKey }, { "readOnly", readOnly } };
    if (!user.empty())
        body["user"] = user;
    return control("POST", "/_control/read-only", body.dump());
}

HttpReply ServerProcess::setCopySettings(std::int64_t inBackgroundAbove, std::int64_t stepDelayMs) const
{
    nlohmann::json body { { "inBackgroundAbove", inBackgroundAbove }, { "stepDelayMs", stepDelayMs } };
    return control("POST", "/_control/copy-settings", body.dump());
}

HttpReply ServerProcess::advanceClock(std::chrono::seconds by) const
{
    nlohmann::json body { { "advanceSeconds", by.count() } };
    return control("POST", "/_control/clock", body.dump());
}

long ServerProcess::connectionsAccepted() const
{
    const HttpReply reply = control("GET", "/_control/connections");
    const auto body = nlohmann::json::parse(reply.body, nullptr, false);
    if (reply.status != 200 || !body.is_object() || !body.contains("accepted") || !body["accepted"].is_number_integer())
        return -1;
    return body["accepted"].get<long>();
}

HttpReply ServerProcess::setFaults(const std::string& rules) const
{
    return control("POST", "/_control/faults", rules);
}

HttpReply ServerProcess::clearFaults() const
{
    return control("DELETE", "/_control/faults");
}

} // namespace norvane::test
