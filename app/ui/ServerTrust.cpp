#include "app/ui/ServerTrust.h"

#include "CloudServiceSDKForMac/ASIHTTP/ServerCertificateProbe.h"
#include "app/state/AppDataManager.h"
#include "app/ui/Icons.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/DispatchQueue.h"
#include "platform/MainQueue.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace norvane {

namespace {

std::string barePin(std::string_view pin)
{
    constexpr std::string_view prefix = "sha256//";
    return std::string(pin.substr(0, prefix.size()) == prefix ? pin.substr(prefix.size()) : pin);
}

QLabel* valueLabel(const std::string& text, const char* objectName, QWidget* parent)
{
    auto* label = new QLabel(QString::fromStdString(text), parent);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    label->setMinimumWidth(label->fontMetrics().averageCharWidth() * 52);
    return label;
}

} // namespace

TrustPrompt::TrustPrompt(const std::string& server, const PresentedCertificate& certificate, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("trustPrompt"));
    setWindowTitle(displayName());
    setAccessibleName(uiText("ui_trust_title"));
    setWindowModality(Qt::ApplicationModal);

    auto* icon = new QLabel(this);
    icon->setPixmap(Icons::icon(Icons::Name::Caution).pixmap(40, 40));
    auto* title = new QLabel(uiText("ui_trust_title"), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    title->setWordWrap(true);
    auto* explanation = new QLabel(uiFormat("ui_trust_explanation", { QString::fromStdString(server) }), this);
    explanation->setObjectName(QStringLiteral("trustExplanation"));
    explanation->setWordWrap(true);
    auto* texts = new QVBoxLayout;
    texts->addWidget(title);
    texts->addWidget(explanation);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(texts, 1);

    auto* details = new QFormLayout;
    details->addRow(uiText("ui_trust_subject"), valueLabel(certificate.subject, "trustSubject", this));
    details->addRow(uiText("ui_trust_issuer"), valueLabel(certificate.issuer, "trustIssuer", this));
    details->addRow(uiText("ui_trust_valid_from"), valueLabel(certificate.validFrom, "trustValidFrom", this));
    details->addRow(uiText("ui_trust_valid_until"), valueLabel(certificate.validUntil, "trustValidUntil", this));
    QLabel* pin = valueLabel("sha256//" + barePin(certificate.publicKeyPin), "trustPin", this);
    pin->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    details->addRow(uiText("ui_trust_key_pin"), pin);
    if (!certificate.untrustedReason.empty())
        details->addRow(uiText("ui_trust_reason"), valueLabel(certificate.untrustedReason, "trustReason", this));

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* trust = buttons->addButton(uiText("ui_trust_accept"), QDialogButtonBox::AcceptRole);
    trust->setObjectName(QStringLiteral("trustAccept"));
    trust->setAccessibleName(trust->text());
    QPushButton* decline = buttons->addButton(uiText("alert_cancel"), QDialogButtonBox::RejectRole);
    decline->setObjectName(QStringLiteral("trustDecline"));
    decline->setAccessibleName(decline->text());
    // Trusting a key is the step that needs thought: Return does not take it.
    decline->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(details);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

CertificateProbe engineCertificateProbe(std::shared_ptr<AppDataManager> manager)
{
    return [manager = std::move(manager)](const std::string& host, int port) -> std::optional<PresentedCertificate> {
        const ConfigInfo& config = manager->configDefine();
        ServerCertificateProbe::Target target;
        target.host = host;
        target.port = port;
        if (config.useProxy() != 0) {
            target.proxyHost = config.proxyIP();
            target.proxyPort = static_cast<int>(config.proxyPort());
            target.proxyUser = config.proxyUser();
            target.proxyPassword = config.proxyPass();
        }
        const ServerCertificateProbe::Outcome outcome = ServerCertificateProbe::probe(target);
        if (!outcome.certificate)
            return std::nullopt;
        const ServerCertificate& found = *outcome.certificate;
        PresentedCertificate shown;
        shown.publicKeyPin = found.publicKeyPin;
        shown.subject = found.subject;
        shown.issuer = found.issuer;
        shown.validFrom = certificateDateText(found.notBefore);
        shown.validUntil = certificateDateText(found.notAfter);
        shown.trustedBySystem = found.trustedBySystem;
        shown.untrustedReason = found.untrustedReason;
        return shown;
    };
}

ServerTrust::ServerTrust(std::shared_ptr<AppDataManager> manager, CertificateProbe probe)
    : manager_(std::move(manager))
    , probe_(std::move(probe))
{ }

void ServerTrust::check(QWidget* parent, std::function<void(Outcome)> done)
{
    ConfigInfo& config = manager_->configDefine();
    const std::string host = config.serverIP();
    const std::int64_t port = config.serverPort();
    if (config.useHttps() == 0 || !probe_ || !ConfigInfo::serverAddress(host, port)) {
        done(Outcome::NotApplicable);
        return;
    }
    QPointer<QWidget> guard(parent);
    DispatchQueue::global().async([this, probe = probe_, host, port, guard, done = std::move(done)] {
        std::optional<PresentedCertificate> certificate = probe(host, static_cast<int>(port));
        MainQueue::shared()->post([this, host, port, guard, done, certificate = std::move(certificate)] {
            if (!guard)
                return;
            ConfigInfo& settings = manager_->configDefine();
            const std::string kept = barePin(settings.pinnedPublicKey(host, port));
            if (!certificate || certificate->trustedBySystem
                || (!kept.empty() && kept == barePin(certificate->publicKeyPin))) {
                done(Outcome::NotApplicable);
                return;
            }
            auto* prompt = new TrustPrompt(*ConfigInfo::serverAddress(host, port), *certificate, guard);
            prompt->setAttribute(Qt::WA_DeleteOnClose);
            prompt_ = prompt;
            QObject::connect(prompt, &QDialog::finished, prompt,
                [this, host, port, done, pin = certificate->publicKeyPin](int answer) {
                    if (answer != QDialog::Accepted) {
                        done(Outcome::Declined);
                        return;
                    }
                    ConfigInfo& trusted = manager_->configDefine();
                    const std::string full = "sha256//" + barePin(pin);
                    trusted.setPinnedPublicKey(host, port, full);
                    if (!trusted.loginServerIP().empty())
                        trusted.setPinnedPublicKey(trusted.loginServerIP(), trusted.loginServerPort(), full);
                    saveSettingsLater(trusted);
                    done(Outcome::Trusted);
                });
            prompt->open();
        });
    });
}

} // namespace norvane
