#include "server/http/FaultRules.h"

#include "platform/AsciiText.h"
#include "platform/FileSystem.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace norvane::server {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxRulesText = 1024 * 1024;
constexpr std::size_t kMaxPathPattern = 4096;
constexpr std::int64_t kMaxDelayMs = 600'000;
constexpr std::int64_t kMaxTrickleRate = 1'000'000'000;
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

ErrorValue faultError(FaultRulesError code, std::string description)
{
    return ErrorValue { kFaultRulesErrorDomain, static_cast<long>(code), std::move(description), {} };
}

// RFC 9110 token characters: what a method name may consist of.
bool isTokenChar(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || ascii::isDigit(c))
        return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

std::string upperAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// The integer of a JSON number without a fraction or exponent that fits into int64.
std::optional<std::int64_t> jsonInteger(const Json& value)
{
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(kInt64Max))
            return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    return std::nullopt;
}

// Reads the fields of one rule object; the first problem becomes `problem` and stops the reading.
class RuleReader {
public:
    RuleReader(const Json& object, std::size_t index)
        : object_(object)
        , index_(index)
    { }

    std::optional<FaultRule> read()
    {
        static const std::set<std::string, std::less<>> known { "method", "path", "times", "status", "body", "delayMs",
            "dropAfterBytes", "trickleBytesPerSecond", "noAnswer", "offset416" };
        for (const auto& item : object_.items()) {
            if (known.find(item.key()) == known.end())
                return refuse("unknown field \"" + item.key() + "\"");
        }

        FaultRule rule;
        if (const Json* method = field("method")) {
            if (!method->is_string())
                return refuse("\"method\" must be a text");
            const auto& text = method->get_ref<const std::string&>();
            if (text.empty() || !std::all_of(text.begin(), text.end(), isTokenChar))
                return refuse("\"method\" must be a method name or \"*\"");
            rule.method = text == "*" ? std::string() : upperAscii(text);
        }
        if (const Json* path = field("path")) {
            if (!path->is_string())
                return refuse("\"path\" must be a text");
            const auto& text = path->get_ref<const std::string&>();
            // Decoded paths always begin with "/": a pattern beginning otherwise could never match.
            if (text.empty() || (text.front() != '/' && text.front() != '*' && text.front() != '?'))
                return refuse("\"path\" must begin with \"/\" or a wildcard");
            if (text.size() > kMaxPathPattern)
                return refuse("\"path\" is longer than 4096 bytes");
            rule.path = text;
        }
        if (!integer("times", 0, kInt64Max, rule.times) || !integer("dropAfterBytes", 0, kInt64Max, rule.dropAfterBytes)
            || !integer("trickleBytesPerSecond", 1, kMaxTrickleRate, rule.trickleBytesPerSecond)
            || !integer("offset416", 0, kInt64Max, rule.offset416))
            return std::nullopt;

        std::optional<std::int64_t> status;
        if (!integer("status", 100, 599, status))
            return std::nullopt;
        if (status)
            rule.status = static_cast<int>(*status);
        std::optional<std::int64_t> delay;
        if (!integer("delayMs", 0, kMaxDelayMs, delay))
            return std::nullopt;
        rule.delayMs = delay.value_or(0);

        if (const Json* body = field("body")) {
            if (!body->is_string())
                return refuse("\"body\" must be a text");
            if (!rule.status)
                return refuse("\"body\" needs a \"status\" to be sent with");
            rule.body = body->get<std::string>();
        }
        if (const Json* noAnswer = field("noAnswer")) {
            if (!noAnswer->is_boolean())
                return refuse("\"noAnswer\" must be true or false");
            rule.noAnswer = noAnswer->get<bool>();
        }
        if (rule.noAnswer && (rule.status || rule.offset416))
            return refuse("\"noAnswer\" cannot go with an answer (\"status\" or \"offset416\")");
        if (rule.offset416 && rule.status && *rule.status != 416)
            return refuse("\"offset416\" answers 416 and cannot go with another \"status\"");
        return rule;
    }

