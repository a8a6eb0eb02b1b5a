#include "server/http/RandomText.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <vector>

namespace norvane::server {

std::string secureRandomHex(std::size_t bytes)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::vector<unsigned char> raw(bytes);
    if (bytes > 0 && RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1)
        return {};
    std::string text;
    text.reserve(bytes * 2);
    for (unsigned char b : raw) {
        text += kHex[b >> 4];
        text += kHex[b & 0x0f];
    }
    return text;
}

std::string secureRandomDigits(std::size_t count)
{
    std::string text;
    text.reserve(count);
    while (text.size() < count) {
        unsigned char b = 0;
        if (RAND_bytes(&b, 1) != 1)
            return {};
        // 250 = 25 x 10: bytes above it are drawn again so that every digit is as likely.
        if (b < 250)
            text += static_cast<char>('0' + b % 10);
    }
    return text;
}

} // namespace norvane::server
