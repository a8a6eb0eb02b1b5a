#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvane::server {

// A named file of the demo content.
struct DemoFile {
    std::string name;
    std::string bytes;
};

// One page of a generated PDF: a heading and lines of body text (ASCII; other characters print
// as "?").
struct DemoPdfPage {
    std::string heading;
    std::vector<std::string> lines;
};

// Content for the demo accounts, drawn and written by code: nothing is read from outside.
class DemoAssets {
public:
    static constexpr int kPhotoCount = 4;
    static constexpr int kPhotoWidth = 1600;
    static constexpr int kPhotoHeight = 1200;

    // A landscape picture as a JPEG (quality 85). Each index (0..kPhotoCount-1, others wrap)
    // draws a different scene. Nothing when the size is out of 16..4096.
    static std::optional<std::string> photo(int index, int width = kPhotoWidth, int height = kPhotoHeight);
    // The file name of photo `index`, e.g. "Lake at dawn.jpg".
    static std::string photoName(int index);

    // Short UTF-8 memos in English and Japanese.
    static std::vector<DemoFile> memos();

    // A PDF document with one page (A4, portrait) per entry: heading and text in Helvetica, a
    // coloured band and a shape that differs from page to page, and "Page i of n" at the foot.
    static std::string pdf(const std::string& title, const std::vector<DemoPdfPage>& pages);
    // The demo's guide, a document of kGuidePages pages.
    static constexpr int kGuidePages = 4;
    static std::string guidePdf();
};

} // namespace norvane::server
