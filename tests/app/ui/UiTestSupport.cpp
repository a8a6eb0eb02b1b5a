#include "UiTestSupport.h"

#include "app/state/ConfigInfo.h"
#include "app/ui/LoginWindowController.h"

#include <QAbstractButton>
#include <QDir>
#include <QLineEdit>
#include <QMainWindow>

#include <cstdlib>
#include <fstream>

namespace norvane::uitest {

Account makeAccount(const test::ServerProcess& server, bool requireDevice)
{
    static std::atomic<int> serial { 0 };
    const int n = ++serial;
    Account account;
    account.company = "ui" + std::to_string(::getpid()) + "c" + std::to_string(n);
    account.user = "member" + std::to_string(n);
    account.password = "pass-" + std::to_string(n) + "-word";
    account.fullName = "Member " + std::to_string(n);
    test::ServerProcess::CompanySpec spec;
    spec.code = account.company;
    spec.name = "Company " + std::to_string(n);
    spec.requireDevice = requireDevice;
    spec.quota = 10LL * 1024 * 1024 * 1024;
    const auto company = server.createCompany(spec);
    const auto user = server.createUser(account.company, account.user, account.password, account.fullName);
    if (company.status / 100 != 2 || user.status / 100 != 2)
        qWarning("the server refused the account: %s %s", company.body.c_str(), user.body.c_str());
    return account;
}

AppRun::AppRun()
    : alerts_(std::make_shared<RecordingAlertPresenter>())
    , quits_(std::make_shared<std::atomic<int>>(0))
{
    if (const char* old = std::getenv("NORVANE_HOME"))
        savedHome_ = old;
    ::setenv("NORVANE_HOME", qPrintable(home_.path()), 1);
    CurrentNetworkStatus::setStateSource(std::make_shared<FixedNetworkState>(true));
    // No proxy of the test machine may stand between the client and the loopback server.
    systemProxies
        = [](const std::string&) { return std::optional<std::vector<ProxyEntry>>(std::vector<ProxyEntry> {}); };
}

AppRun::~AppRun()
{
    stop();
    CurrentNetworkStatus::setStateSource(nullptr);
    if (savedHome_.empty())
        ::unsetenv("NORVANE_HOME");
    else
        ::setenv("NORVANE_HOME", savedHome_.c_str(), 1);
}

void AppRun::start(const test::ServerProcess* server, const std::function<void(ConfigInfo&)>& prepare)
{
    AppDelegate::Options options;
    options.alerts = alerts_;
    options.quit = [quits = quits_] { ++*quits; };
    options.certificateProbe = certificateProbe;
    options.opener = opener ? opener : std::make_shared<RecordingOpener>();
    options.chooser = chooser;
    options.thumbnails = thumbnails;
    options.previewThumbnails = previewThumbnails;
    options.manager.watchReachability = false;
    options.manager.preferredLocale = [] { return std::string("en_US.UTF-8"); };
    options.manager.systemProxies = [this](const std::string& url) { return systemProxies(url); };
    app_ = std::make_unique<AppDelegate>(std::move(options));
    ConfigInfo& settings = config();
    if (server) {
        server->pointSettingsHere(settings);
    }
    if (prepare)
        prepare(settings);
    settings.save();
    app_->applicationDidFinishLaunching();
}

void AppRun::restart(const test::ServerProcess* server)
{
    stop();
    start(server);
}

void AppRun::stop()
{
    app_.reset();
}

std::vector<std::string> AppRun::alertMessages() const
{
    std::vector<std::string> keys;
    for (const Alert& alert : alerts_->alerts())
        keys.push_back(alert.messageKey);
    return keys;
}

bool signIn(AppRun& run, const std::string& company, const std::string& user, const std::string& password)
{
    Account account;
    account.company = company;
    account.user = user;
    QWidget* form = run.app().loginWindow().loginWindow();
    typeCredentials(form, account, password);
    click(form, "doLogin");
    return QTest::qWaitFor([&] { return run.app().fileWindow().window()->isVisible(); }, 15000);
}

test::ServerProcess::DemoAccount demoAccount(const test::ServerProcess& server, const std::string& user)
{
    for (const auto& account : server.demoAccounts())
        if (account.user == user)
            return account;
    return {};
}

std::unique_ptr<test::ServerProcess> startDemoServer()
{
    test::ServerProcess::Options options;
    options.demo = true;
    auto server = std::make_unique<test::ServerProcess>(options);
    if (!server->start()) {
        qWarning("norvane-server did not start: %s", server->error().c_str());
        return nullptr;
    }
    return server;
}

QStringList rowTexts(const FileBrowserModel* model, const QModelIndex& folder)
{
    QStringList texts;
    for (int row = 0; row < model->rowCount(folder); ++row)
        texts << model->index(row, 0, folder).data().toString();
    return texts;
}

QListView* columnOf(FileBrowser* browser, const QModelIndex& folder)
{
    QListView* found = nullptr;
    (void)QTest::qWaitFor(
        [&] {
            for (QListView* column : browser->findChildren<QListView*>())
                if (column->rootIndex() == folder && column->isVisible())
                    found = column;
            return found != nullptr;
        },
        3000);
    return found;
}

std::int32_t await(const std::function<void(StorageServiceLogic::ResultCallback)>& start)
{
    auto result = std::make_shared<std::int32_t>(-1);
    start([result](std::int32_t code) { *result = code; });
    return QTest::qWaitFor([&] { return *result >= 0; }, 15000) ? *result : -1;
}

QModelIndex listedRow(FileBrowser* browser, const QModelIndex& folder, const QString& name)
{
    FileBrowserModel* model = browser->browserModel();
    browser->listFolder(folder);
    if (!QTest::qWaitFor([&] { return model->childNamed(folder, name).isValid(); }, 10000))
        return {};
    return model->childNamed(folder, name);
}

QModelIndex openedFolder(FileBrowser* browser, const QModelIndex& folder, const QString& name)
{
    const QModelIndex index = listedRow(browser, folder, name);
    if (!index.isValid())
        return {};
    browser->selectAndList(index);
    (void)columnOf(browser, index);
    return index;
}

std::int32_t putFile(
    const QString& localDir, const QString& name, const std::string& content, const std::string& folder)
{
    const QString path = QDir(localDir).filePath(name);
    std::ofstream(path.toStdString(), std::ios::binary) << content;
    return await([&](auto done) { StorageServiceLogic::uploadFileByFile(path.toStdString(), folder, done); });
}

BrowserSession::BrowserSession(const test::ServerProcess& server)
    : server_(server)
{
    run.opener = opener;
    run.chooser = chooser;
}

bool BrowserSession::signInAs(const std::string& user, const std::function<void(ConfigInfo&)>& prepare)
{
    run.start(&server_, prepare);
    const auto account = demoAccount(server_, user);
    return signIn(run, account.company, account.user, account.password)
        && QTest::qWaitFor([&] { return model()->rowCount() > 0; }, 10000);
}

bool BrowserSession::signInManagingTeam(Account& account)
{
    account = makeAccount(server_);
    return server_.createSharedFolder(account.company, "Team", { account.user }).status / 100 == 2
        && signInWith(account);
}

bool BrowserSession::signInWith(const Account& account)
{
    run.start(&server_);
    return signIn(run, account.company, account.user, account.password);
}

void typeInto(QWidget* field, const QString& text)
{
    QCoreApplication::processEvents();
    field->setFocus();
    if (auto* line = qobject_cast<QLineEdit*>(field))
        line->clear();
    QTest::keyClicks(field, text);
}

void typeCredentials(QWidget* loginForm, const Account& account, const std::string& password)
{
    typeInto(loginForm->findChild<QLineEdit*>(QStringLiteral("companyCode")), QString::fromStdString(account.company));
    typeInto(loginForm->findChild<QLineEdit*>(QStringLiteral("userName")), QString::fromStdString(account.user));
    typeInto(loginForm->findChild<QLineEdit*>(QStringLiteral("userPass")), QString::fromStdString(password));
}

void pressReturn(QWidget* widget)
{
    QTest::keyClick(widget, Qt::Key_Return);
}

void choose(QAbstractButton* button)
{
    // A window just shown lays itself out in posted events; until then a click may miss.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QVERIFY(button && button->isVisible() && button->isEnabled());
    // A check box or radio button reacts on its mark and its label, not on the whole row it
    // stretches over.
    const bool marked = button->inherits("QCheckBox") || button->inherits("QRadioButton");
    const QPoint at = marked ? QPoint(button->height() / 2, button->height() / 2) : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

void click(QWidget* window, const char* objectName)
{
    auto* button = window->findChild<QAbstractButton*>(QString::fromLatin1(objectName));
    QVERIFY2(button, objectName);
    choose(button);
}

} // namespace norvane::uitest
