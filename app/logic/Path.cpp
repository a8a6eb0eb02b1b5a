#include "app/logic/Path.h"

#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "app/logic/LocalFileName.h"
#include "platform/AlertPresenter.h"
#include "platform/AsciiText.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <vector>

namespace norvane {

namespace fs = std::filesystem;

namespace {

// The characters a path in a URL may carry as they are: the reserved separators and the
// unreserved marks, but not "?", which would end the path and begin a query (a name holding it
// would reach the server cut short).
constexpr std::string_view kUrlKept = ";/:@&=+$,-_.!~*'()";
constexpr std::string_view kForbiddenNameCharacters = "\\/:|*?<>\"";
constexpr std::array<std::string_view, 6> kReservedNames { "AUX", "CLOCK$", "CON", "CONFIG$", "NUL", "PRN" };
constexpr std::array<std::string_view, 2> kNumberedReservedNames { "COM", "LPT" };
// COM and LPT are reserved with the numbers 1 to 10.
constexpr int kReservedNumberLimit = 10;

constexpr const char* kConfigCategory = "do_not_delete_config";
constexpr const char* kConfigExtension = ".xml";
constexpr const char* kCacheCategory = "CacheFile";
constexpr const char* kPdfEditorInfo = "PDFEditorInfo";

bool isAsciiAlphanumeric(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool startsWith(const std::optional<std::string>& text, std::string_view prefix)
{
    return text && text->starts_with(prefix);
}

// Every reserved word, numbered ones included, in turn until `match` says yes.
template <typename Match> bool anyReservedWord(Match match)
{
    for (std::string_view word : kReservedNames)
        if (match(std::string(word)))
            return true;
    for (std::string_view stem : kNumberedReservedNames)
        for (int number = 1; number <= kReservedNumberLimit; ++number)
            if (match(std::string(stem) + std::to_string(number)))
                return true;
    return false;
}

ErrorValue posixError(int code, const std::string& path)
{
    return ErrorValue { kPosixErrorDomain, code, path + ": " + std::strerror(code), {} };
}

bool existsWithoutFollowing(const std::string& path)
{
    struct stat info { };
    return ::lstat(path.c_str(), &info) == 0;
}

// A rename between file systems: copy everything (links as links), then drop the source. A copy
// that fails half-way is taken back, so the source stays the only copy.
bool moveAcrossFileSystems(const std::string& from, const std::string& to)
{
    std::error_code error;
    if (existsWithoutFollowing(to))
        return false;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
        std::error_code ignored;
        fs::remove_all(to, ignored);
        return false;
    }
    fs::remove_all(from, error);
    return true;
}

// Date patterns: a run of one letter is one field; the run's length picks its form.
const char* const kMonthNames[] = { "January", "February", "March", "April", "May", "June", "July", "August",
    "September", "October", "November", "December" };
const char* const kDayNames[] = { "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday" };

std::string padded(long value, std::size_t width)
{
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return value < 0 ? "-" + digits : digits;
}

std::string namedField(const char* name, std::size_t count)
{
    std::string text(name);
    if (count == 5)
        return text.substr(0, 1);
    return count == 4 ? text : text.substr(0, 3);
}

std::string zoneOffset(long seconds, bool withColon)
{
    const char sign = seconds < 0 ? '-' : '+';
    const long minutes = (seconds < 0 ? -seconds : seconds) / 60;
    return sign + padded(minutes / 60, 2) + (withColon ? ":" : "") + padded(minutes % 60, 2);
}

std::string dateField(char letter, std::size_t count, const std::tm& tm, long nanoseconds)
{
    const long year = tm.tm_year + 1900L;
    const int hour12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    switch (letter) {
    case 'G':
        return year > 0 ? "AD" : "BC";
    case 'y':
        return count == 2 ? padded(year % 100, 2) : padded(year, count);
    case 'M':
    case 'L':
        return count >= 3 ? namedField(kMonthNames[tm.tm_mon], count) : padded(tm.tm_mon + 1, count);
    case 'd':
        return padded(tm.tm_mday, count);
    case 'D':
        return padded(tm.tm_yday + 1, count);
    case 'E':
        return namedField(kDayNames[tm.tm_wday], count < 4 ? 3 : count);
    case 'a':
        return tm.tm_hour < 12 ? "AM" : "PM";
    case 'H':
        return padded(tm.tm_hour, count);
    case 'k':
        return padded(tm.tm_hour == 0 ? 24 : tm.tm_hour, count);
    case 'h':
        return padded(hour12, count);
    case 'K':
        return padded(tm.tm_hour % 12, count);
    case 'm':
        return padded(tm.tm_min, count);
    case 's':
        return padded(tm.tm_sec, count);
    case 'S': {
        // Fractions are cut, not rounded, so that a time never shows a second it has not reached.
        std::string digits = padded(nanoseconds, 9);
        if (count <= digits.size())
            return digits.substr(0, count);
        return digits + std::string(count - digits.size(), '0');
    }
    case 'Z':
        return zoneOffset(tm.tm_gmtoff, count == 5);
    case 'z':
        return tm.tm_zone ? tm.tm_zone : zoneOffset(tm.tm_gmtoff, false);
    default:
        return std::string(count, letter);
    }
}

} // namespace

// ---- server paths

std::string Path::urlPathFromPath(std::string_view path)
{
    return urlPathFromPath(path, {});
}

std::string Path::urlPathFromPath(std::string_view path, std::string_view legalURLCharactersToBeEscaped)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        const bool kept = isAsciiAlphanumeric(byte) || kUrlKept.find(c) != std::string_view::npos;
        if (kept && legalURLCharactersToBeEscaped.find(c) == std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

bool Path::isPdfPath(std::string_view path)
{
    return path.starts_with("/PDF/") || path.starts_with("/SHAREPDF/");
}

bool Path::isBackupFolder(const fileInformation& entry)
{
    const bool inBackup
        = entry.fullPath && (*entry.fullPath == "/BackupFolder" || startsWith(entry.fullPath, "/BackupFolder/"));
    return inBackup && !startsWith(entry.uk, "/SHAREFOLDER") && !startsWith(entry.uk, "/SHAREFILE");
}

bool Path::isFavoriteFolder(std::string_view pathOrKey)
{
    return pathOrKey == "/FOLDER/.Favorite." || pathOrKey.starts_with("/FOLDER/.Favorite./")
        || pathOrKey == "UK_FVRTFOLDER";
}

// ---- names

bool Path::checkFileName(std::string_view name)
{
    const auto key = fileNameMessageKey(name);
    if (!key)
        return true;
    // Modal: the window must not go on with the name before the user has read why it was refused.
    AlertPresenter::shared()->ask("alert", *key, { "alert_ok" });
    return false;
}

std::optional<std::string> Path::fileNameMessageKey(std::string_view name)
{
    if (name.empty())
        return "message_please_input_file_folder_name";
    if (hasIllegalCharacter(name))
        return "message_word_can_not_use_for_file_folder_name";
    if (hasIllegalSuffix(name))
        return "message_point_space_can_not_use_for_name_end";
    if (isSpecialFileName(name) || hasSpecialPrefix(name))
        return "message_can_not_use_for_plan_name";
    return std::nullopt;
}

bool Path::hasIllegalCharacter(std::string_view name)
{
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || kForbiddenNameCharacters.find(c) != std::string_view::npos)
            return true;
    }
    return false;
}

