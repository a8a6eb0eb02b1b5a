#pragma once

#include "platform/Value.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <sys/types.h>

namespace norvane {

// The few file operations that stored state needs. Failures are results (nullopt / false),
// never exceptions.
class FileSystem {
public:
    // The whole content of a regular file; nothing when it is missing, unreadable, not a regular
    // file or longer than maxSize bytes.
    static std::optional<Bytes> readFile(const std::filesystem::path& path, std::uint64_t maxSize = UINT64_MAX);

    // Replaces the file so that a reader sees either the old or the new content, never a mix,
    // even across a crash: a temporary file in the same folder is written, flushed to disk and
    // renamed over the target. The file gets `mode` when given; otherwise an existing file keeps
    // its permissions and a new one is readable by its owner only (0600). The folder must exist.
    // A symbolic link at `path` is replaced, not followed.
    static bool writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
        std::optional<mode_t> mode = std::nullopt);

    // The most that one write to a file asks of the kernel. A larger write makes the page cache take
    // a large block of memory at once, and on a virtual machine that hands its free memory back to
    // the host such blocks are the ones the host must fill again: a gigabyte written in 256 KiB
    // pieces spent two to three times as long in the kernel as one written in 16 KiB pieces, which
    // cost next to nothing on a machine of its own.
    static constexpr std::size_t kWritePiece = 16 * 1024;

    // Writes all of `bytes` to `fd` in pieces of at most kWritePiece, again after a short write or
    // an interruption. False with errno set when a write fails.
    static bool writeAll(int fd, std::span<const std::uint8_t> bytes);

    // Size of a regular file (symbolic links followed).
    static std::optional<std::uint64_t> fileSize(const std::filesystem::path& path);

    // Creates the folder and any missing parents with `mode` (before the umask). True when the
    // folder exists afterwards, also when it existed already.
    static bool createDirectories(const std::filesystem::path& path, mode_t mode = 0700);
};

} // namespace norvane
