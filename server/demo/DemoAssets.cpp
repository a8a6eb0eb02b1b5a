#include "server/demo/DemoAssets.h"

#include "server/media/Jpeg.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>

namespace norvane::server {

namespace {

// ---- pictures ---------------------------------------------------------------------------------

struct Rgb {
    double r = 0, g = 0, b = 0;
};

Rgb mix(Rgb a, Rgb b, double t)
{
    t = std::clamp(t, 0.0, 1.0);
    return { a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t };
}

Rgb scale(Rgb c, double f)
{
    return { c.r * f, c.g * f, c.b * f };
}

Rgb add(Rgb a, Rgb b)
{
    return { a.r + b.r, a.g + b.g, a.b + b.b };
}

std::uint32_t hash(std::uint32_t x, std::uint32_t y, std::uint32_t seed)
{
    std::uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    h ^= h >> 12;
    h *= 0x297a2d39u;
    h ^= h >> 15;
    return h;
}

// Smooth noise in 0..1: hashed lattice values, interpolated.
double valueNoise(double x, double y, std::uint32_t seed)
{
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    const auto ix = static_cast<std::uint32_t>(static_cast<std::int64_t>(fx));
    const auto iy = static_cast<std::uint32_t>(static_cast<std::int64_t>(fy));
    auto corner = [&](std::uint32_t dx, std::uint32_t dy) { return (hash(ix + dx, iy + dy, seed) & 0xffff) / 65535.0; };
    const double tx = (x - fx) * (x - fx) * (3 - 2 * (x - fx));
    const double ty = (y - fy) * (y - fy) * (3 - 2 * (y - fy));
    const double top = corner(0, 0) + (corner(1, 0) - corner(0, 0)) * tx;
    const double bottom = corner(0, 1) + (corner(1, 1) - corner(0, 1)) * tx;
    return top + (bottom - top) * ty;
}

enum class Ground { Water, Meadow, Foliage };

struct Scene {
    const char* name;
    Rgb skyTop, skyHorizon;
    Rgb sun;
    double sunX, sunY, sunRadius, glow;
    Rgb farRidge, nearRidge;
    double horizon; // fraction of the height where the land or water begins
    double farHeight, nearHeight;
    double phase;
    Ground ground;
    Rgb groundNear, groundFar;
    bool stars;
};

const std::array<Scene, DemoAssets::kPhotoCount> kScenes { {
    { "Lake at dawn.jpg", { 70, 90, 160 }, { 250, 180, 140 }, { 255, 230, 170 }, 0.68, 0.52, 0.045, 0.9,
        { 120, 110, 150 }, { 60, 55, 85 }, 0.62, 0.16, 0.08, 0.4, Ground::Water, { 30, 40, 70 }, { 200, 150, 140 },
        false },
    { "Alps noon.jpg", { 40, 110, 215 }, { 170, 210, 240 }, { 255, 255, 235 }, 0.22, 0.14, 0.035, 0.5,
        { 150, 170, 200 }, { 70, 95, 80 }, 0.7, 0.34, 0.18, 2.1, Ground::Meadow, { 60, 120, 40 }, { 140, 180, 90 },
        false },
    { "Harbor by night.jpg", { 5, 8, 25 }, { 30, 40, 80 }, { 240, 240, 220 }, 0.8, 0.2, 0.03, 0.35, { 25, 30, 55 },
        { 10, 12, 25 }, 0.66, 0.1, 0.05, 4.7, Ground::Water, { 5, 8, 20 }, { 40, 50, 90 }, true },
    { "\xe7\xb4\x85\xe8\x91\x89.jpg", { 90, 140, 210 }, { 235, 215, 180 }, { 255, 240, 200 }, 0.35, 0.3, 0.04, 0.6,
        { 170, 120, 110 }, { 150, 60, 30 }, 0.58, 0.2, 0.12, 1.3, Ground::Foliage, { 170, 40, 20 }, { 240, 160, 40 },
        false },
} };

double ridge(double u, double phase, double height, int octaves)
{
    double h = 0;
    double amplitude = 1;
    double frequency = 5;
    for (int i = 0; i < octaves; ++i) {
        h += amplitude * std::sin(u * frequency + phase * (i + 1.7));
        amplitude *= 0.45;
        frequency *= 2.3;
    }
    return height * (0.65 + 0.3 * h);
}

Rgb skyAt(const Scene& s, int x, int y, int width, int height, std::uint32_t seed, bool withDisc = true)
{
    const double v = static_cast<double>(y) / height;
    Rgb c = mix(s.skyTop, s.skyHorizon, std::pow(std::clamp(v / s.horizon, 0.0, 1.0), 1.4));
    const double dx = (x - s.sunX * width) / height;
    const double dy = (y - s.sunY * height) / height;
    const double d = std::sqrt(dx * dx + dy * dy);
    if (withDisc && d < s.sunRadius)
        return s.sun;
    c = add(c, scale(s.sun, s.glow * std::exp(-std::max(d - s.sunRadius, 0.0) * 9) * 0.5));
    if (s.stars && v < s.horizon * 0.85) {
        const std::uint32_t h = hash(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), seed);
        if (h % 1000 < 2)
            c = mix(c, { 255, 255, 240 }, 0.4 + (h >> 20) / 4096.0 * 0.6);
    }
    return c;
}

Rgb pixel(const Scene& s, int x, int y, int width, int height, std::uint32_t seed)
{
    const double u = static_cast<double>(x) / width;
    const double v = static_cast<double>(y) / height;
    if (v < s.horizon) {
        const double nearTop = s.horizon - ridge(u, s.phase + 1.1, s.nearHeight, 4);
        const double farTop = s.horizon - ridge(u, s.phase, s.farHeight, 5);
        if (v >= nearTop) {
            const double depth = (v - nearTop) / std::max(s.horizon - nearTop, 1e-6);
            return mix(s.nearRidge, scale(s.nearRidge, 0.6), depth);
        }
        if (v >= farTop) {
            const double depth = (v - farTop) / std::max(s.horizon - farTop, 1e-6);
            return mix(s.farRidge, s.skyHorizon, 0.25 + 0.35 * depth);
        }
        return skyAt(s, x, y, width, height, seed);
    }
    const double t = (v - s.horizon) / (1 - s.horizon);
    switch (s.ground) {
    case Ground::Water: {
        // The sky mirrored, darker towards the viewer, broken up by ripples; the sun glitters in a
        // column below it.
        const int mirrored = std::clamp(static_cast<int>((2 * s.horizon - v) * height), 0, height - 1);
        Rgb c = mix(skyAt(s, x, mirrored, width, height, seed, false), s.groundNear, 0.3 + 0.6 * t);
        const double ripple = std::sin(y * 0.35 + 3 * std::sin(x * 0.013 + y * 0.002));
        c = scale(c, 0.92 + 0.08 * ripple);
        const double column = std::abs(x - s.sunX * width) / (s.sunRadius * height * (1 + 1.5 * t));
        if (column < 1 && ripple > 0.2)
            c = mix(c, s.sun, (1 - column) * (ripple - 0.2) * 0.8);
        return c;
    }
    case Ground::Meadow: {
        const double n = valueNoise(x / 18.0, y / (6.0 + 30 * t), seed);
        return scale(mix(s.groundFar, s.groundNear, t), 0.8 + 0.35 * n);
    }
    case Ground::Foliage:
        break;
    }
    const double n
        = valueNoise(x / (20.0 + 60 * t), y / (14.0 + 40 * t), seed) + 0.5 * valueNoise(x / 7.0, y / 7.0, seed + 1);
    return scale(mix(s.groundFar, s.groundNear, n / 1.5), 0.7 + 0.3 * t);
}

// ---- PDF --------------------------------------------------------------------------------------

std::string pdfText(const std::string& text)
{
    std::string out = "(";
    for (unsigned char c : text) {
        if (c == '(' || c == ')' || c == '\\')
            out += '\\';
        out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    return out + ")";
}

std::string number(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

// A shape in the middle of the page, different for each page.
std::string shape(int index)
{
    const double cx = 297.5;
    const double cy = 360;
    std::string out;
    switch (index % 4) {
    case 0: {
        // A circle from four Bezier arcs.
        const double r = 110;
        const double k = r * 0.5523;
        out += "0.15 0.45 0.80 rg 0.05 0.20 0.45 RG 4 w\n";
        out += number(cx + r) + " " + number(cy) + " m\n";
        out += number(cx + r) + " " + number(cy + k) + " " + number(cx + k) + " " + number(cy + r) + " " + number(cx)
            + " " + number(cy + r) + " c\n";
        out += number(cx - k) + " " + number(cy + r) + " " + number(cx - r) + " " + number(cy + k) + " "
            + number(cx - r) + " " + number(cy) + " c\n";
        out += number(cx - r) + " " + number(cy - k) + " " + number(cx - k) + " " + number(cy - r) + " " + number(cx)
            + " " + number(cy - r) + " c\n";
        out += number(cx + k) + " " + number(cy - r) + " " + number(cx + r) + " " + number(cy - k) + " "
            + number(cx + r) + " " + number(cy) + " c\nB\n";
        break;
    }
    case 1:
        out += "0.90 0.55 0.10 rg 0.50 0.25 0.00 RG 4 w\n";
        out += number(cx) + " " + number(cy + 120) + " m " + number(cx + 130) + " " + number(cy - 100) + " l "
            + number(cx - 130) + " " + number(cy - 100) + " l h B\n";
        break;
    case 2: {
        out += "0.20 0.65 0.35 rg 0.05 0.30 0.10 RG 3 w\n";
        for (int i = 0; i < 10; ++i) {
            const double angle = std::numbers::pi / 2 + i * std::numbers::pi / 5;
            const double r = i % 2 == 0 ? 130 : 55;
            out += number(cx + r * std::cos(angle)) + " " + number(cy + r * std::sin(angle))
                + (i == 0 ? " m\n" : " l\n");
        }
        out += "h B\n";
        break;
    }
    default: {
        // A bar chart with its axis.
        const double heights[] = { 60, 140, 95, 180, 120 };
        out += "0 0 0 RG 2 w " + number(cx - 160) + " " + number(cy - 110) + " m " + number(cx + 160) + " "
            + number(cy - 110) + " l S\n";
        for (int i = 0; i < 5; ++i) {
            out += number(0.2 + 0.15 * i) + " 0.30 " + number(0.8 - 0.12 * i) + " rg ";
            out += number(cx - 150 + i * 62) + " " + number(cy - 110) + " 44 " + number(heights[i]) + " re f\n";
        }
        break;
    }
    }
    return out;
}

std::string pageContent(const std::string& title, const DemoPdfPage& page, int index, int count)
{
    std::string out;
    // The coloured band at the top, with the document title on it.
    out += "0.10 0.25 0.45 rg 0 772 595 70 re f\n";
    out += "BT /F2 14 Tf 1 1 1 rg 40 800 Td " + pdfText(title) + " Tj ET\n";
    out += "BT /F2 24 Tf 0 0 0 rg 40 720 Td " + pdfText(page.heading) + " Tj ET\n";
    out += "BT /F1 12 Tf 0.15 0.15 0.15 rg 16 TL 40 690 Td\n";
    for (const auto& line : page.lines)
        out += pdfText(line) + " Tj T*\n";
    out += "ET\n";
    out += "q\n" + shape(index) + "Q\n";
    out += "BT /F1 10 Tf 0.4 0.4 0.4 rg 260 40 Td "
        + pdfText("Page " + std::to_string(index + 1) + " of " + std::to_string(count)) + " Tj ET\n";
    return out;
}

} // namespace

std::optional<std::string> DemoAssets::photo(int index, int width, int height)
{
    if (width < 16 || height < 16 || width > 4096 || height > 4096)
        return std::nullopt;
    const auto wrapped = static_cast<std::size_t>(((index % kPhotoCount) + kPhotoCount) % kPhotoCount);
    const Scene& scene = kScenes[wrapped];
    const auto seed = static_cast<std::uint32_t>(wrapped * 7919 + 17);
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    std::size_t at = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb c = pixel(scene, x, y, width, height, seed);
            // A little noise keeps the gradients from banding in the JPEG.
            const double grain
                = static_cast<double>(hash(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), seed + 99) & 7)
                - 3.5;
            for (double channel : { c.r, c.g, c.b })
                rgb[at++] = static_cast<std::uint8_t>(std::clamp(std::lround(channel + grain), 0L, 255L));
        }
    }
    auto jpeg = encodeJpeg(rgb, width, height, 85);
    if (!jpeg)
        return std::nullopt;
    return std::move(jpeg->bytes);
}

