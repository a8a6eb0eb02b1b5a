#pragma once

#include "platform/ErrorValue.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace norvane::server {

// The server's TLS identity: a certificate and key in PEM files, and the public-key pin that
// clients are told on start ("sha256//<base64>", what libcurl's CURLOPT_PINNEDPUBLICKEY takes:
// SHA-256 over the DER SubjectPublicKeyInfo of the certificate's key).

inline constexpr const char* kTlsErrorDomain = "norvane.server.tls";
enum class TlsError : long {
    Io = 1, // a folder or file could not be created, read or written
    BadKey = 2, // the key file is not a readable unencrypted PEM private key
    BadCertificate = 3, // the certificate file is not a readable PEM certificate
    KeyMismatch = 4, // the certificate is not the key's
    Incomplete = 5, // a certificate without its key
    Crypto = 6, // OpenSSL failed making a key or certificate
};

struct TlsMaterial {
    std::filesystem::path certificatePath;
    std::filesystem::path keyPath;
    std::string pin; // "sha256//<base64>"
    bool created = false; // this call made the certificate (and the key, unless one was there)
};

struct TlsMaterialResult {
    TlsMaterial material;
    std::optional<ErrorValue> error;

    bool ok() const { return !error; }
};

struct TlsPinResult {
    std::string pin;
    std::optional<ErrorValue> error;

    bool ok() const { return !error; }
};

// The self-signed identity of a data folder: DIR/tls/key.pem (EC P-256) and DIR/tls/cert.pem
// (X.509 v3, CN localhost, subjectAltName DNS:localhost and IP:127.0.0.1, a random serial, valid
// ten years), files 0600 in a 0700 folder, each written to a temporary file and renamed into
// place. Existing files are reused (and their modes narrowed) after checking that they belong
// together, so the pin stays the same across starts; a key left without its certificate gets a
// new certificate. Unreadable or mismatched files are an error and are left as they are. Starts
// of several processes on the same folder are serialised.
TlsMaterialResult ensureSelfSigned(const std::filesystem::path& dataDir);

// Checks a given certificate and key (--cert/--key): both readable PEM, the certificate the key's.
TlsMaterialResult loadTlsMaterial(const std::filesystem::path& certificatePath, const std::filesystem::path& keyPath);

// The pin of the first certificate in a PEM file, or of PEM text.
TlsPinResult loadPin(const std::filesystem::path& certificatePath);
TlsPinResult pinOfCertificatePem(std::string_view pem);

} // namespace norvane::server
