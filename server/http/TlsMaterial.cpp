#include "server/http/TlsMaterial.h"

#include "platform/FileSystem.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <span>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace norvane::server {

namespace {

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

constexpr std::uint64_t kMaxPemFile = 1024 * 1024;
constexpr int kValidityDays = 3653; // ten years, leap days included

ErrorValue tlsError(TlsError code, std::string description)
{
    // Whatever OpenSSL queued for this failure is said once and then forgotten, so that it never
    // shows up as the reason of a later, unrelated failure.
    if (const unsigned long queued = ERR_get_error(); queued != 0) {
        char buffer[256];
        ERR_error_string_n(queued, buffer, sizeof buffer);
        description += " (";
        description += buffer;
        description += ")";
    }
    ERR_clear_error();
    return ErrorValue { kTlsErrorDomain, static_cast<long>(code), "TLS: " + std::move(description), {} };
}

ErrorValue systemError(const std::string& what, const std::filesystem::path& path)
{
    const int saved = errno;
    return tlsError(TlsError::Io, what + " " + path.string() + ": " + std::strerror(saved));
}

// An encrypted key would otherwise make OpenSSL ask for a pass phrase on the terminal, which a
// server must never wait for.
int refusePassPhrase(char*, int, int, void*)
{
    return -1;
}

// A PEM file's bytes; nothing (and no error) when it does not exist.
struct PemFile {
    bool exists = false;
    std::string text;
    std::optional<ErrorValue> error;
};

PemFile readPemFile(const std::filesystem::path& path)
{
    PemFile file;
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT)
            file.error = systemError("cannot read", path);
        return file;
    }
    file.exists = true;
    if (!S_ISREG(info.st_mode)) {
        file.error = tlsError(TlsError::Io, path.string() + " is not a regular file");
        return file;
    }
    auto bytes = FileSystem::readFile(path, kMaxPemFile);
    if (!bytes) {
        file.error = tlsError(TlsError::Io, "cannot read " + path.string() + " (unreadable, or larger than 1 MiB)");
        return file;
    }
    file.text.assign(bytes->begin(), bytes->end());
    OPENSSL_cleanse(bytes->data(), bytes->size());
    return file;
}

BioPtr memoryReader(std::string_view text)
{
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return nullptr;
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string memoryText(BIO* bio)
{
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 && data != nullptr ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

KeyPtr parseKey(std::string_view pem)
{
    BioPtr bio = memoryReader(pem);
    return bio ? KeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassPhrase, nullptr)) : nullptr;
}

CertPtr parseCertificate(std::string_view pem)
{
    BioPtr bio = memoryReader(pem);
    return bio ? CertPtr(PEM_read_bio_X509(bio.get(), nullptr, refusePassPhrase, nullptr)) : nullptr;
}

// "sha256//" and the base64 of SHA-256 over the DER SubjectPublicKeyInfo exactly as the
// certificate carries it, which is what a client hashes when it checks the pin.
std::optional<std::string> pinOf(X509* certificate)
{
    X509_PUBKEY* publicKey = X509_get_X509_PUBKEY(certificate);
    const int length = publicKey != nullptr ? i2d_X509_PUBKEY(publicKey, nullptr) : 0;
    if (length <= 0)
        return std::nullopt;
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    if (i2d_X509_PUBKEY(publicKey, &cursor) != length)
        return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int encodedLength = EVP_EncodeBlock(encoded, digest, static_cast<int>(digestLength));
    if (encodedLength <= 0)
        return std::nullopt;
    return "sha256//" + std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(encodedLength));
}

