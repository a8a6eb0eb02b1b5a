#include "app/ui/NetworkFields.h"

#include "app/state/ConfigInfo.h"
#include "app/state/TextReading.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/DispatchQueue.h"
#include "platform/MainQueue.h"

#include <QButtonGroup>
#include <QFormLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

namespace norvane {

namespace {

QLineEdit* makeField(const char* objectName, std::string_view accessibleKey, QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(QString::fromLatin1(objectName));
    field->setAccessibleName(uiText(accessibleKey));
    return field;
}

QLineEdit* makePortField(const char* objectName, std::string_view accessibleKey, QWidget* parent)
{
    QLineEdit* field = makeField(objectName, accessibleKey, parent);
    field->setMaxLength(5);
    field->setMaximumWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 16);
    return field;
}

std::int64_t portValue(const QLineEdit* field)
{
    return TextReading::integerValue(field->text().toStdString());
}

QString portText(std::int64_t port)
{
    return QString::number(port);
}

} // namespace

ServerSettingsFields::ServerSettingsFields(QWidget* parent)
    : QObject(parent)
{
    auto makeBox = [&](const char* name, std::string_view titleKey, QLineEdit*& address, QLineEdit*& port,
                       const char* addressName, const char* portName) {
        auto* box = new QGroupBox(uiText(titleKey), parent);
        box->setObjectName(QString::fromLatin1(name));
        auto* form = new QFormLayout(box);
        address = makeField(addressName, "ui_server_address", box);
        port = makePortField(portName, "ui_server_port", box);
        form->addRow(uiText("ui_server_address"), address);
        form->addRow(uiText("ui_server_port"), port);
        box->setVisible(kShowServerSettings);
        return box;
    };
    serverBox_
        = makeBox("serverSetting", "ui_storage_server", serverAddress_, serverPort_, "serverAddress", "serverPort");
    loginServerBox_ = makeBox("loginServerSetting", "ui_login_server", loginServerAddress_, loginServerPort_,
        "loginServerAddress", "loginServerPort");
}

QList<QLineEdit*> ServerSettingsFields::lineEdits() const
{
    return { serverAddress_, serverPort_, loginServerAddress_, loginServerPort_ };
}

void ServerSettingsFields::fill(const ConfigInfo& config)
{
    serverAddress_->setText(QString::fromStdString(config.serverIP()));
    serverPort_->setText(portText(config.serverPort()));
    loginServerAddress_->setText(QString::fromStdString(config.loginServerIP()));
    loginServerPort_->setText(portText(config.loginServerPort()));
}

void ServerSettingsFields::store(ConfigInfo& config) const
{
    config.setServerIP(serverAddress_->text().toStdString());
    config.setServerPort(portValue(serverPort_));
    config.setLoginServerIP(loginServerAddress_->text().toStdString());
    config.setLoginServerPort(portValue(loginServerPort_));
}

ProxySettingsFields::ProxySettingsFields(QWidget* parent)
    : QObject(parent)
{
    choiceBox_ = new QGroupBox(uiText("ui_proxy_choice"), parent);
    choiceBox_->setObjectName(QStringLiteral("useProxySetting"));
    auto* choiceLayout = new QVBoxLayout(choiceBox_);
    rows_ = new QButtonGroup(this);
    const char* rowKeys[] = { "ui_proxy_none", "ui_proxy_manual", "ui_proxy_system" };
    for (int row = 0; row < 3; ++row) {
        auto* button = new QRadioButton(uiText(rowKeys[row]), choiceBox_);
        button->setObjectName(QStringLiteral("useProxy%1").arg(row));
        button->setAccessibleName(button->text());
        rows_->addButton(button, row);
        choiceLayout->addWidget(button);
    }

    serverBox_ = new QGroupBox(uiText("ui_proxy_server"), parent);
    serverBox_->setObjectName(QStringLiteral("proxyServerSetting"));
    auto* form = new QFormLayout(serverBox_);
    address_ = makeField("proxyServerAddress", "ui_proxy_address", serverBox_);
    port_ = makePortField("proxyServerPort", "ui_proxy_port", serverBox_);
    user_ = makeField("proxyUserName", "ui_proxy_user", serverBox_);
    password_ = makeField("proxyUserPass", "ui_proxy_password", serverBox_);
    password_->setEchoMode(QLineEdit::Password);
    form->addRow(uiText("ui_proxy_address"), address_);
    form->addRow(uiText("ui_proxy_port"), port_);
    form->addRow(uiText("ui_proxy_user"), user_);
    form->addRow(uiText("ui_proxy_password"), password_);

    connect(rows_, &QButtonGroup::idClicked, this, &ProxySettingsFields::changeProxySetting);
    setRow(NoProxy);
}

