// Many empty files in one folder at once: what a benchmark of big folders needs, in seconds
// instead of a million uploads.

#include "server/store/StoreState.h"

#include <cstdio>

namespace norvane::server {

namespace {

// "f0000042": the prefix and the index with seven digits at least, so names sort as numbers, then
// the suffix (".jpg" makes a folder of photos).
std::string bulkName(const std::string& prefix, std::int64_t index, const std::string& suffix)
{
    char digits[24];
    std::snprintf(digits, sizeof digits, "%07lld", static_cast<long long>(index));
    return prefix + digits + suffix;
}

} // namespace

StoreResult<std::int64_t> ServerStore::addEmptyFiles(const User& user, const AreaRef& area,
    const std::vector<std::string>& folder, const std::string& prefix, std::int64_t count, const std::string& suffix)
{
    if (count < 1 || count > kMaxBulkFiles)
        return storeFailure(StoreError::Invalid, "count must lie between 1 and " + std::to_string(kMaxBulkFiles));
    std::vector<std::string> first = folder;
    first.push_back(bulkName(prefix, 0, suffix));
    if (!isValidEntryPath(first))
        return storeFailure(StoreError::Invalid, "unacceptable name " + pathText(first));
    // The first one as any file is made: its content (none) becomes a blob that the others share,
    // as copies do, so that every one of them downloads like a real file.
    auto made = putFile(user, area, first, {});
    if (!made)
        return made.failure();
    const Entry model = made.value();
    return guarded<std::int64_t>("addEmptyFiles", [&] {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        const Node parent = s.require(area, folder);
        if (!s.mayCreateIn(user, parent))
            refuse(StoreError::Forbidden, "no right to create in " + pathText(folder));
        Transaction tx(*s.db);
        for (std::int64_t index = 1; index < count; ++index) {
            Node file = newNodeFor(user, parent, bulkName(prefix, index, suffix), false, {}, s.nextStamp());
            file.entry.blobId = model.blobId;
            file.entry.md5 = model.md5;
            s.insertNode(file);
        }
        tx.commit();
        return count;
    });
}

} // namespace norvane::server
