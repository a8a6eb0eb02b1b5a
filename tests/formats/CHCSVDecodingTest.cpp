#include "formats/CHCSVParser.h"
#include "formats/NSArrayCHCSVAggregator.h"

#include "platform/Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace norvane;

namespace {

using Bytes8 = std::vector<std::uint8_t>;

Bytes8 bytes(std::string_view text)
{
    return Bytes8(text.begin(), text.end());
}

// Hands out at most `step` bytes per read, as a pipe or a socket may.
class TrickleStream : public CHCSVInputStream {
public:
    TrickleStream(Bytes8 data, std::size_t step)
        : data_(std::move(data))
        , step_(step)
    { }
    std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override
    {
        const std::size_t n = std::min({ maxLength, step_, data_.size() - offset_ });
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(offset_), n, buffer);
        offset_ += n;
        return static_cast<std::ptrdiff_t>(n);
    }

private:
    Bytes8 data_;
    std::size_t step_;
    std::size_t offset_ = 0;
};

class FailingStream : public CHCSVInputStream {
public:
    explicit FailingStream(bool throws)
        : throws_(throws)
    { }
    std::ptrdiff_t read(std::uint8_t*, std::size_t) override
    {
        if (throws_)
            throw std::runtime_error("disk gone");
        return -1;
    }
    ErrorValue streamError() const override { return { "POSIXErrorDomain", 5, "Input/output error", {} }; }

private:
    bool throws_;
};

struct Parsed {
    std::optional<CHCSVRows> rows;
    ErrorValue error;
    CHCSVEncoding encoding = CHCSVEncoding::SystemDefault;
    std::vector<std::string> log;
};

// Parses bytes from a stream handing out `step` bytes per read, reading `chunk` bytes at a time.
Parsed parseBytes(Bytes8 data, std::optional<CHCSVEncoding> encoding = std::nullopt, std::size_t chunk = 2048,
    std::size_t step = SIZE_MAX)
{
    Parsed result;
    Log::setSink([&](std::string_view line) { result.log.emplace_back(line); });
    auto parser = CHCSVParser::fromStream(std::make_unique<TrickleStream>(std::move(data), step), encoding);
    Log::setSink({});
    result.encoding = parser->encoding();
    parser->setChunkSize(chunk);
    NSArrayCHCSVAggregator aggregator;
    parser->setParserDelegate(&aggregator);
    if (parser->parse())
        result.rows = aggregator.lines();
    else
        result.error = *parser->error();
    return result;
}

} // namespace

TEST(CHCSVDecodingTest, ByteOrderMarksChooseTheEncoding)
{
    // "a,é😀\n" after each mark; the emoji needs a surrogate pair in UTF-16.
    struct Case {
        Bytes8 data;
        CHCSVEncoding expected;
    };
    const std::vector<Case> cases = {
        { bytes("\xEF\xBB\xBF"
                "a,\xC3\xA9\xF0\x9F\x98\x80\n"),
            CHCSVEncoding::UTF8 },
        { { 0xFE, 0xFF, 0, 'a', 0, ',', 0, 0xE9, 0xD8, 0x3D, 0xDE, 0x00, 0, '\n' }, CHCSVEncoding::UTF16BE },
        { { 0xFF, 0xFE, 'a', 0, ',', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, '\n', 0 }, CHCSVEncoding::UTF16LE },
        { { 0xFF, 0xFE, 0, 0, 'a', 0, 0, 0, ',', 0, 0, 0, 0xE9, 0, 0, 0, 0x00, 0xF6, 0x01, 0, '\n', 0, 0, 0 },
            CHCSVEncoding::UTF32LE },
        { { 0, 0, 0xFE, 0xFF, 0, 0, 0, 'a', 0, 0, 0, ',', 0, 0, 0, 0xE9, 0, 0x01, 0xF6, 0x00, 0, 0, 0, '\n' },
            CHCSVEncoding::UTF32BE },
    };
    for (const Case& c : cases) {
        for (std::size_t step : { std::size_t { 1 }, std::size_t { 3 }, SIZE_MAX }) {
            const Parsed parsed = parseBytes(c.data, std::nullopt, 2048, step);
            EXPECT_EQ(parsed.encoding, c.expected);
            EXPECT_EQ(parsed.rows, (CHCSVRows { { "a", "é😀" } })) << parsed.error.description;
            EXPECT_TRUE(parsed.log.empty());
        }
    }
}

