// The sign-in of every command, and what a failed one tells.

#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "cli/CliSession.h"
#include "cli/ConnectionDiagnosis.h"
#include "cli/LocalisedText.h"
#include "platform/AlertPresenter.h"

namespace norvane::cli {

namespace {

nlohmann::json certificateJson(const ServerCertificate& certificate)
{
    return {
        { "pin", certificate.publicKeyPin },
        { "subject", certificate.subject },
        { "issuer", certificate.issuer },
        { "notBefore", certificateDateText(certificate.notBefore) },
        { "notAfter", certificateDateText(certificate.notAfter) },
        { "trustedBySystem", certificate.trustedBySystem },
        { "untrustedReason", certificate.untrustedReason },
    };
}

// What a person needs to decide whether to trust the key, and the command that does it.
std::string certificateDetail(const ServerCertificate& certificate)
{
    return "\n"
        + localisedFormat("custom_server_certificate_details",
            { certificate.subject, certificate.issuer, certificateDateText(certificate.notBefore),
                certificateDateText(certificate.notAfter), certificate.publicKeyPin })
        + "\n" + localisedFormat("custom_trust_key_hint", { certificate.publicKeyPin });
}

} // namespace

Outcome CliSession::signIn()
{
    ConfigInfo& settings = config();
    if (settings.serverIP().empty()) {
        AlertPresenter::shared()->show("", "message_server_not_configured");
        return { ExitStatus::kNotSetUp, 0, {}, {} };
    }
    if (settings.companyCode().empty() || settings.userName().empty() || settings.userPass().empty()) {
        AlertPresenter::shared()->show("", "message_sign_in_first");
        return { ExitStatus::kNotSetUp, 0, {}, {} };
    }
    const std::int32_t result
        = run([](std::function<void(std::int32_t)> done) { StorageServiceLogic::commonLogin(false, std::move(done)); });
    return result == ResultSuccess ? Outcome::ofResult(result) : explainSignInFailure(result);
}

Outcome CliSession::explainSignInFailure(std::int32_t result)
{
    auto alerts = AlertPresenter::shared();
    ConfigInfo& settings = config();
    // The server at host:port was not reached, or not understood: the proxy or the certificate
    // may be why. Nothing when neither is.
    const auto unreached = [&](const std::string& host, std::int64_t port) -> std::optional<Outcome> {
        if (host.empty())
            return std::nullopt;
        const auto diagnosis = ConnectionDiagnosis::of(settings, host, static_cast<int>(port));
        switch (diagnosis.cause) {
        case ConnectionDiagnosis::Cause::Unknown:
            return std::nullopt;
        case ConnectionDiagnosis::Cause::ProxyRefused:
            alerts->show("title_proxy_error",
                localisedFormat("custom_proxy_refused", { std::to_string(diagnosis.proxyStatus) }));
            return Outcome::because(ExitStatus::kProxyRefused, result, "proxy-refused");
        case ConnectionDiagnosis::Cause::UntrustedCertificate:
            reporter_.result()["certificate"] = certificateJson(*diagnosis.certificate);
            alerts->show("title_server_certificate_untrusted",
                localisedFormat("custom_server_certificate_untrusted", { diagnosis.certificate->untrustedReason }),
                certificateDetail(*diagnosis.certificate));
            return Outcome::because(ExitStatus::kUntrustedServer, result, "untrusted-certificate");
        case ConnectionDiagnosis::Cause::KeyNotTrusted:
            reporter_.result()["certificate"] = certificateJson(*diagnosis.certificate);
            reporter_.result()["certificate"]["trustedPin"] = diagnosis.trustedPin;
            alerts->show("title_server_certificate_untrusted",
                localisedFormat("custom_server_key_not_trusted", { diagnosis.trustedPin }),
                certificateDetail(*diagnosis.certificate));
            return Outcome::because(ExitStatus::kUntrustedServer, result, "untrusted-key");
        }
        return std::nullopt;
    };

    switch (result) {
    case ResultSuccess:
    case ResultCancelled:
        break;
    case ResultUnreachable:
        alerts->show("Network Error", "Can't connect to network.");
        break;
    case ResultConnectFailed:
        // The connection probe goes to the storage server.
        if (auto told = unreached(settings.serverIP(), settings.serverPort()))
            return *told;
        alerts->show("title_server_address_setting_error", "message_server_address_setting_error");
        break;
    case ResultDeviceNotAuthorized:
        // The desktop opens the device registration here; the command line says what to do.
        if (settings.deviceID().empty())
            alerts->show("", "message_device_id_missing");
        else
            alerts->show("", localisedFormat("custom_device_not_registered", { settings.deviceID() }));
        return Outcome::because(ExitStatus::forResult(result), result, "device-not-registered");
    case ResultAccountSuspended:
        alerts->show("", "message_account_suspended");
        return Outcome::because(ExitStatus::forResult(result), result, "account-suspended");
    case ResultInvalidArgument:
        // The login server's answer to an unknown company or user or a wrong password.
        alerts->show("", "message_login_wrong_credentials");
        return Outcome::because(ExitStatus::kWrongCredentials, result, "wrong-credentials");
    case ResultBadRequest:
        // Refused without a code this client knows: the account may not sign in here.
        alerts->show("", "message_sign_in_refused");
        return Outcome::because(ExitStatus::kNoPermission, result, "no-permission");
    default:
        // The login request itself failed (the storage server answered): the login server may
        // be behind another proxy refusal or certificate.
        if (settings.loginServerIP() != settings.serverIP() || settings.loginServerPort() != settings.serverPort())
            if (auto told = unreached(settings.loginServerIP(), settings.loginServerPort()))
                return *told;
        alerts->show("alert", "message_login_failed");
        break;
    }
    return Outcome::ofResult(result);
}

} // namespace norvane::cli
