#include "CloudServiceSDKForMac/ASIHTTP/ASIInputStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace norvane {

namespace {
std::mutex& readerLock()
{
    static std::mutex m;
    return m;
}
} // namespace

std::unique_ptr<ASIInputStream> ASIInputStream::inputStreamWithFileAtPath(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<ASIInputStream> stream(new ASIInputStream);
    stream->fd_ = fd;
    return stream;
}

std::unique_ptr<ASIInputStream> ASIInputStream::inputStreamWithData(std::shared_ptr<const Bytes> data)
{
    if (!data)
        return nullptr;
    std::unique_ptr<ASIInputStream> stream(new ASIInputStream);
    stream->data_ = std::move(data);
    return stream;
}

ASIInputStream::~ASIInputStream()
{
    close();
}

ssize_t ASIInputStream::read(std::uint8_t* buffer, std::size_t maxLength)
{
    std::lock_guard lock(readerLock());
    if (data_) {
        std::size_t left = data_->size() - static_cast<std::size_t>(bytesRead_);
        std::size_t n = std::min(left, maxLength);
        std::memcpy(buffer, data_->data() + bytesRead_, n);
        bytesRead_ += n;
        return static_cast<ssize_t>(n);
    }
    if (fd_ < 0)
        return -1;
    ssize_t n;
    do {
        n = ::read(fd_, buffer, maxLength);
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        bytesRead_ += static_cast<std::uint64_t>(n);
    return n;
}

bool ASIInputStream::rewind()
{
    std::lock_guard lock(readerLock());
    bytesRead_ = 0;
    if (data_)
        return true;
    return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0;
}

void ASIInputStream::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    data_.reset();
}

} // namespace norvane
