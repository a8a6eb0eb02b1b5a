#include "CloudServiceSDKForMac/CloudService/CloudServiceTestSupport.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "formats/MD5DigestString.h"
#include "platform/FileSystem.h"

#include <filesystem>

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

using CloudServiceTransferTest = ServiceTest;
using Answer = FakeStorageServiceAdaptor::Answer;

template <class Call> std::vector<std::uint64_t> offsetsOf(const std::vector<Call>& calls)
{
    std::vector<std::uint64_t> out;
    for (const auto& call : calls) {
        if constexpr (std::is_same_v<Call, PutCall>)
            out.push_back(call.offset);
        else
            out.push_back(call.start);
    }
    return out;
}

std::vector<std::string> filesIn(const fs::path& folder)
{
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder))
        out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

CloudServiceCommandPtr memoryPut(const Bytes& data, const std::string& remote = "/FILE/up.bin")
{
    auto command = CommandFactory::makePutCommand("", remote, std::make_shared<Bytes>(data));
    command->applicationType = "file";
    return command;
}

// Answers the put with the given index with `result`, other puts normally.
std::function<Answer(std::size_t, const PutCall&, std::uint64_t&)> failPut(std::size_t which, std::int32_t result)
{
    return
        [=](std::size_t index, const PutCall&, std::uint64_t&) { return index == which ? Answer(result) : Answer(); };
}

TEST_F(CloudServiceTransferTest, UploadCutsChunksAndFollowsResumeOffsets)
{
    makeService(10);
    logIn();
    const Bytes data = patternBytes(25);
    auto put = memoryPut(data);
    service_->doCommand(ExecuteModeSync, put);
    EXPECT_EQ(put->commandRes, ResultSuccess);
    EXPECT_EQ(offsetsOf(fake_->puts()), (std::vector<std::uint64_t> { 0, 10, 20 }));
    EXPECT_EQ(fake_->puts().at(2).chunk.size(), 5u);
    EXPECT_EQ(fake_->puts().at(0).md5, *MD5DigestString(std::span<const std::uint8_t>(data)));
    EXPECT_EQ(fake_->received["/FILE/up.bin"], data);
    EXPECT_EQ(put->uploadedSize, 25u);

    // The server rejects the second chunk and says it holds 4 bytes: go on from there.
    makeService(10);
    logIn();
    fake_->onPut = [](std::size_t index, const PutCall&, std::uint64_t& offset) {
        offset = index == 1 ? 4 : offset;
        return index == 1 ? Answer(ResultResumeAtOffset) : Answer();
    };
    service_->doCommand(ExecuteModeSync, memoryPut(data));
    EXPECT_EQ(offsetsOf(fake_->puts()), (std::vector<std::uint64_t> { 0, 10, 4, 14, 24 }));
    EXPECT_EQ(fake_->received["/FILE/up.bin"], data);

    // A resume asks the server first: the offset kept in the command is not trusted.
    makeService(10);
    logIn();
    fake_->received["/FILE/up.bin"] = Bytes(data.begin(), data.begin() + 17);
    auto again = memoryPut(data);
    again->uploadedSize = 3;
    service_->doCommand(ExecuteModeSync, again);
    EXPECT_EQ(fake_->calls("status"), 1);
    EXPECT_EQ(offsetsOf(fake_->puts()), (std::vector<std::uint64_t> { 17 }));
    EXPECT_EQ(fake_->received["/FILE/up.bin"], data);
}

TEST_F(CloudServiceTransferTest, StoppedUploadKeepsItsProgressInTheArchive)
{
    makeService(10);
    logIn();
    fake_->onPut = failPut(1, ResultCancelled);
    auto put = memoryPut(patternBytes(25));
    put->localpath = put->write2File(true).value_or("");
    service_->doCommand(ExecuteModeSync, put);
    EXPECT_EQ(put->commandRes, ResultCancelled);
    EXPECT_EQ(fake_->puts().size(), 2u);
    EXPECT_EQ(put->uploadedSize, 20u);
    auto stored = CloudServiceCommand::read2Cmd(put->localpath);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->uploadedSize, 20u);

    // From a file, a stop during the last chunk is still a stop, not a success.
    makeService(10);
    logIn();
    const fs::path source = home_ / "source.bin";
    ASSERT_TRUE(FileSystem::writeFileAtomically(source, patternBytes(15)));
    fake_->onPut = failPut(1, ResultCancelled);
    auto fromFile = CommandFactory::makePutCommand(source.string(), "/FILE/src.bin", nullptr);
    service_->doCommand(ExecuteModeSync, fromFile);
    EXPECT_EQ(fromFile->commandRes, ResultCancelled);
}

