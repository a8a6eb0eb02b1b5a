// The login form, the network form and the loading window against a real norvane-server.

#include "UiTestSupport.h"

#include "app/ui/FileWindowController.h"
#include "app/ui/LoginWindowController.h"
#include "app/ui/SettingWindowController.h"
#include "support/Tinyproxy.h"

#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>

namespace norvane::uitest {

namespace {

QLineEdit* field(QWidget* window, const char* name)
{
    return window->findChild<QLineEdit*>(QString::fromLatin1(name));
}

} // namespace

class LoginWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::ServerProcess> server_;
    std::unique_ptr<AppRun> run_;

    LoginWindowController& login() { return run_->app().loginWindow(); }

    void typeCredentials(const Account& account, const std::string& password)
    {
        uitest::typeCredentials(login().loginWindow(), account, password);
    }

private slots:
    void initTestCase()
    {
        server_ = std::make_unique<test::ServerProcess>();
        QVERIFY2(server_->start(), server_->error().c_str());
    }

    void init() { run_ = std::make_unique<AppRun>(); }
    void cleanup() { run_.reset(); }

    void goodLoginReachesTheFileWindowWithItsTitleAndGauge()
    {
        const Account account = makeAccount(*server_);
        run_->start(server_.get());
        QVERIFY(login().loginWindow()->isVisible());
        QVERIFY(!run_->app().fileWindow().window()->isVisible());
        typeCredentials(account, account.password);
        click(login().loginWindow(), "doLogin");
        QVERIFY(login().loadingWindow()->isVisible());
        QVERIFY(!login().loginWindow()->isVisible());

        FileWindowController& files = run_->app().fileWindow();
        QTRY_VERIFY_WITH_TIMEOUT(files.window()->isVisible(), 15000);
        QVERIFY(!login().loadingWindow()->isVisible());
        QCOMPARE(files.window()->windowTitle(), QString::fromStdString(account.fullName + " - Norvane"));
        QCOMPARE(files.nameLabel()->text(), QString::fromStdString(account.fullName));
        // The server's storage figures: nothing stored yet of a quota of 10 GiB.
        QTRY_COMPARE(files.spaceSizeLabel()->text(), QStringLiteral("Storage used: 0 B/10.0 GB"));
        QCOMPARE(files.spaceIndicator()->value(), 0);
        QVERIFY(run_->alerts().alerts().empty());
        QCOMPARE(run_->quitCount(), 0);

        // Signing out closes every window and brings back the form, filled afresh.
        files.doLogout();
        QTRY_VERIFY(login().loginWindow()->isVisible());
        QVERIFY(!files.window()->isVisible());
        QCOMPARE(field(login().loginWindow(), "userPass")->text(), QString());
    }

    void wrongPasswordReturnsToTheFormAsTyped()
    {
        const Account account = makeAccount(*server_);
        run_->start(server_.get());
        typeCredentials(account, "not-the-password");
        pressReturn(field(login().loginWindow(), "userPass"));
        QTRY_VERIFY_WITH_TIMEOUT(login().loginWindow()->isVisible(), 15000);
        QVERIFY(!login().loadingWindow()->isVisible());
        QVERIFY(!run_->app().fileWindow().window()->isVisible());
        // A typed password the server refuses comes back as 26.
        QTRY_COMPARE(run_->alertMessages(), std::vector<std::string> { "message_error_bad_requst_400" });
        QCOMPARE(field(login().loginWindow(), "companyCode")->text(), QString::fromStdString(account.company));
        QCOMPARE(field(login().loginWindow(), "userName")->text(), QString::fromStdString(account.user));
        QCOMPARE(field(login().loginWindow(), "userPass")->text(), QStringLiteral("not-the-password"));
    }

    void unreachableNetworkAndWrongAddressHaveTheirOwnAlerts()
    {
        const Account account = makeAccount(*server_);
        // No network at all: 3.
        run_->start(server_.get());
        CurrentNetworkStatus::setStateSource(std::make_shared<FixedNetworkState>(false));
        typeCredentials(account, account.password);
        click(login().loginWindow(), "doLogin");
        QTRY_VERIFY_WITH_TIMEOUT(login().loginWindow()->isVisible(), 15000);
        QTRY_COMPARE(run_->alerts().count(), std::size_t { 1 });
        QCOMPARE(run_->alerts().alerts()[0].titleKey, std::string("Network Error"));
        QCOMPARE(run_->alerts().alerts()[0].messageKey, std::string("Can't connect to network."));

        // A network, but nothing listening at the address: 13.
        CurrentNetworkStatus::setStateSource(std::make_shared<FixedNetworkState>(true));
        test::ServerProcess gone;
        QVERIFY(gone.start());
        const int deadPort = gone.port();
        gone.stop();
        run_->config().setServerPort(deadPort);
        run_->config().setLoginServerPort(deadPort);
        run_->app().manager()->initCloudService();
        click(login().loginWindow(), "doLogin");
        QTRY_COMPARE_WITH_TIMEOUT(run_->alerts().count(), std::size_t { 2 }, 15000);
        QCOMPARE(run_->alerts().alerts()[1].titleKey, std::string("title_server_address_setting_error"));
        QCOMPARE(run_->alerts().alerts()[1].messageKey, std::string("message_server_address_setting_error"));
        QVERIFY(login().loginWindow()->isVisible());
    }

