#include "ManualMainQueue.h"
#include "StateTestHome.h"

#include "app/state/AppDataManager.h"
#include "app/state/WatchedFiles.h"
#include "platform/AlertPresenter.h"
#include "platform/MainQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace norvane;
namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string readFile(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Records every upload with the content it found and answers with nextResult.
struct FakeUploader {
    std::vector<WatchEntry> entries;
    std::vector<std::string> contents;
    std::int32_t nextResult = 1;

    WatchedFiles::Uploader function()
    {
        return [this](const WatchEntry& entry, WatchedFiles::UploadDone done) {
            entries.push_back(entry);
            contents.push_back(readFile(entry.localPath));
            done(nextResult);
        };
    }
};

// The data manager with the real event stream over its cache folder, read on this thread's loop.
class WatchedFilesTest : public StateTestHome {
protected:
    void SetUp() override
    {
        StateTestHome::SetUp();
        AppDataManager::Dependencies deps;
        deps.mainQueue = mainQueue_;
        deps.center = &center_;
        deps.watchReachability = false;
        deps.fileEventLoop = mainQueue_->loop();
        deps.fileEventLatency = 0.05;
        deps.watchChecks = [](std::function<void()> task) { task(); };
        deps.uploader = uploader_.function();
        AlertPresenter::setShared(alerts_);
        manager_ = AppDataManager::create(std::move(deps));
        ASSERT_FALSE(manager_->initFileStream().has_value());
        uploadedNotice_ = center_.addObserver(kNotificationWatchFileUploaded, nullptr,
            [this](const Notification& n) { notices_.push_back(n.userInfo.at(kWatchInfoKey)); });

        folder_ = home_ / "tmp" / "file_cache" / "F42";
        fs::create_directories(folder_);
        local_ = folder_ / "report.txt";
        writeFile(local_, "v1"); // as downloaded
        ASSERT_TRUE(manager_->addWatchFile("/FILE/Docs/report.txt", "/FILE/Docs/report.txt", local_.string(),
            std::string("1700000000000"), Value("1")));
    }
    void TearDown() override
    {
        uploadedNotice_.remove();
        manager_.reset();
        AlertPresenter::setShared(nullptr);
        StateTestHome::TearDown();
    }

    void run(double seconds)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end)
            mainQueue_->loop()->runFor(0.01);
    }
    // Waits for the count of uploads to reach n, then a while longer so that a second upload of
    // the same save would show.
    std::size_t uploadsAfterSave(std::size_t n)
    {
        for (int i = 0; i < 500 && uploader_.entries.size() < n; ++i)
            run(0.01);
        run(0.3);
        return uploader_.entries.size();
    }

    std::shared_ptr<RunLoopMainQueue> mainQueue_ = std::make_shared<RunLoopMainQueue>();
    NotificationCenter center_;
    std::shared_ptr<RecordingAlertPresenter> alerts_ = std::make_shared<RecordingAlertPresenter>();
    FakeUploader uploader_;
    std::shared_ptr<AppDataManager> manager_;
    ObserverToken uploadedNotice_;
    std::vector<Value> notices_;
    fs::path folder_;
    fs::path local_;
};

} // namespace

TEST_F(WatchedFilesTest, EverySaveUploadsOnceAndAnUnchangedSaveNothing)
{
    EXPECT_EQ(uploadsAfterSave(0), 0u); // the download's own writes

    writeFile(local_, "v2 written in place");
    ASSERT_EQ(uploadsAfterSave(1), 1u);
    EXPECT_EQ(uploader_.contents[0], "v2 written in place");

    // Written beside it and renamed over it: the local path goes up, not the temporary name.
    writeFile(folder_ / ".report.txt.swp", "v3 renamed over");
    fs::rename(folder_ / ".report.txt.swp", local_);
    ASSERT_EQ(uploadsAfterSave(2), 2u);
    EXPECT_EQ(uploader_.entries[1].localPath, local_.string());
    EXPECT_EQ(uploader_.contents[1], "v3 renamed over");

    writeFile(local_, "v3 renamed over"); // saved again without a change
    EXPECT_EQ(uploadsAfterSave(2), 2u);

    const WatchEntry& sent = uploader_.entries[0];
    EXPECT_EQ(sent.uk, "/FILE/Docs/report.txt");
    EXPECT_EQ(sent.timestamp, "1700000000000");
    EXPECT_EQ(*sent.editpermission.string(), "1");
    ASSERT_EQ(notices_.size(), 2u);
    EXPECT_EQ(*notices_[1].map()->at("localPath").string(), local_.string());
}

TEST_F(WatchedFilesTest, FailedUploadPostsNothingAndTheNextSaveGoesUpAgain)
{
    uploader_.nextResult = 2;
    writeFile(local_, "v2");
    ASSERT_EQ(uploadsAfterSave(1), 1u);
    EXPECT_TRUE(notices_.empty());

    // The server never got v2: saving it again must send it.
    uploader_.nextResult = 1;
    writeFile(local_, "v2");
    EXPECT_EQ(uploadsAfterSave(2), 2u);
    EXPECT_EQ(notices_.size(), 1u);

    // A file in a folder no entry lives in is none of the watcher's business.
    fs::create_directories(folder_.parent_path() / "F7");
    writeFile(folder_.parent_path() / "F7" / "other.txt", "x");
    EXPECT_EQ(uploadsAfterSave(2), 2u);
}

