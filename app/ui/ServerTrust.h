#pragma once

#include <QDialog>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QWidget;

namespace norvane {

class AppDataManager;

// What a server presented in its TLS handshake, as the trust prompt shows it.
struct PresentedCertificate {
    std::string publicKeyPin; // "sha256//<base64>" or the bare base64
    std::string subject;
    std::string issuer;
    std::string validFrom; // readable dates, as the probe writes them
    std::string validUntil;
    bool trustedBySystem = false;
    std::string untrustedReason; // why not, in the verifier's words
};

// Fetches the certificate of host:port the way requests reach it (proxy included). Blocking: it
// runs on a worker. Nothing when no certificate came back (no TLS there, no connection).
using CertificateProbe = std::function<std::optional<PresentedCertificate>(const std::string& host, int port)>;
// The engine's own probe, through the proxy the settings name (or the system's, as requests go).
CertificateProbe engineCertificateProbe(std::shared_ptr<AppDataManager> manager);

// The question shown for a server whose certificate does not validate: who it says it is, who
// signed it, how long it is valid, its key pin, and whether to trust that key from now on.
class TrustPrompt : public QDialog {
    Q_OBJECT
public:
    TrustPrompt(const std::string& server, const PresentedCertificate& certificate, QWidget* parent = nullptr);
};

// Trust on first use: after a login that could not reach an https server, fetches the server's
// certificate on a worker; when it does not validate and its key is not the one kept for the
// server, asks the person. Yes keeps the key's pin for the server (and the login server) in the
// settings, as norvane-cli config --trust-key does; no leaves everything as it was.
class ServerTrust {
public:
    enum class Outcome {
        NotApplicable, // plain http, no certificate, or one that validates or is already trusted
        Trusted,
        Declined,
    };

    ServerTrust(std::shared_ptr<AppDataManager> manager, CertificateProbe probe);

    // `done` comes on the GUI thread, unless `parent` is gone by then.
    void check(QWidget* parent, std::function<void(Outcome)> done);

    // The prompt on screen now; null when none.
    TrustPrompt* prompt() const { return prompt_.data(); }

private:
    std::shared_ptr<AppDataManager> manager_;
    CertificateProbe probe_;
    QPointer<TrustPrompt> prompt_;
};

} // namespace norvane
