#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace norvane {

// The text encodings a response may declare that the engine can turn into text.
enum class TextEncoding {
    utf8,
    isoLatin1,
    shiftJIS, // read as Windows-31J, the superset that Japanese servers actually send
    eucJP,
    iso2022JP,
    ascii,
    utf16, // byte order from a byte-order mark, big-endian without one
    utf16LE,
    utf16BE,
    windows1252,
};

// The encoding an IANA character-set name (or a common alias of it) stands for, without regard
// to case. None for a name not listed.
std::optional<TextEncoding> textEncodingFromIANAName(std::string_view name);
// The preferred IANA name of an encoding.
std::string_view ianaName(TextEncoding encoding);

// The bytes as UTF-8 text. None when they are not valid in the encoding (nothing is replaced or
// skipped). ISO Latin-1 always succeeds: every byte is a character.
std::optional<std::string> decodeToUTF8(std::span<const std::uint8_t> bytes, TextEncoding encoding);
std::optional<std::string> decodeToUTF8(std::string_view bytes, TextEncoding encoding);

// The charset parameter of a Content-Type value ("text/xml; charset=UTF-8" gives "UTF-8"),
// without quotes or surrounding blanks. None when there is no (non-empty) charset.
std::optional<std::string> charsetFromContentType(std::string_view contentType);

} // namespace norvane
