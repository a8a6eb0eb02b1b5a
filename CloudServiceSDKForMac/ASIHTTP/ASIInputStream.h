#pragma once

#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

namespace norvane {

// The reader a request body is streamed through: over a file (read piece by piece, never loaded
// whole) or over a byte buffer. All body reads of the process are serialised by one lock.
class ASIInputStream {
public:
    static std::unique_ptr<ASIInputStream> inputStreamWithFileAtPath(const std::string& path);
    static std::unique_ptr<ASIInputStream> inputStreamWithData(std::shared_ptr<const Bytes> data);
    ~ASIInputStream();
    ASIInputStream(const ASIInputStream&) = delete;
    ASIInputStream& operator=(const ASIInputStream&) = delete;

    // Up to maxLength bytes; 0 at the end, -1 on a read error.
    ssize_t read(std::uint8_t* buffer, std::size_t maxLength);
    // Back to the first byte, for a body that has to be sent again (a retry or a redirect).
    bool rewind();
    void close();
    std::uint64_t bytesRead() const { return bytesRead_; }

private:
    ASIInputStream() = default;

    int fd_ = -1;
    std::shared_ptr<const Bytes> data_;
    std::uint64_t bytesRead_ = 0;
};

} // namespace norvane
