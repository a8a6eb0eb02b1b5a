#include "LogicTestSupport.h"

#include "support/UnreadableFolder.h"

#include <filesystem>
#include <fstream>
#include <set>

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

class UploadsTest : public LogicTest {
protected:
    fs::path makeFile(const fs::path& path, const std::string& text = "x")
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
        return path;
    }

    static std::vector<std::string> remotes(const std::vector<CloudServiceCommandPtr>& commands)
    {
        std::vector<std::string> out;
        for (const auto& command : commands)
            out.push_back(command->applicationType + " " + command->inputParameter->remoteFileName);
        return out;
    }
};

std::size_t indexOf(const std::vector<std::string>& list, const std::string& item)
{
    return static_cast<std::size_t>(std::find(list.begin(), list.end(), item) - list.begin());
}

} // namespace

TEST_F(UploadsTest, TreeUploadListsEachFolderBeforeItsContent)
{
    const fs::path trip = home_ / "drop" / "Trip";
    makeFile(trip / "a b.jpg");
    makeFile(trip / ".DS_Store");
    makeFile(trip / "day1" / "b.jpg", "12345");
    makeFile(trip / "day1" / "deeper" / "c.jpg");
    fs::create_directory_symlink(trip, trip / "day1" / "loop");

    const auto commands = StorageServiceLogic::makeUploadCmds(trip.string(), Value(1), "/FOLDER/Up");
    const auto list = remotes(commands);
    ASSERT_EQ(list.size(), 6u) << "hidden files and linked folders are left out";
    EXPECT_EQ(list[0], "folder /FOLDER/Up/Trip");
    const std::size_t day1 = indexOf(list, "folder /FOLDER/Up/Trip/day1");
    const std::size_t b = indexOf(list, "file /FILE/Up/Trip/day1/b.jpg");
    const std::size_t deeper = indexOf(list, "folder /FOLDER/Up/Trip/day1/deeper");
    const std::size_t c = indexOf(list, "file /FILE/Up/Trip/day1/deeper/c.jpg");
    EXPECT_LT(indexOf(list, "file /FILE/Up/Trip/a%20b.jpg"), list.size());
    EXPECT_LT(day1, b);
    EXPECT_LT(day1, deeper);
    EXPECT_LT(deeper, c);
    EXPECT_LT(c, list.size());

    const auto& folder = *commands[0];
    EXPECT_EQ(folder.postOrPut, 1);
    EXPECT_EQ(folder.totleFileSize, 100u);
    EXPECT_TRUE(folder.inputParameter->localFileName.empty());
    EXPECT_EQ(folder.inputParameter->cmdOption.at("cmdType"), Value("makeFolder"));
    const auto& file = *commands[b];
    EXPECT_EQ(file.totleFileSize, 5u);
    EXPECT_EQ(file.inputParameter->displayName, "b.jpg");
    EXPECT_EQ(file.inputParameter->cmdOption.at("owner"), Value("user1"));
    EXPECT_EQ(file.inputParameter->cmdOption.at("editpermission"), Value(1));

    // Shared area: the file form is /SHAREFILE; any other parent gets the folder creation only.
    EXPECT_EQ(
        remotes(StorageServiceLogic::makeUploadCmds((trip / "day1" / "deeper").string(), Value(), "/SHAREFOLDER/T")),
        (std::vector<std::string> { "folder /SHAREFOLDER/T/deeper", "file /SHAREFILE/T/deeper/c.jpg" }));
    EXPECT_EQ(remotes(StorageServiceLogic::makeUploadCmds((trip / "day1" / "deeper").string(), Value(), "/OTHER")),
        (std::vector<std::string> { "folder /OTHER/deeper" }));
}

TEST_F(UploadsTest, FirstFailureStopsTheRunAndMarksTheRestCancelled)
{
    std::vector<StorageServiceLogic::UploadItem> items;
    for (int i = 0; i < 5; ++i)
        items.push_back(
            { makeFile(home_ / ("f" + std::to_string(i))).string(), "/FOLDER/In", "ts" + std::to_string(i) });
    adaptor_->script("put /FOLDER/In/f2", { ResultServerError });
    std::vector<CloudServiceCommandPtr> commands;
    const std::int32_t result
        = await([&](auto done) { commands = StorageServiceLogic::uploadFiles(items, Value(), done); });
    EXPECT_EQ(result, ResultServerError);
    ASSERT_EQ(commands.size(), 5u);
    std::vector<std::int32_t> results;
    for (const auto& command : commands)
        results.push_back(command->commandRes);
    EXPECT_EQ(results, (std::vector<std::int32_t> { 1, 1, 19, 4, 4 }));
    EXPECT_EQ(adaptor_->calls("put").size(), 3u);
    EXPECT_EQ(commands[0]->inputParameter->remoteFileName, "/FOLDER/In/f0");
    EXPECT_EQ(commands[1]->inputParameter->cmdOption.at("timestamp"), Value("ts1"));
    EXPECT_TRUE(shown().empty());
}

