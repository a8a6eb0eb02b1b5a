#include "platform/FileEventStream.h"

#include "ThreadingTestSupport.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace norvane;
namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A stream over a fresh folder, read on the test thread's loop and delivered on a main queue
// over that same loop, so that a test decides when events are read by running the loop.
class FileEventStreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "norvane-fes-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        root_ = base_ / "watched";
        fs::create_directory(root_);
    }
    void TearDown() override
    {
        stream_.reset();
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    void startStream(double latency = 0.05, std::size_t maxBatchEvents = 4096)
    {
        FileEventStream::Options options;
        options.latency = latency;
        options.maxBatchEvents = maxBatchEvents;
        options.loop = mainQueue_->loop();
        options.mainQueue = mainQueue_;
        stream_ = std::make_unique<FileEventStream>(
            root_.string(), [this](const std::vector<FileEvent>& batch) { batches_.push_back(batch); }, options);
        ASSERT_FALSE(stream_->start().has_value());
    }

    // Runs the loop until some delivered event satisfies `match`; false after the time limit.
    bool runUntil(const std::function<bool(const FileEvent&)>& match, double limitSeconds = 5)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& batch : batches_)
                if (std::any_of(batch.begin(), batch.end(), match))
                    return true;
            mainQueue_->loop()->runFor(0.02);
        }
        return false;
    }

    static std::function<bool(const FileEvent&)> is(const fs::path& path, unsigned flags)
    {
        return
            [path = path.string(), flags](const FileEvent& e) { return e.path == path && (e.flags & flags) == flags; };
    }

    fs::path base_;
    fs::path root_;
    std::shared_ptr<RunLoopMainQueue> mainQueue_ = std::make_shared<RunLoopMainQueue>();
    std::unique_ptr<FileEventStream> stream_;
    std::vector<std::vector<FileEvent>> batches_;
};

} // namespace

TEST_F(FileEventStreamTest, ReportsFilesInNewSubdirectoriesInOneBatchInOrder)
{
    startStream(0.2);
    fs::create_directory(root_ / "a");
    writeFile(root_ / "top.txt", "1");
    ASSERT_TRUE(runUntil(is(root_ / "top.txt", FileEvent::ClosedWrite)));
    ASSERT_EQ(batches_.size(), 1u); // read together, delivered together
    // The folder is watched now: what happens inside it is reported.
    writeFile(root_ / "a" / "inner.txt", "2");
    ASSERT_TRUE(runUntil(is(root_ / "a" / "inner.txt", FileEvent::ClosedWrite)));

    const auto& first = batches_.front();
    auto position = [&](const fs::path& path, unsigned flags) {
        return std::find_if(first.begin(), first.end(), is(path, flags)) - first.begin();
    };
    EXPECT_LT(position(root_ / "a", FileEvent::Created | FileEvent::IsDirectory), position(root_ / "top.txt", 0));
    EXPECT_LT(position(root_ / "top.txt", FileEvent::Created), position(root_ / "top.txt", FileEvent::ClosedWrite));
}

TEST_F(FileEventStreamTest, ContentOfAFolderMadeBeforeItsWatchComesAsFound)
{
    startStream();
    // All of this happens before the stream reads the folder's creation, so the kernel reports
    // nothing of the file and the deeper folder; the scan of the new folder must.
    fs::create_directories(root_ / "d" / "deeper");
    writeFile(root_ / "d" / "early.txt", "x");
    writeFile(root_ / "d" / "deeper" / "earliest.txt", "y");
    EXPECT_TRUE(runUntil(is(root_ / "d" / "early.txt", FileEvent::Found)));
    EXPECT_TRUE(runUntil(is(root_ / "d" / "deeper" / "earliest.txt", FileEvent::Found)));
    writeFile(root_ / "d" / "deeper" / "later.txt", "z");
    EXPECT_TRUE(runUntil(is(root_ / "d" / "deeper" / "later.txt", FileEvent::ClosedWrite)));
}

