#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace norvane::cli {

// How questions (replace a file? delete a folder?) are answered.
enum class AnswerPolicy {
    Ask, // on the terminal; without one, the safe answer
    Yes, // --yes
    No, // --no
};

// One parsed command line: the global switches, the command and what was given to it.
struct Invocation {
    std::string home; // --home DIR, empty when not given
    bool json = false;
    AnswerPolicy answers = AnswerPolicy::Ask;
    bool help = false; // --help or "help"
    bool version = false;
    std::string command;
    std::vector<std::string> arguments; // positional, in order
    std::map<std::string, std::string> values; // options with a value, by name without dashes
    std::set<std::string> flags; // options without a value, by name without dashes

    bool has(std::string_view flag) const { return flags.count(std::string(flag)) != 0; }
    std::optional<std::string> value(std::string_view name) const;
};

// What a command accepts. Options may stand anywhere after the program name, before or after
// the command; "--" ends them. "--name=value" and "--name value" are the same.
struct CommandSpec {
    const char* name;
    std::size_t minArguments;
    std::size_t maxArguments; // kUnbounded: any number
    std::vector<std::string> valueOptions;
    std::vector<std::string> flagOptions;
    const char* synopsis; // "get PATH [LOCAL]"
    const char* summary;
};

inline constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);

class CommandLine {
public:
    // The commands, in the order the help text lists them.
    static const std::vector<CommandSpec>& commands();
    static const CommandSpec* find(std::string_view name);

    // Parses argv[1..]. On a mistake the error says what was wrong, in one line; the invocation
    // then holds what was understood (--json in particular, so that the error can be reported in
    // the form asked for).
    struct Result {
        Invocation invocation;
        std::string error; // empty when the line was understood

        bool ok() const { return error.empty(); }
    };
    static Result parse(const std::vector<std::string>& arguments);

    // "HOST:PORT", "[v6]:PORT": the host (brackets removed) and the port, 1-65535.
    static std::optional<std::pair<std::string, int>> hostAndPort(std::string_view text);
    // A whole decimal number within [low, high].
    static std::optional<long> number(std::string_view text, long low, long high);
};

} // namespace norvane::cli
