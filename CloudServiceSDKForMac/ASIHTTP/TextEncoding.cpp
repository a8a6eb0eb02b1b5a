#include "CloudServiceSDKForMac/ASIHTTP/TextEncoding.h"

#include "platform/AsciiText.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace norvane {

namespace {

constexpr std::array<std::pair<std::string_view, TextEncoding>, 36> names = { {
    { "utf-8", TextEncoding::utf8 },
    { "utf8", TextEncoding::utf8 },
    { "unicode-1-1-utf-8", TextEncoding::utf8 },
    { "iso-8859-1", TextEncoding::isoLatin1 },
    { "iso8859-1", TextEncoding::isoLatin1 },
    { "iso_8859-1", TextEncoding::isoLatin1 },
    { "iso_8859-1:1987", TextEncoding::isoLatin1 },
    { "latin1", TextEncoding::isoLatin1 },
    { "l1", TextEncoding::isoLatin1 },
    { "iso-ir-100", TextEncoding::isoLatin1 },
    { "csisolatin1", TextEncoding::isoLatin1 },
    { "shift_jis", TextEncoding::shiftJIS },
    { "shift-jis", TextEncoding::shiftJIS },
    { "sjis", TextEncoding::shiftJIS },
    { "x-sjis", TextEncoding::shiftJIS },
    { "ms_kanji", TextEncoding::shiftJIS },
    { "csshiftjis", TextEncoding::shiftJIS },
    { "cp932", TextEncoding::shiftJIS },
    { "windows-31j", TextEncoding::shiftJIS },
    { "euc-jp", TextEncoding::eucJP },
    { "x-euc-jp", TextEncoding::eucJP },
    { "cseucpkdfmtjapanese", TextEncoding::eucJP },
    { "iso-2022-jp", TextEncoding::iso2022JP },
    { "csiso2022jp", TextEncoding::iso2022JP },
    { "us-ascii", TextEncoding::ascii },
    { "ascii", TextEncoding::ascii },
    { "ansi_x3.4-1968", TextEncoding::ascii },
    { "iso646-us", TextEncoding::ascii },
    { "csascii", TextEncoding::ascii },
    { "utf-16", TextEncoding::utf16 },
    { "utf-16le", TextEncoding::utf16LE },
    { "utf-16be", TextEncoding::utf16BE },
    { "windows-1252", TextEncoding::windows1252 },
    { "cp1252", TextEncoding::windows1252 },
    { "x-cp1252", TextEncoding::windows1252 },
    { "csisolatin1windows", TextEncoding::windows1252 },
} };

// Well-formed UTF-8 only: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::span<const std::uint8_t> s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const std::uint8_t b = s[i];
        std::size_t length;
        std::uint8_t low = 0x80, high = 0xbf; // allowed range of the second byte
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xc2 && b <= 0xdf) {
            length = 2;
        } else if (b >= 0xe0 && b <= 0xef) {
            length = 3;
            if (b == 0xe0)
                low = 0xa0;
            else if (b == 0xed)
                high = 0x9f;
        } else if (b >= 0xf0 && b <= 0xf4) {
            length = 4;
            if (b == 0xf0)
                low = 0x90;
            else if (b == 0xf4)
                high = 0x8f;
        } else {
            return false;
        }
        if (s.size() - i < length || s[i + 1] < low || s[i + 1] > high)
            return false;
        for (std::size_t k = 2; k < length; ++k)
            if (s[i + k] < 0x80 || s[i + k] > 0xbf)
                return false;
        i += length;
    }
    return true;
}

std::optional<std::string> convertWithIconv(std::span<const std::uint8_t> bytes, const char* from)
{
    const iconv_t cd = iconv_open("UTF-8", from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(bytes.size() * 2 + 16, '\0');
    // iconv's interface takes a non-const input pointer but never writes through it.
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
    std::size_t inLeft = bytes.size();
    std::size_t used = 0;
    bool ok = true;
    bool flushing = false;
    for (;;) {
        char* outPtr = out.data() + used;
        std::size_t outLeft = out.size() - used;
        const std::size_t rc
            = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft) : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        used = out.size() - outLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            if (flushing)
                break;
            flushing = true; // return a stateful encoding to its initial state
            continue;
        }
        if (errno != E2BIG) {
            ok = false; // EILSEQ: not a character; EINVAL: the input ends inside one
            break;
        }
        out.resize(out.size() * 2);
    }
    iconv_close(cd);
    if (!ok)
        return std::nullopt;
    out.resize(used);
    if (!isValidUTF8(std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size())))
        return std::nullopt;
    return out;
}

} // namespace

