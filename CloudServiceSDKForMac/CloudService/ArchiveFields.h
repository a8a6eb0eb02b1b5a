#pragma once

#include "formats/KeyedArchive.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

// Integer fields that the archive stores 32 bits wide but that may hold more in memory (sizes past
// 2 GiB, offsets of large uploads). The 32-bit key keeps its width and is clamped into range; a
// twin key, the same name followed by "64", carries the exact value. Readers take the twin when it
// is a number and otherwise the 32-bit key, so archives without twins still read.

namespace norvane::archive_fields {

inline constexpr std::string_view kWideSuffix = "64";

inline std::string wideKey(std::string_view key)
{
    std::string twin(key);
    twin += kWideSuffix;
    return twin;
}

inline std::int32_t clampToInt32(std::int64_t value)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

inline void encodeWideSigned(KeyedArchiver& coder, std::string_view key, std::int64_t value)
{
    coder.encodeInt32(key, clampToInt32(value));
    coder.encodeInt64(wideKey(key), value);
}

// Values beyond INT64_MAX travel as their two's-complement bit pattern in the twin.
inline void encodeWideUnsigned(KeyedArchiver& coder, std::string_view key, std::uint64_t value)
{
    coder.encodeInt32(key, static_cast<std::int32_t>(std::min<std::uint64_t>(value, INT32_MAX)));
    coder.encodeInt64(wideKey(key), static_cast<std::int64_t>(value));
}

inline bool hasWideTwin(const KeyedUnarchiver& coder, std::string_view key)
{
    return coder.decodeValue(wideKey(key)).isInteger();
}

inline std::int64_t decodeWideSigned(const KeyedUnarchiver& coder, std::string_view key)
{
    if (hasWideTwin(coder, key))
        return coder.decodeInt64(wideKey(key));
    return coder.decodeInt32(key);
}

// Without a twin, a negative 32-bit value can only be an unsigned size that an older writer
// truncated to 32 bits; its bit pattern gives back the size below 4 GiB.
inline std::uint64_t decodeWideUnsigned(const KeyedUnarchiver& coder, std::string_view key)
{
    if (hasWideTwin(coder, key))
        return static_cast<std::uint64_t>(coder.decodeInt64(wideKey(key)));
    return static_cast<std::uint32_t>(coder.decodeInt32(key));
}

} // namespace norvane::archive_fields