bool Path::hasIllegalSuffix(std::string_view name)
{
    // Both are ASCII, so the last byte is the last character even in UTF-8.
    return !name.empty() && (name.back() == '.' || name.back() == ' ');
}

bool Path::isSpecialFileName(std::string_view name)
{
    return anyReservedWord([name](const std::string& word) { return ascii::equalsIgnoringCase(name, word); });
}

bool Path::hasSpecialPrefix(std::string_view name)
{
    return anyReservedWord([name](const std::string& word) { return stringHasPrefix(name, word + "."); });
}

bool Path::stringHasPrefix(std::string_view text, std::string_view prefix)
{
    return ascii::startsWithIgnoringCase(text, prefix);
}

// ---- local files

std::string Path::documentDirectory()
{
    return LocalStorePaths::documentDirectory();
}

std::string Path::temporaryDirectory()
{
    return LocalStorePaths::temporaryDirectory();
}

std::string Path::fullPathOfTempFile(const std::string& name, const std::string& category)
{
    return LocalStorePaths::fullPathOfTempFile(name, category);
}

std::string Path::pathOfConfigEntity(const std::string& entityName, bool forSave)
{
    const std::string fileName = entityName + kConfigExtension;
    std::string current = fullPathOfTempFile(fileName, kConfigCategory);
    if (forSave || fileExistsAtPath(current))
        return current;
    return (fs::path(documentDirectory()) / fileName).string();
}

std::string Path::randomName()
{
    return LocalStorePaths::randomName();
}

std::optional<std::string> Path::randomFileNameBasedOnInCacheFolder(const std::string& path)
{
    std::string_view last = path;
    while (last.size() > 1 && last.back() == '/')
        last.remove_suffix(1);
    if (auto slash = last.rfind('/'); slash != std::string_view::npos)
        last.remove_prefix(slash + 1);
    const auto name = LocalFileName::componentFromDisplayName(last);
    if (!name.ok())
        return std::nullopt;
    const std::string folder = fullPathOfTempFile(randomName(), kCacheCategory);
    // A folder of its own that nobody else can have prepared: mkdir fails on anything already there.
    if (::mkdir(folder.c_str(), 0700) != 0)
        return std::nullopt;
    return folder + "/" + name.path;
}

