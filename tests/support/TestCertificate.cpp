#include "support/TestCertificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <vector>

namespace norvane::test {

namespace {

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

std::string opensslFailure(const char* step)
{
    std::string text = step;
    unsigned long code = ERR_get_error();
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += ": ";
        text += buffer;
    }
    ERR_clear_error();
    return text;
}

std::string bioText(BIO* bio)
{
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 && data != nullptr ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

bool addExtension(X509* cert, X509V3_CTX* context, int nid, const char* value)
{
    ExtPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value));
    return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

} // namespace

std::optional<TestCertificate> TestCertificate::generate(std::string* error)
{
    auto fail = [error](const char* step) -> std::optional<TestCertificate> {
        std::string text = opensslFailure(step);
        if (error != nullptr)
            *error = text;
        return std::nullopt;
    };

    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        return fail("generating the EC key");

    CertPtr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1)
        return fail("creating the certificate");

    // A random serial, so that certificates of consecutive runs never look alike to a client cache.
    BnPtr serial(BN_new());
    if (!serial || BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1
        || BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr)
        return fail("setting the serial number");

    if (X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr
        || X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600) == nullptr)
        return fail("setting the validity");
    if (X509_set_pubkey(cert.get(), key.get()) != 1)
        return fail("setting the public key");

    X509_NAME* name = X509_get_subject_name(cert.get());
    auto text = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, text("Norvane test server"), -1, -1, 0) != 1
        || X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text("127.0.0.1"), -1, -1, 0) != 1
        || X509_set_issuer_name(cert.get(), name) != 1)
        return fail("setting the names");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
    // CA:TRUE with keyCertSign lets a client that is handed this very certificate as its trust
    // anchor accept it, which is how tests prove that verification works at all.
    if (!addExtension(cert.get(), &context, NID_basic_constraints, "critical,CA:TRUE")
        || !addExtension(cert.get(), &context, NID_key_usage, "critical,digitalSignature,keyCertSign")
        || !addExtension(cert.get(), &context, NID_ext_key_usage, "serverAuth")
        || !addExtension(cert.get(), &context, NID_subject_key_identifier, "hash")
        || !addExtension(cert.get(), &context, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"))
        return fail("adding the extensions");

    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return fail("signing the certificate");

    TestCertificate result;
    BioPtr certBio(BIO_new(BIO_s_mem()));
    if (!certBio || PEM_write_bio_X509(certBio.get(), cert.get()) != 1)
        return fail("writing the certificate");
    result.certificatePem = bioText(certBio.get());

    BioPtr keyBio(BIO_new(BIO_s_mem()));
    if (!keyBio || PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return fail("writing the private key");
    result.privateKeyPem = bioText(keyBio.get());

    int derLength = i2d_PUBKEY(key.get(), nullptr);
    if (derLength <= 0)
        return fail("encoding the public key");
    std::vector<unsigned char> der(static_cast<std::size_t>(derLength));
    unsigned char* cursor = der.data();
    if (i2d_PUBKEY(key.get(), &cursor) != derLength)
        return fail("encoding the public key");
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der.data(), der.size(), digest);
    unsigned char encoded[4 * ((SHA256_DIGEST_LENGTH + 2) / 3) + 1];
    int encodedLength = EVP_EncodeBlock(encoded, digest, SHA256_DIGEST_LENGTH);
    result.publicKeySha256.assign(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(encodedLength));
    return result;
}

} // namespace norvane::test
