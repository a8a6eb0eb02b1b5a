#include "UiTestSupport.h"

#include "app/state/ConfigInfo.h"

#include <QAbstractButton>
#include <QLineEdit>

#include <cstdlib>

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
    options.manager.watchReachability = false;
    options.manager.preferredLocale = [] { return std::string("en_US.UTF-8"); };
    options.manager.systemProxies = [this](const std::string& url) { return systemProxies(url); };
    app_ = std::make_unique<AppDelegate>(std::move(options));
    ConfigInfo& settings = config();
    if (server) {
        settings.setServerIP("127.0.0.1");
        settings.setServerPort(server->port());
        settings.setLoginServerIP("127.0.0.1");
        settings.setLoginServerPort(server->port());
        settings.setUseHttps(server->tls() ? 1 : 0);
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
