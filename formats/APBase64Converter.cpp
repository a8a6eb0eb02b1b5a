#include "formats/APBase64Converter.h"

#include <algorithm>

namespace norvane {

namespace {

constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '_';

// The 6-bit value of a digit, or -1 for any byte that is not one.
int digitValue(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

std::string APBase64Converter::base64forData(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = std::uint32_t { bytes[i] } << 16;
        if (count > 1)
            group |= std::uint32_t { bytes[i + 1] } << 8;
        if (count > 2)
            group |= bytes[i + 2];
        out += kDigits[(group >> 18) & 0x3f];
        out += kDigits[(group >> 12) & 0x3f];
        out += count > 1 ? kDigits[(group >> 6) & 0x3f] : kPad;
        out += count > 2 ? kDigits[group & 0x3f] : kPad;
    }
    return out;
}

Bytes APBase64Converter::base64DataFromString(std::string_view text)
{
    Bytes out;
    out.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t group = 0;
    int collected = 0;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == kPad) {
            // Flush what the unfinished group holds. A single digit carries only six bits of
            // one byte; it still yields that byte so that no collected digit is lost silently.
            if (collected == 1) {
                out.push_back(static_cast<std::uint8_t>(group << 2));
            } else if (collected == 2) {
                out.push_back(static_cast<std::uint8_t>(group >> 4));
            } else if (collected == 3) {
                out.push_back(static_cast<std::uint8_t>(group >> 10));
                out.push_back(static_cast<std::uint8_t>(group >> 2));
            }
            return out;
        }
        const int value = digitValue(c);
        if (value < 0)
            continue;
        group = (group << 6) | static_cast<std::uint32_t>(value);
        if (++collected == 4) {
            out.push_back(static_cast<std::uint8_t>(group >> 16));
            out.push_back(static_cast<std::uint8_t>(group >> 8));
            out.push_back(static_cast<std::uint8_t>(group));
            group = 0;
            collected = 0;
        }
    }
    return out;
}

} // namespace norvane
