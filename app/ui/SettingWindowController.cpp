#include "app/ui/SettingWindowController.h"

#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/DeviceIdFields.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/AlertPresenter.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace norvane {

namespace {

QLineEdit* makePasswordField(std::string_view key, const char* objectName, QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(QString::fromLatin1(objectName));
    field->setAccessibleName(uiText(key));
    field->setEchoMode(QLineEdit::Password);
    return field;
}

// The buttons of a tab sit at its bottom right.
QHBoxLayout* buttonRow(std::initializer_list<QPushButton*> buttons)
{
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QPushButton* button : buttons)
        row->addWidget(button);
    return row;
}

} // namespace

SettingWindowController::SettingWindowController(
    std::shared_ptr<AppDataManager> manager, SystemProxyDetector detector, Hooks hooks, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
    , detector_(std::move(detector))
    , hooks_(std::move(hooks))
{
    buildWindow();
}

SettingWindowController::~SettingWindowController()
{
    delete window_.data();
}

void SettingWindowController::buildWindow()
{
    window_ = new QWidget(nullptr, Qt::Window);
    window_->setObjectName(QStringLiteral("settingWindow"));
    window_->setWindowTitle(uiText("ui_settings_title"));
    window_->setAccessibleName(window_->windowTitle());
    tabs_ = new QTabWidget(window_);
    tabs_->setObjectName(QStringLiteral("settingTabs"));
    tabs_->setAccessibleName(window_->windowTitle());
    networkTab_ = buildNetworkTab();
    deviceTab_ = buildDeviceTab();
    passwordTab_ = buildPasswordTab();
    otherTab_ = buildOtherTab();
    tabs_->addTab(networkTab_, uiText("ui_tab_network"));
    tabs_->addTab(deviceTab_, uiText("ui_tab_device_id"));
    tabs_->addTab(passwordTab_, uiText("ui_tab_password"));
    tabs_->addTab(otherTab_, uiText("ui_tab_other"));
    auto* layout = new QVBoxLayout(window_);
    layout->addWidget(tabs_);

    WindowEvents* events = WindowEvents::watch(window_);
    events->shown = [this] { windowDidBecomeMain(); };
    events->willClose = [this] {
        visible_ = false;
        if (hooks_.closed)
            hooks_.closed();
    };
}

QWidget* SettingWindowController::buildNetworkTab()
{
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("networkTab"));
    servers_ = new ServerSettingsFields(tab);
    proxy_ = new ProxySettingsFields(tab);
    QPushButton* commit = makeButton("ui_apply_network", "netSettingCommit", tab);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(servers_->serverBox());
    layout->addWidget(servers_->loginServerBox());
    layout->addWidget(proxy_->choiceBox());
    layout->addWidget(proxy_->serverBox());
    layout->addStretch(1);
    layout->addLayout(buttonRow({ commit }));
    connect(commit, &QPushButton::clicked, this, &SettingWindowController::netSettingCommit);
    return tab;
}

QWidget* SettingWindowController::buildDeviceTab()
{
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("deviceTab"));
    deviceFields_ = new DeviceIdFields(manager_, tab);
    tab->setLayout(deviceFields_->layout());
    connect(deviceFields_, &DeviceIdFields::saveRequested, this, &SettingWindowController::doSave);
    return tab;
}

QWidget* SettingWindowController::buildPasswordTab()
{
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("passwordTab"));
    currentPass_ = makePasswordField("ui_current_password", "currentPassword", tab);
    newPass_ = makePasswordField("ui_new_password", "newPassword", tab);
    confirmPass_ = makePasswordField("ui_confirm_password", "confirmPassword", tab);
    changeButton_ = makeButton("ui_change_password", "changePassword", tab);
    auto* form = new QFormLayout;
    form->addRow(uiText("ui_current_password"), currentPass_);
    form->addRow(uiText("ui_new_password"), newPass_);
    form->addRow(uiText("ui_confirm_password"), confirmPass_);
    auto* layout = new QVBoxLayout(tab);
    layout->addLayout(form);
    layout->addStretch(1);
    layout->addLayout(buttonRow({ changeButton_ }));
    connect(changeButton_, &QPushButton::clicked, this, &SettingWindowController::changePassword);
    return tab;
}