    const std::string& problem() const { return problem_; }

private:
    const Json* field(const char* name) const
    {
        const auto found = object_.find(name);
        return found == object_.end() ? nullptr : &*found;
    }

    std::nullopt_t refuse(std::string reason)
    {
        problem_ = "rule " + std::to_string(index_) + ": " + std::move(reason);
        return std::nullopt;
    }

    bool integer(const char* name, std::int64_t low, std::int64_t high, std::optional<std::int64_t>& out)
    {
        const Json* value = field(name);
        if (value == nullptr)
            return true;
        const auto number = jsonInteger(*value);
        if (!number || *number < low || *number > high) {
            refuse("\"" + std::string(name) + "\" must be an integer from " + std::to_string(low) + " to "
                + std::to_string(high));
            return false;
        }
        out = number;
        return true;
    }

    const Json& object_;
    std::size_t index_;
    std::string problem_;
};

// Bytes of the character that starts at `at`: a whole UTF-8 sequence, or a single byte where the
// text is not UTF-8 there. Never runs past the end.
std::size_t characterLength(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t expected = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
    std::size_t length = 1;
    while (length < expected && at + length < text.size()
        && (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80)
        ++length;
    return length;
}

} // namespace

FaultRulesParse parseFaultRules(std::string_view json)
{
    FaultRulesParse result;
    if (json.size() > kMaxRulesText) {
        result.error = faultError(FaultRulesError::Syntax, "fault rules: the text is larger than 1 MiB");
        return result;
    }
    Json document;
    try {
        document = Json::parse(json.begin(), json.end());
    } catch (const std::exception& failure) {
        result.error
            = faultError(FaultRulesError::Syntax, std::string("fault rules: not valid JSON: ") + failure.what());
        return result;
    }
    if (!document.is_array()) {
        result.error = faultError(FaultRulesError::Rule, "fault rules: expected a JSON array of rule objects");
        return result;
    }
    std::vector<FaultRule> rules;
    rules.reserve(document.size());
    for (std::size_t index = 0; index < document.size(); ++index) {
        const Json& item = document[index];
        if (!item.is_object()) {
            result.error = faultError(
                FaultRulesError::Rule, "fault rules: rule " + std::to_string(index) + ": expected an object");
            return result;
        }
        RuleReader reader(item, index);
        auto rule = reader.read();
        if (!rule) {
            result.error = faultError(FaultRulesError::Rule, "fault rules: " + reader.problem());
            return result;
        }
        rules.push_back(std::move(*rule));
    }
    result.rules = std::move(rules);
    return result;
}

bool globMatches(std::string_view pattern, std::string_view text)
{
    // Greedy matching that remembers only the last "*": when the rest fails to match, that star
    // takes one more character and the rest is tried again. Earlier stars never need to be
    // revisited, which keeps this at O(pattern × text) without recursion.
    constexpr std::size_t none = std::string_view::npos;
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t afterStar = none;
    std::size_t starText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            afterStar = ++p;
            starText = t;
            continue;
        }
        if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            t += characterLength(text, t);
            continue;
        }
        if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
            continue;
        }
        if (afterStar == none)
            return false;
        starText += characterLength(text, starText);
        t = starText;
        p = afterStar;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

void FaultRules::replace(std::vector<FaultRule> rules)
{
    std::lock_guard lock(mutex_);
    rules_ = std::move(rules);
}

std::optional<ErrorValue> FaultRules::replaceFromJson(std::string_view json)
{
    auto parsed = parseFaultRules(json);
    if (!parsed.ok())
        return parsed.error;
    replace(std::move(parsed.rules));
    return std::nullopt;
}

