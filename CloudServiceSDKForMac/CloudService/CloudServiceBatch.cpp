// The batch queue of CloudService: queued commands, their archive files and the persistence of
// the queue and the cache index.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "CloudServiceSDKForMac/CloudService/BatchThread.h"
#include "CloudServiceSDKForMac/CloudService/CloudService.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace norvane {

namespace {

bool sameTask(const std::shared_ptr<TaskInfo>& queued, const std::shared_ptr<TaskInfo>& task)
{
    return queued == task || (queued && task && !task->fileName.empty() && queued->fileName == task->fileName);
}

void writeArchiveBeside(const std::string& path, const KeyedArchiver& archive)
{
    // Nothing here can be reported to anyone; a queue that could not be stored is logged.
    if (!FileSystem::createDirectories(std::filesystem::path(path).parent_path()) || !writeArchiveFile(path, archive))
        Log::line("CloudService: cannot write " + path);
}

void setAsideUnreadable(const std::string& path)
{
    std::error_code error;
    std::filesystem::rename(path, path + ".unreadable", error);
    Log::line("CloudService: a queued command could not be read" + std::string(error ? "" : "; it was set aside")
        + ", and the queue goes on");
}

bool fileExists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

} // namespace

void CloudService::addCommand(const CloudServiceCommandPtr& command)
{
    if (!command)
        return;
    std::lock_guard lock(batchLock_);
    const auto path = command->write2File(true);
    if (!path) {
        // A command that cannot be stored cannot be queued: say so instead of losing it quietly.
        command->commandErr = ErrorValue { kPosixErrorDomain, EIO, "The command could not be queued.", {} };
        command->commandRes = ResultFailed;
        Log::line("CloudService: cannot archive a batch command");
        return;
    }
    auto task = std::make_shared<TaskInfo>();
    task->fileName = *path;
    task->displayName = command->inputParameter->displayName;
    const std::string& local = command->inputParameter->localFileName;
    if (!local.empty())
        task->filesize = FileSystem::fileSize(local).value_or(0);
    else if (command->inputParameter->memoryData)
        task->filesize = command->inputParameter->memoryData->size();
    task->progress = 0.0f;
    // The stored copy learns its own path, so that upload progress can be written back to it.
    command->localpath = *path;
    command->write2FileLocalPath();
    batchQueue_.push_back(std::move(task));
}

CloudServiceCommandPtr CloudService::popCommand()
{
    std::lock_guard lock(batchLock_);
    while (!batchQueue_.empty()) {
        const auto head = batchQueue_.front();
        if (auto command = CloudServiceCommand::read2Cmd(head->fileName)) {
            command->task = head;
            return command;
        }
        // A head that cannot be read would hold the queue for good. Its archive is kept aside
        // for whoever wants to look at it, and the entries behind it go on.
        setAsideUnreadable(head->fileName);
        batchQueue_.erase(batchQueue_.begin());
    }
    return nullptr;
}

void CloudService::forgetIfCancelled(const std::shared_ptr<TaskInfo>& task)
{
    std::lock_guard lock(batchLock_);
    if (!task || std::any_of(batchQueue_.begin(), batchQueue_.end(), [&](const auto& q) { return sameTask(q, task); }))
        return;
    // Cancelled while it ran: what it wrote back to its archive (its progress) goes too.
    HistoryBuffer::deleteOwnedFile(task->fileName);
}

void CloudService::delCommand()
{
    std::lock_guard lock(batchLock_);
    if (batchQueue_.empty())
        return;
    HistoryBuffer::deleteOwnedFile(batchQueue_.front()->fileName);
    batchQueue_.erase(batchQueue_.begin());
}

void CloudService::delCommand(const std::shared_ptr<TaskInfo>& task)
{
    std::lock_guard lock(batchLock_);
    auto found = std::find_if(
        batchQueue_.begin(), batchQueue_.end(), [&](const auto& queued) { return sameTask(queued, task); });
    if (found == batchQueue_.end())
        return; // cancelled meanwhile: the head now is another command, which must stay
    HistoryBuffer::deleteOwnedFile((*found)->fileName);
    batchQueue_.erase(found);
}

void CloudService::cancelCommand(const std::shared_ptr<TaskInfo>& task)
{
    batch_->stopBatch();
    std::lock_guard lock(batchLock_);
    // A cancelled entry is gone for good: its archive goes with it.
    std::erase_if(batchQueue_, [&](const auto& queued) {
        if (task && !sameTask(queued, task))
            return false;
        HistoryBuffer::deleteOwnedFile(queued->fileName);
        return true;
    });
}

std::size_t CloudService::getBatchCount() const
{
    std::lock_guard lock(batchLock_);
    return batchQueue_.size();
}

std::vector<std::shared_ptr<TaskInfo>> CloudService::batchQueue() const
{
    std::lock_guard lock(batchLock_);
    return batchQueue_;
}

void CloudService::startBatch()
{
    if (forceStopFlag_.load() || !CurrentNetworkStatus::reachable() || getBatchCount() == 0)
        return;
    batch_->runBatch();
}

void CloudService::forceStartBatch()
{
    forceStopFlag_.store(false);
    startBatch();
    NotificationCenter::defaultCenter().post(kNotificationBatchStarted, this);
}

void CloudService::stopBatch()
{
    forceStopFlag_.store(true);
    batch_->stopBatch();
    NotificationCenter::defaultCenter().post(kNotificationBatchStopped, this);
}

void CloudService::writeBatchQueueAndCommandHistory()
{
    std::lock_guard lock(batchLock_);
    KeyedArchiver cache;
    historyBuffer_.archiveTo(cache);
    writeArchiveBeside(cacheDataFilePath_, cache);

    KeyedArchiver queue;
    queue.encodeObjectList(kArchiveRootKey, batchQueue_);
    writeArchiveBeside(commandDataFilePath_, queue);
}

void CloudService::readBatchQueueAndCommandHistory()
{
    {
        std::lock_guard lock(batchLock_);
        std::error_code ignored;
        if (fileExists(commandDataFilePath_)) {
            if (auto root = readArchiveFile(commandDataFilePath_))
                batchQueue_ = root->decodeObjectList<TaskInfo>(kArchiveRootKey);
            else
                Log::line("CloudService: the stored batch queue is unreadable; it is dropped");
            std::filesystem::remove(commandDataFilePath_, ignored);
        }
        if (fileExists(cacheDataFilePath_)) {
            const auto root = readArchiveFile(cacheDataFilePath_);
            historyBuffer_.unarchiveFrom(root ? &*root : nullptr);
            std::filesystem::remove(cacheDataFilePath_, ignored);
        }
    }
    batch_->runBatch();
}

} // namespace norvane
