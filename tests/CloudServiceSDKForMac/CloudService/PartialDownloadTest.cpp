// Downloads into a file: what a killed run leaves for the next one, and what is taken over from it.

#include "CloudServiceSDKForMac/CloudService/PartialDownload.h"
#include "CloudServiceSDKForMac/CloudService/CloudServiceTestSupport.h"
#include "platform/FileSystem.h"

#include <filesystem>

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

using Answer = FakeStorageServiceAdaptor::Answer;

class PartialDownloadTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        makeService(10);
        logIn();
        folder_ = home_ / "downloads";
        fs::create_directories(folder_);
    }

    CloudServiceCommandPtr get(
        const fs::path& target, const std::string& remote, std::uint64_t size, const std::string& timestamp)
    {
        auto command = CommandFactory::makeGetCommand(target.string(), remote, nullptr);
        command->inputParameter->cmdOption[kOptionTotalSize] = static_cast<std::int64_t>(size);
        command->inputParameter->cmdOption[kOptionTimestamp] = timestamp;
        service_->doCommand(ExecuteModeSync, command);
        return command;
    }

    // What a run killed after `count` bytes leaves: the partial file, never committed nor removed.
    void leaveKilledRun(const fs::path& target, const std::string& source, const Bytes& bytes)
    {
        PartialDownload killed(target, source);
        ASSERT_FALSE(killed.append(bytes));
    }

    // Where the requests since the last call started.
    std::vector<std::uint64_t> starts()
    {
        std::vector<std::uint64_t> out;
        const auto calls = fake_->gets();
        for (std::size_t i = seen_; i < calls.size(); ++i)
            out.push_back(calls[i].start);
        seen_ = calls.size();
        return out;
    }

    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(folder_))
            out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    fs::path folder_;
    std::size_t seen_ = 0;
};

TEST_F(PartialDownloadTest, AKilledRunIsTakenOverOnlyForTheSameVersionAndNothingStaysOnceItEnds)
{
    const Bytes content = patternBytes(25);
    fake_->files["/FILE/doc.bin"] = content;
    const fs::path target = folder_ / "doc.bin";
    const std::string source = PartialDownload::sourceOf("/FILE/doc.bin", 25, "t1");

    // Same version: the bytes held are kept (marked here, so that taking them over shows) and the
    // download goes on after them.
    Bytes held(content.begin(), content.begin() + 13);
    held[0] = 'X';
    leaveKilledRun(target, source, held);
    EXPECT_EQ(get(target, "/FILE/doc.bin", 25, "t1")->commandRes, ResultSuccess);
    EXPECT_EQ(starts(), (std::vector<std::uint64_t> { 13, 23 }));
    Bytes expected = content;
    expected[0] = 'X';
    EXPECT_EQ(FileSystem::readFile(target), expected);
    EXPECT_EQ(names(), (std::vector<std::string> { "doc.bin" }));

    // Another time stamp, another size, bytes of unknown origin or as many bytes as the whole
    // file: started again from the first byte.
    struct Stale {
        std::string source;
        std::size_t count;
    };
    for (const Stale& stale : { Stale { PartialDownload::sourceOf("/FILE/doc.bin", 25, "t0"), 13 },
             Stale { PartialDownload::sourceOf("/FILE/doc.bin", 24, "t1"), 13 }, Stale { "", 13 },
             Stale { source, 25 } }) {
        leaveKilledRun(target, stale.source, Bytes(stale.count, 'X'));
        EXPECT_EQ(get(target, "/FILE/doc.bin", 25, "t1")->commandRes, ResultSuccess);
        EXPECT_EQ(starts(), (std::vector<std::uint64_t> { 0, 10, 20 }));
        EXPECT_EQ(FileSystem::readFile(target), content);
        EXPECT_EQ(names(), (std::vector<std::string> { "doc.bin" }));
    }

    // A run that fails after taking bytes over removes them as well.
    leaveKilledRun(target, source, Bytes(content.begin(), content.begin() + 13));
    fake_->onGet = [](std::size_t, const GetCall&, Bytes&) { return Answer(ResultTimedOut); };
    EXPECT_EQ(get(target, "/FILE/doc.bin", 25, "t1")->commandRes, ResultTimedOut);
    EXPECT_EQ(names(), (std::vector<std::string> { "doc.bin" }));
}

TEST_F(PartialDownloadTest, AFreshStartHoldsOnlyItsOwnBytesWhetherAFileWasLeftOrNot)
{
    const fs::path target = folder_ / "doc.bin";
    const std::string source = PartialDownload::sourceOf("/FILE/doc.bin", 25, "t1");
    const Bytes fresh = patternBytes(7);
    // Nothing there, and a leftover that is never looked at for taking over.
    for (const bool leftover : { false, true }) {
        if (leftover)
            leaveKilledRun(target, source, Bytes(13, 'X'));
        PartialDownload download(target, source);
        ASSERT_FALSE(download.append(fresh));
        ASSERT_FALSE(download.commit());
        EXPECT_EQ(FileSystem::readFile(target), fresh) << (leftover ? "over a leftover" : "new");
        EXPECT_EQ(names(), (std::vector<std::string> { "doc.bin" }));
    }
}

// Bytes are gathered into whole write pieces: pieces of any size, and cuts of a chunk that was not
// taken, inside the gathered bytes or inside those written already, leave exactly what was kept.
TEST_F(PartialDownloadTest, PiecesOfAnySizeAndCutChunksLeaveExactlyTheBytesKept)
{
    const fs::path target = folder_ / "big.bin";
    const Bytes content = patternBytes(200'000);
    PartialDownload download(target, PartialDownload::sourceOf("/FILE/big.bin", 200'000, "t1"));
    std::size_t at = 0;
    for (const std::size_t piece : { 1, 16'383, 16'385, 40'000, 7, 50'000 }) {
        ASSERT_FALSE(download.append(std::span(content).subspan(at, piece)));
        at += piece;
    }
    ASSERT_EQ(download.size(), at);
    ASSERT_FALSE(download.truncate(at - 3));
    ASSERT_FALSE(download.truncate(20'000));
    EXPECT_EQ(download.size(), 20'000u);
    ASSERT_FALSE(download.append(std::span(content).subspan(20'000)));
    ASSERT_FALSE(download.commit());
    EXPECT_TRUE(FileSystem::readFile(target) == content) << "the file differs from the bytes sent";
}

TEST_F(PartialDownloadTest, ALinkPlantedAtThePartialNameIsNeverWrittenThrough)
{
    fake_->files["/FILE/doc.bin"] = patternBytes(25);
    const fs::path target = folder_ / "doc.bin";
    const fs::path elsewhere = home_ / "elsewhere";
    ASSERT_TRUE(FileSystem::writeFileAtomically(elsewhere, Bytes { 'k', 'e', 'e', 'p' }));
    fs::create_symlink(elsewhere, PartialDownload::pathFor(target));
    EXPECT_EQ(get(target, "/FILE/doc.bin", 25, "t1")->commandRes, ResultSuccess);
    EXPECT_EQ(FileSystem::readFile(target), patternBytes(25));
    EXPECT_EQ(FileSystem::readFile(elsewhere), (Bytes { 'k', 'e', 'e', 'p' }));
    // The link is not ours to remove; the bytes gathered under a name of their own.
    EXPECT_EQ(names(), (std::vector<std::string> { PartialDownload::pathFor(target).filename().string(), "doc.bin" }));
}

} // namespace
