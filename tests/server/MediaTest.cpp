#include "server/demo/DemoAssets.h"
#include "server/media/PdfPage.h"
#include "server/media/Thumbnail.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace norvane::server {
namespace {

namespace fs = std::filesystem;

struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char* at(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

Decoded decode(const std::string& bytes)
{
    Decoded out;
    int channels = 0;
    unsigned char* pixels = stbi_load_from_memory(reinterpret_cast<const unsigned char*>(bytes.data()),
        static_cast<int>(bytes.size()), &out.width, &out.height, &channels, 3);
    if (pixels)
        out.rgb.assign(pixels, pixels + static_cast<std::size_t>(out.width) * out.height * 3);
    stbi_image_free(pixels);
    return out;
}

// An RGBA PNG: left half opaque red, right half opaque blue, bottom rows fully transparent black.
std::string png(int width, int height, int transparentRows = 0)
{
    std::vector<unsigned char> rgba(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            const bool opaque = y < height - transparentRows;
            p[0] = opaque && x < width / 2 ? 255 : 0;
            p[2] = opaque && x >= width / 2 ? 255 : 0;
            p[3] = opaque ? 255 : 0;
        }
    std::string out;
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<char*>(data), static_cast<std::size_t>(size));
        },
        &out, width, height, 4, rgba.data(), width * 4);
    return out;
}

