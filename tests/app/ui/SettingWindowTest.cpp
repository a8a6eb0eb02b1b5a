// The settings window, the device-ID dialog and the automatic sign-out, signed in to a real
// norvane-server through the login form.

#include "UiTestSupport.h"

#include "app/ui/DeviceIDWindowController.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/LoginWindowController.h"
#include "app/ui/SettingWindowController.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLineEdit>
#include <QMainWindow>
#include <QRadioButton>
#include <QTabWidget>

namespace norvane::uitest {

class SettingWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::ServerProcess> server_;
    std::unique_ptr<AppRun> run_;

    // Starts the application and signs in through the form.
    void signIn(const Account& account, const std::function<void(ConfigInfo&)>& prepare = {})
    {
        run_->start(server_.get(), prepare);
        QWidget* form = run_->app().loginWindow().loginWindow();
        typeCredentials(form, account, account.password);
        click(form, "doLogin");
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().fileWindow().window()->isVisible(), 15000);
    }

    static void showTab(SettingWindowController* settings, const char* name)
    {
        settings->tabs()->setCurrentWidget(settings->window()->findChild<QWidget*>(QString::fromLatin1(name)));
    }

    QStringList tabNames(SettingWindowController* settings)
    {
        QStringList names;
        for (int i = 0; i < settings->tabs()->count(); ++i)
            names << settings->tabs()->widget(i)->objectName();
        return names;
    }