std::string DemoAssets::photoName(int index)
{
    return kScenes[static_cast<std::size_t>(((index % kPhotoCount) + kPhotoCount) % kPhotoCount)].name;
}

std::vector<DemoFile> DemoAssets::memos()
{
    return {
        { "Shopping list.txt",
            "Shopping list\n"
            "- coffee beans (the dark roast)\n"
            "- printer paper, A4, two packs\n"
            "- batteries AA x8\n"
            "- a birthday card for Ken\n" },
        { "Meeting notes.txt",
            "Weekly meeting\n\n"
            "1. The new brochure goes to print on Friday; final proofs are in Projects/Design.\n"
            "2. Everyone please move personal files out of Public by the end of the month.\n"
            "3. Next meeting: Tuesday, 10:00, room B.\n" },
        { "\xe4\xbc\x9a\xe8\xad\xb0\xe3\x83\xa1\xe3\x83\xa2.txt",
            "\xe5\xae\x9a\xe4\xbe\x8b\xe4\xbc\x9a\xe8\xad\xb0\n\n"
            "\xe3\x83\xbb\xe6\x96\xb0\xe3\x81\x97\xe3\x81\x84\xe3\x83\x91\xe3\x83\xb3\xe3\x83\x95\xe3\x83\xac\xe3\x83"
            "\x83\xe3\x83\x88\xe3\x81\xaf\xe9\x87\x91\xe6\x9b\x9c\xe6\x97\xa5\xe3\x81\xab\xe5\x8d\xb0\xe5\x88\xb7\xe3"
            "\x81\x97\xe3\x81\xbe\xe3\x81\x99\xe3\x80\x82\n"
            "\xe3\x83\xbb\xe6\xac\xa1\xe5\x9b\x9e\xe3\x81\xaf\xe7\x81\xab\xe6\x9b\x9c\xe6\x97\xa5\xe3\x81\xae\x31\x30"
            "\xe6\x99\x82\xe3\x81\x8b\xe3\x82\x89\xe3\x81\xa7\xe3\x81\x99\xe3\x80\x82\n" },
        { "\xe6\x97\x85\xe8\xa1\x8c\xe3\x81\xae\xe8\xa8\x88\xe7\x94\xbb.txt",
            "\xe6\x97\x85\xe8\xa1\x8c\xe3\x81\xae\xe8\xa8\x88\xe7\x94\xbb\n\n"
            "\xe4\xb8\x80\xe6\x97\xa5\xe7\x9b\xae\xef\xbc\x9a\xe4\xba\xac\xe9\x83\xbd\xe3\x81\xa7\xe7\xb4\x85\xe8\x91"
            "\x89\xe7\x8b\xa9\xe3\x82\x8a\n"
            "\xe4\xba\x8c\xe6\x97\xa5\xe7\x9b\xae\xef\xbc\x9a\xe5\xa5\x88\xe8\x89\xaf\xe3\x81\xa8\xe6\x9d\xb1\xe5\xa4"
            "\xa7\xe5\xaf\xba\n"
            "\xe6\x8c\x81\xe3\x81\xa1\xe7\x89\xa9\xef\xbc\x9a\xe3\x82\xab\xe3\x83\xa1\xe3\x83\xa9\xe3\x80\x81\xe5\x82"
            "\x98\xe3\x80\x81\xe5\x85\x85\xe9\x9b\xbb\xe5\x99\xa8\n" },
    };
}

