#include "server/http/ByteRange.h"

#include <gtest/gtest.h>

namespace norvane::server {
namespace {

TEST(ByteRangeTest, HeaderFormsOfTheClientAndTheProbe)
{
    auto closed = parseByteRange("bytes=1048576-2097151");
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->first, 1048576u);
    EXPECT_EQ(closed->last, 2097151u);
    EXPECT_FALSE(closed->suffix);

    auto probe = parseByteRange("0-104857600"); // the connection probe writes no "bytes="
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->first, 0u);
    EXPECT_EQ(probe->last, 104857600u);

    auto open = parseByteRange(" Bytes=500- ");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->first, 500u);
    EXPECT_FALSE(open->last);

    auto suffix = parseByteRange("bytes=-300");
    ASSERT_TRUE(suffix);
    EXPECT_TRUE(suffix->suffix);
    EXPECT_EQ(suffix->first, 300u);

    auto huge = parseByteRange("bytes=99999999999999999999999-");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->first, UINT64_MAX);

    for (std::string_view ignored :
        { "", "bytes=", "bytes=5-3", "bytes=a-b", "bytes=0-1,5-6", "-300", "items=0-1", "bytes=1-2x", "bytes 0-1" })
        EXPECT_FALSE(parseByteRange(ignored)) << ignored;
}

TEST(ByteRangeTest, AnswersHoldTheEndAtTheLastByte)
{
    using Kind = RangeAnswer::Kind;
    auto whole = resolveByteRange(std::nullopt, 10);
    EXPECT_EQ(whole.kind, Kind::Whole);
    EXPECT_EQ(whole.length, 10u);

    auto clamped = resolveByteRange(parseByteRange("0-1048575"), 10);
    EXPECT_EQ(clamped.kind, Kind::Partial);
    EXPECT_EQ(clamped.offset, 0u);
    EXPECT_EQ(clamped.length, 10u);
    EXPECT_EQ(contentRangeValue(clamped, 10), "bytes 0-9/10");

    auto middle = resolveByteRange(parseByteRange("bytes=3-5"), 10);
    EXPECT_EQ(contentRangeValue(middle, 10), "bytes 3-5/10");
    EXPECT_EQ(middle.length, 3u);

    auto last = resolveByteRange(parseByteRange("bytes=9-"), 10);
    EXPECT_EQ(contentRangeValue(last, 10), "bytes 9-9/10");

    auto tail = resolveByteRange(parseByteRange("bytes=-4"), 10);
    EXPECT_EQ(contentRangeValue(tail, 10), "bytes 6-9/10");
    EXPECT_EQ(resolveByteRange(parseByteRange("bytes=-40"), 10).length, 10u);

    for (std::string_view past : { "bytes=10-", "bytes=10-20", "bytes=99999999999999999999999-", "bytes=-0" }) {
        auto answer = resolveByteRange(parseByteRange(past), 10);
        EXPECT_EQ(answer.kind, Kind::Unsatisfiable) << past;
        EXPECT_EQ(contentRangeValue(answer, 10), "bytes */10");
    }
    // Nothing lies in an empty body, and it is answered whole rather than refused.
    EXPECT_EQ(resolveByteRange(parseByteRange("bytes=0-99"), 0).kind, Kind::Whole);
}

TEST(ByteRangeTest, WriteRangesAndDecimals)
{
    auto range = parseWriteRange("1048576-2097151");
    ASSERT_TRUE(range);
    EXPECT_EQ(range->length(), 1048576u);
    EXPECT_EQ(parseWriteRange("0-0")->length(), 1u);
    for (std::string_view bad : { "", "5", "5-", "-5", "6-5", "a-b", "1-2-3", "0-18446744073709551615" })
        EXPECT_FALSE(parseWriteRange(bad)) << bad;

    EXPECT_EQ(parseDecimal("9223372036854775807"), INT64_MAX);
    for (std::string_view bad : { "", "-1", "+1", " 1", "1.0", "9223372036854775808", "99999999999999999999" })
        EXPECT_FALSE(parseDecimal(bad)) << bad;
}

} // namespace
} // namespace norvane::server
