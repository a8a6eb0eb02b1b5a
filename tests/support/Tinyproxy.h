#pragma once

// tinyproxy in the foreground on a loopback port, asking for Basic credentials user/secret and
// tunnelling (CONNECT) only to one port. Its files live in a temporary folder of its own; its log
// tells which requests it passed on.

#include <sys/types.h>

#include <string>

namespace norvane::test {

// The first executable of that name on PATH or in /usr/sbin; empty when there is none.
std::string findProgram(const std::string& name);

class Tinyproxy {
public:
    static constexpr const char* kUser = "user";
    static constexpr const char* kPassword = "secret";

    Tinyproxy() = default;
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;
    ~Tinyproxy() { stop(); }

    // Empty on success, else why it did not start. connectPort 0: no tunnels at all.
    std::string start(int connectPort = 0);
    void stop();
    // What the proxy wrote to its log so far.
    std::string log() const;

    int port = 0;

private:
    void stopProcess();

    pid_t pid_ = -1;
    std::string dir_;
};

} // namespace norvane::test
