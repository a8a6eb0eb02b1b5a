#include "CloudServiceSDKForMac/CloudService/CmdCache.h"

#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "platform/FileSystem.h"

#include <charconv>
#include <filesystem>
#include <string_view>

namespace norvane {

namespace {

constexpr const char* kCacheCategory = "CacheFile";
constexpr std::string_view kPdfPrefix = "/PDF/";
constexpr std::string_view kSharePdfPrefix = "/SHAREPDF/";
constexpr std::string_view kPageNumberMarker = "?pageno=";

// The cache name of a page image, relative to the cache folder; nothing when the remote path
// gives no usable page number or the name would climb out of the cache folder.
std::optional<std::filesystem::path> pageImageName(const std::string& remotePath, const std::string& localFile)
{
    const std::size_t marker = remotePath.find(kPageNumberMarker);
    if (marker == std::string::npos)
        return std::nullopt;
    const std::size_t prefixLength
        = remotePath.starts_with(kSharePdfPrefix) ? kSharePdfPrefix.size() - 1 : kPdfPrefix.size() - 1;
    if (marker < prefixLength)
        return std::nullopt;
    const std::string document = remotePath.substr(prefixLength, marker - prefixLength);

    const char* digits = remotePath.data() + marker + kPageNumberMarker.size();
    const char* end = remotePath.data() + remotePath.size();
    long page = 0;
    const auto [stop, error] = std::from_chars(digits, end, page);
    if (error != std::errc() || stop == digits || page < 1)
        return std::nullopt;

    std::string name = document + "_p" + std::to_string(page - 1);
    const std::string extension = std::filesystem::path(localFile).extension().string();
    if (extension.size() > 1)
        name += extension;

    std::filesystem::path relative;
    for (const auto& part : std::filesystem::path(name)) {
        const std::string text = part.string();
        if (text.empty() || text == "/" || text == ".")
            continue;
        if (text == "..")
            return std::nullopt;
        relative /= part;
    }
    if (relative.empty())
        return std::nullopt;
    return relative;
}

} // namespace

void CmdCache::encodeWithCoder(KeyedArchiver& coder) const
{
    coder.encodeString("url", url);
    coder.encodeDate("date", date);
    coder.encodeInt64("size", static_cast<std::int64_t>(size));
    coder.encodeString("fileName", fileName);
    if (!attachFileName.empty())
        coder.encodeString("attachFileName", attachFileName);
}

std::shared_ptr<CmdCache> CmdCache::initWithCoder(const KeyedUnarchiver& coder)
{
    auto out = std::make_shared<CmdCache>();
    out->url = coder.decodeString("url").value_or(std::string());
    out->date = coder.decodeDate("date");
    out->size = static_cast<std::uint64_t>(coder.decodeInt64("size"));
    out->fileName = coder.decodeString("fileName").value_or(std::string());
    out->attachFileName = coder.decodeString("attachFileName").value_or(std::string());
    return out;
}

bool CmdCache::isPdfPath(const std::string& remotePath)
{
    return remotePath.starts_with(kPdfPrefix) || remotePath.starts_with(kSharePdfPrefix);
}

bool CmdCache::isPdfPageImage(const std::string& remotePath)
{
    return isPdfPath(remotePath) && remotePath.find(kPageNumberMarker) != std::string::npos;
}

std::string CmdCache::cacheFolder()
{
    return (std::filesystem::path(LocalStorePaths::temporaryDirectory()) / kCacheCategory).string();
}

std::string CmdCache::cacheFilePathFor(const std::string& remotePath, const std::string& localFile)
{
    const std::filesystem::path folder = cacheFolder();
    if (isPdfPageImage(remotePath)) {
        if (auto name = pageImageName(remotePath, localFile))
            return (folder / *name).string();
    }
    // A fresh folder per download keeps the file's own name without clashing with an earlier one.
    std::string name = std::filesystem::path(localFile).filename().string();
    if (name.empty() || name == "." || name == "..")
        name = "download";
    return (folder / LocalStorePaths::randomName() / name).string();
}

} // namespace norvane
