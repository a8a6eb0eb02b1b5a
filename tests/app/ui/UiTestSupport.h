#pragma once

// What the tests of the desktop windows share: the registry of test classes, a fresh home per
// test, the application made as main() makes it (alerts recorded, quitting counted, the network
// taken as reachable, no proxy of the test machine), and accounts on a real norvane-server.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "app/ui/AppDelegate.h"
#include "e2e/ServerProcess.h"
#include "platform/AlertPresenter.h"
#include "support/FixedNetworkState.h"

#include <QAbstractButton>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace norvane::uitest {

struct TestClass {
    const char* name;
    std::function<std::unique_ptr<QObject>()> make;
};
std::vector<TestClass>& testClasses();

#define NORVANE_UI_TEST(Class)                                                                                         \
    static const bool registered##Class = [] {                                                                         \
        ::norvane::uitest::testClasses().push_back({ #Class, [] { return std::make_unique<Class>(); } });              \
        return true;                                                                                                   \
    }();

using test::FixedNetworkState;

struct Account {
    std::string company;
    std::string user;
    std::string password;
    std::string fullName;
};

// A company with one user on the server; the names are new for every call.
Account makeAccount(const test::ServerProcess& server, bool requireDevice = false);

// One run of the application in a home of its own. The settings point at `server` (when given)
// before the windows are made.
class AppRun {
public:
    AppRun();
    ~AppRun();

    // Makes the application and shows the login form. `prepare` may change the settings first.
    void start(const test::ServerProcess* server, const std::function<void(ConfigInfo&)>& prepare = {});
    // Ends this run (as a quit does) and starts again in the same home.
    void restart(const test::ServerProcess* server);
    void stop();

    AppDelegate& app() { return *app_; }
    ConfigInfo& config() { return app_->manager()->configDefine(); }
    RecordingAlertPresenter& alerts() { return *alerts_; }
    int quitCount() const { return quits_->load(); }
    QString home() const { return home_.path(); }

    // What the system names as proxies, per URL scheme ("https", "http"); empty: none.
    std::function<std::optional<std::vector<ProxyEntry>>(const std::string& url)> systemProxies;
    CertificateProbe certificateProbe;

    // The message keys of the recorded alerts, in order.
    std::vector<std::string> alertMessages() const;

private:
    QTemporaryDir home_;
    std::string savedHome_;
    std::shared_ptr<RecordingAlertPresenter> alerts_;
    std::shared_ptr<std::atomic<int>> quits_;
    std::unique_ptr<AppDelegate> app_;
};

// Types into a field as a person would (the field gets the focus first).
void typeInto(QWidget* field, const QString& text);
// Fills the login form with the account's company and user and the given password.
void typeCredentials(QWidget* loginForm, const Account& account, const std::string& password);
// Presses Return in a widget.
void pressReturn(QWidget* widget);
// Clicks a button, once the window's layout has settled.
void choose(QAbstractButton* button);
// Clicks the child with that object name.
void click(QWidget* window, const char* objectName);

} // namespace norvane::uitest
