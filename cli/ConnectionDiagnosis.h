#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ServerCertificateProbe.h"

#include <optional>
#include <string>

namespace norvane {
class ConfigInfo;
} // namespace norvane

namespace norvane::cli {

// Why a server could not be reached, when the sign-in only knows that it was not: a proxy that
// refused the connection, or a certificate that is not trusted. Found by fetching the server's
// certificate on the way the requests go (ServerCertificateProbe, the settings' proxy and pins).
struct ConnectionDiagnosis {
    enum class Cause {
        Unknown, // nothing found: the address, the server itself, or the network
        ProxyRefused, // the proxy answered proxyStatus (407: credentials missing or wrong)
        UntrustedCertificate, // no authority vouches for it and no key of it is trusted
        KeyNotTrusted, // a key is trusted for this server, and the server shows another
    };

    Cause cause = Cause::Unknown;
    long proxyStatus = 0;
    std::optional<ServerCertificate> certificate; // for the two certificate causes
    std::string trustedPin; // KeyNotTrusted: the pin that is trusted

    // Looks at the server at host:port as the settings reach it (https or not, its proxy, its
    // trusted key). Blocking; a few seconds at most when nothing answers.
    static ConnectionDiagnosis of(const ConfigInfo& settings, const std::string& host, int port);
};

} // namespace norvane::cli