TEST_F(CloudServiceTransferTest, UnusableResumeAnswersEndTheUploadWithAFailure)
{
    const auto statusAt
        = [](std::uint64_t where) { return [where](std::uint64_t& offset) { return offset = where, ResultSuccess; }; };
    const auto resumeAt = [](std::optional<std::uint64_t> where, bool everyOther) {
        return [=](std::size_t index, const PutCall&, std::uint64_t& offset) {
            if (everyOther && index % 2 == 0)
                return Answer();
            offset = where.value_or(offset);
            return Answer(ResultResumeAtOffset);
        };
    };
    struct Case {
        const char* name;
        std::function<std::int32_t(std::uint64_t&)> status;
        std::function<Answer(std::size_t, const PutCall&, std::uint64_t&)> put;
        std::size_t maxPuts;
    };
    const Case cases[] = {
        { "status offset past the end", statusAt(26), nullptr, 0 },
        { "status offset negative", statusAt(static_cast<std::uint64_t>(-5)), nullptr, 0 },
        { "416 at the same offset for ever", nullptr, resumeAt(std::nullopt, false), 8 },
        { "416 past the end", nullptr, resumeAt(1000, false), 1 },
        { "416 back to the start for ever", nullptr, resumeAt(0, true), 20 },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        makeService(10);
        logIn();
        fake_->onPutStatus = item.status;
        fake_->onPut = item.put;
        auto put = memoryPut(patternBytes(25));
        service_->doCommand(ExecuteModeSync, put);
        EXPECT_EQ(put->commandRes, ResultFailed);
        ASSERT_TRUE(put->commandErr);
        EXPECT_EQ(put->commandErr->code, CloudServiceErrorBadTransferAnswer);
        EXPECT_LE(fake_->puts().size(), item.maxPuts);
        for (const auto& call : fake_->puts())
            EXPECT_LE(call.offset + call.chunk.size(), 25u);
    }
}

TEST_F(CloudServiceTransferTest, FailuresMapToWhatTheUserShouldSee)
{
    for (const auto& [answer, expected] : { std::pair { ResultDeviceNotAuthorized, ResultDeviceNotAuthorized },
             std::pair { ResultServerError, ResultServerError }, std::pair { ResultNotFound, ResultFailed } }) {
        makeService(10);
        logIn();
        fake_->onPutStatus = [answer](std::uint64_t&) { return answer; };
        auto put = memoryPut(patternBytes(5));
        service_->doCommand(ExecuteModeSync, put);
        EXPECT_EQ(put->commandRes, expected);
        EXPECT_TRUE(fake_->puts().empty());
    }
    ASSERT_TRUE(alerts_->waitForCount(1));
    EXPECT_EQ(alerts_->alerts().at(0).messageKey, "message_device_failed");
    alerts_->clear();

    fake_->onPutStatus = nullptr;
    fake_->onPut = [](std::size_t, const PutCall& call, std::uint64_t&) {
        return Answer(call.path == "/FILE/big" ? ResultTooLarge : ResultNoSpace);
    };
    service_->doCommand(ExecuteModeSync, memoryPut(patternBytes(5), "/FILE/big"));
    auto folder = memoryPut({}, "/FILE/newfolder/");
    folder->inputParameter->cmdOption[kOptionCmdType] = kOptionValueMakeFolder;
    service_->doCommand(ExecuteModeSync, folder); // no alert for a folder
    EXPECT_EQ(folder->commandRes, ResultNoSpace);
    // An empty file that is refused is refused, not done because nothing was left to send.
    ASSERT_TRUE(FileSystem::writeFileAtomically(home_ / "empty", Bytes()));
    auto empty = CommandFactory::makePutCommand((home_ / "empty").string(), "/FILE/empty", nullptr);
    service_->doCommand(ExecuteModeSync, empty);
    EXPECT_EQ(empty->commandRes, ResultNoSpace);
    ASSERT_TRUE(alerts_->waitForCount(2));
    ASSERT_EQ(alerts_->count(), 2u);
    EXPECT_EQ(alerts_->alerts()[0].titleKey, "message_upload_size_too_big");
    EXPECT_EQ(alerts_->alerts()[1].titleKey, "message_space_not_enough");
}

