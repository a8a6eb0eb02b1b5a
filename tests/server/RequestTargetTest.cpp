#include "server/http/RequestTarget.h"

#include <gtest/gtest.h>

namespace norvane::server {
namespace {

RequestTarget parsed(std::string_view raw)
{
    auto parse = parseRequestTarget(raw);
    EXPECT_TRUE(parse.target) << raw << ": " << parse.error;
    return parse.target.value_or(RequestTarget {});
}

TEST(RequestTargetTest, FormsAndAreasAreReadFromTheFirstComponents)
{
    auto folder = parsed("/SHAREFOLDER/Team/Sub");
    EXPECT_EQ(folder.form, TargetForm::Folder);
    EXPECT_EQ(folder.area, Area::Shared);
    EXPECT_EQ(folder.path, (std::vector<std::string> { "Team", "Sub" }));

    auto root = parsed("/FOLDER");
    EXPECT_EQ(root.form, TargetForm::Folder);
    EXPECT_EQ(root.area, Area::Personal);
    EXPECT_TRUE(root.path.empty());

    auto page = parsed("/SHAREPDF/SHAREFILE/Docs/a.pdf?pageno=2");
    EXPECT_EQ(page.form, TargetForm::PdfPage);
    EXPECT_EQ(page.area, Area::Shared);
    EXPECT_EQ(page.path, (std::vector<std::string> { "Docs", "a.pdf" }));
    EXPECT_EQ(*page.queryValue("pageno"), "2");

    auto login = parsed("/Storage9/QORPrivateStorage/account/J%C3%BCrgen");
    EXPECT_EQ(login.form, TargetForm::Login);
    EXPECT_EQ(login.path, (std::vector<std::string> { "J\xC3\xBCrgen" }));

    EXPECT_EQ(parsed("/LOCKSHAREFILE/T/x").form, TargetForm::Lock);
    EXPECT_EQ(parsed("/NETPRINT/abc").form, TargetForm::NetPrint);
    EXPECT_EQ(parsed("/s/key").form, TargetForm::PublicLink);
    EXPECT_EQ(parsed("/_control/users").form, TargetForm::Control);

    for (std::string_view unknown :
        { "/Version/x", "/nothing", "/PDF/SHAREFILE/a.pdf", "/MAKEURL/x", "/Storage9/QORPrivateStorage/other/x" }) {
        auto parse = parseRequestTarget(unknown);
        EXPECT_FALSE(parse.target) << unknown;
        EXPECT_TRUE(parse.unknownForm) << unknown;
    }
}

TEST(RequestTargetTest, NamesAreDecodedOnceAndMayHoldWhatTheTreeAllows)
{
    auto file = parsed("/FILE/My%20Docs/100%25+sure%3F.txt");
    EXPECT_EQ(file.path, (std::vector<std::string> { "My Docs", "100%+sure?.txt" }));
    EXPECT_EQ(file.decodedPath, "/FILE/My Docs/100%+sure?.txt");
    EXPECT_EQ(parsed("/FOLDER/.Favorite.").path, (std::vector<std::string> { ".Favorite." }));
    EXPECT_EQ(parsed("/FOLDER/...").path, (std::vector<std::string> { "..." }));
}

TEST(RequestTargetTest, EveryWayOutOfAFolderIsRefused)
{
    for (std::string_view raw : {
             "/FOLDER/..",
             "/FOLDER/a/../../b",
             "/FOLDER/.",
             "/FOLDER/%2e%2e",
             "/FOLDER/%2E",
             "/FILE/a%2Fb",
             "/FILE/a%2f..%2fb",
             "/FILE/a%5Cb",
             "/FILE/..%5C..%5Cetc",
             "/FILE/a%00b",
             "/FILE/a%0Ab",
             "/FILE/a%7Fb",
             "/FOLDER//x",
             "/FOLDER/",
             "/",
             "",
             "FOLDER/x",
             "http://host/FOLDER",
             "/FILE/a%",
             "/FILE/a%4",
             "/FILE/a%zz",
             "/FILE/%C3%28",
             "/FILE/%C0%AF",
             "/FILE/%ED%A0%80",
         }) {
        auto parse = parseRequestTarget(raw);
        EXPECT_FALSE(parse.target) << "'" << raw << "' was accepted";
        EXPECT_FALSE(parse.unknownForm) << raw;
        EXPECT_FALSE(parse.error.empty()) << raw;
    }
}

TEST(RequestTargetTest, AThumbnailPathIsDecodedTwiceAndCheckedAfterEachPass)
{
    auto thumbnail = parsed("/FILE/Photos/a%2520b.jpg?thumbnail=120x90");
    EXPECT_TRUE(thumbnail.thumbnail);
    EXPECT_EQ(thumbnail.path, (std::vector<std::string> { "Photos", "a b.jpg" }));
    EXPECT_EQ(*thumbnail.queryValue("thumbnail"), "120x90");
    for (std::string_view raw : { "/FILE/a%252Fb?thumbnail=1x1", "/FILE/%252e%252e?thumbnail=1x1",
             "/FILE/a%2500?thumbnail=1x1", "/FILE/a%255Cb?thumbnail=1x1", "/FILE/a%2Fb?thumbnail=1x1" })
        EXPECT_FALSE(parseRequestTarget(raw).target) << raw;
    // Without the thumbnail query the same text is a name with an escape in it.
    EXPECT_EQ(parsed("/FILE/a%2520b.jpg").path.back(), "a%20b.jpg");
}

TEST(RequestTargetTest, QueryValuesAreDecodedAndCheckedAndTheKeywordKeepsItsAmpersands)
{
    auto search = parsed("/SEARCH/Memo?filename=R%26D%20plan&x");
    EXPECT_EQ(search.form, TargetForm::Search);
    EXPECT_EQ(*search.queryValue("filename"), "R&D plan");
    EXPECT_EQ(parsed("/SEARCH?filename=a&b").queryValueText, "a&b");
    EXPECT_EQ(*parsed("/FILE/a?md5=ABC&size=12&md5=other").queryValue("md5"), "ABC");
    EXPECT_FALSE(parseRequestTarget("/SEARCH?filename=a%00").target);
    EXPECT_FALSE(parseRequestTarget("/SEARCH?filename=%FF").target);
    EXPECT_FALSE(parseRequestTarget("/SEARCH?filename=%G1").target);
}

TEST(RequestTargetTest, EntryKeysInHeadersAreReadRawAndDecoded)
{
    auto raw = readEntryKey("/SHAREFILE/Team/a b.txt");
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0].area, Area::Shared);
    EXPECT_FALSE(raw[0].folderForm);
    EXPECT_EQ(raw[0].path, (std::vector<std::string> { "Team", "a b.txt" }));

    // The client escapes "/" and "." in these headers.
    auto encoded = readEntryKey("%2FFOLDER%2F%2EFavorite%2E%2Fx");
    ASSERT_EQ(encoded.size(), 1u);
    EXPECT_TRUE(encoded[0].folderForm);
    EXPECT_EQ(encoded[0].path, (std::vector<std::string> { ".Favorite.", "x" }));

    // A name with an escape-like text in it has both readings, the raw one first.
    auto both = readEntryKey("/FILE/100%25.txt");
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].path.back(), "100%25.txt");
    EXPECT_EQ(both[1].path.back(), "100%.txt");

    for (std::string_view bad :
        { "/FILE/../x", "%2FFILE%2F..%2Fx", "/OTHER/x", "FILE/x", "/FILE//x", "%2FFILE%2Fa%00" })
        EXPECT_TRUE(readEntryKey(bad).empty()) << bad;
    EXPECT_EQ(entryKeyText(Area::Shared, true, { "a", "b" }), "/SHAREFOLDER/a/b");
    EXPECT_EQ(entryKeyText(Area::Personal, false, { "a" }), "/FILE/a");
}

} // namespace
} // namespace norvane::server
