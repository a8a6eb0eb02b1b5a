#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace norvane {

// MD5 digests as 32 lowercase hexadecimal digits. Nothing (std::nullopt) when the digest cannot
// be made: a text that is not pure ASCII, an unreadable file, or a crypto library that refuses MD5.
std::optional<std::string> MD5DigestString(std::span<const std::uint8_t> bytes);
std::optional<std::string> MD5DigestString(std::string_view asciiText);

// The digest of data that arrives in pieces, e.g. a large file read chunk by chunk.
class MD5Digest {
public:
    MD5Digest();
    ~MD5Digest();
    MD5Digest(MD5Digest&&) noexcept;
    MD5Digest& operator=(MD5Digest&&) noexcept;
    MD5Digest(const MD5Digest&) = delete;
    MD5Digest& operator=(const MD5Digest&) = delete;

    void update(std::span<const std::uint8_t> bytes);
    void update(std::string_view bytes);
    // The digest of everything passed so far. Reading it does not end the stream: more update()
    // calls may follow and extend it.
    std::optional<std::string> hexDigest() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Reads the file in 1 MiB chunks, so files of any size hash in constant memory.
std::optional<std::string> MD5DigestOfFile(const std::filesystem::path& path);

} // namespace norvane
