#include "formats/MD5DigestString.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace norvane {

namespace {

// OpenSSL sets itself up on first use. Done by a worker thread of the background pool, which may
// end later, the per-thread error state made while it reads its configuration is never given back;
// setting it up while the process starts keeps that on the main thread.
[[maybe_unused]] const bool opensslReady = OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1;

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;

std::string toHex(const unsigned char* digest, unsigned length)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned i = 0; i < length; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 0x0f];
    }
    return out;
}

std::optional<std::string> finish(EVP_MD_CTX* context)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1)
        return std::nullopt;
    return toHex(digest, length);
}

} // namespace

struct MD5Digest::Impl {
    Context context { EVP_MD_CTX_new() };
    bool ok = false;
};

MD5Digest::MD5Digest()
    : impl_(std::make_unique<Impl>())
{
    impl_->ok = impl_->context && EVP_DigestInit_ex(impl_->context.get(), EVP_md5(), nullptr) == 1;
}

MD5Digest::~MD5Digest() = default;
MD5Digest::MD5Digest(MD5Digest&&) noexcept = default;
MD5Digest& MD5Digest::operator=(MD5Digest&&) noexcept = default;

void MD5Digest::update(std::span<const std::uint8_t> bytes)
{
    if (!impl_ || !impl_->ok || bytes.empty())
        return;
    if (EVP_DigestUpdate(impl_->context.get(), bytes.data(), bytes.size()) != 1)
        impl_->ok = false;
}

void MD5Digest::update(std::string_view bytes)
{
    update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::string> MD5Digest::hexDigest() const
{
    if (!impl_ || !impl_->ok)
        return std::nullopt;
    // Finish a copy, so that the running context stays open for more data.
    Context copy { EVP_MD_CTX_new() };
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), impl_->context.get()) != 1)
        return std::nullopt;
    return finish(copy.get());
}

std::optional<std::string> MD5DigestString(std::span<const std::uint8_t> bytes)
{
    MD5Digest digest;
    digest.update(bytes);
    return digest.hexDigest();
}

std::optional<std::string> MD5DigestString(std::string_view asciiText)
{
    for (char c : asciiText) {
        if (static_cast<unsigned char>(c) > 0x7f)
            return std::nullopt;
    }
    MD5Digest digest;
    digest.update(asciiText);
    return digest.hexDigest();
}

std::optional<std::string> MD5DigestOfFile(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    MD5Digest digest;
    std::vector<std::uint8_t> chunk(1 << 20);
    bool failed = false;
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            failed = true;
            break;
        }
        if (got == 0)
            break;
        digest.update(std::span(chunk.data(), static_cast<std::size_t>(got)));
    }
    ::close(fd);
    if (failed)
        return std::nullopt;
    return digest.hexDigest();
}

} // namespace norvane