std::string DemoAssets::pdf(const std::string& title, const std::vector<DemoPdfPage>& pages)
{
    // Objects: 1 catalog, 2 page tree, 3 and 4 the fonts, 5 the document information, then a page
    // and its content stream for each page.
    const int count = static_cast<int>(pages.size());
    const int objects = 5 + 2 * count;
    std::vector<std::size_t> offsets(static_cast<std::size_t>(objects) + 1, 0);
    std::string out = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
    auto object = [&](int id, const std::string& body) {
        offsets[static_cast<std::size_t>(id)] = out.size();
        out += std::to_string(id) + " 0 obj\n" + body + "\nendobj\n";
    };

    object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (int i = 0; i < count; ++i)
        kids += (i ? " " : "") + std::to_string(6 + 2 * i) + " 0 R";
    object(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(count) + " >>");
    object(3, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
    object(4, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding /WinAnsiEncoding >>");
    object(5, "<< /Title " + pdfText(title) + " /Producer (norvane-server demo) >>");
    for (int i = 0; i < count; ++i) {
        const int pageId = 6 + 2 * i;
        object(pageId,
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 3 0 R /F2 4 0 R >> >> "
            "/Contents "
                + std::to_string(pageId + 1) + " 0 R >>");
        const std::string content = pageContent(title, pages[static_cast<std::size_t>(i)], i, count);
        object(pageId + 1, "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream");
    }

    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects + 1) + "\n0000000000 65535 f \n";
    for (int id = 1; id <= objects; ++id) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offsets[static_cast<std::size_t>(id)]);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objects + 1) + " /Root 1 0 R /Info 5 0 R >>\nstartxref\n"
        + std::to_string(xref) + "\n%%EOF\n";
    return out;
}

std::string DemoAssets::guidePdf()
{
    const std::vector<DemoPdfPage> pages {
        { "Welcome to Norvane",
            { "This guide comes with the demo accounts of the Norvane server.",
                "Your personal area holds the folders Photos, Memo and Recorder.",
                "The shared area holds the folders of the whole company.", "",
                "Open this document in the page viewer to see each page as a picture." } },
        { "Uploading and downloading",
            { "Large files travel in chunks and resume where they stopped.",
                "The server checks every finished upload against its MD5 digest.",
                "Downloads can be ranged; a broken download never replaces the old file." } },
        { "Sharing",
            { "Managers of a shared folder may change everything in it.",
                "Other users may change files they own or files marked editable.",
                "A locked file can only be changed by the user who locked it.",
                "Read-only files can only be changed by managers." } },
        { "Publishing and printing",
            { "Create a web link for a file with a validity period and a download limit.",
                "Add a password when the link should not be enough on its own.",
                "Register a file for printing and collect it with its print number." } },
    };
    return pdf("Norvane Guide", pages);
}

} // namespace norvane::server