TEST_F(WatchedFilesTest, AnUnsentChangeIsToldKeptFromEveryClearingAndSentAgain)
{
    uploader_.nextResult = 27;
    writeFile(local_, "v2 never sent");
    ASSERT_EQ(uploadsAfterSave(1), 1u);
    ASSERT_EQ(alerts_->alerts().size(), 1u);
    EXPECT_EQ(alerts_->alerts()[0].messageKey, "message_watch_file_upload_failed");
    EXPECT_EQ(alerts_->alerts()[0].detail, "\nreport.txt");
    ASSERT_EQ(manager_->unsentEdits().size(), 1u);
    EXPECT_EQ(manager_->unsentEdits()[0].localPath, local_.string());

    // Logout and quit clear what they may; the copy stays with its change, also through the
    // next start (as after a crash) and when opened again, when it is not downloaded afresh.
    const fs::path preview = home_ / "tmp" / "CacheFile" / "p.jpg";
    fs::create_directories(preview.parent_path());
    writeFile(preview, "x");
    writeFile(folder_ / "beside.txt", "x");
    manager_->clearCache();
    EXPECT_EQ(readFile(local_.string()), "v2 never sent");
    EXPECT_FALSE(fs::exists(preview));
    EXPECT_FALSE(fs::exists(folder_ / "beside.txt"));
    manager_.reset();
    AppDataManager::Dependencies deps;
    deps.mainQueue = mainQueue_;
    deps.center = &center_;
    deps.watchReachability = false;
    deps.watchChecks = [](std::function<void()> task) { task(); };
    deps.uploader = uploader_.function();
    manager_ = AppDataManager::create(std::move(deps));
    EXPECT_EQ(readFile(local_.string()), "v2 never sent");
    ASSERT_EQ(manager_->unsentEdits().size(), 1u);
    ASSERT_TRUE(manager_->addWatchFile(
        "/FILE/Docs/report.txt", "/FILE/Docs/report.txt", local_.string(), std::string("1700000000000"), Value("1")));

    // Sent again when asked (or with the next save); then it is an ordinary copy.
    uploader_.nextResult = 1;
    manager_->retryUnsentEdits();
    ASSERT_EQ(uploadsAfterSave(2), 2u);
    EXPECT_EQ(uploader_.contents[1], "v2 never sent");
    EXPECT_TRUE(manager_->unsentEdits().empty());
    manager_->clearCache();
    EXPECT_FALSE(fs::exists(local_));

    // Let go by the user: cleared like the rest.
    fs::create_directories(folder_);
    writeFile(local_, "v1");
    ASSERT_TRUE(manager_->addWatchFile(
        "/FILE/Docs/report.txt", "/FILE/Docs/report.txt", local_.string(), std::string("1700000000000"), Value("1")));
    uploader_.nextResult = 2;
    writeFile(local_, "v3 let go");
    manager_->retryUnsentEdits(); // nothing unsent yet: nothing goes up
    ASSERT_EQ(uploadsAfterSave(3), 2u);
    ASSERT_EQ(manager_->unsentEdits().size(), 0u);
    manager_->watchedFiles().handleEvents({ FileEvent { local_.string(), FileEvent::ClosedWrite } });
    ASSERT_EQ(uploadsAfterSave(3), 3u);
    ASSERT_EQ(manager_->unsentEdits().size(), 1u);
    manager_->clearCache(AppDataManager::UnsentCopies::Discard);
    EXPECT_FALSE(fs::exists(local_));
    EXPECT_TRUE(manager_->unsentEdits().empty());
}

TEST(WatchedFiles, HalfWrittenFileWaitsForItsWriterOrTheSettleTime)
{
    std::string pattern = (fs::temp_directory_path() / "norvane-watch-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const std::string local = (dir / "a.txt").string();
    writeFile(local, "v1");

    auto mainQueue = std::make_shared<ManualMainQueue>();
    NotificationCenter center;
    FakeUploader uploader;
    WatchedFiles::Options options;
    options.mainQueue = mainQueue;
    options.checks = [](std::function<void()> task) { task(); };
    options.center = &center;
    WatchedFiles files(uploader.function(), options);
    ASSERT_TRUE(files.add("/FILE/a.txt", "/FILE/a.txt", local, std::nullopt, Value()));
    ASSERT_TRUE(files.add("/FILE/a.txt", "/FILE/a.txt", local, std::nullopt, Value())); // replaces
    EXPECT_EQ(files.entries().size(), 1u);
    EXPECT_FALSE(files.add("/FILE/gone", "/FILE/gone", (dir / "gone").string(), std::nullopt, Value()));

    writeFile(local, "v2");
    files.handleEvents({ { local, FileEvent::Modified } });
    EXPECT_TRUE(uploader.entries.empty()); // its writer may not be done
    files.handleEvents({ { local, FileEvent::ClosedWrite } });
    mainQueue->advance(5);
    EXPECT_EQ(uploader.contents, std::vector<std::string> { "v2" });

    writeFile(local, "v3");
    files.handleEvents({ { local, FileEvent::Created }, { local, FileEvent::Modified } });
    EXPECT_EQ(uploader.entries.size(), 1u);
    mainQueue->advance(1); // the writer keeps it open: taken as it is after the settle time
    EXPECT_EQ(uploader.contents.back(), "v3");

    writeFile(local, "v4"); // while events were lost
    files.handleEvents({ { dir.string(), FileEvent::MustScanSubDirs } });
    EXPECT_EQ(uploader.contents.back(), "v4");
    EXPECT_EQ(uploader.entries.size(), 3u);

    EXPECT_EQ(files.getWatchInfoByUk("a.txt")->localPath, local);
    files.remove("/FILE/a.txt");
    EXPECT_FALSE(files.getWatchInfoByUk("a.txt").has_value());
    fs::remove_all(dir);
}