TEST_F(FileEventStreamTest, FullBatchEndsWithAScanRequest)
{
    startStream(0.05, 4);
    for (int i = 0; i < 10; ++i)
        writeFile(root_ / ("f" + std::to_string(i)), "x");
    ASSERT_TRUE(runUntil(is(root_, FileEvent::MustScanSubDirs)));
    EXPECT_EQ(batches_.front().size(), 5u);
    EXPECT_EQ(batches_.front().back(), (FileEvent { root_.string(), FileEvent::MustScanSubDirs }));
}

TEST_F(FileEventStreamTest, KernelQueueOverflowBecomesAScanRequest)
{
    long limit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    if (limit <= 0 || limit > 100000)
        GTEST_SKIP() << "kernel event queue too large to overflow here: " << limit;
    startStream(0.05, std::size_t { 1 } << 20);
    std::ofstream a(root_ / "a"), b(root_ / "b");
    for (long i = 0; i <= limit; ++i) { // alternating files: the kernel cannot merge them
        (i % 2 ? a : b) << 'x' << std::flush;
    }
    EXPECT_TRUE(runUntil(is(root_, FileEvent::MustScanSubDirs)));
}

TEST_F(FileEventStreamTest, RootRemovedAndMadeAgainIsWatchedAgain)
{
    startStream();
    fs::remove_all(root_);
    ASSERT_TRUE(runUntil(is(root_, FileEvent::RootChanged)));
    batches_.clear();
    fs::create_directory(root_);
    ASSERT_TRUE(runUntil(is(root_, FileEvent::RootChanged | FileEvent::MustScanSubDirs)));
    writeFile(root_ / "back.txt", "x");
    EXPECT_TRUE(runUntil(is(root_ / "back.txt", FileEvent::ClosedWrite)));
    EXPECT_EQ(stream_->watchCount(), 1u);
}

TEST_F(FileEventStreamTest, LinkedFolderIsNotFollowedAndStopEndsDelivery)
{
    fs::create_directory(base_ / "outside");
    fs::create_directory_symlink(base_ / "outside", root_ / "link");
    startStream();
    writeFile(base_ / "outside" / "secret.txt", "x");
    writeFile(root_ / "marker.txt", "x");
    ASSERT_TRUE(runUntil(is(root_ / "marker.txt", FileEvent::ClosedWrite)));
    EXPECT_FALSE(runUntil(is(root_ / "link" / "secret.txt", 0), 0.2));

    stream_->stop();
    batches_.clear();
    writeFile(root_ / "after.txt", "x");
    EXPECT_FALSE(runUntil([](const FileEvent&) { return true; }, 0.2));
}

TEST(FileEventStreamOwnThread, DeliversOnTheMainQueueAndWaitsForAMissingRoot)
{
    std::string pattern = (fs::temp_directory_path() / "norvane-fes-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path root = fs::path(pattern) / "later";
    auto mainQueue = std::make_shared<RunLoopMainQueue>();
    std::vector<FileEvent> seen;
    std::thread::id deliveredOn;
    FileEventStream::Options options;
    options.latency = 0.05;
    options.mainQueue = mainQueue;
    FileEventStream stream(
        root.string(),
        [&](const std::vector<FileEvent>& batch) {
            deliveredOn = std::this_thread::get_id();
            seen.insert(seen.end(), batch.begin(), batch.end());
        },
        options);
    ASSERT_FALSE(stream.start().has_value());
    fs::create_directory(root);
    auto found = [&] {
        return std::any_of(seen.begin(), seen.end(), [&](const FileEvent& e) { return e.path == root / "f"; });
    };
    bool written = false;
    for (int i = 0; i < 250 && !found(); ++i) {
        mainQueue->loop()->runFor(0.02);
        if (!written && stream.watchCount() == 1) {
            writeFile(root / "f", "x");
            written = true;
        }
    }
    EXPECT_TRUE(found());
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    stream.stop();
    fs::remove_all(pattern);
}
