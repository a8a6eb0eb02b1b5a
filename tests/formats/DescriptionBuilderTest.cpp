#include "formats/DescriptionBuilder.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>

using namespace norvane;

namespace {

std::string hex(const void* p)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(p));
    return buffer;
}

} // namespace

TEST(DescriptionBuilder, WritesFieldsInOrderInOneShape)
{
    const int record = 0;
    const int other = 0;
    const std::string nested = DescriptionBuilder("CloudResponse", &other).int32("res", 1).str();
    const std::string text = DescriptionBuilder("fileInformation", &record)
                                 .text("fileId", std::nullopt)
                                 .text("displayName", std::optional<std::string>("a;b"))
                                 .text("empty", std::optional<std::string>(""))
                                 .object("response", nested)
                                 .object("missing", std::nullopt)
                                 .flag("isDir", true)
                                 .boolean("isEmpty", false)
                                 .real("progress", 0.5)
                                 .int32("offlineflg", -1)
                                 .uint32("mask", 4000000000u)
                                 .int64("fileExt", INT64_MIN)
                                 .uint64("fileSize", UINT64_MAX)
                                 .character("c", 'x')
                                 .structure("frame")
                                 .str();
    EXPECT_EQ(text,
        "<fileInformation: " + hex(&record)
            + ";\n"
              "fileId = (null);\n"
              "displayName = \"a;b\";\n"
              "empty = \"\";\n"
              "response = <CloudResponse: "
            + hex(&other)
            + ";\nres = 1>;\n"
              "missing = (null);\n"
              "isDir = YES;\n"
              "isEmpty = false;\n"
              "progress = 0.500000;\n"
              "offlineflg = -1;\n"
              "mask = 4000000000;\n"
              "fileExt = -9223372036854775808;\n"
              "fileSize = 18446744073709551615;\n"
              "c = x;\n"
              "frame = >");
}

TEST(DescriptionBuilder, EdgeForms)
{
    const int record = 0;
    EXPECT_EQ(DescriptionBuilder("Empty", &record).str(), "<Empty: " + hex(&record) + ";\n>");
    // A value ending in a newline must not swallow the separator of the next field.
    EXPECT_EQ(DescriptionBuilder("R", nullptr).text("a", std::string_view("x\n")).flag("b", false).str(),
        "<R: 0x0;\na = \"x\n\";\nb = NO>");
    EXPECT_EQ(DescriptionBuilder("R", nullptr).opaqueObject("thumb", "Image", &record).real("big", -1e20).str(),
        "<R: 0x0;\nthumb = <Image: " + hex(&record) + ">;\nbig = -100000000000000000000.000000>");
}
