#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace norvane::server {

// Content files under DIR/blobs/<first two digits>/<40 hex digits>. A blob never changes once it
// is in place: new content gets a new id, and entries that share content (copies) share the id.
// Which blobs are still in use is the database's knowledge; this class only moves files.
class BlobStore {
public:
    explicit BlobStore(std::filesystem::path root);

    static bool isValidId(std::string_view id);
    // Empty for an id that is not of the blob form, so that no text becomes an arbitrary path.
    std::filesystem::path pathOf(const std::string& id) const;

    // Moves a complete file that is already synced to disk into the store under a new id and
    // syncs the folder, so that the blob survives a crash once this returns. Throws
    // std::filesystem::filesystem_error on failure (the file then stays where it was).
    std::string adopt(const std::filesystem::path& file);
    void remove(const std::string& id);
    // Removes every blob that `isReferenced` does not claim, and leftovers of interrupted
    // moves. Returns how many files went.
    std::size_t removeOrphans(const std::function<bool(const std::string&)>& isReferenced);

private:
    std::filesystem::path root_;
};

// Flushes a folder's entries (a created, renamed or removed name) to disk.
void syncDirectory(const std::filesystem::path& folder);

} // namespace norvane::server
