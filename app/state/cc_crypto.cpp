#include "app/state/cc_crypto.h"

#include "platform/Log.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

namespace norvane {

namespace {

// Status codes of the cipher steps, only ever logged.
enum CryptorStatus : int {
    kStatusSuccess = 0,
    kStatusParamError = -1,
    kStatusMemoryFailure = -2,
    kStatusDecodeError = -3,
};

struct ContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// The library keeps its failures on a per-thread queue that other users on this thread (the TLS
// of a later request) would read as theirs.
void dropLibraryErrors()
{
    ERR_clear_error();
}

} // namespace

cc_crypto::cc_crypto(
    std::uint32_t op, std::span<const std::uint8_t, kKeySize> key, std::span<const std::uint8_t, kBlockSize> iv)
    : op_(op)
{
    std::copy(key.begin(), key.end(), crypto_key_.begin());
    std::copy(iv.begin(), iv.end(), crypto_iv_.begin());
}

cc_crypto::~cc_crypto()
{
    OPENSSL_cleanse(crypto_key_.data(), crypto_key_.size());
    OPENSSL_cleanse(crypto_iv_.data(), crypto_iv_.size());
}

std::optional<Bytes> cc_crypto::CCCrypto(std::span<const std::uint8_t> input)
{
    std::unique_ptr<EVP_CIPHER_CTX, ContextFree> context;
    int status = kStatusSuccess;
    if ((op_ != kCCEncrypt && op_ != kCCDecrypt) || input.size() > static_cast<std::size_t>(INT_MAX) - kBlockSize) {
        status = kStatusParamError;
    } else {
        context.reset(EVP_CIPHER_CTX_new());
        if (!context)
            status = kStatusMemoryFailure;
        else if (EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, crypto_key_.data(), crypto_iv_.data(),
                     op_ == kCCEncrypt ? 1 : 0)
            != 1)
            status = kStatusParamError;
    }
    Log::line("CCCryptorCreate = " + std::to_string(status));
    if (status != kStatusSuccess) {
        dropLibraryErrors();
        return std::nullopt;
    }

    // Room for the input and one block of padding.
    Bytes out(input.size() + kBlockSize);
    static const std::uint8_t nothing = 0;
    int updated = 0;
    if (EVP_CipherUpdate(context.get(), out.data(), &updated, input.empty() ? &nothing : input.data(),
            static_cast<int>(input.size()))
        != 1) {
        status = kStatusParamError;
        updated = 0;
    }
    Log::line("CCCryptorUpdate = " + std::to_string(status) + ", resultLength = " + std::to_string(updated));

    int finished = 0;
    if (status == kStatusSuccess) {
        if (EVP_CipherFinal_ex(context.get(), out.data() + updated, &finished) != 1) {
            status = kStatusDecodeError;
            finished = 0;
        }
    }
    Log::line("CCCryptorFinal = " + std::to_string(status) + ", resultLength = " + std::to_string(finished));
    if (status != kStatusSuccess) {
        // A refused decryption may have produced plaintext of the blocks before the last.
        OPENSSL_cleanse(out.data(), out.size());
        dropLibraryErrors();
        return std::nullopt;
    }
    // Reported to the log rather than to standard output, which carries the command-line
    // client's machine-readable answers.
    Log::line("success");
    CLen_ = static_cast<std::uint64_t>(updated) + static_cast<std::uint64_t>(finished);
    OPENSSL_cleanse(out.data() + CLen_, out.size() - CLen_);
    out.resize(static_cast<std::size_t>(CLen_));
    return out;
}

} // namespace norvane
