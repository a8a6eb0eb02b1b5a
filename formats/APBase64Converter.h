#pragma once

#include "platform/Value.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace norvane {

// Base64 with "_" as the padding character instead of "=", so that the text can travel inside
// URLs and headers of the storage protocol without further escaping of the padding.
class APBase64Converter {
public:
    // Four digits for every started group of three bytes, no line breaks.
    static std::string base64forData(std::span<const std::uint8_t> bytes);

    // Tolerant decoder: bytes outside the alphabet are skipped, the first "_" ends the input and
    // flushes the unfinished group; without "_" an unfinished trailing group is dropped.
    static Bytes base64DataFromString(std::string_view text);
};

} // namespace norvane
