#include "app/state/TextReading.h"

#include <cstddef>
#include <limits>

namespace norvane {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::size_t skipBlanks(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && isBlank(text[at]))
        ++at;
    return at;
}

// The length of the UTF-8 sequence at `at` and its code point; 0 when the bytes there are not
// one (overlong forms, surrogates and values beyond U+10FFFF included).
std::size_t decodeUTF8(std::string_view text, std::size_t at, char32_t& codePoint)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xe0) == 0xc0) {
        length = 2;
        codePoint = lead & 0x1f;
        minimum = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3;
        codePoint = lead & 0x0f;
        minimum = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (next & 0x3f);
    }
    if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
        return 0;
    return length;
}

bool isXmlCharacter(char32_t c)
{
    if (c < 0x20)
        return c == 0x9 || c == 0xa || c == 0xd;
    return c != 0xfffe && c != 0xffff;
}

} // namespace

std::int64_t TextReading::integerValue(std::string_view text)
{
    std::size_t at = skipBlanks(text);
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // Accumulated as a negative number, whose range is the larger one.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool saturated = false;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        const int digit = text[at] - '0';
        if (value < (lowest + digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (saturated)
        return negative ? lowest : std::numeric_limits<std::int64_t>::max();
    if (negative)
        return value;
    return value == lowest ? std::numeric_limits<std::int64_t>::max() : -value;
}

bool TextReading::holdsInteger(std::string_view text)
{
    std::size_t at = skipBlanks(text);
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        ++at;
    return at < text.size() && isDigit(text[at]);
}

bool TextReading::boolValue(std::string_view text)
{
    std::size_t at = skipBlanks(text);
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        ++at;
    while (at < text.size() && text[at] == '0')
        ++at;
    if (at == text.size())
        return false;
    const char c = text[at];
    return (c >= '1' && c <= '9') || c == 'Y' || c == 'y' || c == 'T' || c == 't';
}

std::int32_t TextReading::int32Value(std::string_view text)
{
    const std::int64_t value = integerValue(text);
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

std::int8_t TextReading::lowByte(std::int64_t value)
{
    return static_cast<std::int8_t>(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) & 0xffu));
}

std::string TextReading::xmlSafe(std::string_view text)
{
    static constexpr std::string_view replacement = "\xef\xbf\xbd";
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        char32_t codePoint = 0;
        const std::size_t length = decodeUTF8(text, at, codePoint);
        if (length == 0) {
            out += replacement;
            ++at;
            continue;
        }
        if (isXmlCharacter(codePoint))
            out += text.substr(at, length);
        else
            out += replacement;
        at += length;
    }
    return out;
}

bool TextReading::isUTF8(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        char32_t codePoint = 0;
        const std::size_t length = decodeUTF8(text, at, codePoint);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

} // namespace norvane
