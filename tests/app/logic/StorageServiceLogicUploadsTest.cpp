#include "LogicTestSupport.h"

#include <filesystem>
#include <fstream>

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
