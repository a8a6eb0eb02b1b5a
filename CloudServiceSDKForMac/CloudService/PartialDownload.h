#pragma once

#include "platform/ErrorValue.h"
#include "platform/FileSystem.h"
#include "platform/WriteGatherer.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace norvane {

// The file a download into `target` gathers its bytes in until the last one is in; only then
// does it take the target's name, so a failed or stopped download never leaves a half file
// where the user expects the whole one.
//
// It lies beside the target (the final move is then a rename on one file system) under a hidden
// name of fixed length derived from the target's name: it fits wherever the target's name fits,
// and a run that was killed before it could clean up leaves it where the next run of the same
// download finds it. The next run takes the bytes over only when they are from the same version
// of the server file (path, size and time stamp, kept with the file as an extended attribute);
// otherwise it starts again from the first byte. Once a download ends, successfully or not,
// nothing of it is left.
class PartialDownload {
public:
    // `source` names the version of the server file the bytes come from; empty when the caller
    // cannot tell (no size or no time stamp), and then nothing is ever taken over.
    PartialDownload(std::filesystem::path target, std::string source);
    ~PartialDownload(); // closes the file; it stays only if neither commit nor discard ran
    PartialDownload(const PartialDownload&) = delete;
    PartialDownload& operator=(const PartialDownload&) = delete;

    // ".norvane-<MD5 of the target's name in hex>.part" in the target's folder.
    static std::filesystem::path pathFor(const std::filesystem::path& target);
    // The source text for a server path, an expected size and a time stamp; empty when the size
    // is 0 or the time stamp is empty, since such a version cannot be recognised again.
    static std::string sourceOf(const std::string& remote, std::uint64_t size, const std::string& timestamp);

    // Looks for the bytes of an earlier run. When there is a file of this download that comes
    // from the same source and holds at least `minimum` and less than `limit` bytes, it is kept
    // open and its length is returned; any other file found there is emptied for a fresh start
    // (0 is returned).
    std::uint64_t resume(std::uint64_t minimum, std::uint64_t limit);
    // Appends; the file is made on the first call.
    std::optional<ErrorValue> append(std::span<const std::uint8_t> bytes);
    // Bytes held so far.
    std::uint64_t size() const { return size_; }
    // Drops the bytes after the first `size` (a chunk that was not taken after all).
    std::optional<ErrorValue> truncate(std::uint64_t size);
    // Gives it the target's name.
    std::optional<ErrorValue> commit();
    // Removes it.
    void discard();

private:
    std::optional<ErrorValue> open();
    void markSource();
    std::optional<ErrorValue> flush(); // writes what append() gathered
    // Writes at the file's end; `cause` takes the errno of a failure.
    WriteGatherer::Write toFile(int& cause) const;

    std::filesystem::path target_;
    std::string source_;
    std::filesystem::path path_;
    int fd_ = -1;
    std::uint64_t size_ = 0; // held, the gathered bytes not yet written included
    WriteGatherer gathered_ { FileSystem::kWritePiece };
};

} // namespace norvane
