#pragma once

#include <istream>
#include <optional>
#include <string>

namespace norvane::cli {

// Passwords reach the command line only from the terminal (typed without echo) or from standard
// input, never from its arguments, and are never written anywhere.
class PasswordInput {
public:
    // Asks on the controlling terminal with echo switched off; none when there is no terminal or
    // the input ended.
    static std::optional<std::string> fromTerminal(const std::string& prompt);
    // The next line of `in` without its line end ("\n" or "\r\n"); none at the end of input.
    static std::optional<std::string> fromStream(std::istream& in);
    // From standard input when `fromStdin`, else from the terminal.
    static std::optional<std::string> read(const std::string& prompt, bool fromStdin);
};

} // namespace norvane::cli
