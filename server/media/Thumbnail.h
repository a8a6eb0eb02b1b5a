#pragma once

#include "server/media/Jpeg.h"
#include "server/media/MediaResult.h"

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace norvane::server {

// Small JPEG previews of pictures (JPEG, PNG, GIF, BMP, TGA, PSD, HDR, PNM: whatever the stb decoder
// reads; for an animated GIF its first frame). The preview fits into the requested box with the
// picture's aspect ratio, and is never larger than the picture itself. Transparent pixels are
// shown over white.
class Thumbnail {
public:
    static constexpr int kMaxEdge = 2048; // largest width or height a caller may ask for
    // Pictures above this many pixels are refused before decoding: a few bytes of header can
    // announce gigabytes of pixels.
    static constexpr std::int64_t kMaxSourcePixels = 50'000'000;
    static constexpr int kQuality = 80;

    static MediaResult<JpegImage> fromFile(const std::filesystem::path& image, int maxWidth, int maxHeight);
    static MediaResult<JpegImage> fromMemory(std::string_view bytes, int maxWidth, int maxHeight);

    // The size of the preview of a width x height picture in the box (at least 1 x 1).
    static void fitInto(int width, int height, int maxWidth, int maxHeight, int& outWidth, int& outHeight);
};

} // namespace norvane::server