private slots:
    void initTestCase()
    {
        server_ = std::make_unique<test::ServerProcess>();
        QVERIFY2(server_->start(), server_->error().c_str());
    }

    void init() { run_ = std::make_unique<AppRun>(); }
    void cleanup() { run_.reset(); }

    void passwordChangeRefusesInOrderThenChanges()
    {
        const Account account = makeAccount(*server_);
        signIn(account);
        SettingWindowController* settings = run_->app().openSettings(false);
        QCOMPARE(tabNames(settings),
            (QStringList { QStringLiteral("networkTab"), QStringLiteral("deviceTab"), QStringLiteral("passwordTab"),
                QStringLiteral("otherTab") }));
        showTab(settings, "passwordTab");
        const QString current = QString::fromStdString(account.password);
        struct Case {
            QString current, fresh, confirm;
            const char* refusal;
        };
        // Each case breaks the rule named and every rule after it, so only the order can pick it.
        const Case cases[] = {
            { "", "", "", "message_please_input_current_password" },
            { "wrong", "", "", "message_please_input_new_password" },
            { "wrong", " x", "", "message_please_input_new_password2" },
            { "wrong", " x", " y", "message_wrong_current_password" },
            { current, " x", " y", "message_wrong_new_password" },
            { current, " x", " x", "message_password_space_have" },
            { current, "x ", "x ", "message_password_space_have" },
        };
        for (const Case& c : cases) {
            run_->alerts().clear();
            typeInto(settings->currentPasswordField(), c.current);
            typeInto(settings->newPasswordField(), c.fresh);
            typeInto(settings->confirmPasswordField(), c.confirm);
            click(settings->window(), "changePassword");
            QCOMPARE(run_->alerts().count(), std::size_t { 1 });
            QCOMPARE(run_->alerts().alerts()[0].titleKey, std::string("message_password_change"));
            QCOMPARE(run_->alerts().alerts()[0].messageKey, std::string(c.refusal));
        }
        QCOMPARE(run_->config().userPass(), account.password);

        run_->alerts().clear();
        typeInto(settings->currentPasswordField(), current);
        typeInto(settings->newPasswordField(), QStringLiteral("fresh-secret"));
        typeInto(settings->confirmPasswordField(), QStringLiteral("fresh-secret"));
        click(settings->window(), "changePassword");
        QTRY_COMPARE_WITH_TIMEOUT(run_->config().userPass(), std::string("fresh-secret"), 15000);
        QTRY_COMPARE(settings->currentPasswordField()->text(), QString());
        QCOMPARE(settings->newPasswordField()->text(), QString());

        // The server took it: the new password signs in, the old one no longer does.
        run_->app().fileWindow().doLogout();
        QTRY_VERIFY(run_->app().loginWindow().loginWindow()->isVisible());
        Account changed = account;
        changed.password = "fresh-secret";
        run_->stop();
        signIn(changed);
    }

    void tabsFollowThePoliciesAndDeviceOnlyMode()
    {
        const Account account = makeAccount(*server_);
        signIn(account);
        run_->config().setAutoDeviceRegist(1);
        run_->config().setEnabledChangePassword(0);
        SettingWindowController* settings = run_->app().openSettings(false);
        QCOMPARE(tabNames(settings), (QStringList { QStringLiteral("networkTab"), QStringLiteral("otherTab") }));
        settings->window()->close();
        QTRY_VERIFY(run_->app().windowControllers().empty());

        run_->config().setAutoDeviceRegist(0);
        settings = run_->app().openSettings(true);
        QCOMPARE(tabNames(settings), QStringList { QStringLiteral("deviceTab") });
    }

    void networkCommitAsksFirstAndSignsOut()
    {
        const Account account = makeAccount(*server_);
        signIn(account);
        SettingWindowController* settings = run_->app().openSettings(false);
        choose(settings->proxyFields().rowButton(1));
        typeInto(settings->window()->findChild<QLineEdit*>(QStringLiteral("proxyServerAddress")),
            QStringLiteral("proxy.example"));
        typeInto(settings->window()->findChild<QLineEdit*>(QStringLiteral("proxyServerPort")), QStringLiteral("81"));

        run_->alerts().scriptAnswers({ 1 }); // cancel
        click(settings->window(), "netSettingCommit");
        QCOMPARE(run_->alerts().alerts().back().messageKey, std::string("need_relogin"));
        QCOMPARE(
            run_->alerts().alerts().back().buttonKeys, (std::vector<std::string> { "word_sign_out", "alert_cancel" }));
        QCOMPARE(run_->config().useProxy(), 0);
        QVERIFY(run_->app().fileWindow().window()->isVisible());

        run_->alerts().scriptAnswers({ 0 }); // sign out
        click(settings->window(), "netSettingCommit");
        QCOMPARE(run_->config().useProxy(), 1);
        QCOMPARE(run_->config().proxyIP(), std::string("proxy.example"));
        QCOMPARE(run_->config().proxyPort(), 81);
        // The sign-out goes through the (now unreachable) proxy and still ends at the login form.
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().loginWindow().loginWindow()->isVisible(), 30000);
        QVERIFY(!run_->app().fileWindow().window()->isVisible());
        QTRY_VERIFY(run_->app().windowControllers().empty());
    }

    void deviceIdIsSavedToTheClipboardAndSignsOut()
    {
        const Account account = makeAccount(*server_);
        signIn(account);
        SettingWindowController* settings = run_->app().openSettings(false);
        showTab(settings, "deviceTab");
        click(settings->window(), "createDeviceID");
        const QString first = settings->deviceIdField()->text();
        QVERIFY(first.startsWith(QStringLiteral("dc09")));
        QCOMPARE(run_->config().deviceID(), std::string()); // nothing kept yet
        click(settings->window(), "doSave");
        QCOMPARE(run_->alerts().alerts().back().messageKey,
            std::string("message_device_id_create_clipboard_copy_please_say_to_admin"));
        QCOMPARE(run_->alerts().alerts().back().buttonKeys, std::vector<std::string> { "word_sign_out" });
        QCOMPARE(run_->config().deviceID(), first.toStdString());
        QCOMPARE(QGuiApplication::clipboard()->text(), first);
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().loginWindow().loginWindow()->isVisible(), 15000);

        // The dialog of its own does the same, with the identifier it was opened with.
        DeviceIDWindowController& dialog = run_->app().deviceWindow();
        dialog.showWindow();
        QCOMPARE(dialog.deviceIdField()->text(), first);
        typeInto(dialog.deviceIdField(), QStringLiteral("dc09HANDMADE"));
        click(dialog.window(), "doSave");
        QCOMPARE(run_->config().deviceID(), std::string("dc09HANDMADE"));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("dc09HANDMADE"));
        QVERIFY(!dialog.window()->isVisible());
    }

    void autoLockBoxIsSavedAndSignOutBoxOnlyTells()
    {
        const Account account = makeAccount(*server_);
        signIn(account);
        SettingWindowController* settings = run_->app().openSettings(false);
        showTab(settings, "otherTab");
        QVERIFY(!settings->autoLockBox()->isChecked());
        QVERIFY(!settings->autoSignOutBox()->isEnabled());
        choose(settings->autoLockBox());
        QCOMPARE(run_->config().autoFileLockOn(), 1);
        run_->restart(server_.get());
        QCOMPARE(run_->config().autoFileLockOn(), 1);
    }

    void inactivityEndsTheSessionAtTheLoginForm()
    {
        const Account account = makeAccount(*server_);
        QCOMPARE(server_
                     ->setPolicies(
                         account.company, { { "x-zel-auto-logout", "1" }, { "x-zel-use-session-expiretime", "2" } })
                     .status,
            200L);
        signIn(account);
        QVERIFY(run_->config().isAutoSignOut() != 0);
        QCOMPARE(run_->config().expireTime(), 2);
        QVERIFY(run_->app().manager()->isRunLogoutTime());
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().loginWindow().loginWindow()->isVisible(), 10000);
        QVERIFY(!run_->app().fileWindow().window()->isVisible());
        QVERIFY(!run_->app().manager()->isRunLogoutTime());
    }
};

} // namespace norvane::uitest

using norvane::uitest::SettingWindowTest;
NORVANE_UI_TEST(SettingWindowTest)

#include "SettingWindowTest.moc"
