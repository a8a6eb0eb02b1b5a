#include "CloudServiceSDKForMac/ASIHTTP/TextEncoding.h"

#include <gtest/gtest.h>

#include <vector>

using namespace norvane;

namespace {

std::optional<std::string> decode(std::vector<std::uint8_t> bytes, TextEncoding encoding)
{
    return decodeToUTF8(std::span<const std::uint8_t>(bytes), encoding);
}

} // namespace

TEST(CharsetFromContentType, ReadsTheCharsetParameter)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        { "text/xml; charset=UTF-8", "UTF-8" },
        { "text/html;charset=\"Shift_JIS\"", "Shift_JIS" },
        { "text/plain; format=flowed; Charset = euc-jp ; delsp=yes", "euc-jp" },
        { "text/plain; CHARSET=iso-8859-1", "iso-8859-1" },
        { "text/plain; charset=\"utf-8", "utf-8" },
        { "text/plain", std::nullopt },
        { "text/plain; charset=", std::nullopt },
        { "text/plain; charset=\"\"", std::nullopt },
        { "text/plain; xcharset=utf-8", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& [contentType, expected] : cases)
        EXPECT_EQ(charsetFromContentType(contentType), expected) << contentType;
}

TEST(TextEncodingNames, MapsAliasesWithoutRegardToCase)
{
    const std::pair<const char*, TextEncoding> known[] = {
        { "UTF-8", TextEncoding::utf8 },
        { "utf8", TextEncoding::utf8 },
        { "ISO-8859-1", TextEncoding::isoLatin1 },
        { "Latin1", TextEncoding::isoLatin1 },
        { "Shift_JIS", TextEncoding::shiftJIS },
        { "SJIS", TextEncoding::shiftJIS },
        { "x-sjis", TextEncoding::shiftJIS },
        { "CP932", TextEncoding::shiftJIS },
        { "Windows-31J", TextEncoding::shiftJIS },
        { "EUC-JP", TextEncoding::eucJP },
        { "iso-2022-jp", TextEncoding::iso2022JP },
        { "US-ASCII", TextEncoding::ascii },
        { "UTF-16", TextEncoding::utf16 },
        { "utf-16le", TextEncoding::utf16LE },
        { "UTF-16BE", TextEncoding::utf16BE },
        { "windows-1252", TextEncoding::windows1252 },
    };
    for (const auto& [name, encoding] : known) {
        EXPECT_EQ(textEncodingFromIANAName(name), encoding) << name;
        // The preferred name leads back to the same encoding.
        EXPECT_EQ(textEncodingFromIANAName(ianaName(encoding)), encoding) << name;
    }
    for (const char* unknown : { "klingon", "", "utf-9", "shift_jis2004", "utf-8x" })
        EXPECT_FALSE(textEncodingFromIANAName(unknown)) << unknown;
}

TEST(DecodeToUTF8, DecodesJapaneseText)
{
    const std::string japanese = "日本語のファイル";
    EXPECT_EQ(decode({ 0x93, 0xfa, 0x96, 0x7b, 0x8c, 0xea, 0x82, 0xcc, 0x83, 0x74, 0x83, 0x40, 0x83, 0x43, 0x83, 0x8b,
                         0x87, 0x40, 0x5c },
                  TextEncoding::shiftJIS),
        japanese + "①\\")
        << "Windows-31J extensions and a plain backslash";
    EXPECT_EQ(decode({ 0xc6, 0xfc, 0xcb, 0xdc, 0xb8, 0xec, 0xa4, 0xce, 0xa5, 0xd5, 0xa5, 0xa1, 0xa5, 0xa4, 0xa5, 0xeb,
                         0x8e, 0xb1 },
                  TextEncoding::eucJP),
        japanese + "ｱ");
    EXPECT_EQ(decode({ 0x1b, 0x24, 0x42, 0x46, 0x7c, 0x4b, 0x5c, 0x38, 0x6c, 0x24, 0x4e, 0x25, 0x55, 0x25, 0x21, 0x25,
                         0x24, 0x25, 0x6b, 0x1b, 0x28, 0x42, 0x41 },
                  TextEncoding::iso2022JP),
        japanese + "A");
}

TEST(DecodeToUTF8, UnicodeForms)
{
    const std::string text = "Aあ😀";
    EXPECT_EQ(decodeToUTF8(text, TextEncoding::utf8), text);
    EXPECT_EQ(decode({ 0x41, 0x00, 0x42, 0x30, 0x3d, 0xd8, 0x00, 0xde }, TextEncoding::utf16LE), text);
    EXPECT_EQ(decode({ 0x00, 0x41, 0x30, 0x42, 0xd8, 0x3d, 0xde, 0x00 }, TextEncoding::utf16BE), text);
    EXPECT_EQ(decode({ 0xff, 0xfe, 0x41, 0x00, 0x42, 0x30 }, TextEncoding::utf16), "Aあ") << "byte-order mark";
    EXPECT_EQ(decode({ 0xfe, 0xff, 0x00, 0x41, 0x30, 0x42 }, TextEncoding::utf16), "Aあ");
    EXPECT_EQ(decode({ 0x00, 0x41, 0x30, 0x42 }, TextEncoding::utf16), "Aあ") << "big-endian without a mark";
}

TEST(DecodeToUTF8, RefusesWhatIsNotValidInTheEncoding)
{
    const std::pair<std::vector<std::uint8_t>, TextEncoding> invalid[] = {
        { { 'a', 0xc0, 0xaf }, TextEncoding::utf8 }, // overlong "/"
        { { 0xed, 0xa0, 0x80 }, TextEncoding::utf8 }, // a surrogate
        { { 0xf4, 0x90, 0x80, 0x80 }, TextEncoding::utf8 }, // above U+10FFFF
        { { 0xe3, 0x81 }, TextEncoding::utf8 }, // cut short
        { { 0x80 }, TextEncoding::utf8 }, // a lone continuation byte
        { { 0x93, 0xfa, 0x93 }, TextEncoding::shiftJIS }, // a lead byte at the end
        { { 0xa4, 0xa2, 0xff }, TextEncoding::eucJP },
        { { 0x41, 0x00, 0x3d, 0xd8 }, TextEncoding::utf16LE }, // a lone high surrogate
        { { 0x00, 0x41, 0x00 }, TextEncoding::utf16BE }, // odd length
        { { 'a', 0x80 }, TextEncoding::ascii }, { { 0x81 }, TextEncoding::windows1252 }, // unassigned
    };
    for (const auto& [bytes, encoding] : invalid)
        EXPECT_FALSE(decode(bytes, encoding)) << ianaName(encoding) << " of " << bytes.size() << " bytes";

    EXPECT_EQ(decode({ 0x80, 0x41 }, TextEncoding::windows1252), "€A");
    EXPECT_EQ(decode({}, TextEncoding::shiftJIS), "");
}

TEST(DecodeToUTF8, Latin1TakesEveryByte)
{
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    const auto text = decode(all, TextEncoding::isoLatin1);
    ASSERT_TRUE(text);
    // Each byte above 0x7f becomes a two-byte sequence; the rest stay as they are.
    EXPECT_EQ(text->size(), 128u + 2 * 128u);
    EXPECT_EQ(decodeToUTF8(*text, TextEncoding::utf8), *text);
    EXPECT_EQ(decode({ 'c', 'a', 'f', 0xe9, 0xff }, TextEncoding::isoLatin1), "caféÿ");
}
