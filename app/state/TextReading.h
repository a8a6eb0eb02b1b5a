#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane {

// How the settings read numbers and switches that arrive as text: policy header values and the
// elements of a settings file.
class TextReading {
public:
    // Leading blanks are skipped, then an optional sign and the digits up to the first
    // non-digit; no digits gives 0. A value beyond the 64-bit range stops at its limit.
    static std::int64_t integerValue(std::string_view text);
    // True when integerValue finds at least one digit.
    static bool holdsInteger(std::string_view text);
    // True when the text, after leading blanks, an optional sign and leading zeros, begins with
    // a digit 1-9 or with "Y", "y", "T" or "t".
    static bool boolValue(std::string_view text);
    // The 32-bit reading: integerValue held within the 32-bit range.
    static std::int32_t int32Value(std::string_view text);
    // The low byte of a value, as a signed byte (256 -> 0, 257 -> 1, 255 -> -1).
    static std::int8_t lowByte(std::int64_t value);

    // The text with every byte sequence that is not UTF-8, and every character that an XML
    // document cannot carry (control characters other than tab, line feed and carriage return,
    // U+FFFE, U+FFFF), replaced by U+FFFD, so that whatever a field holds can be written out and
    // read back.
    static std::string xmlSafe(std::string_view text);
    // True when the bytes are UTF-8.
    static bool isUTF8(std::string_view text);
};

} // namespace norvane
