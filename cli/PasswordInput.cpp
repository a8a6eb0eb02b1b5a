#include "cli/PasswordInput.h"

#include <cerrno>
#include <fcntl.h>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace norvane::cli {

namespace {

// Longer than any password anyone types; a runaway input is cut off instead of filling memory.
constexpr std::size_t kMaximumLength = 4096;

} // namespace

std::optional<std::string> PasswordInput::fromTerminal(const std::string& prompt)
{
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    termios saved {};
    const bool isTerminal = ::tcgetattr(fd, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    (void)!::write(fd, prompt.data(), prompt.size());

    std::string line;
    bool ended = false;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            // Interrupted (Ctrl-C): give up, but only after echo is back on.
            line.clear();
            ended = true;
            break;
        }
        if (n <= 0) {
            ended = line.empty();
            break;
        }
        if (c == '\n')
            break;
        if (line.size() < kMaximumLength)
            line += c;
    }
    if (isTerminal)
        ::tcsetattr(fd, TCSAFLUSH, &saved);
    ::close(fd);
    if (ended)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::optional<std::string> PasswordInput::fromStream(std::istream& in)
{
    std::string line;
    char c = 0;
    bool any = false;
    while (in.get(c)) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < kMaximumLength)
            line += c;
    }
    if (!any)
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::optional<std::string> PasswordInput::read(const std::string& prompt, bool fromStdin)
{
    if (fromStdin)
        return fromStream(std::cin);
    return fromTerminal(prompt);
}

} // namespace norvane::cli
