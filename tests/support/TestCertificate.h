#pragma once

#include <optional>
#include <string>

namespace norvane::test {

// A throw-away server identity for TLS tests: a fresh EC P-256 key and a self-signed certificate
// naming 127.0.0.1 and localhost (subject CN and subjectAltName), valid from an hour ago for a day.
struct TestCertificate {
    std::string certificatePem;
    std::string privateKeyPem;
    // Base64 of SHA-256 over the DER SubjectPublicKeyInfo of the key.
    std::string publicKeySha256;

    // The form libcurl's CURLOPT_PINNEDPUBLICKEY accepts: "sha256//<base64>".
    std::string pinnedPublicKey() const { return "sha256//" + publicKeySha256; }

    // Nothing when OpenSSL fails; the reason then goes to *error when given.
    static std::optional<TestCertificate> generate(std::string* error = nullptr);
};

} // namespace norvane::test
