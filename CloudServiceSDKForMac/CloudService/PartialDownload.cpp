#include "CloudServiceSDKForMac/CloudService/PartialDownload.h"

#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "formats/MD5DigestString.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace norvane {

namespace {

// The version of the server file the bytes come from, kept with the file itself.
constexpr const char* kSourceAttribute = "user.norvane.source";
constexpr const char* kPrefix = ".norvane-";
constexpr const char* kSuffix = ".part";

ErrorValue posixError(int code, const std::string& what)
{
    return ErrorValue { kPosixErrorDomain, code, what + ": " + std::strerror(code), {} };
}

std::string hexDigestOf(const std::string& text)
{
    if (auto digest = MD5DigestString(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())))
        return *digest;
    return LocalStorePaths::randomName(); // no digest to be had: the name is at least unique
}

// A file of our own that nobody else works on: a plain file of this user with no other name, and
// no other download holding it.
bool isOwnUnsharedFile(int fd)
{
    struct stat info { };
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1
        && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

std::optional<std::string> sourceMark(int fd)
{
    char value[4096];
    const ssize_t length = ::fgetxattr(fd, kSourceAttribute, value, sizeof value);
    if (length < 0)
        return std::nullopt;
    return std::string(value, static_cast<std::size_t>(length));
}

// Empties the file for a fresh start. A file that is empty already is left alone: on ext4 a
// truncation to nothing asks for the file's data to be written out when it is closed, so the
// last close of a freshly written gigabyte would wait about half a second for the disk.
bool emptyFile(int fd)
{
    struct stat info { };
    if (::fstat(fd, &info) == 0 && info.st_size == 0)
        return ::lseek(fd, 0, SEEK_SET) == 0;
    return ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0;
}

} // namespace

PartialDownload::PartialDownload(std::filesystem::path target, std::string source)
    : target_(std::move(target))
    , source_(std::move(source))
    , path_(pathFor(target_))
{ }

PartialDownload::~PartialDownload()
{
    if (fd_ >= 0) {
        // What was gathered stays for the next run of the same download.
        (void)flush();
        ::close(fd_);
    }
}

WriteGatherer::Write PartialDownload::toFile(int& cause) const
{
    return [fd = fd_, &cause](std::span<const std::uint8_t> bytes) {
        if (FileSystem::writeAll(fd, bytes))
            return true;
        cause = errno;
        return false;
    };
}

std::optional<ErrorValue> PartialDownload::flush()
{
    int cause = 0;
    if (!gathered_.flush(toFile(cause)))
        return posixError(cause, "The download cannot be written");
    return std::nullopt;
}

std::filesystem::path PartialDownload::pathFor(const std::filesystem::path& target)
{
    return target.parent_path() / (kPrefix + hexDigestOf(target.filename().string()) + kSuffix);
}

std::string PartialDownload::sourceOf(const std::string& remote, std::uint64_t size, const std::string& timestamp)
{
    if (size == 0 || timestamp.empty())
        return {};
    return remote + "\n" + std::to_string(size) + "\n" + timestamp;
}

std::uint64_t PartialDownload::resume(std::uint64_t minimum, std::uint64_t limit)
{
    if (fd_ >= 0)
        return size_;
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0; // none there (or nothing usable: the first append decides)
    if (!isOwnUnsharedFile(fd)) {
        ::close(fd);
        return 0;
    }
    fd_ = fd;
    struct stat info { };
    const std::uint64_t held = ::fstat(fd_, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    if (!source_.empty() && sourceMark(fd_) == source_ && held >= minimum && held < limit
        && ::lseek(fd_, 0, SEEK_END) >= 0) {
        size_ = held;
        return size_;
    }
    // Bytes of another version, or of one that cannot be recognised: a fresh start.
    if (!emptyFile(fd_)) {
        ::close(std::exchange(fd_, -1));
        return 0;
    }
    markSource();
    return 0;
}

std::optional<ErrorValue> PartialDownload::open()
{
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0 && !isOwnUnsharedFile(fd)) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        // The usual name is taken (another download of the same target runs, or something that is
        // not ours is in the way): a name of its own, which no later run will look for.
        path_ = target_.parent_path() / (kPrefix + LocalStorePaths::randomName() + kSuffix);
        fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            const int error = errno;
            path_.clear();
            return posixError(error, "The download cannot be written beside " + target_.string());
        }
    }
    fd_ = fd;
    size_ = 0;
    if (!emptyFile(fd_))
        return posixError(errno, "The download cannot be written beside " + target_.string());
    markSource();
    return std::nullopt;
}

void PartialDownload::markSource()
{
    // Without the mark (a file system without extended attributes) the bytes are merely never
    // taken over.
    if (source_.empty() || ::fsetxattr(fd_, kSourceAttribute, source_.data(), source_.size(), 0) != 0)
        (void)::fremovexattr(fd_, kSourceAttribute);
}

std::optional<ErrorValue> PartialDownload::append(std::span<const std::uint8_t> bytes)
{
    if (fd_ < 0) {
        if (auto error = open())
            return error;
    }
    // Bytes arrive in pieces of any size (those of https a little short of 16 KiB at the start of
    // an answer); they go to the file in whole write pieces.
    const std::uint64_t writtenEnd = size_ - gathered_.size();
    size_ += bytes.size();
    int cause = 0;
    if (!gathered_.add(writtenEnd, bytes, toFile(cause)))
        return posixError(cause, "The download cannot be written");
    return std::nullopt;
}

std::optional<ErrorValue> PartialDownload::truncate(std::uint64_t size)
{
    if (fd_ < 0 || size >= size_)
        return std::nullopt;
    const std::uint64_t written = size_ - gathered_.size();
    if (size >= written) {
        gathered_.keep(static_cast<std::size_t>(size - written));
        size_ = size;
        return std::nullopt;
    }
    gathered_.keep(0);
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0 || ::lseek(fd_, static_cast<off_t>(size), SEEK_SET) < 0)
        return posixError(errno, "The download cannot be written");
    size_ = size;
    return std::nullopt;
}

std::optional<ErrorValue> PartialDownload::commit()
{
    if (fd_ < 0) {
        if (auto error = open())
            return error;
    }
    if (auto error = flush())
        return error;
    // No wait for the disk: a download of a gigabyte would wait seconds for its bytes to be
    // written back, as no other download tool does. The rename is what keeps a failed or stopped
    // download from ever standing where the file is expected; the disk gets the bytes as the
    // system writes them back (a power cut within those seconds can cost the file, which the
    // server still holds).
    if (::rename(path_.c_str(), target_.c_str()) != 0)
        return posixError(errno, "The download cannot be put in place at " + target_.string());
    ::close(std::exchange(fd_, -1));
    path_.clear();
    return std::nullopt;
}

void PartialDownload::discard()
{
    gathered_.keep(0);
    if (fd_ < 0)
        return; // nothing of ours was made or taken over
    ::unlink(path_.c_str());
    ::close(std::exchange(fd_, -1));
    path_.clear();
}

} // namespace norvane
