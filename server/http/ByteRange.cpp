#include "server/http/ByteRange.h"

#include "platform/AsciiText.h"

#include <limits>

namespace norvane::server {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Reads digits at `at`, held at the largest value; nothing when there is no digit.
std::optional<std::uint64_t> readNumber(std::string_view text, std::size_t& at)
{
    const std::size_t start = at;
    std::uint64_t value = 0;
    while (at < text.size() && ascii::isDigit(text[at])) {
        const auto digit = static_cast<std::uint64_t>(text[at] - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
        ++at;
    }
    if (at == start)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<ByteRangeRequest> parseByteRange(std::string_view header)
{
    std::string_view text = ascii::trimBlanks(header);
    const bool prefixed = ascii::startsWithIgnoringCase(text, "bytes=");
    if (prefixed)
        text = ascii::trimBlanks(text.substr(6));
    std::size_t at = 0;
    ByteRangeRequest range;
    if (prefixed && !text.empty() && text.front() == '-') {
        at = 1;
        auto count = readNumber(text, at);
        if (!count || at != text.size())
            return std::nullopt;
        range.first = *count;
        range.suffix = true;
        return range;
    }
    auto first = readNumber(text, at);
    if (!first || at >= text.size() || text[at] != '-')
        return std::nullopt;
    ++at;
    range.first = *first;
    if (at < text.size()) {
        auto last = readNumber(text, at);
        if (!last || at != text.size() || *last < *first)
            return std::nullopt;
        range.last = *last;
    }
    return range;
}

RangeAnswer resolveByteRange(const std::optional<ByteRangeRequest>& range, std::uint64_t size)
{
    RangeAnswer answer;
    answer.length = size;
    if (!range || size == 0)
        return answer;
    if (range->suffix) {
        if (range->first == 0) {
            answer.kind = RangeAnswer::Kind::Unsatisfiable;
            answer.length = 0;
            return answer;
        }
        answer.kind = RangeAnswer::Kind::Partial;
        answer.length = std::min(range->first, size);
        answer.offset = size - answer.length;
        return answer;
    }
    if (range->first >= size) {
        answer.kind = RangeAnswer::Kind::Unsatisfiable;
        answer.length = 0;
        return answer;
    }
    const std::uint64_t last = std::min(range->last.value_or(kMax), size - 1);
    answer.kind = RangeAnswer::Kind::Partial;
    answer.offset = range->first;
    answer.length = last - range->first + 1;
    return answer;
}

std::string contentRangeValue(const RangeAnswer& answer, std::uint64_t size)
{
    if (answer.kind != RangeAnswer::Kind::Partial)
        return "bytes */" + std::to_string(size);
    return "bytes " + std::to_string(answer.offset) + "-" + std::to_string(answer.offset + answer.length - 1) + "/"
        + std::to_string(size);
}

std::optional<WriteRange> parseWriteRange(std::string_view header)
{
    std::string_view text = ascii::trimBlanks(header);
    std::size_t at = 0;
    auto first = readNumber(text, at);
    if (!first || at >= text.size() || text[at] != '-')
        return std::nullopt;
    ++at;
    auto last = readNumber(text, at);
    if (!last || at != text.size() || *last < *first || *last == kMax)
        return std::nullopt;
    return WriteRange { *first, *last };
}

std::optional<std::int64_t> parseDecimal(std::string_view text)
{
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (!ascii::isDigit(c))
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    return static_cast<std::int64_t>(value);
}

} // namespace norvane::server