std::optional<ErrorValue> FaultRules::loadFile(const std::filesystem::path& path)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0)
        return faultError(
            FaultRulesError::File, "fault rules: cannot read " + path.string() + ": " + std::strerror(errno));
    if (!S_ISREG(info.st_mode))
        return faultError(FaultRulesError::File, "fault rules: " + path.string() + " is not a regular file");
    const auto bytes = FileSystem::readFile(path, kMaxRulesText);
    if (!bytes)
        return faultError(
            FaultRulesError::File, "fault rules: cannot read " + path.string() + " (unreadable, or larger than 1 MiB)");
    auto error = replaceFromJson(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (error)
        error->description += " (in " + path.string() + ")";
    return error;
}

void FaultRules::clear()
{
    std::lock_guard lock(mutex_);
    rules_.clear();
}

std::optional<FaultAction> FaultRules::match(std::string_view method, std::string_view path)
{
    std::lock_guard lock(mutex_);
    for (std::size_t index = 0; index < rules_.size(); ++index) {
        FaultRule& rule = rules_[index];
        if (rule.times && *rule.times <= 0)
            continue;
        if (!rule.method.empty() && !ascii::equalsIgnoringCase(rule.method, method))
            continue;
        if (!globMatches(rule.path, path))
            continue;
        if (rule.times)
            --*rule.times;
        FaultAction action;
        action.ruleIndex = index;
        action.status = rule.status;
        action.body = rule.body;
        action.delay = std::chrono::milliseconds(rule.delayMs);
        if (rule.dropAfterBytes)
            action.dropAfterBytes = static_cast<std::uint64_t>(*rule.dropAfterBytes);
        if (rule.trickleBytesPerSecond)
            action.trickleBytesPerSecond = static_cast<std::uint64_t>(*rule.trickleBytesPerSecond);
        action.noAnswer = rule.noAnswer;
        action.offset416 = rule.offset416;
        return action;
    }
    return std::nullopt;
}

std::vector<FaultRule> FaultRules::rules() const
{
    std::lock_guard lock(mutex_);
    return rules_;
}

Trickle::Trickle(std::uint64_t bytesPerSecond, Clock::time_point start)
    : bytesPerSecond_(bytesPerSecond)
    , start_(start)
{ }

std::size_t Trickle::nextPieceSize(std::size_t available) const
{
    // About a twentieth of a second's worth keeps the pace even without a flood of tiny writes.
    const std::uint64_t piece = std::clamp<std::uint64_t>(bytesPerSecond_ / 20, 1, 64 * 1024);
    return static_cast<std::size_t>(std::min<std::uint64_t>(piece, available));
}

std::chrono::nanoseconds Trickle::waitBeforeNext(Clock::time_point now) const
{
    const auto due = start_ + trickleDueTime(bytesPerSecond_, sent_);
    return due > now ? std::chrono::duration_cast<std::chrono::nanoseconds>(due - now) : std::chrono::nanoseconds(0);
}

void Trickle::sent(std::size_t bytes)
{
    sent_ += bytes;
}

std::chrono::nanoseconds trickleDueTime(std::uint64_t bytesPerSecond, std::uint64_t bytesSent)
{
    if (bytesPerSecond == 0)
        return std::chrono::nanoseconds(0);
    // Whole seconds and the fraction apart, so that neither product overflows; past 10^9 seconds
    // the answer saturates (no transfer waits that long).
    constexpr std::uint64_t maxSeconds = 1'000'000'000;
    const std::uint64_t seconds = bytesSent / bytesPerSecond;
    if (seconds >= maxSeconds)
        return std::chrono::seconds(maxSeconds);
    const std::uint64_t remainder = bytesSent % bytesPerSecond;
    const auto fraction = static_cast<std::int64_t>(
        static_cast<long double>(remainder) * 1e9L / static_cast<long double>(bytesPerSecond));
    return std::chrono::seconds(seconds) + std::chrono::nanoseconds(fraction);
}

std::uint64_t bytesBeforeDrop(std::uint64_t dropAfterBytes, std::uint64_t alreadySent, std::uint64_t wanted)
{
    if (alreadySent >= dropAfterBytes)
        return 0;
    return std::min(wanted, dropAfterBytes - alreadySent);
}

} // namespace norvane::server