std::optional<TextEncoding> textEncodingFromIANAName(std::string_view name)
{
    name = ascii::trimBlanks(name);
    for (const auto& [alias, encoding] : names)
        if (ascii::equalsIgnoringCase(name, alias))
            return encoding;
    return std::nullopt;
}

std::string_view ianaName(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::utf8:
        return "UTF-8";
    case TextEncoding::isoLatin1:
        return "ISO-8859-1";
    case TextEncoding::shiftJIS:
        return "Shift_JIS";
    case TextEncoding::eucJP:
        return "EUC-JP";
    case TextEncoding::iso2022JP:
        return "ISO-2022-JP";
    case TextEncoding::ascii:
        return "US-ASCII";
    case TextEncoding::utf16:
        return "UTF-16";
    case TextEncoding::utf16LE:
        return "UTF-16LE";
    case TextEncoding::utf16BE:
        return "UTF-16BE";
    case TextEncoding::windows1252:
        return "windows-1252";
    }
    return "ISO-8859-1";
}

std::optional<std::string> decodeToUTF8(std::span<const std::uint8_t> bytes, TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::isoLatin1: {
        std::string out;
        out.reserve(bytes.size() * 2);
        for (std::uint8_t b : bytes) {
            if (b < 0x80) {
                out += static_cast<char>(b);
            } else {
                out += static_cast<char>(0xc0 | (b >> 6));
                out += static_cast<char>(0x80 | (b & 0x3f));
            }
        }
        return out;
    }
    case TextEncoding::ascii:
        if (std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b >= 0x80; }))
            return std::nullopt;
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    case TextEncoding::utf8:
        if (!isValidUTF8(bytes))
            return std::nullopt;
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    case TextEncoding::utf16:
        if (bytes.size() >= 2 && bytes[0] == 0xff && bytes[1] == 0xfe)
            return convertWithIconv(bytes.subspan(2), "UTF-16LE");
        if (bytes.size() >= 2 && bytes[0] == 0xfe && bytes[1] == 0xff)
            return convertWithIconv(bytes.subspan(2), "UTF-16BE");
        return convertWithIconv(bytes, "UTF-16BE");
    case TextEncoding::utf16LE:
        return convertWithIconv(bytes, "UTF-16LE");
    case TextEncoding::utf16BE:
        return convertWithIconv(bytes, "UTF-16BE");
    case TextEncoding::shiftJIS:
        return convertWithIconv(bytes, "CP932");
    case TextEncoding::eucJP:
        return convertWithIconv(bytes, "EUC-JP");
    case TextEncoding::iso2022JP:
        return convertWithIconv(bytes, "ISO-2022-JP");
    case TextEncoding::windows1252:
        return convertWithIconv(bytes, "CP1252");
    }
    return std::nullopt;
}

std::optional<std::string> decodeToUTF8(std::string_view bytes, TextEncoding encoding)
{
    return decodeToUTF8(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), encoding);
}

std::optional<std::string> charsetFromContentType(std::string_view contentType)
{
    // Parameters follow the media type, each after a ";".
    auto semicolon = contentType.find(';');
    while (semicolon != std::string_view::npos) {
        contentType.remove_prefix(semicolon + 1);
        semicolon = contentType.find(';');
        const std::string_view parameter = contentType.substr(0, semicolon);
        const auto equals = parameter.find('=');
        if (equals == std::string_view::npos
            || !ascii::equalsIgnoringCase(ascii::trimBlanks(parameter.substr(0, equals)), "charset"))
            continue;
        std::string_view value = ascii::trimBlanks(parameter.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = ascii::trimBlanks(value.substr(1, value.size() - 2));
        else if (!value.empty() && (value.front() == '"' || value.back() == '"'))
            value = ascii::trimBlanks(value.substr(value.front() == '"' ? 1 : 0, value.size() - 1));
        if (value.empty())
            return std::nullopt;
        return std::string(value);
    }
    return std::nullopt;
}

} // namespace norvane
