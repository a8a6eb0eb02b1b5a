#include "formats/MD5DigestString.h"
#include "platform/Value.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace norvane;

TEST(MD5DigestString, KnownDigests)
{
    EXPECT_EQ(MD5DigestString(std::span<const std::uint8_t> {}), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MD5DigestString(std::string_view {}), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(MD5DigestString("abc"), "900150983cd24fb0d6963f7d28e17f72");
    const Bytes abc { 'a', 'b', 'c' };
    EXPECT_EQ(MD5DigestString(abc), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(MD5DigestString("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");
}

TEST(MD5DigestString, NonAsciiTextHasNoDigest)
{
    EXPECT_EQ(MD5DigestString("caf\xc3\xa9"), std::nullopt);
    EXPECT_EQ(MD5DigestString(std::string_view("a\x80", 2)), std::nullopt);
    // A NUL byte is ASCII.
    EXPECT_EQ(MD5DigestString(std::string_view("\0", 1)), "93b885adfe0da089cdf634904fd59f71");
}

TEST(MD5Digest, StreamingMatchesOneShot)
{
    Bytes data(3 * 1000 * 1000 + 17);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    const auto whole = MD5DigestString(data);
    ASSERT_TRUE(whole);

    MD5Digest digest;
    const std::size_t cuts[] = { 0, 1, 63, 64, 65, 1000, 1 << 20, data.size() };
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        digest.update(std::span(data).subspan(cuts[i], cuts[i + 1] - cuts[i]));
        if (i == 2) { // reading the digest on the way must not end the stream
            EXPECT_EQ(digest.hexDigest(), MD5DigestString(std::span(data).first(cuts[3])));
        }
    }
    EXPECT_EQ(digest.hexDigest(), whole);

    const auto directory = std::filesystem::temp_directory_path() / ("md5-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const auto file = directory / "big.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    EXPECT_EQ(MD5DigestOfFile(file), whole);
    EXPECT_EQ(MD5DigestOfFile(directory / "missing"), std::nullopt);
    EXPECT_EQ(MD5DigestOfFile(directory), std::nullopt);
    std::filesystem::remove_all(directory);
}
