#include "server/media/PdfPage.h"

#include "platform/Log.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define NORVANE_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVANE_LEAK_CHECKED 1
#endif
#endif

#ifdef NORVANE_LEAK_CHECKED
// Fontconfig 2.14 loses a few bytes once per process while it parses its configuration, which
// poppler loads on the first page that uses a font that is not embedded. The leak checker of
// sanitizer builds is told so, instead of failing every process that renders a page.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
#endif

namespace norvane::server {

namespace {

// Poppler's font and colour caches are shared by every document of the process; one document at
// a time keeps the renderer out of each other's way on the HTTP worker threads.
std::mutex& popplerMutex()
{
    static std::mutex mutex;
    return mutex;
}

void logPopplerMessage(const std::string& text, void*)
{
    Log::line("pdf: " + text);
}

struct Opened {
    std::unique_ptr<poppler::document> document;
    int pages = 0;
};

MediaResult<Opened> open(const std::filesystem::path& pdf)
{
    static std::once_flag routed;
    std::call_once(routed, [] { poppler::set_debug_error_function(logPopplerMessage, nullptr); });

    std::error_code error;
    if (!std::filesystem::is_regular_file(pdf, error))
        return mediaFailure(MediaError::Unreadable, "no document at " + pdf.string());
    Opened opened;
    opened.document.reset(poppler::document::load_from_file(pdf.string()));
    if (!opened.document)
        return mediaFailure(MediaError::NotAPdf, "not a readable PDF document: " + pdf.filename().string());
    if (opened.document->is_locked())
        return mediaFailure(MediaError::Encrypted, "the document needs a password");
    opened.pages = opened.document->pages();
    if (opened.pages < 1)
        return mediaFailure(MediaError::NotAPdf, "the document has no pages");
    return opened;
}

// Poppler's picture rows, in whichever layout it chose, as tightly packed RGB.
std::vector<std::uint8_t> packRgb(const poppler::image& image)
{
    const int width = image.width();
    const int height = image.height();
    const int stride = image.bytes_per_row();
    const auto* data = reinterpret_cast<const std::uint8_t*>(image.const_data());
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = data + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            switch (image.format()) {
            case poppler::image::format_rgb24:
                rgb.insert(rgb.end(), row + x * 3, row + x * 3 + 3);
                break;
            case poppler::image::format_bgr24:
                rgb.insert(rgb.end(), { row[x * 3 + 2], row[x * 3 + 1], row[x * 3] });
                break;
            case poppler::image::format_argb32: {
                // One native-endian 32-bit word per pixel, 0xAARRGGBB, the colour premultiplied.
                std::uint32_t word = 0;
                std::memcpy(&word, row + x * 4, 4);
                const unsigned alpha = word >> 24;
                for (int shift : { 16, 8, 0 }) {
                    const unsigned value = (word >> shift) & 0xff;
                    rgb.push_back(static_cast<std::uint8_t>(std::min(255u, value + (255 - alpha))));
                }
                break;
            }
            case poppler::image::format_gray8:
                rgb.insert(rgb.end(), 3, row[x]);
                break;
            case poppler::image::format_mono: {
                const bool set = (row[x / 8] >> (7 - x % 8)) & 1;
                rgb.insert(rgb.end(), 3, set ? 255 : 0);
                break;
            }
            default:
                return {};
            }
        }
    }
    return rgb;
}

} // namespace

MediaResult<int> PdfPage::count(const std::filesystem::path& pdf)
{
    std::lock_guard lock(popplerMutex());
    auto opened = open(pdf);
    if (!opened)
        return opened.failure();
    return opened->pages;
}

MediaResult<JpegImage> PdfPage::render(const std::filesystem::path& pdf, int pageNumber, int longEdge)
{
    if (longEdge < 1 || longEdge > kMaxLongEdge)
        return mediaFailure(MediaError::BadSize, "page size " + std::to_string(longEdge) + " is out of range");
    std::lock_guard lock(popplerMutex());
    auto opened = open(pdf);
    if (!opened)
        return opened.failure();
    if (pageNumber < 1 || pageNumber > opened->pages)
        return mediaFailure(MediaError::BadSize,
            "page " + std::to_string(pageNumber) + " of a document of " + std::to_string(opened->pages) + " pages");
    std::unique_ptr<poppler::page> page(opened->document->create_page(pageNumber - 1));
    if (!page)
        return mediaFailure(MediaError::RenderFailed, "page " + std::to_string(pageNumber) + " cannot be read");
    const poppler::rectf box = page->page_rect(poppler::crop_box);
    const double longSide = std::max(std::abs(box.width()), std::abs(box.height()));
    if (!std::isfinite(longSide) || longSide < 1.0)
        return mediaFailure(MediaError::RenderFailed, "page " + std::to_string(pageNumber) + " has no size");
    // Points are 1/72 inch: this resolution makes the longer side `longEdge` pixels.
    const double dpi = 72.0 * longEdge / longSide;

    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing);
    renderer.set_image_format(poppler::image::format_rgb24);
    renderer.set_paper_color(0xffffffff);
    const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
    if (!image.is_valid() || image.width() < 1 || image.height() < 1 || image.width() > longEdge + 1
        || image.height() > longEdge + 1)
        return mediaFailure(MediaError::RenderFailed, "page " + std::to_string(pageNumber) + " could not be rendered");
    const std::vector<std::uint8_t> rgb = packRgb(image);
    auto jpeg = encodeJpeg(rgb, image.width(), image.height(), kQuality);
    if (!jpeg)
        return mediaFailure(MediaError::EncodeFailed, "page " + std::to_string(pageNumber) + " could not be encoded");
    return std::move(*jpeg);
}

} // namespace norvane::server
