#include "app/logic/LocalFileName.h"

#include "platform/Paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

namespace {

ErrorValue nameError(LocalNameError code, std::string description)
{
    return ErrorValue { kLocalNameErrorDomain, code, std::move(description), {} };
}

ErrorValue posixError(int code, const std::string& what)
{
    return ErrorValue { kPosixErrorDomain, code, what + ": " + std::strerror(code), {} };
}

// A bare name for messages: the offending bytes are exactly what a log line must not carry raw.
std::string printable(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

bool hasControlCharacter(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto u = static_cast<unsigned char>(text[i]);
        if (u < 0x20 || u == 0x7F)
            return true;
        // U+0080 to U+009F in UTF-8: 0xC2 followed by 0x80-0x9F.
        if (u == 0xC2 && i + 1 < text.size()) {
            auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F)
                return true;
        }
    }
    return false;
}

std::string_view withoutTrailingSlashes(std::string_view directory)
{
    while (directory.size() > 1 && directory.back() == '/')
        directory.remove_suffix(1);
    return directory;
}

// The target folder, opened so that the last step can be taken relative to it. The folder
// itself is the caller's choice and may be reached through links.
int openDirectory(std::string_view directory, std::optional<ErrorValue>& error)
{
    if (directory.empty() || directory.find('\0') != std::string_view::npos) {
        error = nameError(LocalNameOutsideTarget, "No usable target folder was given");
        return -1;
    }
    const std::string path(directory);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        error = posixError(errno, "The folder " + printable(path) + " cannot be opened");
    return fd;
}

} // namespace

// ---- File

LocalFileName::File::~File()
{
    if (fd_ >= 0)
        ::close(fd_);
}

LocalFileName::File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1))
    , path_(std::move(other.path_))
{ }

LocalFileName::File& LocalFileName::File::operator=(File&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

int LocalFileName::File::release()
{
    return std::exchange(fd_, -1);
}

// ---- names

LocalFileName::Result LocalFileName::componentFromDisplayName(std::string_view displayName)
{
    if (displayName.empty())
        return { {}, nameError(LocalNameEmpty, "The name is empty") };
    if (displayName.find('\0') != std::string_view::npos)
        return { {}, nameError(LocalNameHasNul, "The name " + printable(displayName) + " holds a NUL character") };
    if (displayName.find('/') != std::string_view::npos)
        return { {}, nameError(LocalNameHasSlash, "The name " + printable(displayName) + " holds a slash") };
    if (hasControlCharacter(displayName))
        return { {},
            nameError(
                LocalNameHasControlCharacter, "The name " + printable(displayName) + " holds a control character") };
    if (displayName == "." || displayName == "..")
        return { {}, nameError(LocalNameIsDotName, "The name " + std::string(displayName) + " names a folder itself") };
    return { std::string(displayName), std::nullopt };
}

LocalFileName::Result LocalFileName::joinUnder(std::string_view targetDirectory, std::string_view displayName)
{
    Result name = componentFromDisplayName(displayName);
    if (!name.ok())
        return name;
    if (targetDirectory.empty() || targetDirectory.find('\0') != std::string_view::npos)
        return { {}, nameError(LocalNameOutsideTarget, "No usable target folder was given") };

    const std::string_view base = withoutTrailingSlashes(targetDirectory);
    std::string joined(base);
    if (joined != "/")
        joined += '/';
    joined += name.path;

    // The name was checked to be one component; this makes sure no reading of the path (".."
    // folding included) lands anywhere but directly inside the target.
    namespace fs = std::filesystem;
    const fs::path expected = (fs::path(base).lexically_normal() / name.path).lexically_normal();
    const fs::path actual = fs::path(joined).lexically_normal();
    if (actual != expected || actual.filename() != name.path)
        return { {},
            nameError(
                LocalNameOutsideTarget, "The name " + printable(displayName) + " leads outside the target folder") };
    return { std::move(joined), std::nullopt };
}

// ---- creation

LocalFileName::FileResult LocalFileName::createFileIn(
    std::string_view targetDirectory, std::string_view displayName, Existing existing, mode_t mode)
{
    Result path = joinUnder(targetDirectory, displayName);
    if (!path.ok())
        return { {}, std::move(path.error) };
    std::optional<ErrorValue> error;
    const int directory = openDirectory(targetDirectory, error);
    if (directory < 0)
        return { {}, std::move(error) };
    const std::string name(displayName);

    // O_NOFOLLOW refuses a link at the name; O_NONBLOCK keeps a planted FIFO from hanging the open.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (existing == Existing::Refuse)
        flags |= O_EXCL;
    const int fd = ::openat(directory, name.c_str(), flags, mode);
    const int openErrno = errno;
    ::close(directory);
    if (fd < 0) {
        if (openErrno == ELOOP)
            return { {},
                nameError(LocalNameNotRegularFile, "A symbolic link is in the way at " + printable(path.path)) };
        return { {}, posixError(openErrno, "The file " + printable(path.path) + " cannot be created") };
    }
    File file(fd, std::move(path.path));

    struct stat info { };
    if (::fstat(fd, &info) != 0)
        return { {}, posixError(errno, "The file " + printable(file.path()) + " cannot be examined") };
    if (!S_ISREG(info.st_mode))
        return { {},
            nameError(LocalNameNotRegularFile, "Something other than a file is at " + printable(file.path())) };
    // Emptied only now that it is known to be a plain file of its own.
    if (existing == Existing::Truncate && info.st_size != 0 && ::ftruncate(fd, 0) != 0)
        return { {}, posixError(errno, "The file " + printable(file.path()) + " cannot be emptied") };
    const int status = ::fcntl(fd, F_GETFL);
    if (status >= 0)
        (void)::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return { std::move(file), std::nullopt };
}

LocalFileName::Result LocalFileName::createDirectoryIn(
    std::string_view targetDirectory, std::string_view displayName, mode_t mode)
{
    Result path = joinUnder(targetDirectory, displayName);
    if (!path.ok())
        return path;
    std::optional<ErrorValue> error;
    const int directory = openDirectory(targetDirectory, error);
    if (directory < 0)
        return { {}, std::move(error) };
    const std::string name(displayName);

    Result result { std::move(path.path), std::nullopt };
    if (::mkdirat(directory, name.c_str(), mode) != 0) {
        const int mkdirErrno = errno;
        struct stat info { };
        if (mkdirErrno != EEXIST)
            result.error = posixError(mkdirErrno, "The folder " + printable(result.path) + " cannot be created");
        else if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            result.error = posixError(errno, "The folder " + printable(result.path) + " cannot be examined");
        else if (!S_ISDIR(info.st_mode))
            result.error
                = nameError(LocalNameNotDirectory, "Something other than a folder is at " + printable(result.path));
    }
    ::close(directory);
    if (!result.ok())
        result.path.clear();
    return result;
}

} // namespace norvane
