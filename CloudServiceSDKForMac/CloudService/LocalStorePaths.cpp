#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"

#include "formats/HttpDate.h"
#include "formats/MD5DigestString.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string_view>
#include <system_error>

namespace norvane {

namespace {

constexpr const char* kTemporaryFolder = "tmp";
constexpr const char* kOffLineFolder = "OffLineData";
constexpr const char* kDefaultCategory = "other";

std::int32_t randomInt32()
{
    thread_local std::mt19937 generator { std::random_device {}() };
    return std::uniform_int_distribution<std::int32_t>(INT32_MIN, INT32_MAX)(generator);
}

// A server path may only name something below the offline root: it must be rooted, and no
// component may climb out (".."), nor may a NUL cut the path short where the file system reads it.
bool staysBelowRoot(std::string_view serverPath)
{
    if (serverPath.empty() || serverPath.front() != '/' || serverPath.find('\0') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (start <= serverPath.size()) {
        std::size_t end = serverPath.find('/', start);
        if (end == std::string_view::npos)
            end = serverPath.size();
        if (serverPath.substr(start, end - start) == "..")
            return false;
        start = end + 1;
    }
    return true;
}

} // namespace

std::string LocalStorePaths::documentDirectory()
{
    return Paths::applicationDataDirectory();
}

std::string LocalStorePaths::temporaryDirectory()
{
    return (std::filesystem::path(documentDirectory()) / kTemporaryFolder).string();
}

std::string LocalStorePaths::fullPathOfTempFile(const std::string& name, const std::string& category)
{
    std::string folderName = category;
    if (folderName.empty()) {
        const std::string extension = std::filesystem::path(name).extension().string();
        folderName = extension.size() > 1 ? extension.substr(1) : kDefaultCategory;
    }
    const auto folder = std::filesystem::path(temporaryDirectory()) / folderName;
    // A folder that cannot be made shows up as a failed write of the file itself.
    (void)FileSystem::createDirectories(folder, 0700);
    return (folder / name).string();
}

std::string LocalStorePaths::randomName()
{
    std::string seed = rfc1123String(std::chrono::system_clock::now());
    seed += std::to_string(randomInt32());
    if (auto digest = MD5DigestString(seed))
        return *digest;
    // MD5 refused by the crypto library: the name only has to be unique, not a digest.
    std::string out;
    char buffer[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(buffer, sizeof buffer, "%08x", static_cast<std::uint32_t>(randomInt32()));
        out += buffer;
    }
    return out;
}

std::optional<std::string> LocalStorePaths::getOffLineLocalPath(const std::string& serverPath)
{
    if (!staysBelowRoot(serverPath))
        return std::nullopt;
    // The server path is appended as text, so that "/FILE/a.txt" lands at OffLineData/FILE/a.txt.
    return (std::filesystem::path(documentDirectory()) / kOffLineFolder).string() + serverPath;
}

std::optional<std::string> LocalStorePaths::getOffLineLocalPath(
    const std::string& serverPath, const std::string& extension)
{
    if (extension.find('/') != std::string::npos || extension.find('\0') != std::string::npos)
        return std::nullopt;
    auto path = getOffLineLocalPath(serverPath);
    if (!path || extension.empty())
        return path;
    // A path extension goes on the last component, not after a trailing slash; a path without a
    // component ("/") would put the companion beside the offline root instead of inside it.
    std::string_view trimmed = serverPath;
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.remove_suffix(1);
    if (trimmed.empty())
        return std::nullopt;
    std::string out = (std::filesystem::path(documentDirectory()) / kOffLineFolder).string();
    out += trimmed;
    out += '.';
    out += extension;
    return out;
}

bool LocalStorePaths::createIfNotExistDir(const std::string& path)
{
    if (path.empty())
        return false;
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (std::filesystem::exists(status))
        return std::filesystem::is_directory(path, error);
    return FileSystem::createDirectories(path);
}

} // namespace norvane