class MediaTest : public ::testing::Test {
protected:
    fs::path dir = fs::path(::testing::TempDir()) / ("norvane-media-" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
    fs::path write(const std::string& name, const std::string& bytes)
    {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return dir / name;
    }
};

TEST_F(MediaTest, ThumbnailFitsTheBoxKeepsTheAspectAndNeverEnlarges)
{
    const fs::path wide = write("wide.png", png(300, 100));
    auto small = Thumbnail::fromFile(wide, 64, 64);
    ASSERT_TRUE(small.ok()) << small.failure().detail;
    EXPECT_EQ(small->width, 64);
    EXPECT_EQ(small->height, 21);
    const Decoded pixels = decode(small->bytes);
    ASSERT_EQ(pixels.width, 64);
    ASSERT_EQ(pixels.height, 21);
    EXPECT_GT(pixels.at(4, 10)[0], 200); // still red on the left
    EXPECT_LT(pixels.at(4, 10)[2], 60);
    EXPECT_GT(pixels.at(60, 10)[2], 200); // and blue on the right
    EXPECT_LT(pixels.at(60, 10)[0], 60);

    auto tall = Thumbnail::fromMemory(png(100, 400), 50, 50);
    ASSERT_TRUE(tall.ok());
    EXPECT_EQ(decode(tall->bytes).height, 50);
    EXPECT_EQ(decode(tall->bytes).width, 13);

    // A box larger than the picture keeps the picture's own size; transparency shows white.
    auto same = Thumbnail::fromMemory(png(40, 30, 10), 2048, 2048);
    ASSERT_TRUE(same.ok());
    const Decoded whole = decode(same->bytes);
    EXPECT_EQ(whole.width, 40);
    EXPECT_EQ(whole.height, 30);
    for (int c = 0; c < 3; ++c)
        EXPECT_GT(whole.at(20, 28)[c], 230);
}

TEST_F(MediaTest, ThumbnailRefusesBadInputAndBadBoxes)
{
    const std::string good = png(20, 20);
    for (auto [w, h] : { std::pair { 0, 10 }, { 10, -1 }, { 2049, 10 }, { 10, 5000 } })
        EXPECT_EQ(Thumbnail::fromMemory(good, w, h).failure().error, MediaError::BadSize);
    EXPECT_EQ(Thumbnail::fromFile(dir / "missing.jpg", 10, 10).failure().error, MediaError::Unreadable);
    EXPECT_EQ(Thumbnail::fromMemory("", 10, 10).failure().error, MediaError::NotAnImage);
    EXPECT_EQ(Thumbnail::fromMemory(std::string(5000, '\x5a'), 10, 10).failure().error, MediaError::NotAnImage);

    auto photo = DemoAssets::photo(1, 320, 240);
    ASSERT_TRUE(photo.has_value());
    const fs::path truncated = write("cut.jpg", photo->substr(0, photo->size() / 2));
    EXPECT_EQ(Thumbnail::fromFile(truncated, 64, 64).failure().error, MediaError::NotAnImage);

    // A PNG whose header announces 10000 x 8000 pixels is refused from its header alone.
    std::string bomb = png(1, 1);
    for (auto [i, edge] : { std::pair { 16, 10000u }, { 20, 8000u } }) {
        for (int b = 0; b < 4; ++b)
            bomb[static_cast<std::size_t>(i + b)] = static_cast<char>((edge >> (24 - 8 * b)) & 0xff);
    }
    EXPECT_EQ(Thumbnail::fromFile(write("bomb.png", bomb), 64, 64).failure().error, MediaError::TooLarge);
}

TEST_F(MediaTest, PdfPagesCountAndRenderWithinBounds)
{
    std::vector<DemoPdfPage> pages;
    for (int i = 0; i < 5; ++i)
        pages.push_back({ "Heading " + std::to_string(i), { "line (one)", "line \\two\\" } });
    const fs::path pdf = write("five.pdf", DemoAssets::pdf("Test (document)", pages));
    auto count = PdfPage::count(pdf);
    ASSERT_TRUE(count.ok()) << count.failure().detail;
    EXPECT_EQ(count.value(), 5);

    for (int page = 1; page <= 5; ++page) {
        auto image = PdfPage::render(pdf, page, 400);
        ASSERT_TRUE(image.ok()) << image.failure().detail;
        const Decoded pixels = decode(image->bytes);
        EXPECT_EQ(pixels.height, 400); // A4 portrait: the height is the long side
        EXPECT_NEAR(pixels.width, 400 * 595 / 842, 1);
        // White paper in the margin, the dark band at the top.
        EXPECT_GT(pixels.at(2, 300)[0], 240);
        EXPECT_LT(pixels.at(pixels.width / 2, 5)[0], 80);
    }
    EXPECT_EQ(PdfPage::render(pdf, 0).failure().error, MediaError::BadSize);
    EXPECT_EQ(PdfPage::render(pdf, 6).failure().error, MediaError::BadSize);
    EXPECT_EQ(PdfPage::render(pdf, 1, 0).failure().error, MediaError::BadSize);
    EXPECT_EQ(PdfPage::render(pdf, 1, PdfPage::kMaxLongEdge + 1).failure().error, MediaError::BadSize);
}

TEST_F(MediaTest, PdfRefusesMissingCorruptAndLockedDocuments)
{
    EXPECT_EQ(PdfPage::count(dir / "none.pdf").failure().error, MediaError::Unreadable);
    EXPECT_EQ(PdfPage::render(dir, 1).failure().error, MediaError::Unreadable);
    EXPECT_EQ(PdfPage::count(write("junk.pdf", std::string(3000, '\x01'))).failure().error, MediaError::NotAPdf);
    const std::string whole = DemoAssets::guidePdf();
    EXPECT_FALSE(PdfPage::render(write("cut.pdf", whole.substr(0, 120)), 1).ok());

    // A standard security handler whose user password is not empty: without it nothing opens.
    std::string locked = whole;
    const std::string hex32(64, 'a');
    const std::size_t trailer = locked.rfind("/Info 5 0 R");
    ASSERT_NE(trailer, std::string::npos);
    locked.insert(trailer,
        "/Encrypt << /Filter /Standard /V 1 /R 2 /O <" + hex32 + "> /U <" + hex32 + "> /P -4 >> /ID [<"
            + hex32.substr(0, 32) + "> <" + hex32.substr(0, 32) + ">] ");
    EXPECT_EQ(PdfPage::count(write("locked.pdf", locked)).failure().error, MediaError::Encrypted);
}

} // namespace
} // namespace norvane::server
