#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "CloudServiceSDKForMac/CloudService/LocalStoreTestHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sys/stat.h>
#include <vector>

using namespace norvane;
namespace fs = std::filesystem;

using LocalStorePathsTest = LocalStoreTestHome;

TEST_F(LocalStorePathsTest, TemporaryFilesGoIntoCategoryFolders)
{
    EXPECT_EQ(LocalStorePaths::documentDirectory(), home_.string());
    EXPECT_EQ(LocalStorePaths::temporaryDirectory(), (home_ / "tmp").string());

    EXPECT_EQ(LocalStorePaths::fullPathOfTempFile("a.txt", ""), (home_ / "tmp/txt/a.txt").string());
    EXPECT_EQ(LocalStorePaths::fullPathOfTempFile("README", ""), (home_ / "tmp/other/README").string());
    EXPECT_EQ(LocalStorePaths::fullPathOfTempFile("a.txt", "CacheFile"), (home_ / "tmp/CacheFile/a.txt").string());

    struct stat info { };
    ASSERT_EQ(stat((home_ / "tmp/txt").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 077, 0u); // nobody else looks into the user's temporary files
    EXPECT_TRUE(fs::is_directory(home_ / "tmp/other"));
    EXPECT_FALSE(fs::exists(home_ / "tmp/txt/a.txt")); // only the folder is made
}

TEST_F(LocalStorePathsTest, RandomNamesAreDistinctHexDigests)
{
    const std::string a = LocalStorePaths::randomName();
    const std::string b = LocalStorePaths::randomName();
    EXPECT_NE(a, b);
    for (const auto& name : { a, b }) {
        EXPECT_EQ(name.size(), 32u);
        EXPECT_TRUE(std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        })) << name;
    }
}

TEST_F(LocalStorePathsTest, OffLinePathsAppendTheServerPathAndStayInside)
{
    const std::string root = (home_ / "OffLineData").string();
    EXPECT_EQ(LocalStorePaths::getOffLineLocalPath("/FILE/a/b.txt"), root + "/FILE/a/b.txt");
    EXPECT_EQ(LocalStorePaths::getOffLineLocalPath("/FILE/a/b.txt", "cmd"), root + "/FILE/a/b.txt.cmd");
    EXPECT_EQ(LocalStorePaths::getOffLineLocalPath("/FOLDER/x/", "cmd"), root + "/FOLDER/x.cmd");
    EXPECT_EQ(LocalStorePaths::getOffLineLocalPath("/FILE/a...b/..c"), root + "/FILE/a...b/..c");
    EXPECT_EQ(LocalStorePaths::getOffLineLocalPath(""), std::nullopt);

    for (const std::string& bad : std::vector<std::string> {
             "/FILE/../../etc/passwd", "/..", "/FILE/..", "FILE/a", "../x", std::string("/FILE/a\0/b", 10) }) {
        EXPECT_EQ(LocalStorePaths::getOffLineLocalPath(bad), std::nullopt) << bad;
        EXPECT_EQ(LocalStorePaths::getOffLineLocalPath(bad, "cmd"), std::nullopt) << bad;
    }
    // The companion of the root itself would lie beside OffLineData.
    EXPECT_EQ(LocalStorePaths::getOffLineLocalPath("/", "cmd"), std::nullopt);
    EXPECT_EQ(LocalStorePaths::getOffLineLocalPath("/FILE/a", "x/../../y"), std::nullopt);
}

TEST_F(LocalStorePathsTest, CreateIfNotExistDirLeavesExistingThingsAlone)
{
    const auto nested = home_ / "a/b/c";
    EXPECT_TRUE(LocalStorePaths::createIfNotExistDir(nested.string()));
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_TRUE(LocalStorePaths::createIfNotExistDir(nested.string()));

    const auto file = home_ / "file";
    {
        std::ofstream(file) << "x";
    }
    EXPECT_FALSE(LocalStorePaths::createIfNotExistDir(file.string()));
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_FALSE(LocalStorePaths::createIfNotExistDir(""));
}
