#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"
#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "CloudServiceSDKForMac/CloudService/LocalStoreTestHome.h"
#include "CloudServiceSDKForMac/CloudService/ValueDescription.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <thread>
#include <vector>

using namespace norvane;
namespace fs = std::filesystem;

namespace norvane {
// Readable failure messages for option maps and tags.
void PrintTo(const Value& value, std::ostream* out)
{
    *out << describeValue(value);
}
} // namespace norvane

namespace {

// Every archived field of a command as one plain value, its id left out, so that two commands
// can be compared field by field.
Value archivedFields(const CloudServiceCommand& command)
{
    KeyedArchiver root;
    root.encodeObject(kArchiveRootKey, command);
    const auto data = archiveToData(root);
    const auto decoded = data ? unarchiveFromData(*data) : std::nullopt;
    if (!decoded)
        return {};
    Value fields = decoded->decodeValue(kArchiveRootKey);
    if (auto* map = fields.map())
        map->erase("commandId");
    return fields;
}

bool writeBytes(const fs::path& path, std::size_t count)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    return FileSystem::createDirectories(path.parent_path()) && FileSystem::writeFileAtomically(path, bytes);
}

std::shared_ptr<CloudServiceCommand> richCommand()
{
    auto command = CommandFactory::makeLsCommand("/FOLDER/Docs");
    auto folder = std::make_shared<fileInformation>();
    folder->displayName = "Docs";
    folder->fileType = 1;
    auto file = std::make_shared<fileInformation>();
    file->displayName = "big.iso";
    file->fileSize = 5'000'000'000ULL;
    file->fileId = "";
    command->outputParameter->fileInfo->assign({ folder, file });
    command->inputParameter->cmdOption = ValueMap { { kOptionTimestamp, "1700000000000" }, { kOptionTotalSize, 42 },
        { "nested", ValueMap { { "list", ValueList { 1, "two", 3.5 } } } } };
    command->inputParameter->memoryData = std::make_shared<Bytes>(Bytes { 0, 1, 2, 255 });
    command->applicationType = "folder";
    command->commandErr = ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorNotFound, "gone", {} };
    command->commandRes = ResultNotFound;
    command->userInfo = 9;
    command->userInfoObj = ValueMap { { "tag", "x" } };
    command->postOrPut = 1;
    command->executeMode = ExecuteModeAsync;
    command->uploadedSize = 3'000'000'000ULL;
    command->commandRestringWhenErr = "<Error/>";
    return command;
}

} // namespace

TEST(CommandFactoryTest, IdsFollowOneAnotherAndNeverRepeatAcrossThreads)
{
    const std::int64_t first = CommandFactory::getCommandId();
    EXPECT_GE(first, 1);
    EXPECT_EQ(CommandFactory::getCommandId(), first + 1);
    EXPECT_EQ(CommandFactory::initCommand(CommandTypeCd)->commandId, first + 2);

    std::vector<std::vector<std::int64_t>> seen(4);
    std::vector<std::thread> threads;
    for (auto& ids : seen)
        threads.emplace_back([&ids] {
            for (int i = 0; i < 1000; ++i)
                ids.push_back(CommandFactory::getCommandId());
        });
    for (auto& thread : threads)
        thread.join();
    std::set<std::int64_t> all;
    for (const auto& ids : seen)
        all.insert(ids.begin(), ids.end());
    EXPECT_EQ(all.size(), 4000u);
    EXPECT_GT(*all.begin(), first + 2);
}

