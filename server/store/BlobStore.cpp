#include "server/store/BlobStore.h"

#include "platform/Log.h"
#include "server/store/Random.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace norvane::server {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kIdDigits = 40;

} // namespace

void syncDirectory(const fs::path& folder)
{
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw fs::filesystem_error("cannot open folder", folder, std::error_code(errno, std::generic_category()));
    int rc = ::fsync(fd);
    int error = errno;
    ::close(fd);
    if (rc != 0)
        throw fs::filesystem_error("cannot sync folder", folder, std::error_code(error, std::generic_category()));
}

BlobStore::BlobStore(fs::path root)
    : root_(std::move(root))
{
    fs::create_directories(root_);
}

bool BlobStore::isValidId(std::string_view id)
{
    if (id.size() != kIdDigits)
        return false;
    for (char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

fs::path BlobStore::pathOf(const std::string& id) const
{
    if (!isValidId(id))
        return {};
    return root_ / id.substr(0, 2) / id;
}

std::string BlobStore::adopt(const fs::path& file)
{
    const std::string id = randomHex(kIdDigits);
    const fs::path target = pathOf(id);
    const fs::path folder = target.parent_path();
    if (fs::create_directory(folder))
        syncDirectory(root_);
    fs::rename(file, target);
    syncDirectory(folder);
    syncDirectory(file.parent_path());
    return id;
}

void BlobStore::remove(const std::string& id)
{
    const fs::path path = pathOf(id);
    if (path.empty())
        return;
    std::error_code ec;
    fs::remove(path, ec);
    if (ec)
        Log::line("store: cannot remove blob " + id + ": " + ec.message());
}

std::size_t BlobStore::removeOrphans(const std::function<bool(const std::string&)>& isReferenced)
{
    std::vector<fs::path> doomed;
    for (const auto& shard : fs::directory_iterator(root_)) {
        if (!shard.is_directory())
            continue;
        for (const auto& item : fs::directory_iterator(shard.path())) {
            const std::string name = item.path().filename().string();
            if (!isValidId(name) || !isReferenced(name))
                doomed.push_back(item.path());
        }
    }
    for (const auto& path : doomed) {
        std::error_code ec;
        fs::remove(path, ec);
        if (ec)
            Log::line("store: cannot remove orphan blob " + path.string() + ": " + ec.message());
    }
    return doomed.size();
}

} // namespace norvane::server