TEST_F(CloudServiceTransferTest, GoneUpdateFromMemoryIsSentAgainAsCreation)
{
    makeService(10);
    logIn();
    fake_->onPut = [](std::size_t, const PutCall& call, std::uint64_t&) {
        return call.postOrPut == 0 ? Answer(ResultGone) : Answer();
    };
    auto put = memoryPut(patternBytes(5), "/FILE/old.txt");
    put->inputParameter->cmdOption
        = { { "for_post_remoteFileName", "/FILE/new.txt" }, { "for_post_owner", "u1" }, { "timestamp", "123" } };
    service_->doCommand(ExecuteModeSync, put);
    EXPECT_EQ(put->commandRes, ResultSuccess);
    ASSERT_EQ(fake_->puts().size(), 2u);
    const PutCall post = fake_->puts()[1];
    EXPECT_EQ(post.path, "/FILE/new.txt");
    EXPECT_EQ(post.postOrPut, 1);
    EXPECT_EQ(post.option.at("owner"), Value("u1"));
    EXPECT_FALSE(post.option.contains("timestamp"));

    // From a file the answer goes back to the caller.
    ASSERT_TRUE(FileSystem::writeFileAtomically(home_ / "a.txt", patternBytes(5)));
    auto fromFile = CommandFactory::makePutCommand((home_ / "a.txt").string(), "/FILE/a.txt", nullptr);
    fromFile->inputParameter->cmdOption = put->inputParameter->cmdOption;
    service_->doCommand(ExecuteModeSync, fromFile);
    EXPECT_EQ(fromFile->commandRes, ResultGone);
    EXPECT_EQ(fake_->puts().size(), 3u);
}

