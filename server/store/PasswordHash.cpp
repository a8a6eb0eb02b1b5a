#include "server/store/PasswordHash.h"

#include "server/store/Random.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <charconv>
#include <stdexcept>
#include <vector>

namespace norvane::server {

namespace {

constexpr int kIterations = 100000;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
constexpr int kMaxIterations = 10000000; // a stored count above this is damage, not a setting
constexpr const char* kScheme = "pbkdf2-sha256";

std::string toHex(const std::string& bytes)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0f];
    }
    return text;
}

bool fromHex(const std::string& text, std::string& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (ec != std::errc() || end != text.data() + i + 2)
            return false;
        bytes += static_cast<char>(value);
    }
    return true;
}

std::string derive(const std::string& password, const std::string& salt, int iterations)
{
    std::string hash(kHashBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
            reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), iterations,
            EVP_sha256(), static_cast<int>(hash.size()), reinterpret_cast<unsigned char*>(hash.data()))
        != 1)
        throw std::runtime_error("password derivation failed");
    return hash;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

} // namespace

std::string PasswordHash::make(const std::string& password)
{
    const std::string salt = randomBytes(kSaltBytes);
    return std::string(kScheme) + "$" + std::to_string(kIterations) + "$" + toHex(salt) + "$"
        + toHex(derive(password, salt, kIterations));
}

bool PasswordHash::matches(const std::string& stored, const std::string& password)
{
    const auto parts = split(stored, '$');
    if (parts.size() != 4 || parts[0] != kScheme)
        return false;
    int iterations = 0;
    auto [end, ec] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), iterations);
    if (ec != std::errc() || end != parts[1].data() + parts[1].size() || iterations < 1 || iterations > kMaxIterations)
        return false;
    std::string salt;
    std::string expected;
    if (!fromHex(parts[2], salt) || !fromHex(parts[3], expected) || expected.size() != kHashBytes)
        return false;
    const std::string actual = derive(password, salt, iterations);
    return CRYPTO_memcmp(actual.data(), expected.data(), kHashBytes) == 0;
}

bool PasswordHash::matchesNothing(const std::string& password)
{
    static const std::string stand = make("no account has this password");
    matches(stand, password);
    return false;
}

} // namespace norvane::server
