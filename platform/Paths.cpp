#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace norvane {

namespace {

std::string_view environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

bool isAbsolute(std::string_view path)
{
    return !path.empty() && path.front() == '/';
}

std::string homeDirectory()
{
    std::string_view home = environment("HOME");
    if (isAbsolute(home))
        return std::string(home);
    // getpwuid_r with a buffer of the size the system suggests; the static getpwuid is not
    // safe when other threads look up users at the same time.
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry {};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && isAbsolute(found->pw_dir))
        return found->pw_dir;
    // No home at all (a stripped service account): keep the data per user in the temporary area
    // rather than in whatever the current directory happens to be.
    return (std::filesystem::temp_directory_path() / ("norvane-home-" + std::to_string(getuid()))).string();
}

ErrorValue posixError(int code, const std::string& what)
{
    return ErrorValue { kPosixErrorDomain, code, what + ": " + std::strerror(code), {} };
}

} // namespace

std::string Paths::applicationDataDirectory()
{
    std::string_view own = environment("NORVANE_HOME");
    if (!own.empty()) {
        std::error_code ignored;
        std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(own), ignored);
        return (absolute.empty() ? std::filesystem::path(own) : absolute).lexically_normal().string();
    }
    // A relative XDG_DATA_HOME is invalid by the base-directory rules and must be ignored.
    std::string_view xdg = environment("XDG_DATA_HOME");
    std::filesystem::path base
        = isAbsolute(xdg) ? std::filesystem::path(xdg) : std::filesystem::path(homeDirectory()) / ".local" / "share";
    return (base / "norvane").lexically_normal().string();
}

std::string Paths::executablePath()
{
    std::error_code error;
    std::filesystem::path target = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : target.string();
}

std::string Paths::executableName()
{
    return std::filesystem::path(executablePath()).filename().string();
}

std::string Paths::executableDirectory()
{
    return std::filesystem::path(executablePath()).parent_path().string();
}

std::string Paths::languageCode(std::string_view locale)
{
    // language[_territory][.codeset][@modifier]; a hyphen appears in tags such as "en-US".
    std::size_t end = locale.find_first_of("_.@-");
    std::string_view language = locale.substr(0, end);
    if (language == "C" || language == "POSIX")
        return "en";
    if (language.size() < 2 || language.size() > 3)
        return {};
    std::string code;
    for (char c : language) {
        if (c >= 'A' && c <= 'Z')
            code += static_cast<char>(c - 'A' + 'a');
        else if (c >= 'a' && c <= 'z')
            code += c;
        else
            return {};
    }
    return code;
}

std::vector<std::string> Paths::preferredLanguages(
    std::string_view language, std::string_view lcAll, std::string_view lcMessages, std::string_view lang)
{
    std::vector<std::string> codes;
    auto add = [&codes](std::string_view entry) {
        std::string code = languageCode(entry);
        if (!code.empty() && std::find(codes.begin(), codes.end(), code) == codes.end())
            codes.push_back(std::move(code));
    };
    if (!language.empty()) {
        std::size_t start = 0;
        while (start <= language.size()) {
            std::size_t colon = language.find(':', start);
            if (colon == std::string_view::npos)
                colon = language.size();
            add(language.substr(start, colon - start));
            start = colon + 1;
        }
    } else {
        for (std::string_view value : { lcAll, lcMessages, lang }) {
            if (!value.empty()) {
                add(value);
                break;
            }
        }
    }
    if (codes.empty())
        codes.emplace_back("en");
    return codes;
}

std::vector<std::string> Paths::preferredLanguages()
{
    return preferredLanguages(
        environment("LANGUAGE"), environment("LC_ALL"), environment("LC_MESSAGES"), environment("LANG"));
}

std::optional<ErrorValue> Paths::createDirectories(const std::string& path, mode_t mode)
{
    if (path.empty())
        return ErrorValue { kPosixErrorDomain, ENOENT, "cannot create a directory with an empty name", {} };
    // Walk down from the root so that each missing level gets the requested mode, and a level
    // that another process creates at the same moment is not a failure.
    std::size_t position = 0;
    while (position != std::string::npos) {
        position = path.find('/', position + 1);
        std::string prefix = path.substr(0, position);
        if (prefix.empty() || prefix.back() == '/')
            continue;
        if (mkdir(prefix.c_str(), mode) == 0)
            continue;
        // Existing levels may refuse mkdir with EACCES or EROFS rather than EEXIST, so ask what is there.
        int code = errno;
        struct stat info { };
        if (stat(prefix.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode))
                continue;
            return posixError(ENOTDIR, prefix);
        }
        return posixError(code, prefix);
    }
    return std::nullopt;
}

} // namespace norvane
