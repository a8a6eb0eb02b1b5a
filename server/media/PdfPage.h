#pragma once

#include "server/media/Jpeg.h"
#include "server/media/MediaResult.h"

#include <filesystem>

namespace norvane::server {

// Pages of PDF documents as JPEG pictures, for the client's page viewer. Nothing is cached here.
// Documents that need a password are refused; so are files that are not PDF.
class PdfPage {
public:
    static constexpr int kDefaultLongEdge = 1200;
    static constexpr int kMaxLongEdge = 4096;
    static constexpr int kQuality = 85;

    // The number of pages (at least 1).
    static MediaResult<int> count(const std::filesystem::path& pdf);
    // Page `pageNumber` (1 = the first) rendered on white so that its longer side is `longEdge`
    // pixels (1..kMaxLongEdge), whatever the page's size in points.
    static MediaResult<JpegImage> render(
        const std::filesystem::path& pdf, int pageNumber, int longEdge = kDefaultLongEdge);
};

} // namespace norvane::server