std::optional<std::string> Path::pdf2JPGFileNameBasedOnInCacheFolder(
    const std::string& name, const std::string& pathExtension)
{
    // Each part of the name becomes a folder below the category, so each must be a plain name;
    // the last part takes the extension and must still be one name with it.
    std::vector<std::string_view> parts;
    std::string_view rest = name;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view {} : rest.substr(slash + 1);
        if (!part.empty())
            parts.push_back(part);
    }
    if (parts.empty())
        return std::nullopt;
    const std::string fileName = std::string(parts.back()) + "." + pathExtension;
    parts.back() = fileName;
    std::string relative;
    for (std::string_view part : parts) {
        if (!LocalFileName::componentFromDisplayName(part).ok())
            return std::nullopt;
        if (!relative.empty())
            relative += '/';
        relative += part;
    }
    return fullPathOfTempFile(relative, kCacheCategory);
}

std::optional<std::string> Path::getOffLineLocalPath(const std::string& serverPath)
{
    return LocalStorePaths::getOffLineLocalPath(serverPath);
}

std::optional<std::string> Path::getOffLineLocalPath(const std::string& serverPath, const std::string& extension)
{
    return LocalStorePaths::getOffLineLocalPath(serverPath, extension);
}

bool Path::createIfNotExistDir(const std::string& path)
{
    return LocalStorePaths::createIfNotExistDir(path);
}

bool Path::move(const std::string& from, const std::string& to)
{
    if (to.empty() || from.empty())
        return false;
    const fs::path parent = fs::path(to).parent_path();
    if (!parent.empty() && !FileSystem::createDirectories(parent))
        return false;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    const int renameErrno = errno;
    if (renameErrno == EXDEV)
        return moveAcrossFileSystems(from, to);
    // File systems without the no-replace flag: the check and the rename are two steps there.
    if (renameErrno == EINVAL || renameErrno == ENOSYS) {
        if (existsWithoutFollowing(to))
            return false;
        if (std::rename(from.c_str(), to.c_str()) == 0)
            return true;
        return errno == EXDEV && moveAcrossFileSystems(from, to);
    }
    return false;
}

bool Path::fileExistsAtPath(const std::string& path)
{
    struct stat info { };
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

std::uint64_t Path::sizeOfFile(const std::string& path)
{
    return sizeOfFile(path, nullptr);
}

std::uint64_t Path::sizeOfFile(const std::string& path, std::optional<ErrorValue>* error)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0) {
        if (error)
            *error = posixError(errno, path);
        return 0;
    }
    if (error)
        error->reset();
    return static_cast<std::uint64_t>(info.st_size);
}

void Path::deleteFile(const std::string& path)
{
    if (path.empty())
        return;
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void Path::deletePDFXmlInfoFile()
{
    // Both places: a copy left in the older one would be loaded again once the current one is gone.
    deleteFile(pathOfConfigEntity(kPdfEditorInfo, true));
    deleteFile((fs::path(documentDirectory()) / (std::string(kPdfEditorInfo) + kConfigExtension)).string());
}

// ---- dates

std::string Path::dateStringWithFormat(std::string_view format)
{
    return dateStringWithFormat(format, std::chrono::system_clock::now());
}

std::string Path::dateStringWithFormat(std::string_view format, std::chrono::system_clock::time_point when)
{
    const auto sinceEpoch = when.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const long nanoseconds = static_cast<long>(std::chrono::nanoseconds(sinceEpoch - seconds).count());
    const std::time_t time = static_cast<std::time_t>(seconds.count());
    std::tm tm {};
    ::tzset();
    if (!::localtime_r(&time, &tm))
        return {};

    std::string out;
    std::size_t i = 0;
    while (i < format.size()) {
        const char c = format[i];
        if (c == '\'') {
            // '' is a quote; otherwise everything up to the next lone quote is literal.
            if (i + 1 < format.size() && format[i + 1] == '\'') {
                out += '\'';
                i += 2;
                continue;
            }
            ++i;
            while (i < format.size()) {
                if (format[i] == '\'') {
                    if (i + 1 < format.size() && format[i + 1] == '\'') {
                        out += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                out += format[i++];
            }
            continue;
        }
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            std::size_t count = 1;
            while (i + count < format.size() && format[i + count] == c)
                ++count;
            out += dateField(c, count, tm, nanoseconds);
            i += count;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

} // namespace norvane
