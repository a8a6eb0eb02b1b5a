#pragma once

#include "platform/ErrorValue.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

inline constexpr const char* kServerCertificateProbeErrorDomain = "ServerCertificateProbeErrorDomain";

// Why a probe brought back no certificate (domain "ServerCertificateProbeErrorDomain"). The
// error's userInfo holds "underlyingError" (curl's domain, code and text) where curl failed, and
// "proxyStatus" (the status the proxy answered the tunnel with) for ProbeProxyRefused.
enum ServerCertificateProbeError : long {
    ProbeBadAddress = 1, // host or port unusable
    ProbeNoProxyInformation = 2, // the proxy settings or their script could not be read
    ProbeConnectFailed = 3, // name not resolved, connection refused or reset
    ProbeProxyRefused = 4, // the proxy answered the tunnel with an error status (407: credentials)
    ProbeNoTLS = 5, // something answered, but no TLS handshake came about (a plain-http port)
    ProbeTimedOut = 6,
    ProbeInternalError = 7,
};

// What a server presents in its TLS handshake.
struct ServerCertificate {
    // SHA-256 over the DER SubjectPublicKeyInfo, base64: the form ConfigInfo::isPublicKeyPin
    // accepts and the engine pins ("sha256//<base64>").
    std::string publicKeyPin;
    // One-line distinguished names (RFC 2253).
    std::string subject;
    std::string issuer;
    std::chrono::system_clock::time_point notBefore;
    std::chrono::system_clock::time_point notAfter;
    // Whether the system's certificate authorities vouch for it under the probed host name, and
    // when not, the verifier's reason ("self-signed certificate", "certificate has expired", ...).
    bool trustedBySystem = false;
    std::string untrustedReason;

    // Key pin, names and validity of a certificate in PEM (trustedBySystem left false); none
    // when it cannot be read.
    static std::optional<ServerCertificate> fromPEM(std::string_view pem);
};

// Fetches the certificate of an https server as the engine reaches it: directly, or through the
// same proxy choice (explicit proxy with its Basic credentials, else the auto-configuration
// script, else the system settings). Nothing is sent inside the tunnel: the handshake is the
// whole exchange. Blocking; run it off the main thread.
class ServerCertificateProbe {
public:
    struct Target {
        std::string host;
        int port = 443;
        // As ASIHTTPRequest takes them: a host with a port is used as is; neither means the
        // script at pacURL or the system's settings.
        std::string proxyHost;
        int proxyPort = 0;
        std::string proxyUser;
        std::string proxyPassword;
        std::string pacURL;
        double timeOutSeconds = 20;
    };

    struct Outcome {
        std::optional<ServerCertificate> certificate;
        std::optional<ErrorValue> error; // set exactly when certificate is not
    };

    static Outcome probe(const Target& target);
};

// "2025-01-31 23:59:59 UTC".
std::string certificateDateText(std::chrono::system_clock::time_point when);

} // namespace norvane