TEST(CommandFactoryTest, EachMakeOperationSetsExactlyItsFields)
{
    auto buffer = std::make_shared<Bytes>(Bytes { 7 });
    const ValueMap options { { kOptionAccessFlag, 2 }, { kOptionOverwrite, kOptionValueYes } };
    struct Case {
        std::shared_ptr<CloudServiceCommand> made;
        std::int32_t type;
        std::function<void(CloudServiceCommand&)> expectedFields;
    };
    const std::vector<Case> cases = {
        { CommandFactory::makeConnectCommand(), CommandTypeConnect, [](auto&) {} },
        { CommandFactory::makeLoginCommand("cred"), CommandTypeLogin,
            [](auto& c) { c.inputParameter->authString = "cred"; } },
        { CommandFactory::makeChangePasswordCommand("cred"), CommandTypeChangePassword,
            [](auto& c) { c.inputParameter->authString = "cred"; } },
        { CommandFactory::makeLogoutCommand(), CommandTypeLogout, [](auto&) {} },
        { CommandFactory::makeLsCommand("/FOLDER"), CommandTypeLs,
            [](auto& c) {
                c.inputParameter->pathName = "/FOLDER";
                c.outputParameter->fileInfo = std::make_shared<FileInfoList>();
            } },
        { CommandFactory::makeSearchCommand("/FOLDER?q"), CommandTypeSearch,
            [](auto& c) {
                c.inputParameter->pathName = "/FOLDER?q";
                c.outputParameter->fileInfo = std::make_shared<FileInfoList>();
            } },
        { CommandFactory::makeNetPrintCommand("/FILE/a.pdf", "pw", "7"), CommandTypeNetPrint,
            [](auto& c) {
                c.inputParameter->pathName = "/FILE/a.pdf";
                c.inputParameter->cmdOption = ValueMap { { "password", "pw" }, { "day", "7" } };
            } },
        { CommandFactory::makeMakeDirCommand("/FILE/new"), CommandTypeMkdir,
            [](auto& c) { c.inputParameter->pathName = "/FILE/new"; } },
        { CommandFactory::makePutCommand("/l", "/FILE/r", buffer), CommandTypePut,
            [&](auto& c) {
                c.inputParameter->localFileName = "/l";
                c.inputParameter->remoteFileName = "/FILE/r";
                c.inputParameter->memoryData = buffer;
            } },
        { CommandFactory::makeGetCommand("/l", "/FILE/r", buffer), CommandTypeGet,
            [&](auto& c) {
                c.inputParameter->localFileName = "/l";
                c.inputParameter->remoteFileName = "/FILE/r";
                c.outputParameter->memoryData = buffer;
            } },
        { CommandFactory::makeRmCommand("/l", "/FILE/r"), CommandTypeRm,
            [](auto& c) {
                c.inputParameter->localFileName = "/l";
                c.inputParameter->remoteFileName = "/FILE/r";
            } },
        { CommandFactory::makeCpCommand("/FILE/s", "/FILE/d", options), CommandTypeCp,
            [&](auto& c) {
                c.inputParameter->localFileName = "/FILE/s";
                c.inputParameter->remoteFileName = "/FILE/d";
                c.inputParameter->cmdOption = options;
            } },
        { CommandFactory::makeMvCommand("/FILE/s", "/FILE/d"), CommandTypeMv,
            [](auto& c) {
                c.inputParameter->localFileName = "/FILE/s";
                c.inputParameter->remoteFileName = "/FILE/d";
            } },
        { CommandFactory::makeChmodCommand("/FILE/r", options), CommandTypeChmod,
            [&](auto& c) {
                c.inputParameter->remoteFileName = "/FILE/r";
                c.inputParameter->cmdOption = options;
            } },
        { CommandFactory::makePublishCommand("/l", "/FILE/r"), CommandTypePublish,
            [](auto& c) {
                c.inputParameter->localFileName = "/l";
                c.inputParameter->remoteFileName = "/FILE/r";
                c.outputParameter->memoryData = std::make_shared<Bytes>();
            } },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.type);
        auto expected = CommandFactory::initCommand(test.type);
        test.expectedFields(*expected);
        EXPECT_EQ(test.made->commandType, test.type);
        EXPECT_EQ(test.made->commandRes, ResultNone);
        EXPECT_FALSE(test.made->commandErr.has_value());
        EXPECT_NE(test.made->inputParameter, test.made->outputParameter);
        EXPECT_EQ(archivedFields(*test.made), archivedFields(*expected));
    }
    // The receiving buffer is the caller's own, not a copy of it.
    EXPECT_EQ(cases[9].made->outputParameter->memoryData, buffer);
    EXPECT_EQ(cases[8].made->inputParameter->memoryData, buffer);
}

