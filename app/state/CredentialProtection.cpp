#include "app/state/CredentialProtection.h"

#include "app/state/TextReading.h"
#include "app/state/cc_crypto.h"
#include "formats/APBase64Converter.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <mutex>
#include <span>

namespace norvane {

namespace {

constexpr CredentialProtection::Key kSharedKey { 0x4e, 0x76, 0x72, 0x6e, 0x2d, 0x63, 0x66, 0x67, 0x2e, 0x70, 0x61, 0x73,
    0x73, 0x2e, 0x6b, 0x31 };

// Key files are created under this lock, so that two threads saving a password at the same time
// cannot each make a key and keep only one of them.
std::mutex& keyFileMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::optional<CredentialProtection::Key> readKey(const std::filesystem::path& keyFile)
{
    auto bytes = FileSystem::readFile(keyFile, 64);
    if (!bytes || bytes->size() != std::tuple_size_v<CredentialProtection::Key>) {
        if (bytes)
            OPENSSL_cleanse(bytes->data(), bytes->size());
        return std::nullopt;
    }
    CredentialProtection::Key key {};
    std::copy(bytes->begin(), bytes->end(), key.begin());
    OPENSSL_cleanse(bytes->data(), bytes->size());
    return key;
}

bool randomBytes(std::span<std::uint8_t> out)
{
    if (RAND_bytes(out.data(), static_cast<int>(out.size())) == 1)
        return true;
    ERR_clear_error();
    return false;
}

std::optional<std::string> utf8Text(const std::optional<Bytes>& bytes)
{
    if (!bytes)
        return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (!TextReading::isUTF8(text))
        return std::nullopt;
    return text;
}

std::span<const std::uint8_t> bytesOf(std::string_view text)
{
    return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
}

} // namespace

const CredentialProtection::Key& CredentialProtection::sharedKey()
{
    return kSharedKey;
}

std::optional<CredentialProtection::Key> CredentialProtection::installationKey(
    const std::filesystem::path& keyFile, bool create)
{
    std::lock_guard lock(keyFileMutex());
    if (auto key = readKey(keyFile))
        return key;
    if (!create)
        return std::nullopt;
    Key key {};
    if (!randomBytes(key))
        return std::nullopt;
    if (!FileSystem::createDirectories(keyFile.parent_path(), 0700)
        || !FileSystem::writeFileAtomically(keyFile, key, 0600)) {
        Log::line("Credential key not stored at " + keyFile.string());
        OPENSSL_cleanse(key.data(), key.size());
        return std::nullopt;
    }
    return key;
}

std::string CredentialProtection::seal(std::string_view password, const std::filesystem::path& keyFile)
{
    if (auto key = installationKey(keyFile, true)) {
        std::array<std::uint8_t, cc_crypto::kBlockSize> iv {};
        if (randomBytes(iv)) {
            cc_crypto cipher(cc_crypto::kCCEncrypt, *key, iv);
            OPENSSL_cleanse(key->data(), key->size());
            if (auto sealed = cipher.CCCrypto(bytesOf(password))) {
                Bytes stored(iv.begin(), iv.end());
                stored.insert(stored.end(), sealed->begin(), sealed->end());
                return kInstallationKeyMarker + APBase64Converter::base64forData(stored);
            }
            return {};
        }
        OPENSSL_cleanse(key->data(), key->size());
    }
    cc_crypto cipher(cc_crypto::kCCEncrypt, kSharedKey, kSharedKey);
    auto sealed = cipher.CCCrypto(bytesOf(password));
    return sealed ? APBase64Converter::base64forData(*sealed) : std::string();
}

std::optional<std::string> CredentialProtection::unseal(std::string_view stored, const std::filesystem::path& keyFile)
{
    if (!stored.empty() && stored.front() == kInstallationKeyMarker) {
        Bytes bytes = APBase64Converter::base64DataFromString(stored.substr(1));
        // The vector and at least one block of cipher text.
        if (bytes.size() < 2 * cc_crypto::kBlockSize)
            return std::nullopt;
        auto key = installationKey(keyFile, false);
        if (!key)
            return std::nullopt;
        std::span<const std::uint8_t, cc_crypto::kBlockSize> iv(bytes.data(), cc_crypto::kBlockSize);
        cc_crypto cipher(cc_crypto::kCCDecrypt, *key, iv);
        OPENSSL_cleanse(key->data(), key->size());
        return utf8Text(cipher.CCCrypto(std::span<const std::uint8_t>(bytes).subspan(cc_crypto::kBlockSize)));
    }
    const Bytes bytes = APBase64Converter::base64DataFromString(stored);
    cc_crypto cipher(cc_crypto::kCCDecrypt, kSharedKey, kSharedKey);
    return utf8Text(cipher.CCCrypto(bytes));
}

bool CredentialProtection::isSharedKeyForm(std::string_view stored)
{
    return !stored.empty() && stored.front() != kInstallationKeyMarker;
}

} // namespace norvane