    void unregisteredDeviceOpensTheDeviceOnlySettingsAndSavingSignsOut()
    {
        const Account account = makeAccount(*server_, true);
        run_->start(server_.get());
        typeCredentials(account, account.password);
        click(login().loginWindow(), "doLogin");
        QTRY_VERIFY_WITH_TIMEOUT(!run_->app().windowControllers().empty(), 15000);
        SettingWindowController* settings = run_->app().windowControllers().front();
        QTRY_VERIFY(settings->window()->isVisible());
        QVERIFY(settings->deviceOnly());
        QCOMPARE(settings->tabs()->count(), 1);
        QCOMPARE(settings->tabs()->widget(0)->objectName(), QStringLiteral("deviceTab"));
        QVERIFY(login().loadingWindow()->isVisible());

        click(settings->window(), "createDeviceID");
        const QString id = settings->deviceIdField()->text();
        QVERIFY(id.startsWith(QStringLiteral("dc09")));
        QCOMPARE(id.size(), 36);
        click(settings->window(), "doSave");
        QCOMPARE(run_->alerts().alerts().back().buttonKeys, std::vector<std::string> { "alert_ok" });
        QCOMPARE(run_->config().deviceID(), id.toStdString());
        QTRY_VERIFY_WITH_TIMEOUT(login().loginWindow()->isVisible(), 15000);
        QVERIFY(!login().loadingWindow()->isVisible());
        QVERIFY(run_->app().windowControllers().empty() || !settings->window()->isVisible());

        // Once the administrator has registered it, the same login goes through.
        QCOMPARE(server_->registerDevice(account.company, account.user, id.toStdString()).status, 200L);
        typeCredentials(account, account.password);
        click(login().loginWindow(), "doLogin");
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().fileWindow().window()->isVisible(), 15000);
    }

    void closingTheDeviceOnlySettingsGivesUpTheLogin()
    {
        const Account account = makeAccount(*server_, true);
        run_->start(server_.get());
        typeCredentials(account, account.password);
        click(login().loginWindow(), "doLogin");
        QTRY_VERIFY_WITH_TIMEOUT(!run_->app().windowControllers().empty(), 15000);
        run_->app().windowControllers().front()->window()->close();
        QVERIFY(login().loginWindow()->isVisible());
        QVERIFY(!login().loadingWindow()->isVisible());
        QCOMPARE(run_->config().deviceID(), std::string());
    }

    void formShowsTheStoredPasswordOnlyWhenTheServerAllowsIt()
    {
        const Account account = makeAccount(*server_);
        for (const bool allowed : { false, true }) {
            run_->start(server_.get(), [&](ConfigInfo& config) {
                config.setSaveLoginInfo(1);
                config.setCompanyCode(account.company);
                config.setUserName(account.user);
                config.setUserPass(account.password);
                config.setSavePasswordServer(allowed ? 1 : 0);
            });
            run_->restart(server_.get());
            QWidget* window = login().loginWindow();
            QCOMPARE(field(window, "companyCode")->text(), QString::fromStdString(account.company));
            QCOMPARE(field(window, "userName")->text(), QString::fromStdString(account.user));
            QCOMPARE(field(window, "userPass")->text(), allowed ? QString::fromStdString(account.password) : QString());
            QVERIFY(window->findChild<QCheckBox*>(QStringLiteral("autoLogin"))->isChecked());
            // The settings file still holds it either way.
            QCOMPARE(run_->config().userPass(), account.password);
            run_->stop();
        }
    }

    void returnCommitsInTheNetworkFormAndRowZeroClearsTheProxy()
    {
        run_->start(server_.get(), [](ConfigInfo& config) {
            config.setUseProxy(1);
            config.setProxyIP("proxy.example");
            config.setProxyPort(3128);
            config.setProxyUser("someone");
            config.setProxyPass("secret");
        });
        click(login().loginWindow(), "doSetting");
        QWidget* network = login().netSettingWindow();
        QVERIFY(network->isVisible());
        QVERIFY(!login().loginWindow()->isVisible());
        // Filled from the settings: row 1 with the stored proxy.
        QVERIFY(login().proxyFields().rowButton(1)->isChecked());
        QCOMPARE(field(network, "proxyServerAddress")->text(), QStringLiteral("proxy.example"));
        // The server boxes are not shown; the proxy boxes take their place.
        QVERIFY(!login().serverFields().serverBox()->isVisible());
        QCOMPARE(login().proxyFields().choiceBox()->y(), network->layout()->contentsMargins().top());
        QCOMPARE(login().proxyFields().serverBox()->y(),
            login().proxyFields().choiceBox()->geometry().bottom() + 1 + network->layout()->spacing());

        typeInto(field(network, "proxyUserName"), QStringLiteral("another"));
        pressReturn(field(network, "proxyUserName"));
        QVERIFY(!network->isVisible());
        QVERIFY(login().loginWindow()->isVisible());
        QCOMPARE(run_->config().proxyUser(), std::string("another"));
        QCOMPARE(run_->config().useProxy(), 1);

        click(login().loginWindow(), "doSetting");
        choose(login().proxyFields().rowButton(0));
        QVERIFY(!field(network, "proxyServerAddress")->isEnabled());
        QCOMPARE(field(network, "proxyServerAddress")->text(), QString());
        click(network, "netSettingCommit");
        QCOMPARE(run_->config().useProxy(), 0);
        QCOMPARE(run_->config().proxyIP(), std::string());
        QCOMPARE(run_->config().proxyPort(), 0);
        QCOMPARE(run_->config().proxyUser(), std::string());
        QCOMPARE(run_->config().proxyPass(), std::string());

        // Closing the network form's window returns to the login form; the login form's quits.
        click(login().loginWindow(), "doSetting");
        network->close();
        QVERIFY(login().loginWindow()->isVisible());
        QCOMPARE(run_->quitCount(), 0);
        login().loginWindow()->close();
        QCOMPARE(run_->quitCount(), 1);
    }

    void returnInThePasswordFieldLogsIn()
    {
        const Account account = makeAccount(*server_);
        run_->start(server_.get());
        typeCredentials(account, account.password);
        pressReturn(field(login().loginWindow(), "userPass"));
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().fileWindow().window()->isVisible(), 15000);
        QCOMPARE(run_->config().companyCode(), account.company);
    }

    void emptyServerAddressGetsTheDefaultHosts()
    {
        run_->start(nullptr);
        click(login().loginWindow(), "doSetting");
        QCOMPARE(run_->config().serverIP(), std::string(LoginWindowController::kDefaultStorageHost));
        QCOMPARE(run_->config().serverPort(), 443);
        QCOMPARE(run_->config().loginServerIP(), std::string(LoginWindowController::kDefaultLoginHost));
        QCOMPARE(run_->config().loginServerPort(), 443);
    }

    void systemProxyChoiceTakesThePlainProxyWhenThereIsNoSecureOneWithoutFreezing()
    {
        std::atomic<int> asked { 0 };
        run_->systemProxies = [&](const std::string& url) -> std::optional<std::vector<ProxyEntry>> {
            ++asked;
            // The system's settings can be slow; the window must go on turning meanwhile.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (url.rfind("https:", 0) == 0)
                return std::vector<ProxyEntry> {};
            ProxyEntry entry;
            entry.type = ProxyEntry::Type::Http;
            entry.host = "plain-proxy.example";
            entry.port = 8080;
            return std::vector<ProxyEntry> { entry };
        };
        run_->start(server_.get(), [](ConfigInfo& config) { config.setProxyUser("kept"); });
        click(login().loginWindow(), "doSetting");
        choose(login().proxyFields().rowButton(2));
        click(login().netSettingWindow(), "netSettingCommit");
        // Still waiting for the answer, and the loop turns.
        QVERIFY(login().netSettingWindow()->isVisible());
        QVERIFY(!login().netSettingWindow()->isEnabled());
        int turns = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++turns; });
        ticker.start(20);
        QTRY_VERIFY_WITH_TIMEOUT(login().loginWindow()->isVisible(), 5000);
        QVERIFY2(turns >= 10, "the event loop stood still while the system was asked");
        QCOMPARE(asked.load(), 2);
        QCOMPARE(run_->config().useProxy(), 1);
        QCOMPARE(run_->config().proxyIP(), std::string("plain-proxy.example"));
        QCOMPARE(run_->config().proxyPort(), 8080);
        QCOMPARE(run_->config().proxyUser(), std::string("kept")); // the system named no user
    }

    void loginThroughAnAuthenticatingProxy()
    {
        test::Tinyproxy proxy;
        const std::string why = proxy.start();
        QVERIFY2(why.empty(), why.c_str());
        const Account account = makeAccount(*server_);
        run_->start(server_.get());
        click(login().loginWindow(), "doSetting");
        QWidget* network = login().netSettingWindow();
        choose(login().proxyFields().rowButton(1));
        typeInto(field(network, "proxyServerAddress"), QStringLiteral("127.0.0.1"));
        typeInto(field(network, "proxyServerPort"), QString::number(proxy.port));
        typeInto(field(network, "proxyUserName"), QString::fromLatin1(test::Tinyproxy::kUser));
        typeInto(field(network, "proxyUserPass"), QString::fromLatin1(test::Tinyproxy::kPassword));
        click(network, "netSettingCommit");
        QCOMPARE(run_->config().proxyPort(), proxy.port);

        typeCredentials(account, account.password);
        click(login().loginWindow(), "doLogin");
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().fileWindow().window()->isVisible(), 15000);
        const std::string seen = proxy.log();
        const std::string target = "127.0.0.1:" + std::to_string(server_->port());
        QVERIFY2(seen.find(target) != std::string::npos, seen.c_str());
    }
};

} // namespace norvane::uitest

using norvane::uitest::LoginWindowTest;
NORVANE_UI_TEST(LoginWindowTest)

#include "LoginWindowTest.moc"
