#include "cli/ConnectionDiagnosis.h"

#include "app/state/ConfigInfo.h"

namespace norvane::cli {

namespace {

// Long enough for a handshake across the world, short enough for a command that already failed.
constexpr double kProbeTimeOutSeconds = 10;

// Some proxies answer a refused Basic authentication with 401 instead of 407.
bool isCredentialRefusal(long status)
{
    return status == 407 || status == 401;
}

} // namespace

ConnectionDiagnosis ConnectionDiagnosis::of(const ConfigInfo& settings, const std::string& host, int port)
{
    ServerCertificateProbe::Target target;
    target.host = host;
    target.port = port;
    if (settings.useProxy() != 0) {
        target.proxyHost = settings.proxyIP();
        target.proxyPort = static_cast<int>(settings.proxyPort());
        target.proxyUser = settings.proxyUser();
        target.proxyPassword = settings.proxyPass();
    }
    target.timeOutSeconds = kProbeTimeOutSeconds;
    const auto outcome = ServerCertificateProbe::probe(target);

    ConnectionDiagnosis diagnosis;
    if (outcome.error) {
        // The probe asks the proxy for a tunnel, which a plain-http request does not: only a
        // refusal of the credentials says the same about both.
        if (outcome.error->code == ProbeProxyRefused) {
            auto status = outcome.error->userInfo.find("proxyStatus");
            diagnosis.proxyStatus = status == outcome.error->userInfo.end() ? 0 : status->second.toInt64();
            if (isCredentialRefusal(diagnosis.proxyStatus) || settings.useHttps() != 0)
                diagnosis.cause = Cause::ProxyRefused;
        }
        return diagnosis;
    }
    if (settings.useHttps() == 0)
        return diagnosis;
    const std::string pin = settings.pinnedPublicKey(host, port);
    const auto& certificate = *outcome.certificate;
    if (!pin.empty()) {
        if (pin != certificate.publicKeyPin && "sha256//" + pin != certificate.publicKeyPin) {
            diagnosis.cause = Cause::KeyNotTrusted;
            diagnosis.trustedPin = pin;
            diagnosis.certificate = certificate;
        }
    } else if (!certificate.trustedBySystem) {
        diagnosis.cause = Cause::UntrustedCertificate;
        diagnosis.certificate = certificate;
    }
    return diagnosis;
}

} // namespace norvane::cli
