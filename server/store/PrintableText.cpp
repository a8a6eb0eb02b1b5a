#include "server/store/PrintableText.h"

#include <cstdint>

namespace norvane::server {

namespace {

constexpr std::uint32_t kReplacement = 0xfffd;

// One character of UTF-8: its code point and length, or none (length 1) for a byte that starts
// no well-formed sequence.
struct Character {
    std::uint32_t point = 0;
    std::size_t length = 1;
    bool valid = false;
};

Character characterAt(std::string_view text, std::size_t i)
{
    const auto c = static_cast<unsigned char>(text[i]);
    Character read;
    if (c < 0x80) {
        read = { c, 1, true };
        return read;
    }
    std::size_t length = 0;
    std::uint32_t point = 0;
    if ((c & 0xe0) == 0xc0) {
        length = 2;
        point = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
        length = 3;
        point = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
        length = 4;
        point = c & 0x07;
    }
    if (length == 0 || i + length > text.size())
        return read;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80)
            return read;
        point = (point << 6) | (next & 0x3f);
    }
    static constexpr std::uint32_t kSmallest[] = { 0, 0, 0x80, 0x800, 0x10000 };
    if (point < kSmallest[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))
        return read;
    return { point, length, true };
}

bool isControl(std::uint32_t point)
{
    return point < 0x20 || (point >= 0x7f && point <= 0x9f) || point == 0x2028 || point == 0x2029;
}

bool kept(std::uint32_t point, Layout layout)
{
    if (point == 0xfffe || point == 0xffff)
        return false;
    if (layout == Layout::TabsAndLineFeeds && (point == '\t' || point == '\n'))
        return true;
    return !isControl(point);
}

bool isPlainAscii(std::string_view text)
{
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f)
            return false;
    }
    return true;
}

void appendUtf8(std::string& out, std::uint32_t point)
{
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xc0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3f));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xe0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (point & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (point & 0x3f));
    }
}

} // namespace

bool isPrintableText(std::string_view text)
{
    if (isPlainAscii(text))
        return true;
    for (std::size_t i = 0; i < text.size();) {
        const Character read = characterAt(text, i);
        if (!read.valid || isControl(read.point))
            return false;
        i += read.length;
    }
    return true;
}

std::string printableText(std::string_view text, Layout layout)
{
    if (isPlainAscii(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Character read = characterAt(text, i);
        if (!read.valid)
            appendUtf8(out, kReplacement);
        else if (kept(read.point, layout))
            out.append(text.substr(i, read.length));
        i += read.length;
    }
    return out;
}

} // namespace norvane::server