TEST(CloudServiceCommandTest, CopyResetsTransferStateAndSharesParameters)
{
    auto original = richCommand();
    original->progress = 0.5f;
    original->isCanUseCache = false;
    original->lastExecuteTime = std::chrono::system_clock::now();
    original->task = std::make_shared<TaskInfo>();
    original->totleFileSize = 99;
    original->localpath = "/tmp/x.cmd";

    const auto copy = original->copy();
    EXPECT_TRUE(copy->isCanUseCache);
    EXPECT_EQ(copy->progress.load(), 0.0f);
    EXPECT_FALSE(copy->lastExecuteTime.has_value());
    EXPECT_EQ(copy->task, nullptr);
    EXPECT_EQ(copy->totleFileSize, 0u);
    EXPECT_EQ(copy->commandId, original->commandId);
    EXPECT_EQ(archivedFields(*copy), archivedFields(*original));

    EXPECT_EQ(copy->inputParameter, original->inputParameter);
    EXPECT_EQ(copy->outputParameter, original->outputParameter);
    const auto parameter = original->outputParameter->copy();
    EXPECT_NE(parameter, original->outputParameter);
    EXPECT_EQ(parameter->fileInfo, original->outputParameter->fileInfo); // the same list
}

TEST(CloudServiceCommandTest, DescriptionKeepsCredentialsOutOfLogs)
{
    const auto command = CommandFactory::makeLoginCommand("user:secret-password");
    const std::string text = command->description();
    EXPECT_EQ(text.find("secret-password"), std::string::npos) << text;
    EXPECT_NE(text.find("commandType = 2"), std::string::npos) << text;
}

using CommandFileTest = LocalStoreTestHome;

TEST_F(CommandFileTest, WriteAndReadBackKeepsEveryArchivedField)
{
    const auto command = richCommand();
    const auto path = command->write2File(false);
    ASSERT_TRUE(path);
    EXPECT_EQ(fs::path(*path).parent_path(), home_ / "tmp" / "cmd");
    EXPECT_EQ(fs::path(*path).extension(), ".cmd");

    const auto back = CloudServiceCommand::read2Cmd(*path);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->commandId, command->commandId);
    EXPECT_EQ(back->uploadedSize, 3'000'000'000ULL);
    EXPECT_EQ(back->commandErr, command->commandErr);
    EXPECT_EQ(back->userInfoObj, command->userInfoObj);
    EXPECT_EQ(back->inputParameter->cmdOption, command->inputParameter->cmdOption);
    ASSERT_TRUE(back->inputParameter->memoryData);
    EXPECT_EQ(*back->inputParameter->memoryData, *command->inputParameter->memoryData);
    EXPECT_EQ(back->outputParameter->memoryData, nullptr); // none given, none read
    ASSERT_TRUE(back->outputParameter->fileInfo);
    ASSERT_EQ(back->outputParameter->fileInfo->size(), 2u);
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_TRUE(
            back->outputParameter->fileInfo->at(i)->compareFileInformation(*command->outputParameter->fileInfo->at(i)));
    EXPECT_EQ(archivedFields(*back), archivedFields(*command));

    const auto kept = command->write2File(true);
    ASSERT_TRUE(kept);
    EXPECT_EQ(fs::path(*kept).parent_path(), home_ / "tmp" / "do_not_delete_command" / "cmd");
    EXPECT_NE(fs::path(*kept).filename(), fs::path(*path).filename());
    EXPECT_NE(CloudServiceCommand::read2Cmd(*kept), nullptr);
}

TEST_F(CommandFileTest, LocalPathIsRewrittenInPlace)
{
    auto command = CommandFactory::makePutCommand("/l", "/FILE/r", nullptr);
    EXPECT_FALSE(command->write2FileLocalPath()); // no file of its own yet
    const auto path = command->write2File(false);
    ASSERT_TRUE(path);
    command->localpath = *path;
    command->uploadedSize = 2'500'000'000ULL;
    ASSERT_TRUE(command->write2FileLocalPath());

    const auto back = CloudServiceCommand::read2Cmd(*path);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->uploadedSize, 2'500'000'000ULL);
    EXPECT_EQ(back->localpath, *path);
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(*path).parent_path()), fs::directory_iterator()), 1);
}

