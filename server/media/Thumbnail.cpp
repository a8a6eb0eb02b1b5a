#include "server/media/Thumbnail.h"

#include <stb_image.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvane::server {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct PixelsFree {
    void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};
using Pixels = std::unique_ptr<stbi_uc, PixelsFree>;

std::string reason()
{
    const char* text = stbi_failure_reason();
    return text ? text : "unknown";
}

std::optional<MediaFailure> checkBox(int maxWidth, int maxHeight)
{
    if (maxWidth < 1 || maxHeight < 1 || maxWidth > Thumbnail::kMaxEdge || maxHeight > Thumbnail::kMaxEdge)
        return mediaFailure(MediaError::BadSize,
            "thumbnail size " + std::to_string(maxWidth) + "x" + std::to_string(maxHeight) + " is outside 1.."
                + std::to_string(Thumbnail::kMaxEdge));
    return std::nullopt;
}

std::optional<MediaFailure> checkHeader(bool known, int width, int height)
{
    if (!known)
        return mediaFailure(MediaError::NotAnImage, "not a readable picture: " + reason());
    if (width <= 0 || height <= 0)
        return mediaFailure(MediaError::NotAnImage, "picture without pixels");
    if (static_cast<std::int64_t>(width) * height > Thumbnail::kMaxSourcePixels)
        return mediaFailure(MediaError::TooLarge,
            "picture of " + std::to_string(width) + "x" + std::to_string(height) + " pixels is above the limit");
    return std::nullopt;
}

// Decoded RGBA pixels to a preview: alpha over white, scaled into the box, encoded.
MediaResult<JpegImage> shrink(Pixels pixels, int width, int height, int maxWidth, int maxHeight)
{
    if (!pixels)
        return mediaFailure(MediaError::NotAnImage, "picture could not be decoded: " + reason());
    if (auto header = checkHeader(true, width, height))
        return *header;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    stbi_uc* data = pixels.get();
    // Packing RGBA into RGB in place: the write position never passes the read position.
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned alpha = data[i * 4 + 3];
        for (std::size_t c = 0; c < 3; ++c)
            data[i * 3 + c] = static_cast<stbi_uc>((data[i * 4 + c] * alpha + 255 * (255 - alpha) + 127) / 255);
    }

    int outWidth = 0;
    int outHeight = 0;
    Thumbnail::fitInto(width, height, maxWidth, maxHeight, outWidth, outHeight);
    std::vector<std::uint8_t> scaled;
    std::span<const std::uint8_t> rgb(data, count * 3);
    if (outWidth != width || outHeight != height) {
        scaled.resize(static_cast<std::size_t>(outWidth) * static_cast<std::size_t>(outHeight) * 3);
        if (stbir_resize_uint8(data, width, height, 0, scaled.data(), outWidth, outHeight, 0, 3) == 0)
            return mediaFailure(MediaError::RenderFailed, "picture could not be scaled");
        rgb = scaled;
    }
    auto jpeg = encodeJpeg(rgb, outWidth, outHeight, Thumbnail::kQuality);
    if (!jpeg)
        return mediaFailure(MediaError::EncodeFailed, "thumbnail could not be encoded");
    return std::move(*jpeg);
}

} // namespace

void Thumbnail::fitInto(int width, int height, int maxWidth, int maxHeight, int& outWidth, int& outHeight)
{
    width = std::max(width, 1);
    height = std::max(height, 1);
    maxWidth = std::max(maxWidth, 1);
    maxHeight = std::max(maxHeight, 1);
    const double scale
        = std::min({ 1.0, static_cast<double>(maxWidth) / width, static_cast<double>(maxHeight) / height });
    outWidth = std::clamp(static_cast<int>(std::lround(width * scale)), 1, std::min(width, maxWidth));
    outHeight = std::clamp(static_cast<int>(std::lround(height * scale)), 1, std::min(height, maxHeight));
}

MediaResult<JpegImage> Thumbnail::fromFile(const std::filesystem::path& image, int maxWidth, int maxHeight)
{
    if (auto box = checkBox(maxWidth, maxHeight))
        return *box;
    // One open file for both the header check and the decoding, so that both see the same bytes.
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(image.c_str(), "rb"));
    if (!file)
        return mediaFailure(MediaError::Unreadable, "cannot open " + image.string());
    int width = 0;
    int height = 0;
    int channels = 0;
    const bool known = stbi_info_from_file(file.get(), &width, &height, &channels) != 0;
    if (auto header = checkHeader(known, width, height))
        return *header;
    Pixels pixels(stbi_load_from_file(file.get(), &width, &height, &channels, 4));
    return shrink(std::move(pixels), width, height, maxWidth, maxHeight);
}

MediaResult<JpegImage> Thumbnail::fromMemory(std::string_view bytes, int maxWidth, int maxHeight)
{
    if (auto box = checkBox(maxWidth, maxHeight))
        return *box;
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return mediaFailure(MediaError::NotAnImage, "no picture in " + std::to_string(bytes.size()) + " bytes");
    const auto* data = reinterpret_cast<const stbi_uc*>(bytes.data());
    const int length = static_cast<int>(bytes.size());
    int width = 0;
    int height = 0;
    int channels = 0;
    const bool known = stbi_info_from_memory(data, length, &width, &height, &channels) != 0;
    if (auto header = checkHeader(known, width, height))
        return *header;
    Pixels pixels(stbi_load_from_memory(data, length, &width, &height, &channels, 4));
    return shrink(std::move(pixels), width, height, maxWidth, maxHeight);
}

} // namespace norvane::server