TEST(CHCSVDecodingTest, WithoutMarkUtf8IsCheckedAndMacRomanIsTheFallback)
{
    Parsed utf8 = parseBytes(bytes("名前,caf\xC3\xA9"));
    EXPECT_EQ(utf8.encoding, CHCSVEncoding::UTF8);
    EXPECT_EQ(utf8.rows, (CHCSVRows { { "名前", "café" } }));
    EXPECT_EQ(utf8.log, (std::vector<std::string> { "unable to determine file encoding; assuming UTF8" }));

    Parsed roman = parseBytes(bytes("caf\x8E,\xA5x\xDB"));
    EXPECT_EQ(roman.encoding, CHCSVEncoding::MacOSRoman);
    EXPECT_EQ(roman.rows, (CHCSVRows { { "café", "•x€" } }));
    EXPECT_EQ(roman.log, (std::vector<std::string> { "unable to determine file encoding; assuming MacOSRoman" }));

    // A first byte that only starts a mark means the default encoding (UTF-8), which then fails.
    Parsed notAMark = parseBytes(bytes("\xFF\x41,b"));
    EXPECT_EQ(notAMark.encoding, CHCSVEncoding::UTF8);
    EXPECT_FALSE(notAMark.rows);
    EXPECT_EQ(notAMark.error.code, 1);
    EXPECT_EQ(notAMark.error.description, "unable to interpret current chunk as a string");
    EXPECT_TRUE(notAMark.log.empty());

    Parsed empty = parseBytes({});
    EXPECT_EQ(empty.encoding, CHCSVEncoding::UTF8);
    EXPECT_EQ(empty.rows, CHCSVRows {});
}

TEST(CHCSVDecodingTest, CharactersSplitBetweenReadsAreCompleted)
{
    // Each character in turn straddles the boundary of the first 2048-byte read at every offset;
    // with detection, the first chunk ending mid-character must still count as UTF-8.
    for (std::string character : { "日", "😀", "é" }) {
        for (std::size_t before = 2040; before < 2048; ++before) {
            const std::string text = std::string(before, 'x') + character + ",end\n";
            for (auto encoding : { std::optional(CHCSVEncoding::UTF8), std::optional<CHCSVEncoding>() }) {
                const Parsed parsed = parseBytes(bytes(text), encoding);
                EXPECT_EQ(parsed.encoding, CHCSVEncoding::UTF8);
                EXPECT_EQ(parsed.rows, (CHCSVRows { { std::string(before, 'x') + character, "end" } }))
                    << character << " at " << before;
            }
        }
    }
}

TEST(CHCSVDecodingTest, SmallChunksGiveTheSameRowsInEveryEncoding)
{
    // Multi-byte characters, a combining mark after "#" (so not a comment), CR LF at the very end.
    const std::string text = "\"日本, 語\",😀x\r\n#\u0301,e\u0301\r\n\"q\"\"\"\r\n";
    const CHCSVRows expected = { { "日本, 語", "😀x" }, { "#\u0301", "e\u0301" }, { "q\"" } };
    for (CHCSVEncoding encoding : { CHCSVEncoding::UTF8, CHCSVEncoding::UTF16LE, CHCSVEncoding::UTF16BE,
             CHCSVEncoding::UTF32LE, CHCSVEncoding::UTF32BE }) {
        for (std::size_t chunk = 1; chunk <= 7; ++chunk) {
            auto parser = CHCSVParser::fromString(text, encoding);
            ASSERT_TRUE(parser);
            parser->setChunkSize(chunk);
            NSArrayCHCSVAggregator aggregator;
            parser->setParserDelegate(&aggregator);
            EXPECT_TRUE(parser->parse()) << parser->error()->description;
            EXPECT_EQ(aggregator.lines(), expected) << "encoding " << static_cast<int>(encoding) << " chunk " << chunk;
        }
    }
    // A delimiter made of a base and a mark is found even when the mark arrives in a later read.
    for (std::size_t chunk = 1; chunk <= 4; ++chunk) {
        auto parser = CHCSVParser::fromString("ae\u0301b");
        parser->setChunkSize(chunk);
        ASSERT_FALSE(parser->setDelimiter("e\u0301"));
        NSArrayCHCSVAggregator aggregator;
        parser->setParserDelegate(&aggregator);
        EXPECT_TRUE(parser->parse());
        EXPECT_EQ(aggregator.lines(), (CHCSVRows { { "a", "b" } }));
    }
}

