#pragma once

// What the tests of the desktop windows share: the registry of test classes, a fresh home per
// test, the application made as main() makes it (alerts recorded, quitting counted, the network
// taken as reachable, no proxy of the test machine), and accounts on a real norvane-server.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/DesktopOpener.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/LocalChooser.h"
#include "e2e/ServerProcess.h"
#include "platform/AlertPresenter.h"
#include "support/FixedNetworkState.h"

#include <QAbstractButton>
#include <QListView>
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
    // What the file window opens files with and fetches thumbnails through (empty: the real ones).
    std::shared_ptr<DesktopOpener> opener;
    std::shared_ptr<LocalChooser> chooser;
    ThumbnailLoader::Fetch thumbnails;
    ThumbnailLoader::Fetch previewThumbnails;

    // The message keys of the recorded alerts, in order.
    std::vector<std::string> alertMessages() const;

private:
    QTemporaryDir home_;
    std::string savedHome_;
    std::shared_ptr<RecordingAlertPresenter> alerts_;
    std::shared_ptr<std::atomic<int>> quits_;
    std::unique_ptr<AppDelegate> app_;
};

// Signs in through the login form and waits for the file window (false when it did not come).
bool signIn(AppRun& run, const std::string& company, const std::string& user, const std::string& password);
// The demo account of that user on a server started with --demo.
test::ServerProcess::DemoAccount demoAccount(const test::ServerProcess& server, const std::string& user);

// Remembers every file, page and mail draft the windows hand to the desktop, and opens none.
class RecordingOpener : public DesktopOpener {
public:
    bool openLocalFile(const QString& path) override
    {
        opened.push_back(path);
        return true;
    }
    bool openUrl(const QUrl& url) override
    {
        urls.push_back(url);
        return true;
    }
    std::vector<QString> opened;
    std::vector<QUrl> urls;
};

// Answers the download dialogs with what the test set (none: cancelled), and counts the asking.
class ScriptedChooser : public LocalChooser {
public:
    std::optional<QString> chooseFolder(QWidget*) override
    {
        ++asked;
        return folder;
    }
    std::optional<QString> chooseSaveFile(QWidget*, const QString& suggestedName) override
    {
        ++asked;
        suggested = suggestedName;
        return saveAs;
    }
    std::optional<QString> folder;
    std::optional<QString> saveAs;
    QString suggested;
    int asked = 0;
};

// norvane-server with the demo data, started (null, with the reason printed, when it did not).
std::unique_ptr<test::ServerProcess> startDemoServer();
// The texts of the folder's rows (invalid: the root), in order.
QStringList rowTexts(const FileBrowserModel* model, const QModelIndex& folder = {});
// The browser's column that shows the folder's rows, once it is on screen (columns slide into
// place when the view scrolls); null after a few seconds without.
QListView* columnOf(FileBrowser* browser, const QModelIndex& folder);
// Starts an operation and waits for its result code; -1 when none came.
std::int32_t await(const std::function<void(StorageServiceLogic::ResultCallback)>& start);

// The application on a server, signed in, with its file window; files it opens are recorded.
class BrowserSession {
public:
    explicit BrowserSession(const test::ServerProcess& server);
    // Starts the application (set run's hooks before) and signs in as that demo user.
    bool signInAs(const std::string& user, const std::function<void(ConfigInfo&)>& prepare = {});
    // The same for an account of its own (makeAccount).
    bool signInWith(const Account& account);
    // A new account that manages a shared folder "Team", signed in; the account in `account`
    // (false when any of it did not work).
    bool signInManagingTeam(Account& account);

    FileWindowController& files() { return run.app().fileWindow(); }
    FileBrowser* browser() { return files().browser(); }
    FileBrowserModel* model() { return browser()->browserModel(); }

    AppRun run;
    std::shared_ptr<RecordingOpener> opener = std::make_shared<RecordingOpener>();
    std::shared_ptr<ScriptedChooser> chooser = std::make_shared<ScriptedChooser>();

private:
    const test::ServerProcess& server_;
};

// What the test classes of the file window share: one demo server for the class, a session per
// test function.
class BrowserTestBase : public QObject {
protected:
    bool startServer() { return (server_ = startDemoServer()) != nullptr; }
    void newSession() { session_ = std::make_unique<BrowserSession>(*server_); }
    void endSession()
    {
        server_->clearFaults();
        session_.reset();
    }

    FileWindowController& files() { return session_->files(); }
    FileBrowser* browser() { return session_->browser(); }
    FileBrowserModel* model() { return session_->model(); }

    std::unique_ptr<test::ServerProcess> server_;
    std::unique_ptr<BrowserSession> session_;
};

// The folder (invalid: the root) listed again and its row of that name waited for; invalid when
// it did not come.
QModelIndex listedRow(FileBrowser* browser, const QModelIndex& folder, const QString& name);
// That row of the folder selected and its column opened.
QModelIndex openedFolder(FileBrowser* browser, const QModelIndex& folder, const QString& name);
// A small file made in `localDir` and uploaded into the server folder in its file form ("/FILE",
// "/SHAREFILE/Team"); the upload's result code.
std::int32_t putFile(
    const QString& localDir, const QString& name, const std::string& content, const std::string& folder);

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
