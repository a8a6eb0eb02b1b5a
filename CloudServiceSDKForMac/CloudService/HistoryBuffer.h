#pragma once

#include "CloudServiceSDKForMac/CloudService/CmdCache.h"
#include "formats/KeyedArchive.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace norvane {

// The index of the response cache: CmdCache entries, oldest addition first, with the bytes they
// hold and a limit.
//
// Its monitor (a recursive mutex) guards everything; every operation takes it, and a caller that
// needs several steps to be seen as one (look up, then mark in use) holds it around them.
//
// Files are deleted only when they lie inside the temporary area of the application data
// directory: the index may come from a file on disk, and a damaged or planted "cache.data" must
// not be able to make an eviction delete anything else.
class HistoryBuffer {
public:
    using Entry = std::shared_ptr<CmdCache>;

    explicit HistoryBuffer(std::uint64_t maxCacheSize = 0);
    HistoryBuffer(const HistoryBuffer&) = delete;
    HistoryBuffer& operator=(const HistoryBuffer&) = delete;

    std::recursive_mutex& monitor() const { return monitor_; }

    // The first entry for the remote path; null for an empty path or no match.
    Entry searchByRemoteFileName(const std::string& url) const;
    // Appends; its size is added to the total.
    void addCmdCache(const Entry& entry);
    // Takes the entry out of the index (its files stay); nothing when it is not in the index.
    void removeCmdCache(const Entry& entry);
    // Deletes the entry's archived command and attached file, then takes it out.
    void removeCmdCacheAndAttachedFiles(const Entry& entry);
    void removeObjectsInArray(const std::vector<Entry>& entries);
    // Makes room for newSize more bytes: takes the renewed entry (if any) out of the index, where
    // it cannot be evicted, then evicts entries not in use, oldest first, until the total plus
    // newSize fits the limit or no entry is left to look at. The caller adds the renewed entry
    // back once it has its new size.
    void clearBufferSize(std::uint64_t newSize, const Entry& renewed);
    // Removes every entry with its files.
    void clearAllBuffer();

    // Stores the entries under the archive's root key.
    void archiveTo(KeyedArchiver& archiver) const;
    // Replaces the index with the entries stored under the root key; a null unarchiver only
    // clears it.
    void unarchiveFrom(const KeyedUnarchiver* unarchiver);

    std::vector<Entry> cmdCacheArray() const;
    std::uint64_t totalCacheSize() const;
    std::uint64_t maxCacheSize() const;
    void setMaxCacheSize(std::uint64_t limit);

    // Deletes a file that the cache (or the batch queue) owns: only a regular file or link inside
    // the temporary area. Errors are ignored.
    static void deleteOwnedFile(const std::string& path);

private:
    mutable std::recursive_mutex monitor_;
    std::vector<Entry> cmdCacheArray_;
    std::uint64_t totalCacheSize_ = 0;
    std::uint64_t maxCacheSize_ = 0;
};

} // namespace norvane
