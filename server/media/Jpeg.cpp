#include "server/media/Jpeg.h"

#include <stb_image_write.h>

#include <algorithm>

namespace norvane::server {

namespace {

void appendBytes(void* context, void* data, int size)
{
    if (size > 0)
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

} // namespace

std::optional<JpegImage> encodeJpeg(std::span<const std::uint8_t> rgb, int width, int height, int quality)
{
    // The encoder keeps sizes in 16 bits; JPEG itself allows no more than 65535 per side.
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535)
        return std::nullopt;
    if (rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3)
        return std::nullopt;
    JpegImage image;
    image.width = width;
    image.height = height;
    if (stbi_write_jpg_to_func(appendBytes, &image.bytes, width, height, 3, rgb.data(), std::clamp(quality, 1, 100))
            == 0
        || image.bytes.empty())
        return std::nullopt;
    return image;
}

} // namespace norvane::server