TEST(CHCSVDecodingTest, UndecodableInputFailsWithCodeOne)
{
    const std::vector<std::pair<Bytes8, CHCSVEncoding>> cases = {
        { bytes("ab,\xE6\x97"), CHCSVEncoding::UTF8 }, // truncated at the end
        { bytes("ab,\xC0\xAF"), CHCSVEncoding::UTF8 }, // overlong
        { bytes("ab,\xED\xA0\x80"), CHCSVEncoding::UTF8 }, // surrogate
        { { 'a', 0, 0x00, 0xDC, 'b', 0 }, CHCSVEncoding::UTF16LE }, // lone low surrogate
        { { 'a', 0, 'b' }, CHCSVEncoding::UTF16LE }, // odd length
        { { 0, 0x11, 0, 0 }, CHCSVEncoding::UTF32BE }, // beyond U+10FFFF
    };
    for (const auto& [data, encoding] : cases) {
        for (std::size_t chunk : { 1, 2048 }) {
            const Parsed parsed = parseBytes(data, encoding, chunk);
            EXPECT_FALSE(parsed.rows);
            EXPECT_EQ(parsed.error.domain, "CHCSVErrorDomain");
            EXPECT_EQ(parsed.error.code, 1);
            EXPECT_EQ(parsed.error.description, "unable to interpret current chunk as a string");
        }
    }
}

TEST(CHCSVDecodingTest, StreamsFilesAndTextConversion)
{
    ErrorValue error;
    EXPECT_FALSE(arrayWithContentsOfCSVStream(std::make_unique<FailingStream>(false), CHCSVEncoding::UTF8, &error));
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.description, "Unable to read from input stream");
    EXPECT_EQ(error.userInfo["underlyingError"]["code"].toInt64(), 5);

    EXPECT_FALSE(arrayWithContentsOfCSVStream(std::make_unique<FailingStream>(true), std::nullopt, &error));
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.description, "disk gone");

    const auto dir = std::filesystem::temp_directory_path() / ("chcsv-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / "list.csv";
    std::ofstream(file, std::ios::binary) << "\xEF\xBB\xBFname,size\n報告書.pdf,10\n";
    EXPECT_EQ(arrayWithContentsOfCSVFile(file.string()),
        (std::optional<CHCSVRows>(CHCSVRows { { "name", "size" }, { "報告書.pdf", "10" } })));
    EXPECT_FALSE(arrayWithContentsOfCSVFile((dir / "missing.csv").string(), std::nullopt, &error));
    EXPECT_EQ(error.description, "Unable to open file for reading");
    EXPECT_FALSE(arrayWithContentsOfCSVFile(dir.string(), std::nullopt, &error)); // a directory cannot be read
    EXPECT_EQ(error.description, "Unable to read from input stream");
    std::filesystem::remove_all(dir);

    EXPECT_EQ(arrayWithContentsOfCSVString("café,€", CHCSVEncoding::MacOSRoman),
        (std::optional<CHCSVRows>(CHCSVRows { { "café", "€" } })));
    EXPECT_FALSE(arrayWithContentsOfCSVString("日本", CHCSVEncoding::MacOSRoman, &error));
    EXPECT_EQ(error.description, "Unable to open file for reading");
    EXPECT_EQ(arrayWithContentsOfCSVString("x,y", CHCSVEncoding::SystemDefault),
        (std::optional<CHCSVRows>(CHCSVRows { { "x", "y" } })));
}

TEST(CHCSVDecodingTest, RandomInputNeverCrashesAndChunkSizeNeverChangesTheResult)
{
    const std::vector<std::string> pieces = { "a", "b", " ", ",", ",", "\"", "\"", "\\", "#", "\n", "\r", "\r\n",
        "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "\xCC\x81", "\xE6", "\x97", "\x80", "\xFF", "\xFE", std::string(1, '\0'),
        "\xC3", "\xE2\x80\xA8", "\xEF\xBB\xBF" };
    std::mt19937 random(20240501);
    std::size_t successes = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int length = std::uniform_int_distribution<int>(0, 40)(random);
        for (int i = 0; i < length; ++i)
            text += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
        const std::size_t chunk = std::uniform_int_distribution<std::size_t>(1, 9)(random);
        const std::size_t step = std::uniform_int_distribution<std::size_t>(1, 5)(random);
        const auto encoding = round % 3 == 0 ? std::nullopt : std::optional(CHCSVEncoding::UTF8);

        const Parsed whole = parseBytes(bytes(text), encoding);
        const Parsed pieced = parseBytes(bytes(text), encoding, chunk, step);
        ASSERT_EQ(whole.rows.has_value(), pieced.rows.has_value()) << "round " << round;
        EXPECT_EQ(whole.rows, pieced.rows) << "round " << round;
        if (!pieced.rows) {
            EXPECT_EQ(pieced.error.domain, "CHCSVErrorDomain");
            EXPECT_TRUE(pieced.error.code == 1 || pieced.error.code == 2) << pieced.error.code;
        }
        successes += whole.rows.has_value();
    }
    // The alphabet must exercise both outcomes, or the comparison above proves little.
    EXPECT_GT(successes, 300u);
    EXPECT_LT(successes, 2700u);
}
