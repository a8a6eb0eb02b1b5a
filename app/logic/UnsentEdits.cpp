#include "app/logic/UnsentEdits.h"

#include "app/logic/Path.h"
#include "formats/MD5DigestString.h"
#include "platform/FileSystem.h"

#include <filesystem>
#include <system_error>

namespace norvane {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kRecordLimit = 64 * 1024;

fs::path folder()
{
    return fs::path(Path::temporaryDirectory()) / UnsentEdits::kCategory;
}

// One record per copy, named by the digest of the copy's path.
std::optional<fs::path> recordOf(const std::string& localPath)
{
    auto digest = MD5DigestString(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(localPath.data()), localPath.size()));
    if (!digest)
        return std::nullopt;
    return folder() / *digest;
}

// Line breaks would end a field early; the cache paths hold none (their names were checked), the
// server's words are only told back.
std::string oneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

} // namespace

bool UnsentEdits::mark(const Record& record)
{
    const auto path = recordOf(record.localPath);
    if (!path || !FileSystem::createDirectories(folder()))
        return false;
    const std::string text = oneLine(record.localPath) + "\n" + oneLine(record.uk) + "\n" + oneLine(record.serverPath);
    return FileSystem::writeFileAtomically(
        *path, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void UnsentEdits::clear(const std::string& localPath)
{
    if (const auto path = recordOf(localPath)) {
        std::error_code ignored;
        fs::remove(*path, ignored);
    }
}

std::vector<UnsentEdits::Record> UnsentEdits::all()
{
    std::vector<Record> records;
    std::error_code error;
    for (fs::directory_iterator it(folder(), error), end; !error && it != end; it.increment(error)) {
        const auto bytes = FileSystem::readFile(it->path(), kRecordLimit);
        if (!bytes)
            continue;
        const std::string text(bytes->begin(), bytes->end());
        const std::size_t first = text.find('\n');
        const std::size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
        if (second == std::string::npos || first == 0)
            continue; // a damaged record names no copy
        records.push_back(
            { text.substr(0, first), text.substr(first + 1, second - first - 1), text.substr(second + 1) });
    }
    return records;
}

} // namespace norvane