TEST_F(CommandFileTest, UnreadableFilesGiveNoCommand)
{
    EXPECT_EQ(CloudServiceCommand::read2Cmd((home_ / "missing.cmd").string()), nullptr);
    EXPECT_EQ(CloudServiceCommand::read2Cmd(""), nullptr);
    EXPECT_EQ(CloudServiceCommand::read2Cmd(home_.string()), nullptr); // a directory

    const auto empty = home_ / "empty.cmd";
    ASSERT_TRUE(FileSystem::writeFileAtomically(empty, Bytes {}));
    EXPECT_EQ(CloudServiceCommand::read2Cmd(empty.string()), nullptr);
    ASSERT_TRUE(writeBytes(home_ / "garbage.cmd", 300));
    EXPECT_EQ(CloudServiceCommand::read2Cmd((home_ / "garbage.cmd").string()), nullptr);

    // A good archive cut short at every length.
    const auto path = richCommand()->write2File(false);
    ASSERT_TRUE(path);
    const auto whole = FileSystem::readFile(*path);
    ASSERT_TRUE(whole);
    const auto cut = home_ / "cut.cmd";
    for (std::size_t length = 1; length < whole->size(); length += 7) {
        ASSERT_TRUE(FileSystem::writeFileAtomically(cut, std::span(whole->data(), length)));
        EXPECT_EQ(CloudServiceCommand::read2Cmd(cut.string()), nullptr) << length;
    }

    // A readable archive whose root holds no command.
    KeyedArchiver root;
    root.encodeInt32(kArchiveRootKey, 5);
    ASSERT_TRUE(writeArchiveFile(home_ / "number.cmd", root));
    EXPECT_EQ(CloudServiceCommand::read2Cmd((home_ / "number.cmd").string()), nullptr);
}

TEST_F(CommandFileTest, OffLineStoreKeepsCommandsBesideTheirCopies)
{
    const std::string serverPath = "/FILE/Docs/a.txt";
    const auto command = richCommand();
    const auto path = command->write2FileFromOffLine(serverPath);
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, (home_ / "OffLineData/FILE/Docs/a.txt.cmd").string());
    const auto back = CloudServiceCommand::read2CmdFromOffLine(serverPath);
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(back->outputParameter->fileInfo->size(), 2u);
    for (const auto& entry : *back->outputParameter->fileInfo)
        EXPECT_TRUE(entry->isOffLineMode);

    const auto content = home_ / "OffLineData/FILE/Docs/a.txt";
    EXPECT_FALSE(CloudServiceCommand::read2CmdFromOffLineFile(serverPath)); // no copy yet
    ASSERT_TRUE(writeBytes(content, 99));
    EXPECT_FALSE(CloudServiceCommand::read2CmdFromOffLineFile(serverPath));
    ASSERT_TRUE(writeBytes(content, 100));
    const auto none = CloudServiceCommand::read2CmdFromOffLineFile(serverPath);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    ASSERT_TRUE(writeBytes(content, 103));
    EXPECT_EQ(CloudServiceCommand::read2CmdFromOffLineFile(serverPath), (Bytes { 100, 101, 102 }));

    CloudServiceCommand::deleteFileForOffLine(serverPath);
    EXPECT_FALSE(fs::exists(content));
    EXPECT_FALSE(fs::exists(*path));
    EXPECT_EQ(CloudServiceCommand::read2CmdFromOffLine(serverPath), nullptr);
    CloudServiceCommand::deleteFileForOffLine(serverPath); // nothing left to remove is fine
}

TEST_F(CommandFileTest, OffLineStoreRefusesPathsLeavingItsFolder)
{
    const auto command = richCommand();
    EXPECT_FALSE(command->write2FileFromOffLine("/FILE/../../escaped"));
    EXPECT_FALSE(fs::exists(home_.parent_path() / "escaped.cmd"));
    EXPECT_FALSE(fs::exists(home_ / "escaped.cmd"));

    const auto outside = home_ / "secret";
    ASSERT_TRUE(writeBytes(outside, 150));
    EXPECT_FALSE(CloudServiceCommand::read2CmdFromOffLineFile("/../secret"));
    CloudServiceCommand::deleteFileForOffLine("/../secret");
    EXPECT_TRUE(fs::exists(outside));
}