TEST_F(UploadsTest, WatchedFileUploadReplacesWithoutClaimingOwnership)
{
    const fs::path local = makeFile(home_ / "edited.txt", "new text");
    const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    const std::int32_t result = await([&](auto done) {
        StorageServiceLogic::uploadFileByFile(
            local.string(), "/FILE/Docs/edited.txt", 0, "edited.txt", false, "T1", when, Value("1"), done);
    });
    EXPECT_EQ(result, ResultSuccess);
    const auto puts = adaptor_->calls("put");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].postOrPut, 0);
    EXPECT_FALSE(puts[0].option.contains("owner"));
    EXPECT_FALSE(puts[0].option.contains("ownername"));
    EXPECT_EQ(puts[0].option.at("timestamp"), Value("T1"));
    EXPECT_EQ(puts[0].option.at("modifydate"), Value("Tue, 14 Nov 2023 22:13:20 GMT"));
    EXPECT_EQ(puts[0].option.at("author"), Value("user1"));
}

TEST_F(UploadsTest, TreesLeaveOutLinksAndUnreadableFoldersAndABadNameRefusesEverything)
{
    const fs::path tree = home_ / "drop" / "Tree";
    makeFile(tree / "a.txt");
    makeFile(tree / "sub" / "b.txt");
    makeFile(tree / "locked" / "hidden from us.txt");
    makeFile(home_ / "secret.txt", "not for the server");
    fs::create_symlink(home_ / "secret.txt", tree / "outside.txt");
    fs::create_directory_symlink(tree, tree / "sub" / "loop");
    const std::vector<StorageServiceLogic::UploadItem> items { { tree.string(), "/FOLDER", std::nullopt } };

    // Links stay behind, an unreadable folder is made empty, both are told, and the result says
    // that not everything arrived.
    std::int32_t result = 0;
    {
        norvane::test::UnreadableFolder locked(tree / "locked");
        StorageServiceLogic::uploadFolders(items, Value(), [&](std::int32_t r) { result = r; });
    }
    pumpUntil([&] { return result != 0; });
    EXPECT_EQ(result, ResultFailed);
    std::set<std::string> sent;
    for (const auto& call : adaptor_->calls("put"))
        sent.insert(call.path);
    EXPECT_EQ(sent,
        (std::set<std::string> {
            "/FOLDER/Tree", "/FILE/Tree/a.txt", "/FOLDER/Tree/locked", "/FOLDER/Tree/sub", "/FILE/Tree/sub/b.txt" }));
    auto told = shown();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].messageKey, "message_upload_folder_unreadable");
    EXPECT_EQ(told[0].detail, "\n" + (tree / "locked").string());
    EXPECT_EQ(told[1].messageKey, "message_upload_links_skipped");
    EXPECT_NE(told[1].detail.find((tree / "outside.txt").string()), std::string::npos);
    EXPECT_NE(told[1].detail.find((tree / "sub" / "loop").string()), std::string::npos);

    // A name the server's rules refuse: nothing at all is sent, and every bad name is told.
    makeFile(tree / "sub" / "why?.txt");
    makeFile(tree / "tab\tname");
    makeFile(home_ / "drop" / "a:b");
    const auto refused = StorageServiceLogic::uploadNamesRefused({ tree.string(), (home_ / "drop" / "a:b").string() });
    EXPECT_EQ(std::set<std::string>(refused.begin(), refused.end()),
        (std::set<std::string> { (tree / "sub" / "why?.txt").string(), (tree / "tab\\x09name").string(),
            (home_ / "drop" / "a:b").string() }));
    alerts_->clear();
    const std::size_t puts = adaptor_->calls("put").size();
    std::vector<CloudServiceCommandPtr> commands;
    EXPECT_EQ(
        await([&](auto done) { commands = StorageServiceLogic::uploadFolders(items, Value(), done); }), ResultFailed);
    for (const auto& command : commands)
        EXPECT_EQ(command->commandRes, ResultFailed);
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::uploadFiles(
            { { (home_ / "drop" / "a:b").string(), "/FILE", std::nullopt } }, Value(), done);
    }),
        ResultFailed);
    EXPECT_EQ(adaptor_->calls("put").size(), puts);
    told = shown();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0].messageKey, "message_upload_name_refused");
    EXPECT_NE(told[0].detail.find("why?.txt"), std::string::npos);
    EXPECT_NE(told[0].detail.find("tab\\x09name"), std::string::npos);
    EXPECT_EQ(told[1].detail, "\n" + (home_ / "drop" / "a:b").string());
}
