#include "server/store/Random.h"

#include <openssl/crypto.h>

#include <openssl/rand.h>

#include <stdexcept>

namespace norvane::server {

std::string randomBytes(std::size_t count)
{
    std::string bytes(count, '\0');
    if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1)
        throw std::runtime_error("no random bytes available");
    return bytes;
}

std::string randomHex(std::size_t digits)
{
    static constexpr char kHex[] = "0123456789abcdef";
    const std::string bytes = randomBytes((digits + 1) / 2);
    std::string text;
    text.reserve(digits);
    for (std::size_t i = 0; i < digits; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i / 2]);
        text += kHex[i % 2 == 0 ? byte >> 4 : byte & 0x0f];
    }
    return text;
}

std::string randomUrlToken(std::size_t length)
{
    // 64 symbols: the low six bits of a byte pick one without bias.
    static constexpr char kSymbols[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const std::string bytes = randomBytes(length);
    std::string text;
    text.reserve(length);
    for (char byte : bytes)
        text += kSymbols[static_cast<unsigned char>(byte) & 0x3f];
    return text;
}

std::string randomDigits(std::size_t length)
{
    std::string text;
    text.reserve(length);
    while (text.size() < length) {
        // Bytes of 250 and above are dropped so that every digit is equally likely.
        for (char byte : randomBytes(length - text.size() + 4)) {
            const auto value = static_cast<unsigned char>(byte);
            if (value < 250 && text.size() < length)
                text += static_cast<char>('0' + value % 10);
        }
    }
    return text;
}

bool sameSecret(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace norvane::server