bool addExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value)
{
    ExtPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

std::optional<ErrorValue> makeCertificate(EVP_PKEY* key, CertPtr& out)
{
    CertPtr certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1)
        return tlsError(TlsError::Crypto, "cannot create a certificate");

    // A random positive serial of 159 bits: two certificates made for the same name never share
    // one, which clients that cache by issuer and serial rely on.
    BnPtr serial(BN_new());
    if (!serial || BN_rand(serial.get(), 159, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1
        || (BN_is_zero(serial.get()) && BN_one(serial.get()) != 1)
        || BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) == nullptr)
        return tlsError(TlsError::Crypto, "cannot set the serial number");

    // Valid from an hour ago, so that a client whose clock is slightly behind accepts it at once.
    if (X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) == nullptr
        || X509_time_adj_ex(X509_getm_notAfter(certificate.get()), kValidityDays, 0, nullptr) == nullptr)
        return tlsError(TlsError::Crypto, "cannot set the validity");
    if (X509_set_pubkey(certificate.get(), key) != 1)
        return tlsError(TlsError::Crypto, "cannot set the public key");

    X509_NAME* name = X509_get_subject_name(certificate.get());
    auto text = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, text("norvane-server"), -1, -1, 0) != 1
        || X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text("localhost"), -1, -1, 0) != 1
        || X509_set_issuer_name(certificate.get(), name) != 1)
        return tlsError(TlsError::Crypto, "cannot set the names");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    // CA:TRUE with keyCertSign lets a client that is given this very certificate as its trust
    // anchor (instead of a pin) verify the server with it.
    if (!addExtension(certificate.get(), &context, NID_basic_constraints, "critical,CA:TRUE")
        || !addExtension(certificate.get(), &context, NID_key_usage, "critical,digitalSignature,keyCertSign")
        || !addExtension(certificate.get(), &context, NID_ext_key_usage, "serverAuth")
        || !addExtension(certificate.get(), &context, NID_subject_key_identifier, "hash")
        || !addExtension(certificate.get(), &context, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"))
        return tlsError(TlsError::Crypto, "cannot add the extensions");

    if (X509_sign(certificate.get(), key, EVP_sha256()) <= 0)
        return tlsError(TlsError::Crypto, "cannot sign the certificate");
    out = std::move(certificate);
    return std::nullopt;
}

std::optional<ErrorValue> writePrivate(const std::filesystem::path& path, const std::string& text)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (!FileSystem::writeFileAtomically(path, std::span(bytes, text.size()), 0600))
        return tlsError(TlsError::Io, "cannot write " + path.string());
    return std::nullopt;
}

std::optional<ErrorValue> writeKey(const std::filesystem::path& path, EVP_PKEY* key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return tlsError(TlsError::Crypto, "cannot encode the private key");
    std::string text = memoryText(bio.get());
    auto error = writePrivate(path, text);
    OPENSSL_cleanse(text.data(), text.size());
    return error;
}

std::optional<ErrorValue> writeCertificate(const std::filesystem::path& path, X509* certificate)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1)
        return tlsError(TlsError::Crypto, "cannot encode the certificate");
    return writePrivate(path, memoryText(bio.get()));
}

// Takes group and other permissions away from a file or folder that has any.
std::optional<ErrorValue> narrowMode(const std::filesystem::path& path)
{
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0)
        return systemError("cannot inspect", path);
    if ((info.st_mode & 077) != 0 && ::chmod(path.c_str(), info.st_mode & 0700) != 0)
        return systemError("cannot restrict the permissions of", path);
    return std::nullopt;
}

std::optional<ErrorValue> keyFromPem(const PemFile& file, const std::filesystem::path& path, KeyPtr& out)
{
    out = parseKey(file.text);
    if (!out)
        return tlsError(TlsError::BadKey, path.string() + " holds no usable unencrypted PEM private key");
    return std::nullopt;
}

std::optional<ErrorValue> certificateFromPem(const PemFile& file, const std::filesystem::path& path, CertPtr& out)
{
    out = parseCertificate(file.text);
    if (!out)
        return tlsError(TlsError::BadCertificate, path.string() + " holds no readable PEM certificate");
    return std::nullopt;
}

std::optional<ErrorValue> checkPair(X509* certificate, EVP_PKEY* key, const std::filesystem::path& certificatePath)
{
    if (X509_check_private_key(certificate, key) != 1)
        return tlsError(TlsError::KeyMismatch, certificatePath.string() + " is not the certificate of this key");
    return std::nullopt;
}

TlsMaterialResult failed(ErrorValue error)
{
    TlsMaterialResult result;
    result.error = std::move(error);
    return result;
}

// Holds an exclusive lock on a folder while a start makes or reads its identity.
class FolderLock {
public:
    explicit FolderLock(const std::filesystem::path& folder)
        : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd_ < 0)
            return;
        int result;
        do
            result = ::flock(fd_, LOCK_EX);
        while (result != 0 && errno == EINTR);
        locked_ = result == 0;
    }
    ~FolderLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // also releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool locked() const { return locked_; }

private:
    int fd_;
    bool locked_ = false;
};

} // namespace

