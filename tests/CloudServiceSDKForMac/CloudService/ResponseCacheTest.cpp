#include "CloudServiceSDKForMac/CloudService/CloudServiceTestSupport.h"
#include "CloudServiceSDKForMac/CloudService/CmdCache.h"
#include "CloudServiceSDKForMac/CloudService/HistoryBuffer.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "platform/FileSystem.h"

#include <filesystem>

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

using ResponseCacheTest = ServiceTest;

// An entry whose two files exist where the cache keeps them.
HistoryBuffer::Entry entryWithFiles(const std::string& url, std::uint64_t size)
{
    auto entry = std::make_shared<CmdCache>();
    entry->url = url;
    entry->size = size;
    entry->fileName = LocalStorePaths::fullPathOfTempFile(LocalStorePaths::randomName() + ".cmd", "cmd");
    entry->attachFileName = CmdCache::cacheFilePathFor("/FILE/x.txt", "x.txt");
    fs::create_directories(fs::path(entry->attachFileName).parent_path());
    EXPECT_TRUE(FileSystem::writeFileAtomically(entry->fileName, Bytes(2)));
    EXPECT_TRUE(FileSystem::writeFileAtomically(entry->attachFileName, Bytes(4)));
    return entry;
}

std::vector<std::string> urlsOf(const HistoryBuffer& buffer)
{
    std::vector<std::string> out;
    for (const auto& entry : buffer.cmdCacheArray())
        out.push_back(entry->url);
    return out;
}

bool isInsideCacheFolder(const std::string& path)
{
    return fs::path(path).lexically_normal().string().starts_with(CmdCache::cacheFolder() + "/");
}

CloudServiceCommandPtr fileGet(const fs::path& local, const std::string& remote)
{
    auto command
        = CommandFactory::makeGetCommand(local.string(), remote, local.empty() ? std::make_shared<Bytes>() : nullptr);
    command->applicationType = "file";
    return command;
}

TEST_F(ResponseCacheTest, EvictionTakesTheOldestEntriesNotInUseAndTheirFiles)
{
    HistoryBuffer buffer(12);
    auto first = entryWithFiles("/FILE/1", 6);
    auto second = entryWithFiles("/FILE/2", 6);
    buffer.addCmdCache(first);
    buffer.addCmdCache(second);
    buffer.clearBufferSize(6, nullptr);
    EXPECT_EQ(urlsOf(buffer), (std::vector<std::string> { "/FILE/2" }));
    EXPECT_EQ(buffer.totalCacheSize(), 6u);
    EXPECT_FALSE(fs::exists(first->fileName));
    EXPECT_FALSE(fs::exists(fs::path(first->attachFileName).parent_path()));
    EXPECT_TRUE(fs::exists(second->attachFileName));

    // Entries in use stay even when the limit remains exceeded; the renewed one is taken out
    // and is not evicted.
    auto third = entryWithFiles("/FILE/3", 6);
    auto fourth = entryWithFiles("/FILE/4", 6);
    buffer.addCmdCache(third);
    buffer.addCmdCache(fourth);
    second->isUsing = true;
    buffer.clearBufferSize(100, fourth);
    EXPECT_EQ(urlsOf(buffer), (std::vector<std::string> { "/FILE/2" }));
    EXPECT_EQ(buffer.totalCacheSize(), 6u);
    EXPECT_FALSE(fs::exists(third->fileName));
    EXPECT_TRUE(fs::exists(fourth->fileName));

    // Files outside the temporary area are never deleted, whatever an index says.
    const fs::path precious = home_ / "precious.txt";
    ASSERT_TRUE(FileSystem::writeFileAtomically(precious, Bytes(1)));
    auto planted = std::make_shared<CmdCache>();
    planted->fileName = precious.string();
    planted->attachFileName = (fs::path(LocalStorePaths::temporaryDirectory()) / ".." / "precious.txt").string();
    buffer.addCmdCache(planted);
    buffer.clearAllBuffer();
    EXPECT_TRUE(urlsOf(buffer).empty());
    EXPECT_EQ(buffer.totalCacheSize(), 0u);
    EXPECT_TRUE(fs::exists(precious));
}

