// Tree transfers that cannot take everything: a folder the server will not list, local folders
// that cannot be read, links, names that one end cannot use. What goes through stays, what was
// left out is named, and the result never claims a success that did not happen.

#include "app/logic/Path.h"
#include "e2e/OperationsTestFixture.h"
#include "support/UnreadableFolder.h"

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

class OperationsLeftOutTest : public OperationsTest {
protected:
    void TearDown() override
    {
        server().clearFaults();
        OperationsTest::TearDown();
    }

    std::int32_t uploadTree(const fs::path& local, const std::string& serverFolder = "/FOLDER")
    {
        const std::vector<StorageServiceLogic::UploadItem> items { { local.string(), serverFolder, std::nullopt } };
        return await([&](auto done) { StorageServiceLogic::uploadFolders(items, Value(), std::move(done)); });
    }

    std::int32_t downloadTree(const fs::path& local, const std::string& serverFolder)
    {
        return await([&](auto done) {
            StorageServiceLogic::downloadFolderToPath(local.string(), serverFolder, nullptr, nullptr, std::move(done));
        });
    }
};

TEST_P(OperationsLeftOutTest, AFolderTheServerWillNotListIsNamedAndTheRestOfTheTreeArrives)
{
    const auto accounts = newCompany("unlisted", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    const fs::path source = home_ / "local" / "Tree";
    // As long a name as the file system takes: its partial file must still fit beside it.
    const std::string longName = std::string(251, 'n') + ".txt";
    ASSERT_TRUE(writeFile(source / "a.txt", randomBytes(100, 1)));
    // Written directly: a temporary name beside it would not fit.
    {
        const Bytes content = randomBytes(kMiB + 7, 2);
        std::ofstream(source / longName, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    }
    ASSERT_TRUE(writeFile(source / "sub" / "b.txt", randomBytes(10, 3)));
    ASSERT_TRUE(writeFile(source / "sub2" / "c.txt", randomBytes(20, 4)));
    ASSERT_EQ(uploadTree(source), ResultSuccess);

    expectControlOk(server().setFaults(R"([{"method": "GET", "path": "/FOLDER/Tree/sub", "status": 500}])"), "fault");
    const fs::path target = home_ / "back" / "Tree";
    fs::create_directories(target.parent_path());
    EXPECT_EQ(downloadTree(target, "/FOLDER/Tree"), ResultFailed);
    auto expected = treeContent(source);
    expected.erase("sub/b.txt");
    EXPECT_EQ(treeContent(target), expected);
    const auto told = shown();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].messageKey, "message_download_folder_unlisted");
    EXPECT_EQ(told[0].detail, "\n/FOLDER/Tree/sub");
}

TEST_P(OperationsLeftOutTest, ATreeUploadNeverFollowsLinksAndNamesTheFoldersItCannotRead)
{
    const auto accounts = newCompany("leftout", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    const fs::path source = home_ / "local" / "Tree";
    ASSERT_TRUE(writeFile(source / "a.txt", randomBytes(100, 1)));
    ASSERT_TRUE(writeFile(source / "sub" / "b.txt", randomBytes(10, 2)));
    ASSERT_TRUE(writeFile(source / "locked" / "c.txt", randomBytes(10, 3)));
    ASSERT_TRUE(writeFile(home_ / "secret.txt", bytesOf("not for the server")));
    fs::create_symlink(home_ / "secret.txt", source / "secret.txt");

    std::int32_t result = 0;
    {
        norvane::test::UnreadableFolder locked(source / "locked");
        const std::vector<StorageServiceLogic::UploadItem> items { { source.string(), "/FOLDER", std::nullopt } };
        StorageServiceLogic::uploadFolders(items, Value(), [&](std::int32_t r) { result = r; });
    }
    pumpUntil([&] { return result != 0; });
    EXPECT_EQ(result, ResultFailed);
    const auto tree = listed("/FOLDER/Tree");
    EXPECT_EQ(tree.size(), 3u);
    EXPECT_TRUE(tree.contains("a.txt") && tree.contains("sub") && tree.contains("locked"));
    EXPECT_TRUE(listed("/FOLDER/Tree/locked").empty());
    EXPECT_EQ(fetch("/FOLDER/Tree/sub", "b.txt"), randomBytes(10, 2));
    const auto told = shown();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].messageKey, "message_upload_folder_unreadable");
    EXPECT_EQ(told[1].messageKey, "message_upload_links_skipped");
    EXPECT_EQ(told[1].detail, "\n" + (source / "secret.txt").string());
}

TEST_P(OperationsLeftOutTest, NamesWithCharactersOfAUrlReachTheServerWholeAndComeBack)
{
    const auto accounts = newCompany("escape", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    // Names another client may have given: the server takes them, so they must travel whole.
    const std::string local = writeLocal("upload.bin", randomBytes(300, 5));
    const std::vector<std::string> names { "why?.txt", "hash#tag.txt", "50% off;=&+.txt" };
    std::vector<std::shared_ptr<fileInformation>> items;
    for (const std::string& name : names) {
        EXPECT_EQ(await([&](auto done) {
            StorageServiceLogic::uploadFileByFile(local, Path::urlPathFromPath("/FILE/" + name), 0, name, true,
                std::nullopt, std::nullopt, Value(), std::move(done));
        }),
            ResultSuccess)
            << name;
        items.push_back(listed("/FOLDER")[name]);
    }
    const fs::path target = home_ / "back";
    fs::create_directories(target);
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::downloadItemsToPath(items, target.string(), nullptr, nullptr, std::move(done));
    }),
        ResultSuccess);
    for (const std::string& name : names)
        EXPECT_EQ(FileSystem::readFile(target / name), randomBytes(300, 5)) << name;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Operations, OperationsLeftOutTest, ::testing::Values(Scheme::Http), schemeName);