TlsMaterialResult ensureSelfSigned(const std::filesystem::path& dataDir)
{
    const std::filesystem::path folder = dataDir / "tls";
    if (!FileSystem::createDirectories(folder, 0700))
        return failed(systemError("cannot create the folder", folder));
    // An existing folder keeps its mode through createDirectories; the key must not be listed or
    // reached by anyone else.
    if (::chmod(folder.c_str(), 0700) != 0)
        return failed(systemError("cannot restrict the permissions of", folder));
    FolderLock lock(folder);
    if (!lock.locked())
        return failed(systemError("cannot lock", folder));

    TlsMaterialResult result;
    result.material.certificatePath = folder / "cert.pem";
    result.material.keyPath = folder / "key.pem";
    const auto& certificatePath = result.material.certificatePath;
    const auto& keyPath = result.material.keyPath;

    PemFile keyFile = readPemFile(keyPath);
    if (keyFile.error)
        return failed(std::move(*keyFile.error));
    PemFile certificateFile = readPemFile(certificatePath);
    if (certificateFile.error)
        return failed(std::move(*certificateFile.error));
    if (certificateFile.exists && !keyFile.exists)
        return failed(tlsError(TlsError::Incomplete,
            certificatePath.string() + " has no key beside it; remove it to have a new certificate and key made"));

    KeyPtr key;
    if (keyFile.exists) {
        auto error = keyFromPem(keyFile, keyPath, key);
        OPENSSL_cleanse(keyFile.text.data(), keyFile.text.size());
        if (!error)
            error = narrowMode(keyPath);
        if (error)
            return failed(std::move(*error));
    } else {
        key.reset(EVP_EC_gen("P-256"));
        if (!key)
            return failed(tlsError(TlsError::Crypto, "cannot generate an EC P-256 key"));
        // The key goes first: a crash before the certificate is written leaves a key that the next
        // start completes, never a certificate without its key.
        if (auto error = writeKey(keyPath, key.get()))
            return failed(std::move(*error));
        result.material.created = true;
    }

    CertPtr certificate;
    if (certificateFile.exists) {
        auto error = certificateFromPem(certificateFile, certificatePath, certificate);
        if (!error)
            error = checkPair(certificate.get(), key.get(), certificatePath);
        if (!error)
            error = narrowMode(certificatePath);
        if (error)
            return failed(std::move(*error));
    } else {
        auto error = makeCertificate(key.get(), certificate);
        if (!error)
            error = writeCertificate(certificatePath, certificate.get());
        if (error)
            return failed(std::move(*error));
        result.material.created = true;
    }

    auto pin = pinOf(certificate.get());
    if (!pin)
        return failed(
            tlsError(TlsError::BadCertificate, "cannot encode the public key of " + certificatePath.string()));
    result.material.pin = std::move(*pin);
    return result;
}

TlsMaterialResult loadTlsMaterial(const std::filesystem::path& certificatePath, const std::filesystem::path& keyPath)
{
    PemFile keyFile = readPemFile(keyPath);
    if (!keyFile.error && !keyFile.exists)
        keyFile.error = tlsError(TlsError::Io, "the key file " + keyPath.string() + " does not exist");
    if (keyFile.error)
        return failed(std::move(*keyFile.error));
    PemFile certificateFile = readPemFile(certificatePath);
    if (!certificateFile.error && !certificateFile.exists)
        certificateFile.error
            = tlsError(TlsError::Io, "the certificate file " + certificatePath.string() + " does not exist");
    if (certificateFile.error)
        return failed(std::move(*certificateFile.error));

    KeyPtr key;
    auto error = keyFromPem(keyFile, keyPath, key);
    OPENSSL_cleanse(keyFile.text.data(), keyFile.text.size());
    CertPtr certificate;
    if (!error)
        error = certificateFromPem(certificateFile, certificatePath, certificate);
    if (!error)
        error = checkPair(certificate.get(), key.get(), certificatePath);
    if (error)
        return failed(std::move(*error));
    auto pin = pinOf(certificate.get());
    if (!pin)
        return failed(
            tlsError(TlsError::BadCertificate, "cannot encode the public key of " + certificatePath.string()));

    TlsMaterialResult result;
    result.material.certificatePath = certificatePath;
    result.material.keyPath = keyPath;
    result.material.pin = std::move(*pin);
    return result;
}

TlsPinResult loadPin(const std::filesystem::path& certificatePath)
{
    TlsPinResult result;
    PemFile file = readPemFile(certificatePath);
    if (!file.error && !file.exists)
        file.error = tlsError(TlsError::Io, "the certificate file " + certificatePath.string() + " does not exist");
    if (file.error) {
        result.error = std::move(file.error);
        return result;
    }
    result = pinOfCertificatePem(file.text);
    if (result.error)
        result.error->description += " (in " + certificatePath.string() + ")";
    return result;
}

TlsPinResult pinOfCertificatePem(std::string_view pem)
{
    TlsPinResult result;
    CertPtr certificate = parseCertificate(pem);
    if (!certificate) {
        result.error = tlsError(TlsError::BadCertificate, "no readable PEM certificate");
        return result;
    }
    auto pin = pinOf(certificate.get());
    if (!pin) {
        result.error = tlsError(TlsError::BadCertificate, "cannot encode the public key of the certificate");
        return result;
    }
    result.pin = std::move(*pin);
    return result;
}

} // namespace norvane::server
