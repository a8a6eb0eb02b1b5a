#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace norvane {

// Diagnostics as plain lines, no levels. By default they go to the system log; NORVANE_LOG=stderr
// sends them to standard error. Callers never pass a secret (passwords, keys, cookies) to it.
class Log {
public:
    using Sink = std::function<void(std::string_view)>;

    static void line(std::string_view text);
    // Replaces the sink (tests capture lines with it); an empty function restores the default.
    static void setSink(Sink sink);
};

} // namespace norvane
