#include "app/ui/LoginWindowController.h"

#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/Icons.h"
#include "app/ui/ServerTrust.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/AlertPresenter.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace norvane {

namespace { } // namespace

LoginWindowController::LoginWindowController(
    std::shared_ptr<AppDataManager> manager, SystemProxyDetector detector, Hooks hooks, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
    , detector_(std::move(detector))
    , hooks_(std::move(hooks))
{
    buildLoginWindow();
    buildNetSettingWindow();
    buildLoadingWindow();
}

LoginWindowController::~LoginWindowController()
{
    delete login_.data();
    delete netSetting_.data();
    delete loading_.data();
}

void LoginWindowController::setServerTrust(std::shared_ptr<ServerTrust> trust)
{
    trust_ = std::move(trust);
}

void LoginWindowController::buildLoginWindow()
{
    login_ = new QWidget(nullptr, Qt::Window);
    login_->setObjectName(QStringLiteral("loginWindow"));
    login_->setWindowTitle(displayName());
    login_->setAccessibleName(uiText("ui_login_title"));

    auto* heading = new QLabel(login_);
    heading->setObjectName(QStringLiteral("loginHeading"));
    heading->setPixmap(Icons::icon(Icons::Name::Application).pixmap(48, 48));
    heading->setAccessibleName(displayName());
    auto* title = new QLabel(uiText("ui_login_title"), login_);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto* headingRow = new QHBoxLayout;
    headingRow->addWidget(heading);
    headingRow->addWidget(title, 1);

    companyCode_ = new QLineEdit(login_);
    companyCode_->setObjectName(QStringLiteral("companyCode"));
    companyCode_->setAccessibleName(uiText("ui_company_code"));
    userName_ = new QLineEdit(login_);
    userName_->setObjectName(QStringLiteral("userName"));
    userName_->setAccessibleName(uiText("ui_user_name"));
    userPass_ = new QLineEdit(login_);
    userPass_->setObjectName(QStringLiteral("userPass"));
    userPass_->setAccessibleName(uiText("ui_password"));
    userPass_->setEchoMode(QLineEdit::Password);
    autoLogin_ = new QCheckBox(uiText("ui_save_login_info"), login_);
    autoLogin_->setObjectName(QStringLiteral("autoLogin"));
    autoLogin_->setAccessibleName(autoLogin_->text());

    auto* form = new QFormLayout;
    form->addRow(uiText("ui_company_code"), companyCode_);
    form->addRow(uiText("ui_user_name"), userName_);
    form->addRow(uiText("ui_password"), userPass_);
    form->addRow(QString(), autoLogin_);
    for (QLineEdit* field : { companyCode_, userName_, userPass_ })
        field->setMinimumWidth(field->fontMetrics().averageCharWidth() * 28);

    auto* settingButton = makeButton("ui_network_settings", "doSetting", login_);
    loginButton_ = makeButton("ui_log_in", "doLogin", login_);
    loginButton_->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(settingButton);
    buttons->addStretch(1);
    buttons->addWidget(loginButton_);

    auto* layout = new QVBoxLayout(login_);
    layout->addLayout(headingRow);
    layout->addSpacing(6);
    layout->addLayout(form);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Return in any of the three fields logs in.
    for (QLineEdit* field : { companyCode_, userName_, userPass_ })
        connect(field, &QLineEdit::returnPressed, this, &LoginWindowController::doLogin);
    connect(loginButton_, &QPushButton::clicked, this, &LoginWindowController::doLogin);
    connect(settingButton, &QPushButton::clicked, this, &LoginWindowController::doSetting);
    connect(autoLogin_, &QCheckBox::clicked, this, &LoginWindowController::changeAutoLogin);

    WindowEvents* events = WindowEvents::watch(login_);
    events->shown = [this] { fillLoginForm(); };
    events->shouldClose = [this] {
        // The close box of the login window ends the application.
        if (hooks_.quit)
            hooks_.quit();
        return true;
    };
    events->willClose = [this] { loginVisible_ = false; };
}

void LoginWindowController::buildNetSettingWindow()
{
    netSetting_ = new QWidget(nullptr, Qt::Window);
    netSetting_->setObjectName(QStringLiteral("netSettingWindow"));
    netSetting_->setWindowTitle(uiText("ui_network_settings_title"));
    netSetting_->setAccessibleName(netSetting_->windowTitle());

    servers_ = new ServerSettingsFields(netSetting_);
    proxy_ = new ProxySettingsFields(netSetting_);
    auto* buttons = new QDialogButtonBox(netSetting_);
    commitButton_ = buttons->addButton(uiText("alert_ok"), QDialogButtonBox::AcceptRole);
    commitButton_->setObjectName(QStringLiteral("netSettingCommit"));
    commitButton_->setAccessibleName(uiText("ui_save_network_settings"));
    commitButton_->setDefault(true);
    QPushButton* cancel = buttons->addButton(uiText("alert_cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("netSettingCancel"));
    cancel->setAccessibleName(cancel->text());

    // With the server boxes hidden the layout closes up: the proxy choice takes the server box's
    // place and the proxy box follows right below it, each keeping its size.
    auto* layout = new QVBoxLayout(netSetting_);
    layout->addWidget(servers_->serverBox());
    layout->addWidget(servers_->loginServerBox());
    layout->addWidget(proxy_->choiceBox());
    layout->addWidget(proxy_->serverBox());
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    proxy_->serverBox()->setMinimumWidth(proxy_->serverBox()->fontMetrics().averageCharWidth() * 44);

    // Return in any field of this window commits it.
    QList<QLineEdit*> fields = servers_->lineEdits() + proxy_->lineEdits();
    for (QLineEdit* field : fields)
        connect(field, &QLineEdit::returnPressed, this, &LoginWindowController::netSettingCommit);
    connect(commitButton_, &QPushButton::clicked, this, &LoginWindowController::netSettingCommit);
    connect(cancel, &QPushButton::clicked, this, &LoginWindowController::netSettingCancel);

    WindowEvents* events = WindowEvents::watch(netSetting_);
    events->shown = [this] { fillNetSettingForm(); };
    events->shouldClose = [this] {
        // Closing the network settings goes back to the login form.
        showLoginWindow();
        return true;
    };
    events->willClose = [this] { netSettingVisible_ = false; };
}

void LoginWindowController::buildLoadingWindow()
{
    loading_ = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    loading_->setObjectName(QStringLiteral("loadingWindow"));
    loading_->setWindowTitle(displayName());
    loading_->setAccessibleName(uiText("ui_signing_in"));
    loadingLabel_ = new QLabel(uiText("ui_signing_in"), loading_);
    loadingLabel_->setObjectName(QStringLiteral("loadingLabel"));
    auto* bar = new QProgressBar(loading_);
    bar->setObjectName(QStringLiteral("loadingIndicator"));
    bar->setAccessibleName(uiText("ui_signing_in"));
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setMinimumWidth(bar->fontMetrics().averageCharWidth() * 36);
    auto* layout = new QVBoxLayout(loading_);
    layout->addWidget(loadingLabel_);
    layout->addWidget(bar);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    WindowEvents* events = WindowEvents::watch(loading_);
    // A login cannot be called back from here; the window goes when the login is over.
    events->shouldClose = [] { return false; };
}

void LoginWindowController::showLoginWindow()
{
    showCentred(login_);
}

void LoginWindowController::fillLoginForm()
{
    if (loginVisible_)
        return;
    const ConfigInfo& config = manager_->configDefine();
    if (config.saveLoginInfo() != 0) {
        companyCode_->setText(QString::fromStdString(config.companyCode()));
        userName_->setText(QString::fromStdString(config.userName()));
        // The password is always stored; the server's policy decides whether the form shows it.
        userPass_->setText(config.savePasswordServer() != 0 ? QString::fromStdString(config.userPass()) : QString());
    } else {
        companyCode_->clear();
        userName_->clear();
        userPass_->clear();
    }
    autoLogin_->setChecked(config.saveLoginInfo() != 0);
    loginVisible_ = true;
    // The first empty field is where the person goes on typing.
    for (QLineEdit* field : { companyCode_, userName_, userPass_ }) {
        if (field->text().isEmpty()) {
            field->setFocus();
            return;
        }
    }
    loginButton_->setFocus();
}

void LoginWindowController::fillNetSettingForm()
{
    if (netSettingVisible_)
        return;
    ConfigInfo& config = manager_->configDefine();
    if (config.serverIP().empty()) {
        config.setServerIP(kDefaultStorageHost);
        config.setServerPort(kDefaultPort);
        config.setLoginServerIP(kDefaultLoginHost);
        config.setLoginServerPort(kDefaultPort);
        saveSettingsLater(config);
    }
    servers_->fill(config);
    proxy_->fill(config);
    netSettingVisible_ = true;
}

void LoginWindowController::doSetting()
{
    showCentred(netSetting_);
    login_->hide();
}

void LoginWindowController::changeAutoLogin()
{
    ConfigInfo& config = manager_->configDefine();
    config.setSaveLoginInfo(autoLogin_->isChecked() ? 1 : 0);
    saveSettingsLater(config);
}

void LoginWindowController::netSettingCommit()
{
    commitNetworkSettings(*manager_, *servers_, *proxy_, detector_, netSetting_, [this] {
        showLoginWindow();
        netSetting_->hide();
    });
}

void LoginWindowController::netSettingCancel()
{
    showLoginWindow();
    netSetting_->hide();
}

void LoginWindowController::doLoading()
{
    login_->hide();
    netSetting_->hide();
    loginVisible_ = false;
    netSettingVisible_ = false;
    showCentred(loading_);
}

void LoginWindowController::doLoadingFaild()
{
    netSetting_->hide();
    loading_->hide();
    netSettingVisible_ = false;
    // The form comes back as it was typed: it was filled in this showing already.
    loginVisible_ = true;
    showLoginWindow();
}

void LoginWindowController::closeAll()
{
    login_->hide();
    netSetting_->hide();
    loading_->hide();
    loginVisible_ = false;
    netSettingVisible_ = false;
}

void LoginWindowController::doLogin()
{
    if (loading_->isVisible())
        return; // one login at a time
    // What was typed is kept for the failure case; doLoading forgets that the form was filled.
    ConfigInfo& config = manager_->configDefine();
    config.setCompanyCode(companyCode_->text().toStdString());
    config.setUserName(userName_->text().toStdString());
    config.setUserPass(userPass_->text().toStdString());
    saveSettingsLater(config);
    doLoading();
    trustOffered_ = false;
    startLogin();
}

void LoginWindowController::startLogin()
{
    QPointer<LoginWindowController> self(this);
    StorageServiceLogic::commonLogin(false, [self](std::int32_t result) {
        if (self)
            self->loginFinished(result);
    });
}

void LoginWindowController::loginFinished(std::int32_t result)
{
    if (result == ResultSuccess) {
        manager_->setRootNodeType(RootNodeMyFolder);
        QPointer<LoginWindowController> self(this);
        StorageServiceLogic::getFolderInfo(manager_->rootNode(), true, {}, [self](std::int32_t) {
            if (!self)
                return;
            self->closeAll();
            if (self->hooks_.moveToFileWindow)
                self->hooks_.moveToFileWindow();
        });
        return;
    }
    if (result == ResultDeviceNotAuthorized) {
        // The loading window stays; registering the device ends in a sign-out, which brings the
        // login form back.
        if (hooks_.requireDeviceRegistration)
            hooks_.requireDeviceRegistration();
        return;
    }
    if ((result == ResultUnreachable || result == ResultConnectFailed) && trust_ && !trustOffered_) {
        // A server whose certificate does not validate looks unreachable; it may be one the
        // person knows and wants to trust. Asked once per login.
        trustOffered_ = true;
        QPointer<LoginWindowController> self(this);
        trust_->check(loading_, [self, result](ServerTrust::Outcome outcome) {
            if (!self)
                return;
            if (outcome == ServerTrust::Outcome::Trusted) {
                self->manager_->initCloudService();
                self->startLogin();
            } else {
                self->loginFailed(result);
            }
        });
        return;
    }
    loginFailed(result);
}

void LoginWindowController::loginFailed(std::int32_t result)
{
    doLoadingFaild();
    auto alerts = AlertPresenter::shared();
    switch (result) {
    case ResultUnreachable:
        alerts->show("Network Error", "Can't connect to network.");
        break;
    case ResultCancelled:
        break;
    case ResultConnectFailed:
        alerts->show("title_server_address_setting_error", "message_server_address_setting_error");
        break;
    case ResultAccountSuspended:
        alerts->show("", "message_account_suspended");
        break;
    case ResultInvalidArgument:
        alerts->show("", "message_error_bad_requst_400");
        break;
    case ResultBadRequest:
        alerts->show("", "message_network_error_ex_css");
        break;
    default:
        alerts->show("alert", "message_login_failed");
        break;
    }
}

} // namespace norvane
