#pragma once

#include "platform/Value.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace norvane {

// A one-shot AES-128 cipher in CBC mode with PKCS#7 padding: made for one direction with a key
// and an initialisation vector, it turns one byte buffer into another. Each call starts a fresh
// cipher run. Objects are used by one caller at a time; any thread may make one.
class cc_crypto {
public:
    static constexpr std::uint32_t kCCEncrypt = 0;
    static constexpr std::uint32_t kCCDecrypt = 1;
    static constexpr std::size_t kKeySize = 16;
    static constexpr std::size_t kBlockSize = 16;

    // op is kCCEncrypt or kCCDecrypt; any other value makes every call fail. Key and vector are
    // copied in.
    cc_crypto(
        std::uint32_t op, std::span<const std::uint8_t, kKeySize> key, std::span<const std::uint8_t, kBlockSize> iv);
    ~cc_crypto();
    cc_crypto(const cc_crypto&) = delete;
    cc_crypto& operator=(const cc_crypto&) = delete;

    // The enciphered or deciphered bytes; nothing when the cipher refuses (a decryption whose
    // last block is not validly padded, or whose length is no multiple of the block size). An
    // encryption gives the input length rounded up to the next multiple of 16, a whole block more
    // when it is one already.
    std::optional<Bytes> CCCrypto(std::span<const std::uint8_t> input);

    // Length of the last successful output; a failed call leaves it as it was.
    std::uint64_t CLen() const { return CLen_; }
    std::uint32_t op() const { return op_; }

private:
    std::uint32_t op_;
    std::uint64_t CLen_ = 0;
    std::array<std::uint8_t, kKeySize> crypto_key_ {};
    std::array<std::uint8_t, kBlockSize> crypto_iv_ {};
};

} // namespace norvane
