#include "platform/FileSystem.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

namespace {

// A descriptor closed on every path out of a function.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : fd_(fd)
    { }
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded (late write errors show up here).
    bool close()
    {
        if (fd_ < 0)
            return true;
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0;
    }

private:
    int fd_;
};

// A name no other writer in this or another process is using: pid, a per-process counter and
// random bits, so that concurrent writers of the same target never share a temporary file.
std::string temporaryName(const std::string& base)
{
    static std::atomic<std::uint64_t> counter { 0 };
    thread_local std::mt19937_64 random { std::random_device {}() };
    return "." + base + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-"
        + std::to_string(random() & 0xffffff);
}

} // namespace

std::optional<Bytes> FileSystem::readFile(const std::filesystem::path& path, std::uint64_t maxSize)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return std::nullopt;
    struct stat info { };
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    if (static_cast<std::uint64_t>(info.st_size) > maxSize)
        return std::nullopt;
    Bytes content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    // Read to the end rather than trusting the size: the file may grow or shrink meanwhile.
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        if (content.size() + static_cast<std::size_t>(got) > maxSize)
            return std::nullopt;
        content.insert(content.end(), chunk, chunk + got);
    }
    return content;
}

bool FileSystem::writeFileAtomically(
    const std::filesystem::path& path, std::span<const std::uint8_t> bytes, std::optional<mode_t> mode)
{
    if (path.empty() || !path.has_filename())
        return false;
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");

    mode_t finalMode = 0600;
    struct stat existing { };
    if (mode)
        finalMode = *mode;
    else if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        finalMode = existing.st_mode & 07777;

    std::filesystem::path temporary;
    int rawFd = -1;
    for (int attempt = 0; attempt < 16 && rawFd < 0; ++attempt) {
        temporary = folder / temporaryName(path.filename().string());
        rawFd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (rawFd < 0 && errno != EEXIST)
            return false;
    }
    FileDescriptor fd(rawFd);
    if (!fd.valid())
        return false;

    // The mode is set on the descriptor: the umask must not narrow a mode the caller asked for.
    const bool written
        = FileSystem::writeAll(fd.get(), bytes) && ::fchmod(fd.get(), finalMode) == 0 && ::fsync(fd.get()) == 0;
    if (!fd.close() || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }

    // Make the rename itself durable; the new content is in place either way, so a failure here
    // is not reported.
    FileDescriptor folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.valid())
        ::fsync(folderFd.get());
    return true;
}

bool FileSystem::writeAll(int fd, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), std::min(bytes.size(), kWritePiece));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            if (wrote == 0)
                errno = EIO;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(wrote));
    }
    return true;
}

std::optional<std::uint64_t> FileSystem::fileSize(const std::filesystem::path& path)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

bool FileSystem::createDirectories(const std::filesystem::path& path, mode_t mode)
{
    if (path.empty())
        return false;
    std::filesystem::path current;
    for (const auto& component : path.lexically_normal()) {
        if (component.empty())
            continue;
        current /= component;
        if (::mkdir(current.c_str(), mode) == 0)
            continue;
        // An existing folder may still report another error first (read-only file system, no
        // write permission on its parent); only a folder that is really there lets us go on.
        struct stat info { };
        if (::stat(current.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return false;
    }
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace norvane
