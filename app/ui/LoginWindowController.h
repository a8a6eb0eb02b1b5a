#pragma once

#include "app/ui/NetworkFields.h"

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace norvane {

class AppDataManager;
class ServerTrust;
class WindowEvents;

// The three windows between the start and the file window: the login form, the network settings
// form reached from it, and the loading window shown while a login runs. Each form is filled from
// the settings once per showing, so that switching windows never overwrites what was typed.
class LoginWindowController : public QObject {
    Q_OBJECT
public:
    // What the controller asks of the application around it.
    struct Hooks {
        std::function<void()> quit; // the login window's close box
        std::function<void()> requireDeviceRegistration; // result 16: the device-only settings
        std::function<void()> moveToFileWindow; // a login succeeded and the first listing is in
    };

    // Used when no server address is stored: the operator's storage and login hosts.
    static constexpr const char* kDefaultStorageHost = "storage.norvane.example";
    static constexpr const char* kDefaultLoginHost = "login.norvane.example";
    static constexpr std::int64_t kDefaultPort = 443;

    LoginWindowController(
        std::shared_ptr<AppDataManager> manager, SystemProxyDetector detector, Hooks hooks, QObject* parent = nullptr);
    ~LoginWindowController() override;

    QWidget* loginWindow() const { return login_; }
    QWidget* netSettingWindow() const { return netSetting_; }
    QWidget* loadingWindow() const { return loading_; }
    ProxySettingsFields& proxyFields() { return *proxy_; }
    ServerSettingsFields& serverFields() { return *servers_; }
    // Asks whether to trust a server whose certificate did not validate (see ServerTrust).
    void setServerTrust(std::shared_ptr<ServerTrust> trust);

    // Actions of the buttons and keys.
    void doLogin();
    void doSetting();
    void changeAutoLogin();
    void netSettingCommit();
    void netSettingCancel();

    void showLoginWindow();
    // Closes the three windows and forgets what they were filled with (a login that succeeded).
    void closeAll();
    // The reaction to a login's result code.
    void loginFinished(std::int32_t result);

private:
    void buildLoginWindow();
    void buildNetSettingWindow();
    void buildLoadingWindow();
    void fillLoginForm();
    void fillNetSettingForm();
    void doLoading();
    void doLoadingFaild();
    void startLogin();
    void loginFailed(std::int32_t result);

    std::shared_ptr<AppDataManager> manager_;
    SystemProxyDetector detector_;
    Hooks hooks_;
    std::shared_ptr<ServerTrust> trust_;

    QPointer<QWidget> login_;
    QLineEdit* companyCode_ = nullptr;
    QLineEdit* userName_ = nullptr;
    QLineEdit* userPass_ = nullptr;
    QCheckBox* autoLogin_ = nullptr;
    QPushButton* loginButton_ = nullptr;

    QPointer<QWidget> netSetting_;
    ServerSettingsFields* servers_ = nullptr;
    ProxySettingsFields* proxy_ = nullptr;
    QPushButton* commitButton_ = nullptr;
    bool trustOffered_ = false;

    QPointer<QWidget> loading_;
    QLabel* loadingLabel_ = nullptr;

    bool loginVisible_ = false;
    bool netSettingVisible_ = false;
};

} // namespace norvane
