// Remote paths of the command line and the server keys they map to.

#include "cli/RemotePath.h"

#include <gtest/gtest.h>

namespace norvane::cli {
namespace {

using Area = RemotePath::Area;

TEST(RemotePath, ParsingTakesEitherAreaAndRefusesWhatCouldEscapeOrMislead)
{
    auto root = RemotePath::parse("my:");
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->isRoot());
    EXPECT_EQ(root->text(), "my:/");
    EXPECT_EQ(RemotePath::parse("my:///"), root);

    auto shared = RemotePath::parse("shared:Team//reports/2024 Q1.xlsx/");
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->area(), Area::Shared);
    EXPECT_EQ(shared->components(), std::vector<std::string>({ "Team", "reports", "2024 Q1.xlsx" }));
    EXPECT_EQ(shared->text(), "shared:/Team/reports/2024 Q1.xlsx");

    std::string error;
    for (const char* bad :
        { "/FOLDER/a", "My:/a", "my:/a/../b", "my:/./a", "my:/..", "my:/a\nb", "my:/a\x7f", "my:/\xc2\x85" }) {
        error.clear();
        EXPECT_FALSE(RemotePath::parse(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    // Dots inside a name are names.
    EXPECT_EQ(RemotePath::parse("my:/..a/b..")->components(), std::vector<std::string>({ "..a", "b.." }));
    EXPECT_TRUE(RemotePath::looksRemote("shared:"));
    EXPECT_FALSE(RemotePath::looksRemote("./my:/a"));
}

TEST(RemotePath, KeysNameTheFolderOrFileFormOfTheArea)
{
    const RemotePath personal(Area::Personal, { "Photos", "a.jpg" });
    EXPECT_EQ(personal.folderKey(), "/FOLDER/Photos/a.jpg");
    EXPECT_EQ(personal.fileKey(), "/FILE/Photos/a.jpg");
    const RemotePath team(Area::Shared, { "Team" });
    EXPECT_EQ(team.folderKey(), "/SHAREFOLDER/Team");
    EXPECT_EQ(team.fileKey(), "/SHAREFILE/Team");
    EXPECT_EQ(RemotePath(Area::Personal, {}).folderKey(), "/FOLDER");
    EXPECT_EQ(RemotePath(Area::Shared, {}).fileKey(), "/SHAREFILE");

    EXPECT_EQ(personal.parent(), RemotePath(Area::Personal, { "Photos" }));
    EXPECT_EQ(personal.parent().parent().parent(), RemotePath(Area::Personal, {}));
    EXPECT_EQ(team.child("x").text(), "shared:/Team/x");
    EXPECT_EQ(personal.name(), "a.jpg");
}

TEST(RemotePath, ListedKeysReadBackAsPaths)
{
    EXPECT_EQ(RemotePath::fromKey("/FILE/Memo/a.txt"), RemotePath(Area::Personal, { "Memo", "a.txt" }));
    EXPECT_EQ(RemotePath::fromKey("/FOLDER"), RemotePath(Area::Personal, {}));
    EXPECT_EQ(RemotePath::fromKey("/SHAREFOLDER/Team/sub"), RemotePath(Area::Shared, { "Team", "sub" }));
    EXPECT_EQ(RemotePath::fromKey("/SHAREFILE/Team/x"), RemotePath(Area::Shared, { "Team", "x" }));
    for (const char* other : { "/FILEX/a", "/SHAREFILES/a", "/PDF/FILE/a", "FILE/a", "" })
        EXPECT_FALSE(RemotePath::fromKey(other)) << other;
    // Both forms of one entry are one path.
    const RemotePath path(Area::Shared, { "T", "FILE", "FOLDER" });
    EXPECT_EQ(RemotePath::fromKey(path.fileKey()), path);
    EXPECT_EQ(RemotePath::fromKey(path.folderKey()), path);
}

} // namespace
} // namespace norvane::cli
