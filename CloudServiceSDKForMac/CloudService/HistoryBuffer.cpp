#include "CloudServiceSDKForMac/CloudService/HistoryBuffer.h"

#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace norvane {

namespace {

// True when path, made absolute and normalised, lies strictly below folder.
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder)
{
    const auto target = path.lexically_normal();
    const auto base = folder.lexically_normal();
    if (!target.is_absolute() || !base.is_absolute())
        return false;
    auto t = target.begin();
    for (auto b = base.begin(); b != base.end(); ++b, ++t) {
        if (b->empty() && std::next(b) == base.end())
            break; // a trailing separator of the folder
        if (t == target.end() || *t != *b)
            return false;
    }
    return t != target.end() && !t->empty();
}

} // namespace

HistoryBuffer::HistoryBuffer(std::uint64_t maxCacheSize)
    : maxCacheSize_(maxCacheSize)
{ }

HistoryBuffer::Entry HistoryBuffer::searchByRemoteFileName(const std::string& url) const
{
    if (url.empty())
        return nullptr;
    std::lock_guard lock(monitor_);
    for (const auto& entry : cmdCacheArray_) {
        if (entry->url == url)
            return entry;
    }
    return nullptr;
}

void HistoryBuffer::addCmdCache(const Entry& entry)
{
    if (!entry)
        return;
    std::lock_guard lock(monitor_);
    cmdCacheArray_.push_back(entry);
    totalCacheSize_ += entry->size;
}

void HistoryBuffer::removeCmdCache(const Entry& entry)
{
    std::lock_guard lock(monitor_);
    auto found = std::find(cmdCacheArray_.begin(), cmdCacheArray_.end(), entry);
    if (found == cmdCacheArray_.end())
        return;
    // The total only ever holds what was added, but a size changed while the entry was listed
    // must not wrap it round.
    totalCacheSize_ -= std::min(totalCacheSize_, entry->size);
    cmdCacheArray_.erase(found);
}

void HistoryBuffer::removeCmdCacheAndAttachedFiles(const Entry& entry)
{
    if (!entry)
        return;
    deleteOwnedFile(entry->fileName);
    if (!entry->attachFileName.empty())
        deleteOwnedFile(entry->attachFileName);
    removeCmdCache(entry);
}

void HistoryBuffer::removeObjectsInArray(const std::vector<Entry>& entries)
{
    std::lock_guard lock(monitor_);
    for (const auto& entry : entries)
        removeCmdCacheAndAttachedFiles(entry);
}

void HistoryBuffer::clearBufferSize(std::uint64_t newSize, const Entry& renewed)
{
    std::lock_guard lock(monitor_);
    if (renewed)
        removeCmdCache(renewed);
    std::size_t index = 0;
    while (index < cmdCacheArray_.size() && totalCacheSize_ + newSize > maxCacheSize_) {
        const Entry entry = cmdCacheArray_[index];
        if (entry->isUsing) {
            ++index;
            continue;
        }
        removeCmdCacheAndAttachedFiles(entry);
    }
}

void HistoryBuffer::clearAllBuffer()
{
    std::lock_guard lock(monitor_);
    removeObjectsInArray(std::vector<Entry>(cmdCacheArray_));
    cmdCacheArray_.clear();
    totalCacheSize_ = 0;
}

void HistoryBuffer::archiveTo(KeyedArchiver& archiver) const
{
    std::lock_guard lock(monitor_);
    archiver.encodeObjectList(kArchiveRootKey, cmdCacheArray_);
}

void HistoryBuffer::unarchiveFrom(const KeyedUnarchiver* unarchiver)
{
    std::lock_guard lock(monitor_);
    clearAllBuffer();
    if (!unarchiver)
        return;
    for (auto& entry : unarchiver->decodeObjectList<CmdCache>(kArchiveRootKey))
        addCmdCache(entry);
}

std::vector<HistoryBuffer::Entry> HistoryBuffer::cmdCacheArray() const
{
    std::lock_guard lock(monitor_);
    return cmdCacheArray_;
}

std::uint64_t HistoryBuffer::totalCacheSize() const
{
    std::lock_guard lock(monitor_);
    return totalCacheSize_;
}

std::uint64_t HistoryBuffer::maxCacheSize() const
{
    std::lock_guard lock(monitor_);
    return maxCacheSize_;
}

void HistoryBuffer::setMaxCacheSize(std::uint64_t limit)
{
    std::lock_guard lock(monitor_);
    maxCacheSize_ = limit;
}

void HistoryBuffer::deleteOwnedFile(const std::string& path)
{
    if (path.empty() || path.find('\0') != std::string::npos)
        return;
    if (!isInside(path, LocalStorePaths::temporaryDirectory()))
        return;
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (error || std::filesystem::is_directory(status))
        return;
    std::filesystem::remove(path, error);
    // A cached file sits in a folder of its own inside the cache folder; an emptied one goes too
    // (removing a folder that still holds something fails, and that is fine).
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (isInside(parent, CmdCache::cacheFolder()))
        std::filesystem::remove(parent, error);
}

} // namespace norvane