TEST_F(CloudServiceTransferTest, DownloadToFileAppearsOnlyWhenCompleteAndFailureKeepsTheOldFile)
{
    makeService(10);
    logIn();
    const Bytes content = patternBytes(25);
    const Bytes old { 'o', 'l', 'd' };
    fake_->files["/FILE/doc.bin"] = content;
    const fs::path folder = home_ / "downloads";
    const fs::path target = folder / "doc.bin";
    fs::create_directories(folder);
    ASSERT_TRUE(FileSystem::writeFileAtomically(target, old));

    std::vector<std::string> during;
    fake_->onGet = [&](std::size_t index, const GetCall&, Bytes&) {
        if (index == 2) {
            during = filesIn(folder);
            EXPECT_EQ(FileSystem::readFile(target), old);
        }
        return Answer();
    };
    auto get = CommandFactory::makeGetCommand(target.string(), "/FILE/doc.bin", nullptr);
    service_->doCommand(ExecuteModeSync, get);
    EXPECT_EQ(get->commandRes, ResultSuccess);
    EXPECT_EQ(offsetsOf(fake_->gets()), (std::vector<std::uint64_t> { 0, 10, 20 }));
    EXPECT_EQ(FileSystem::readFile(target), content);
    EXPECT_EQ(filesIn(folder), (std::vector<std::string> { "doc.bin" }));
    ASSERT_EQ(during.size(), 2u); // the chunks so far gathered beside the target
    EXPECT_TRUE(during[0].starts_with(".norvane-") && during[0].ends_with(".part"));

    for (const std::int32_t failure : { ResultCancelled, ResultTimedOut }) {
        fake_->files["/FILE/doc.bin"] = patternBytes(25, 9);
        fake_->onGet = [failure, calls = 0](std::size_t, const GetCall&, Bytes&) mutable {
            return ++calls == 2 ? Answer(failure) : Answer();
        };
        auto failed = CommandFactory::makeGetCommand(target.string(), "/FILE/doc.bin", nullptr);
        service_->doCommand(ExecuteModeSync, failed);
        EXPECT_EQ(failed->commandRes, failure);
        EXPECT_EQ(FileSystem::readFile(target), content);
        EXPECT_EQ(filesIn(folder), (std::vector<std::string> { "doc.bin" }));
    }

    // A target that cannot be written is a failure, not a success with nothing written.
    fake_->onGet = nullptr;
    auto nowhere = CommandFactory::makeGetCommand((home_ / "missing" / "x").string(), "/FILE/doc.bin", nullptr);
    service_->doCommand(ExecuteModeSync, nowhere);
    EXPECT_EQ(nowhere->commandRes, ResultFailed);
    EXPECT_TRUE(nowhere->commandErr);

    // The offline store's copy ends up with the filler in front of the content.
    const auto offLine = LocalStorePaths::getOffLineLocalPath("/FILE/doc.bin").value_or("");
    fs::create_directories(fs::path(offLine).parent_path());
    service_->doCommand(ExecuteModeSync, CommandFactory::makeGetCommand(offLine, "/FILE/doc.bin", nullptr));
    EXPECT_EQ(FileSystem::fileSize(offLine), 125u);
    EXPECT_EQ(CloudServiceCommand::read2CmdFromOffLineFile("/FILE/doc.bin"), patternBytes(25, 9));
}

TEST_F(CloudServiceTransferTest, DownloadLoopsEndOnShortChunksExpectedSizeAndPageImages)
{
    makeService(10);
    logIn();
    fake_->files["/FILE/twenty"] = patternBytes(20);
    auto exact = CommandFactory::makeGetCommand("", "/FILE/twenty", std::make_shared<Bytes>());
    service_->doCommand(ExecuteModeSync, exact);
    EXPECT_EQ(exact->commandRes, ResultSuccess);
    EXPECT_EQ(offsetsOf(fake_->gets()), (std::vector<std::uint64_t> { 0, 10, 20 })); // a short chunk ends it
    EXPECT_EQ(*exact->outputParameter->memoryData, patternBytes(20));

    auto sized = CommandFactory::makeGetCommand((home_ / "t.bin").string(), "/FILE/twenty", nullptr);
    sized->inputParameter->cmdOption[kOptionTotalSize] = 20;
    service_->doCommand(ExecuteModeSync, sized);
    EXPECT_EQ(fake_->gets().size(), 5u);
    EXPECT_EQ(FileSystem::readFile(home_ / "t.bin"), patternBytes(20));

    // A page image comes whole in one answer, even when that overfills a chunk; the same answer
    // to a ranged request is refused.
    fake_->onGet = [](std::size_t, const GetCall&, Bytes& data) {
        data = patternBytes(14);
        return Answer(ResultSuccess);
    };
    auto page = CommandFactory::makeGetCommand((home_ / "p.jpg").string(), "/PDF/FILE/doc.pdf?pageno=2", nullptr);
    service_->doCommand(ExecuteModeSync, page);
    EXPECT_EQ(page->commandRes, ResultSuccess);
    EXPECT_EQ(fake_->gets().size(), 6u);
    EXPECT_EQ(FileSystem::readFile(home_ / "p.jpg"), patternBytes(14));
    auto ranged = CommandFactory::makeGetCommand((home_ / "r.bin").string(), "/FILE/doc", nullptr);
    service_->doCommand(ExecuteModeSync, ranged);
    EXPECT_EQ(ranged->commandRes, ResultFailed);
    EXPECT_EQ(ranged->commandErr.value_or(ErrorValue {}).code, CloudServiceErrorBadTransferAnswer);
    EXPECT_FALSE(fs::exists(home_ / "r.bin"));
}

} // namespace
