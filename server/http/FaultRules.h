#pragma once

#include "platform/ErrorValue.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane::server {

// Fault injection: a list of rules, each naming requests (method and path glob) and what to do to
// them instead of, or on top of, the normal answer. Tests and benchmarks load it with --faults
// FILE or replace it through the control endpoint; the HTTP front end asks `match` for every
// request and carries out the returned action.

// Error domain and codes of this module's ErrorValues.
inline constexpr const char* kFaultRulesErrorDomain = "norvane.server.faults";
enum class FaultRulesError : long {
    Syntax = 1, // not JSON at all, or too large
    Rule = 2, // JSON, but not a list of well-formed rules
    File = 3, // the rules file could not be read
};

// One rule as written. Limits enforced when parsing: status 100..599, delayMs up to 600000,
// trickleBytesPerSecond 1..1000000000, the byte counts and times not negative.
struct FaultRule {
    std::string method; // upper case; empty = any method ("*" or absent)
    std::string path = "*"; // glob over the decoded path without query: "*" any run, "?" one character
    std::optional<std::int64_t> times; // matches left; nothing = unlimited
    std::optional<int> status; // answer this status instead of the normal answer
    std::string body; // with status: the body of that answer
    std::int64_t delayMs = 0; // wait this long before answering
    std::optional<std::int64_t> dropAfterBytes; // cut the connection after this many body bytes
    std::optional<std::int64_t> trickleBytesPerSecond; // send (or read) the body at this pace
    bool noAnswer = false; // close the connection without any answer
    std::optional<std::int64_t> offset416; // refuse an upload chunk: 416 with this offset in the database

    friend bool operator==(const FaultRule&, const FaultRule&) = default;
};

// What the front end does to one matched request. Fields mean the same as in FaultRule.
struct FaultAction {
    std::size_t ruleIndex = 0; // position of the matched rule in the list, for logs
    std::optional<int> status;
    std::string body;
    std::chrono::milliseconds delay { 0 };
    std::optional<std::uint64_t> dropAfterBytes;
    std::optional<std::uint64_t> trickleBytesPerSecond;
    bool noAnswer = false;
    std::optional<std::int64_t> offset416;
};

// The rules of a JSON text, or why there are none (then `rules` is empty).
struct FaultRulesParse {
    std::vector<FaultRule> rules;
    std::optional<ErrorValue> error;

    bool ok() const { return !error; }
};

// Parses the JSON array of rules. Unknown fields, wrong types, values out of range, "body" without
// "status" and contradictory rules ("noAnswer" with an answer, "offset416" with another status) are
// refused with a reason naming the rule (0-based) and the field. Never throws.
FaultRulesParse parseFaultRules(std::string_view json);

// Glob match over the whole text: "*" matches any run of characters (also across "/"), "?" exactly
// one character (a whole UTF-8 sequence), everything else itself, case-sensitively. Iterative, at
// most pattern length × text length steps, whatever the input.
bool globMatches(std::string_view pattern, std::string_view text);

// The live rule list of a server. All members are safe to call from any thread at the same time.
class FaultRules {
public:
    // Puts `rules` in place of the current list; their `times` start afresh.
    void replace(std::vector<FaultRule> rules);
    // Parses and replaces; on an error the current list stays as it was.
    std::optional<ErrorValue> replaceFromJson(std::string_view json);
    // Reads a rules file (at most 1 MiB) and replaces; on an error the current list stays.
    std::optional<ErrorValue> loadFile(const std::filesystem::path& path);
    void clear();

    // The first rule that matches the method (case-insensitively) and path and still has uses
    // left gives up one use and its action; nothing when no rule applies. `path` is the decoded
    // path without the query.
    std::optional<FaultAction> match(std::string_view method, std::string_view path);

    // The current list with `times` showing the uses left.
    std::vector<FaultRule> rules() const;

private:
    mutable std::mutex mutex_;
    std::vector<FaultRule> rules_;
};

// Pacing of a trickled body: piece after piece, each sent no earlier than the average rate
// allows, so that the bytes after t seconds never exceed rate × t plus one piece.
class Trickle {
public:
    using Clock = std::chrono::steady_clock;

    explicit Trickle(std::uint64_t bytesPerSecond, Clock::time_point start = Clock::now());

    // How many of `available` bytes to send as the next piece (about 1/20 s worth, at least 1).
    std::size_t nextPieceSize(std::size_t available) const;
    // How long to wait before sending the next piece; zero when it is due already.
    std::chrono::nanoseconds waitBeforeNext(Clock::time_point now = Clock::now()) const;
    // Records that `bytes` went out.
    void sent(std::size_t bytes);

    std::uint64_t bytesSent() const { return sent_; }

private:
    std::uint64_t bytesPerSecond_;
    Clock::time_point start_;
    std::uint64_t sent_ = 0;
};

// When, counted from the start, a paced transfer may have sent `bytesSent` bytes: bytesSent /
// bytesPerSecond seconds (saturating; zero for a rate of zero).
std::chrono::nanoseconds trickleDueTime(std::uint64_t bytesPerSecond, std::uint64_t bytesSent);

// Of `wanted` further bytes, how many may still go out when the connection is to be cut after
// `dropAfterBytes` in total and `alreadySent` are gone. Fewer than `wanted` means: send (or read)
// these, then drop the connection.
std::uint64_t bytesBeforeDrop(std::uint64_t dropAfterBytes, std::uint64_t alreadySent, std::uint64_t wanted);

} // namespace norvane::server