TEST_F(ResponseCacheTest, NotModifiedServesTheCachedFileFromTheCacheFolder)
{
    makeService(10);
    logIn();
    fake_->files["/FILE/a.txt"] = patternBytes(15);
    fake_->answerNotModifiedWhenDated = true;
    const fs::path local = home_ / "a.txt";
    // Only with the cache switched on, and only for commands that allow it.
    auto plain = fileGet(local, "/FILE/a.txt");
    service_->doCommand(ExecuteModeSync, plain);
    fake_->config().useCache = 1;
    auto refused = fileGet(local, "/FILE/a.txt");
    refused->isCanUseCache = false;
    service_->doCommand(ExecuteModeSync, refused);
    EXPECT_FALSE(refused->outputParameter->cmdOption.contains(kOptionLocalFileMoved));
    EXPECT_TRUE(service_->historyBuffer().cmdCacheArray().empty());
    EXPECT_TRUE(fs::exists(local));

    auto first = fileGet(local, "/FILE/a.txt");
    first->inputParameter->cmdOption[kOptionTimestamp] = "1700000000000";
    service_->doCommand(ExecuteModeSync, first);
    ASSERT_EQ(first->commandRes, ResultSuccess);
    const std::string moved = first->outputParameter->cmdOption[kOptionLocalFileMoved].stringOr("");
    EXPECT_TRUE(isInsideCacheFolder(moved)) << moved;
    EXPECT_EQ(FileSystem::readFile(moved), patternBytes(15));
    EXPECT_FALSE(fs::exists(local));
    const auto entries = service_->historyBuffer().cmdCacheArray();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->size, 15u + FileSystem::fileSize(entries[0]->fileName).value_or(1000));
    EXPECT_FALSE(fake_->gets()[2].lastGetDate);

    auto second = fileGet(local, "/FILE/a.txt");
    service_->doCommand(ExecuteModeSync, second);
    EXPECT_EQ(second->commandRes, ResultSuccess);
    EXPECT_EQ(second->outputParameter->cmdOption[kOptionLocalFileMoved], Value(moved));
    EXPECT_EQ(fake_->gets().back().lastGetDate, Date(std::chrono::milliseconds(1'700'000'000'000)));

    // The archived command vanished: a cache miss, and the entry is forgotten.
    fs::remove(entries[0]->fileName);
    auto third = fileGet(local, "/FILE/a.txt");
    service_->doCommand(ExecuteModeSync, third);
    EXPECT_EQ(third->commandRes, ResultCacheMiss);
    EXPECT_TRUE(service_->historyBuffer().cmdCacheArray().empty());

    // Not modified with nothing cached for the path is a miss too.
    auto unknown = fileGet(local, "/FILE/other");
    fake_->files["/FILE/other"] = {};
    fake_->onGet
        = [](std::size_t, const GetCall&, Bytes&) { return FakeStorageServiceAdaptor::Answer(ResultNotModified); };
    service_->doCommand(ExecuteModeSync, unknown);
    EXPECT_EQ(unknown->commandRes, ResultCacheMiss);
}

TEST_F(ResponseCacheTest, MemoryDownloadsAndPageImagesAreCachedUnderTheirRules)
{
    makeService(10);
    fake_->config().useCache = 1;
    logIn();
    fake_->answerNotModifiedWhenDated = true;
    fake_->files["/FILE/m"] = patternBytes(7);
    service_->doCommand(ExecuteModeSync, fileGet({}, "/FILE/m"));
    auto second = fileGet({}, "/FILE/m");
    service_->doCommand(ExecuteModeSync, second);
    EXPECT_EQ(second->commandRes, ResultSuccess);
    EXPECT_EQ(*second->outputParameter->memoryData, patternBytes(7)); // from the archived command
    EXPECT_TRUE(fake_->gets().back().lastGetDate);

    fake_->files["/PDF/FILE/doc.pdf?pageno=3"] = patternBytes(4);
    auto page = fileGet(home_ / "page.jpg", "/PDF/FILE/doc.pdf?pageno=3");
    service_->doCommand(ExecuteModeSync, page);
    EXPECT_EQ(page->commandRes, ResultSuccess);
    EXPECT_EQ(page->outputParameter->cmdOption[kOptionLocalFileMoved],
        Value((fs::path(CmdCache::cacheFolder()) / "FILE" / "doc.pdf_p2.jpg").string()));
    // Page names that would climb out of the cache folder, or have no page, get a folder of their own.
    EXPECT_TRUE(isInsideCacheFolder(CmdCache::cacheFilePathFor("/PDF/../../../x?pageno=1", "p.jpg")));
    EXPECT_TRUE(isInsideCacheFolder(CmdCache::cacheFilePathFor("/PDF/FILE/a?pageno=zero", "p.jpg")));
}

TEST_F(ResponseCacheTest, CacheIndexSurvivesInCacheData)
{
    makeService(10);
    auto entry = entryWithFiles("/FILE/kept", 6);
    entry->date = Date(std::chrono::seconds(1'650'000'000));
    auto memoryOnly = std::make_shared<CmdCache>();
    memoryOnly->url = "/FILE/mem";
    memoryOnly->size = (std::uint64_t { 1 } << 33) + 5;
    service_->historyBuffer().addCmdCache(entry);
    service_->historyBuffer().addCmdCache(memoryOnly);
    service_->writeBatchQueueAndCommandHistory();
    EXPECT_EQ(fs::path(service_->cacheDataFilePath()).filename(), "cache.data");

    makeService(10);
    EXPECT_TRUE(service_->historyBuffer().cmdCacheArray().empty());
    service_->readBatchQueueAndCommandHistory();
    EXPECT_FALSE(fs::exists(service_->cacheDataFilePath()));
    const auto restored = service_->historyBuffer().cmdCacheArray();
    ASSERT_EQ(restored.size(), 2u);
    EXPECT_EQ(restored[0]->url, "/FILE/kept");
    EXPECT_EQ(restored[0]->date, entry->date);
    EXPECT_EQ(restored[0]->fileName, entry->fileName);
    EXPECT_EQ(restored[0]->attachFileName, entry->attachFileName);
    EXPECT_TRUE(restored[1]->attachFileName.empty());
    EXPECT_EQ(service_->historyBuffer().totalCacheSize(), 6u + memoryOnly->size);
}

} // namespace
