#include "cli/TerminalText.h"

#include <cstdint>

namespace norvane::cli {

namespace {

// "\x1b" for a byte, "\u202e" for a code point (lower-case hexadecimal digits).
std::string hexEscape(char kind, std::uint32_t value, int digits)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out { '\\', kind };
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out += kDigits[(value >> shift) & 0xFu];
    return out;
}

// The length of the UTF-8 sequence at the start of `text` and its code point; 0 when the bytes
// there are not a well-formed sequence (overlong forms, surrogates and values above U+10FFFF
// included).
std::size_t decodeUtf8(std::string_view text, std::uint32_t& codePoint)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u)
            return 0;
        codePoint = (codePoint << 6) | (byte(i) & 0x3Fu);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

// Characters that change how the terminal draws what follows without showing themselves.
bool isInvisibleControl(std::uint32_t c)
{
    return (c >= 0x80 && c <= 0x9F) // C1 controls, CSI (0x9B) among them
        || (c >= 0x202A && c <= 0x202E) // direction embeddings and overrides
        || (c >= 0x2066 && c <= 0x2069) // direction isolates
        || c == 0x200E || c == 0x200F || c == 0x061C; // direction marks
}

} // namespace

std::string TerminalText::escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::uint32_t c = 0;
        const std::size_t length = decodeUtf8(text, c);
        if (length == 0) {
            out += hexEscape('x', static_cast<unsigned char>(text.front()), 2);
            text.remove_prefix(1);
            continue;
        }
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F)
            out += hexEscape('x', c, 2);
        else if (isInvisibleControl(c))
            out += hexEscape('u', c, 4);
        else
            out.append(text.substr(0, length));
        text.remove_prefix(length);
    }
    return out;
}

std::string TerminalText::escapedLines(std::string_view text)
{
    std::string out;
    for (;;) {
        const std::size_t end = text.find('\n');
        out += escaped(text.substr(0, end));
        if (end == std::string_view::npos)
            return out;
        out += '\n';
        text.remove_prefix(end + 1);
    }
}

} // namespace norvane::cli
