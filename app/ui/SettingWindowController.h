#pragma once

#include "app/ui/NetworkFields.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QWidget;

namespace norvane {

class AppDataManager;
class DeviceIdFields;

// The settings window: network, device ID, password change and two options, each on a tab.
// Every change is written to the settings and saved at once. Opened from the file window, or in
// device-only mode by a login that needs this device registered first.
class SettingWindowController : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> signOut; // through the file window
        std::function<void()> closed; // the window closed: the opener lets go of the controller
    };

    SettingWindowController(
        std::shared_ptr<AppDataManager> manager, SystemProxyDetector detector, Hooks hooks, QObject* parent = nullptr);
    ~SettingWindowController() override;

    QWidget* window() const { return window_; }
    QTabWidget* tabs() const { return tabs_; }
    ProxySettingsFields& proxyFields() { return *proxy_; }
    QLineEdit* deviceIdField() const;
    QLineEdit* currentPasswordField() const { return currentPass_; }
    QLineEdit* newPasswordField() const { return newPass_; }
    QLineEdit* confirmPasswordField() const { return confirmPass_; }
    QCheckBox* autoLockBox() const { return autoLock_; }
    QCheckBox* autoSignOutBox() const { return autoSignOut_; }

    void setDeviceOnly(bool deviceOnly) { deviceOnly_ = deviceOnly; }
    bool deviceOnly() const { return deviceOnly_; }
    void showWindow();

    // Actions.
    void netSettingCommit();
    void createDeviceID();
    void doSave();
    void changeAutoLock();
    void changePassword();

    // The first rule the three password fields break: the message key of its refusal; empty when
    // they pass.
    static std::string passwordRefusal(
        const std::string& current, const std::string& stored, const std::string& fresh, const std::string& confirm);

private:
    void buildWindow();
    QWidget* buildNetworkTab();
    QWidget* buildDeviceTab();
    QWidget* buildPasswordTab();
    QWidget* buildOtherTab();
    void windowDidBecomeMain();

    std::shared_ptr<AppDataManager> manager_;
    SystemProxyDetector detector_;
    Hooks hooks_;
    bool deviceOnly_ = false;
    bool visible_ = false;

    QPointer<QWidget> window_;
    QTabWidget* tabs_ = nullptr;
    QWidget* networkTab_ = nullptr;
    QWidget* deviceTab_ = nullptr;
    QWidget* passwordTab_ = nullptr;
    QWidget* otherTab_ = nullptr;
    ServerSettingsFields* servers_ = nullptr;
    ProxySettingsFields* proxy_ = nullptr;
    DeviceIdFields* deviceFields_ = nullptr;
    QLineEdit* currentPass_ = nullptr;
    QLineEdit* newPass_ = nullptr;
    QLineEdit* confirmPass_ = nullptr;
    QPushButton* changeButton_ = nullptr;
    QCheckBox* autoLock_ = nullptr;
    QCheckBox* autoSignOut_ = nullptr;
};

} // namespace norvane
