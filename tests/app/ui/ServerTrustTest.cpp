// Trust on first use against a norvane-server over https with its own self-signed certificate:
// the login window shows the server's certificate and asks; yes keeps the key and signs in, no
// ends as the failed connection does.

#include "UiTestSupport.h"

#include "app/ui/FileWindowController.h"
#include "app/ui/LoginWindowController.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>

namespace norvane::uitest {

class ServerTrustTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::ServerProcess> server_;
    std::unique_ptr<AppRun> run_;

    TrustPrompt* startLoginAndWaitForPrompt(const Account& account)
    {
        run_->start(server_.get());
        QWidget* form = run_->app().loginWindow().loginWindow();
        typeCredentials(form, account, account.password);
        click(form, "doLogin");
        TrustPrompt* prompt = nullptr;
        (void)QTest::qWaitFor(
            [&] {
                for (QWidget* widget : QApplication::topLevelWidgets())
                    if (auto* found = qobject_cast<TrustPrompt*>(widget); found && found->isVisible())
                        prompt = found;
                return prompt != nullptr;
            },
            15000);
        return prompt;
    }

private slots:
    void initTestCase()
    {
        test::ServerProcess::Options options;
        options.tls = true;
        server_ = std::make_unique<test::ServerProcess>(options);
        QVERIFY2(server_->start(), server_->error().c_str());
        QVERIFY(!server_->pin().empty());
    }

    void init() { run_ = std::make_unique<AppRun>(); }
    void cleanup() { run_.reset(); }

    void declinedServerEndsAsAFailedConnection()
    {
        const Account account = makeAccount(*server_);
        TrustPrompt* prompt = startLoginAndWaitForPrompt(account);
        QVERIFY(prompt);
        QCOMPARE(
            prompt->findChild<QLabel*>(QStringLiteral("trustPin"))->text(), QString::fromStdString(server_->pin()));
        QVERIFY(!prompt->findChild<QLabel*>(QStringLiteral("trustSubject"))->text().isEmpty());
        QVERIFY(prompt->findChild<QLabel*>(QStringLiteral("trustExplanation"))
                    ->text()
                    .contains(QStringLiteral("127.0.0.1:%1").arg(server_->port())));
        click(prompt, "trustDecline");
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().loginWindow().loginWindow()->isVisible(), 5000);
        QTRY_COMPARE(run_->alertMessages(), std::vector<std::string> { "message_server_address_setting_error" });
        QCOMPARE(run_->config().pinnedPublicKey("127.0.0.1", server_->port()), std::string());
        QVERIFY(!run_->app().fileWindow().window()->isVisible());
    }

    void trustedServerKeepsItsKeyAndTheLoginGoesOn()
    {
        const Account account = makeAccount(*server_);
        TrustPrompt* prompt = startLoginAndWaitForPrompt(account);
        QVERIFY(prompt);
        click(prompt, "trustAccept");
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().fileWindow().window()->isVisible(), 15000);
        QCOMPARE(run_->config().pinnedPublicKey("127.0.0.1", server_->port()), server_->pin());
        QVERIFY(run_->alerts().alerts().empty());

        // Kept in the settings file: the next start signs in without asking.
        run_->restart(server_.get());
        QWidget* form = run_->app().loginWindow().loginWindow();
        typeCredentials(form, account, account.password);
        click(form, "doLogin");
        QTRY_VERIFY_WITH_TIMEOUT(run_->app().fileWindow().window()->isVisible(), 15000);
    }
};

} // namespace norvane::uitest

using norvane::uitest::ServerTrustTest;
NORVANE_UI_TEST(ServerTrustTest)

#include "ServerTrustTest.moc"
