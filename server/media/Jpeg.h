#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace norvane::server {

// A JPEG file in memory with the size of its picture.
struct JpegImage {
    std::string bytes;
    int width = 0;
    int height = 0;
};

// Encodes tightly packed 8-bit RGB pixels (width * height * 3 bytes, rows top to bottom) as a
// baseline JPEG. Nothing when the sizes do not match the pixels or the encoder fails.
std::optional<JpegImage> encodeJpeg(std::span<const std::uint8_t> rgb, int width, int height, int quality);

} // namespace norvane::server