QWidget* SettingWindowController::buildOtherTab()
{
    auto* tab = new QWidget;
    tab->setObjectName(QStringLiteral("otherTab"));
    autoLock_ = new QCheckBox(uiText("ui_auto_file_lock"), tab);
    autoLock_->setObjectName(QStringLiteral("autoFileLock"));
    autoLock_->setAccessibleName(autoLock_->text());
    autoSignOut_ = new QCheckBox(uiText("ui_auto_sign_out"), tab);
    autoSignOut_->setObjectName(QStringLiteral("autoSignOut"));
    autoSignOut_->setAccessibleName(autoSignOut_->text());
    // The server's policy sets it; the box only tells.
    autoSignOut_->setEnabled(false);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(autoLock_);
    layout->addWidget(autoSignOut_);
    layout->addStretch(1);
    connect(autoLock_, &QCheckBox::clicked, this, &SettingWindowController::changeAutoLock);
    return tab;
}

QLineEdit* SettingWindowController::deviceIdField() const
{
    return deviceFields_->field();
}

void SettingWindowController::showWindow()
{
    showCentred(window_);
}

void SettingWindowController::windowDidBecomeMain()
{
    if (visible_)
        return;
    const ConfigInfo& config = manager_->configDefine();
    servers_->fill(config);
    proxy_->fill(config);
    auto removeTab = [this](QWidget* tab) {
        const int index = tabs_->indexOf(tab);
        if (index >= 0)
            tabs_->removeTab(index);
    };
    if (config.autoDeviceRegist() != 0)
        removeTab(deviceTab_);
    if (config.enabledChangePassword() == 0)
        removeTab(passwordTab_);
    deviceFields_->fill();
    currentPass_->clear();
    newPass_->clear();
    confirmPass_->clear();
    autoLock_->setChecked(config.autoFileLockOn() != 0);
    autoSignOut_->setChecked(config.isAutoSignOut() != 0);
    if (deviceOnly_) {
        removeTab(networkTab_);
        removeTab(passwordTab_);
        removeTab(otherTab_);
        // Device-only mode exists to register the device: its tab is there even when the
        // policy says devices register themselves.
        if (tabs_->indexOf(deviceTab_) < 0)
            tabs_->addTab(deviceTab_, uiText("ui_tab_device_id"));
    }
    window_->adjustSize();
    visible_ = true;
}

void SettingWindowController::netSettingCommit()
{
    if (!window_->isEnabled())
        return;
    const std::size_t answer = AlertPresenter::shared()->ask("", "need_relogin", { "word_sign_out", "alert_cancel" });
    if (answer != 0)
        return;
    // The new settings take effect at the next login.
    commitNetworkSettings(*manager_, *servers_, *proxy_, detector_, window_, [this] {
        if (hooks_.signOut)
            hooks_.signOut();
    });
}

void SettingWindowController::createDeviceID()
{
    deviceFields_->createDeviceID();
}

void SettingWindowController::doSave()
{
    AlertPresenter::shared()->ask("", "message_device_id_create_clipboard_copy_please_say_to_admin",
        { deviceOnly_ ? "alert_ok" : "word_sign_out" });
    deviceFields_->keep();
    if (hooks_.signOut)
        hooks_.signOut();
}

void SettingWindowController::changeAutoLock()
{
    ConfigInfo& config = manager_->configDefine();
    config.setAutoFileLockOn(autoLock_->isChecked() ? 1 : 0);
    saveSettingsLater(config);
}

std::string SettingWindowController::passwordRefusal(
    const std::string& current, const std::string& stored, const std::string& fresh, const std::string& confirm)
{
    if (current.empty())
        return "message_please_input_current_password";
    if (fresh.empty())
        return "message_please_input_new_password";
    if (confirm.empty())
        return "message_please_input_new_password2";
    if (current != stored)
        return "message_wrong_current_password";
    if (fresh != confirm)
        return "message_wrong_new_password";
    if (fresh.front() == ' ' || fresh.back() == ' ')
        return "message_password_space_have";
    return {};
}

void SettingWindowController::changePassword()
{
    ConfigInfo& config = manager_->configDefine();
    const std::string current = currentPass_->text().toStdString();
    const std::string fresh = newPass_->text().toStdString();
    const std::string refusal = passwordRefusal(current, config.userPass(), fresh, confirmPass_->text().toStdString());
    if (!refusal.empty()) {
        AlertPresenter::shared()->show("message_password_change", refusal);
        return;
    }
    config.setOldPass(current);
    config.setTheNewPass(fresh);
    changeButton_->setEnabled(false);
    QPointer<SettingWindowController> self(this);
    StorageServiceLogic::commonChangePassword([self, fresh](std::int32_t result) {
        if (!self)
            return;
        self->changeButton_->setEnabled(true);
        if (result != ResultSuccess)
            return; // the operation has told the person why
        ConfigInfo& settings = self->manager_->configDefine();
        settings.setUserPass(fresh);
        saveSettingsLater(settings);
        self->currentPass_->clear();
        self->newPass_->clear();
        self->confirmPass_->clear();
    });
}

} // namespace norvane
