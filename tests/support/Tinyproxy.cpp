#include "support/Tinyproxy.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace norvane::test {

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the kernel just handed out and that nobody listens on now.
int freeLoopbackPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto address = loopback(0);
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
    auto address = loopback(port);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
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

std::string Tinyproxy::start(int connectPort)
{
    const std::string program = findProgram("tinyproxy");
    if (program.empty())
        return "tinyproxy is not installed: run scripts/deps";
    char pattern[] = "/tmp/norvane-proxy-XXXXXX";
    if (!::mkdtemp(pattern))
        return "no temporary folder";
    dir_ = pattern;
    // Another process may take the free port before tinyproxy binds it: then try another.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = freeLoopbackPort();
        std::string config = dir_ + "/tinyproxy.conf";
        std::ofstream out(config);
        out << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 16\n"
            << "Allow 127.0.0.1\nBasicAuth " << kUser << " " << kPassword << "\n";
        if (connectPort > 0)
            out << "ConnectPort " << connectPort << "\n";
        out << "PidFile \"" << dir_ << "/tinyproxy.pid\"\nLogFile \"" << dir_ << "/tinyproxy.log\"\nLogLevel Info\n";
        out.close();
        std::string configArg = config;
        char* argv[] = { const_cast<char*>(program.c_str()), const_cast<char*>("-d"), const_cast<char*>("-c"),
            configArg.data(), nullptr };
        if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0)
            return "cannot run " + program;
        for (int wait = 0; wait < 100; ++wait) {
            if (acceptsConnections(port))
                return {};
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stopProcess();
    }
    return "tinyproxy did not start listening; its log:\n" + log();
}

std::string Tinyproxy::log() const
{
    std::ifstream in(dir_ + "/tinyproxy.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Tinyproxy::stop()
{
    stopProcess();
    if (!dir_.empty())
        std::filesystem::remove_all(dir_);
    dir_.clear();
}

void Tinyproxy::stopProcess()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

} // namespace norvane::test