QList<QLineEdit*> ProxySettingsFields::lineEdits() const
{
    return { address_, port_, user_, password_ };
}

QRadioButton* ProxySettingsFields::rowButton(int row) const
{
    return qobject_cast<QRadioButton*>(rows_->button(row));
}

int ProxySettingsFields::row() const
{
    const int checked = rows_->checkedId();
    return checked < 0 ? NoProxy : checked;
}

void ProxySettingsFields::setRow(int row)
{
    if (auto* button = rows_->button(row))
        button->setChecked(true);
    changeProxySetting(row);
}

void ProxySettingsFields::changeProxySetting(int row)
{
    const bool manual = row == ManualProxy;
    for (QLineEdit* field : lineEdits()) {
        field->setEnabled(manual);
        if (!manual)
            field->clear();
    }
}

void ProxySettingsFields::fill(const ConfigInfo& config)
{
    if (config.useProxy() != 0) {
        setRow(ManualProxy);
        address_->setText(QString::fromStdString(config.proxyIP()));
        port_->setText(portText(config.proxyPort()));
        user_->setText(QString::fromStdString(config.proxyUser()));
        password_->setText(QString::fromStdString(config.proxyPass()));
    } else {
        setRow(NoProxy);
    }
}

void ProxySettingsFields::store(ConfigInfo& config, const DetectedProxy& system) const
{
    const int chosen = row();
    config.setUseProxy(chosen != NoProxy ? 1 : 0);
    switch (chosen) {
    case ManualProxy:
        config.setProxyIP(address_->text().toStdString());
        config.setProxyPort(portValue(port_));
        config.setProxyUser(user_->text().toStdString());
        config.setProxyPass(password_->text().toStdString());
        break;
    case SystemProxy:
        if (system.host)
            config.setProxyIP(*system.host);
        if (system.port != 0)
            config.setProxyPort(system.port);
        if (system.user)
            config.setProxyUser(*system.user);
        if (system.password)
            config.setProxyPass(*system.password);
        break;
    default:
        config.setProxyIP({});
        config.setProxyPort(0);
        config.setProxyUser({});
        config.setProxyPass({});
        break;
    }
}

SystemProxyDetector systemProxyDetector(std::shared_ptr<AppDataManager> manager)
{
    return [manager = std::move(manager)] {
        DetectedProxy secure = manager->detectHttpsProxy();
        return secure.host ? secure : manager->detectHttpProxy();
    };
}

void detectSystemProxy(const SystemProxyDetector& detect, QObject* context, std::function<void(DetectedProxy)> done)
{
    QPointer<QObject> guard(context);
    DispatchQueue::global().async([detect, guard, done = std::move(done)] {
        DetectedProxy found = detect();
        MainQueue::shared()->post([guard, done, found = std::move(found)] {
            if (guard)
                done(found);
        });
    });
}

void commitNetworkSettings(AppDataManager& manager, const ServerSettingsFields& servers,
    const ProxySettingsFields& proxy, const SystemProxyDetector& detect, QWidget* form, std::function<void()> done)
{
    if (!form->isEnabled())
        return; // the system is being asked for the last commit
    auto store = [&manager, &servers, &proxy, done = std::move(done)](const DetectedProxy& system) {
        ConfigInfo& config = manager.configDefine();
        servers.store(config);
        proxy.store(config, system);
        saveSettingsLater(config);
        manager.initCloudService();
        if (done)
            done();
    };
    if (proxy.row() != ProxySettingsFields::SystemProxy) {
        store({});
        return;
    }
    // The system's settings and the credential store can take a while: the form waits, the
    // window does not.
    form->setEnabled(false);
    form->setCursor(Qt::BusyCursor);
    detectSystemProxy(detect, form, [form, store = std::move(store)](DetectedProxy found) {
        form->setEnabled(true);
        form->unsetCursor();
        store(found);
    });
}

} // namespace norvane
