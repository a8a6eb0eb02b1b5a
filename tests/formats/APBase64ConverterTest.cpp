#include "formats/APBase64Converter.h"

#include <gtest/gtest.h>

#include <random>

using namespace norvane;

namespace {

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

} // namespace

TEST(APBase64Converter, PadsWithUnderscore)
{
    EXPECT_EQ(APBase64Converter::base64forData(bytesOf("ab")), "YWI_");
    EXPECT_EQ(APBase64Converter::base64forData(bytesOf("a")), "YQ__");
    EXPECT_EQ(APBase64Converter::base64forData(bytesOf("abc")), "YWJj");
    EXPECT_EQ(APBase64Converter::base64forData(bytesOf("abcd")), "YWJjZA__");
    EXPECT_EQ(APBase64Converter::base64forData(Bytes {}), "");
    // The last two digits of the alphabet.
    EXPECT_EQ(APBase64Converter::base64forData(Bytes { 0xfb, 0xff }), "+/8_");
}

TEST(APBase64Converter, RoundTripsEveryLength)
{
    std::mt19937 random(20240611);
    for (std::size_t length = 0; length <= 64; ++length) {
        for (int round = 0; round < 8; ++round) {
            Bytes data(length);
            for (auto& byte : data)
                byte = static_cast<std::uint8_t>(random());
            const std::string text = APBase64Converter::base64forData(data);
            ASSERT_EQ(text.size(), (length + 2) / 3 * 4);
            ASSERT_EQ(APBase64Converter::base64DataFromString(text), data) << "length " << length;
        }
    }
}

TEST(APBase64Converter, DecoderSkipsJunkAndStopsAtFirstPad)
{
    EXPECT_EQ(APBase64Converter::base64DataFromString("Y W\r\nJ.j"), bytesOf("abc"));
    EXPECT_EQ(APBase64Converter::base64DataFromString("YQ__YWJj"), bytesOf("a"));
    EXPECT_EQ(APBase64Converter::base64DataFromString("YWJj_ZGVm"), bytesOf("abc"));
    EXPECT_EQ(APBase64Converter::base64DataFromString(""), Bytes {});
    // Non-ASCII bytes are junk too.
    EXPECT_EQ(APBase64Converter::base64DataFromString("\xc3\xa9YWJj"), bytesOf("abc"));
}

TEST(APBase64Converter, UnfinishedGroupDependsOnPad)
{
    // With "_": three digits give two bytes, two give one, one gives the byte of its six bits.
    EXPECT_EQ(APBase64Converter::base64DataFromString("YWI_"), bytesOf("ab"));
    EXPECT_EQ(APBase64Converter::base64DataFromString("YQ_"), bytesOf("a"));
    EXPECT_EQ(APBase64Converter::base64DataFromString("YWJjZ_"), (Bytes { 'a', 'b', 'c', 0x64 }));
    // Without "_" the unfinished group is dropped, and "=" is not a pad here.
    EXPECT_EQ(APBase64Converter::base64DataFromString("YWJjZA"), bytesOf("abc"));
    EXPECT_EQ(APBase64Converter::base64DataFromString("YWI="), Bytes {});
}
