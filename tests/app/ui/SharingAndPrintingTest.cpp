// The web-share dialog and the print dialogs against a norvane-server: the size refusal, a link
// that really downloads with its password, copy and mail, the question on closing; the print
// password rules, the 50-job refusal, the list with its detail and a delete.

#include "UiTestSupport.h"

#include "app/ui/FileActions.h"
#include "app/ui/NetPrintInfoController.h"
#include "app/ui/NetPrintListWindowController.h"
#include "app/ui/NetPrintWindowController.h"
#include "app/ui/WebShareWindowController.h"
#include "support/ScriptedHttpServer.h"

#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QColumnView>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QUrlQuery>

namespace norvane::uitest {

using Target = FileActions::Target;

class SharingAndPrintingTest : public BrowserTestBase {
    Q_OBJECT

    QTemporaryDir local_;
    Account account_;

    void signInFresh()
    {
        account_ = makeAccount(*server_);
        QVERIFY(session_->signInWith(account_));
    }

    FileActions* actions() { return files().actions(); }

    // The one dialog of that type the actions opened, once it is up.
    template <class Dialog> Dialog* openDialog()
    {
        Dialog* found = nullptr;
        (void)QTest::qWaitFor(
            [&] {
                for (const auto& kept : actions()->dialogs())
                    if (auto* dialog = qobject_cast<Dialog*>(kept.data()); dialog && dialog->isVisible())
                        found = dialog;
                return found != nullptr;
            },
            5000);
        return found;
    }

    // Registers the file with the print service `count` times, as a dialog's commit does.
    void registerPrints(const std::string& key, int count)
    {
        for (int i = 0; i < count; ++i)
            QCOMPARE(await([&](auto done) { StorageServiceLogic::netPrint(key, "", "1", done); }), 1);
    }

private slots:
    void initTestCase() { QVERIFY(startServer()); }
    void init() { newSession(); }
    void cleanup() { endSession(); }

    void aWebLinkDownloadsWithItsPassword()
    {
        signInFresh();
        session_->run.config().setWebPublishMaxFileSize(1);
        session_->run.config().setWebPublishMaxDay(7);
        session_->run.config().setWebPublishInitDay(3);
        QCOMPARE(putFile(local_.path(), QStringLiteral("big.bin"), std::string(1048577, 'b'), "/FILE"), 1);
        QCOMPARE(putFile(local_.path(), QStringLiteral("note.txt"), "shared words", "/FILE"), 1);

        // Over the limit: an alert naming it, and no dialog.
        actions()->doMenuWebShare(Target::rowAt(listedRow(browser(), {}, QStringLiteral("big.bin"))));
        QTRY_COMPARE(session_->run.alerts().count(), std::size_t { 1 });
        QVERIFY(QString::fromStdString(session_->run.alerts().alerts().front().titleKey).contains(u'1'));
        QVERIFY(actions()->dialogs().empty());

        actions()->doMenuWebShare(Target::rowAt(listedRow(browser(), {}, QStringLiteral("note.txt"))));
        auto* dialog = openDialog<WebShareWindowController>();
        QVERIFY(dialog);
        QCOMPARE(dialog->dayChoice()->count(), 7);
        QCOMPARE(dialog->dayChoice()->currentIndex(), 2);
        QCOMPARE(dialog->periodNumber(), 3);
        dialog->countChoice()->setCurrentIndex(4);
        QCOMPARE(dialog->timesNumber(), 5);
        QVERIFY(!dialog->resultView()->isVisible());
        choose(dialog->makeButton());
        QTRY_VERIFY_WITH_TIMEOUT(dialog->resultView()->isVisible(), 10000);
        QVERIFY(!dialog->makeButton()->isVisible());
        QCOMPARE(dialog->validityBox()->title(), QStringLiteral("Valid for 72 hours"));
        QVERIFY(!dialog->validityLabel()->text().isEmpty());

        // The link, fetched as anyone would: the file only with the password.
        const QString link = dialog->linkLabel()->accessibleName();
        const QString password = dialog->passwordField()->text();
        QVERIFY2(link.startsWith(QString::fromStdString(server_->url())), qPrintable(link));
        QVERIFY(!password.isEmpty());
        const std::string path = link.mid(static_cast<int>(server_->url().size())).toStdString();
        const auto withoutPassword = server_->request("GET", path);
        QCOMPARE(withoutPassword.status, 200L);
        QVERIFY(withoutPassword.body.find("shared words") == std::string::npos);
        const auto withPassword
            = server_->request("GET", path + "?password=" + QUrl::toPercentEncoding(password).toStdString());
        QCOMPARE(withPassword.status, 200L);
        QCOMPARE(withPassword.body, std::string("shared words"));

        // Copy: link and password in one text; Mail: two drafts, one for each.
        dialog->doCopy();
        const QString copied = QGuiApplication::clipboard()->text();
        QVERIFY(copied.contains(link) && copied.contains(password) && copied.contains(QStringLiteral("\n\n")));
        dialog->doMail();
        QCOMPARE(session_->opener->urls.size(), std::size_t { 2 });
        const QUrl linkMail = session_->opener->urls[0];
        const QUrl passwordMail = session_->opener->urls[1];
        QCOMPARE(linkMail.scheme(), QStringLiteral("mailto"));
        const QString linkBody = QUrlQuery(linkMail).queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded);
        const QString passwordBody = QUrlQuery(passwordMail).queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded);
        QVERIFY2(linkBody.contains(link) && !linkBody.contains(password), qPrintable(linkBody));
        QVERIFY(passwordBody.contains(password) && !passwordBody.contains(link));

        // Closing with a link on show asks; No keeps the dialog, Yes closes it.
        session_->run.alerts().scriptAnswers({ 1, 0 });
        QVERIFY(!dialog->close());
        QVERIFY(dialog->isVisible());
        QPointer<WebShareWindowController> closing(dialog);
        QVERIFY(dialog->close());
        QTRY_VERIFY(!closing);
        const auto records = session_->run.alerts().records();
        QCOMPARE(records.back().alert.messageKey, std::string("warn_for_webshare_close"));
    }

    void printRegistrationRefusesBadPasswords()
    {
        signInFresh();
        QCOMPARE(putFile(local_.path(), QStringLiteral("flyer.pdf"), "%PDF-1.4 flyer", "/FILE"), 1);
        actions()->doMenuNetPrint(Target::rowAt(listedRow(browser(), {}, QStringLiteral("flyer.pdf"))));
        auto* dialog = openDialog<NetPrintWindowController>();
        QVERIFY(dialog);
        QCOMPARE(dialog->validityChoice()->currentIndex(), 0);
        QVERIFY(!dialog->commitButton()->isEnabled());
        QVERIFY(!dialog->passwordField()->isEnabled());
        dialog->passwordRow(1)->click();
        QVERIFY(dialog->passwordField()->isEnabled());
        dialog->agreeBox()->click();
        QVERIFY(dialog->commitButton()->isEnabled());
        click(dialog, "printTerms");
        click(dialog, "printMessage");
        QCOMPARE(session_->opener->urls.size(), std::size_t { 2 });
        QVERIFY(session_->opener->urls[0].toString().endsWith(QStringLiteral("/Web/NetPrint/licence.html")));
        QCOMPARE(session_->opener->urls[1], QUrl(QString::fromLatin1(NetPrintWindowController::kMessagePageURL)));

        // Refused before anything is sent: too short, not all digits, too long, and empty.
        const std::vector<std::pair<QString, std::string>> refused { { "123", "message_please_set_password_num" },
            { "12a4", "message_please_set_password_num" }, { "12345", "message_please_set_password_num" },
            { "", "message_please_set_password" } };
        for (const auto& [typed, key] : refused) {
            session_->run.alerts().clear();
            dialog->passwordField()->setText(typed);
            choose(dialog->commitButton());
            QTRY_COMPARE(session_->run.alerts().count(), std::size_t { 1 });
            QCOMPARE(session_->run.alerts().alerts().front().titleKey, key);
            QVERIFY(dialog->isVisible());
        }
        QCOMPARE(await([](auto done) {
            StorageServiceLogic::getNetPrintInfo<NetPrintInfo>(
                [done](std::int32_t result, auto jobs) { done(result == 1 && jobs && jobs->empty() ? 1 : 0); });
        }),
            1);

        // A leading zero is a digit like any other: registered, and the dialog closes.
        QPointer<NetPrintWindowController> open(dialog);
        dialog->passwordField()->setText(QStringLiteral("0123"));
        choose(dialog->commitButton());
        QTRY_VERIFY_WITH_TIMEOUT(!open || !open->isVisible(), 10000);

        // The list with its detail; a delete fetches the list again.
        actions()->goNetPrintList();
        NetPrintListWindowController& list = session_->run.app().printListWindow();
        QTRY_VERIFY(list.window()->isVisible());
        QTRY_COMPARE(list.browser()->model()->rowCount(), 1);
        list.browser()->setCurrentIndex(list.browser()->model()->index(0, 0));
        NetPrintInfoController* detail = list.detail();
        QTRY_VERIFY(detail->record().has_value());
        QCOMPARE(detail->record()->fileName, std::string("flyer.pdf"));
        QVERIFY(!detail->record()->printID.empty());
        QCOMPARE(detail->resultLabel()->text(), NetPrintInfoController::resultText(*detail->record()));
        QVERIFY(detail->resultLabel()->text().contains(QString::fromStdString(detail->record()->printID)));
        QVERIFY(detail->uploadLabel()->text().size() > QStringLiteral("登録日時：").size());
        QTRY_VERIFY(detail->deleteButton()->isVisible());
        choose(detail->deleteButton());
        QTRY_COMPARE_WITH_TIMEOUT(list.browser()->model()->rowCount(), 0, 10000);
        QVERIFY(session_->run.app().manager()->netPrintList().empty());
        QVERIFY(detail->deleteButton()->isEnabled());
    }

    void fiftyPrintJobsAreTheLimit()
    {
        signInFresh();
        QCOMPARE(putFile(local_.path(), QStringLiteral("page.txt"), "one page", "/FILE"), 1);
        const QModelIndex page = listedRow(browser(), {}, QStringLiteral("page.txt"));
        registerPrints("/FILE/page.txt", 50);
        session_->run.alerts().clear();
        actions()->doMenuNetPrint(Target::rowAt(page));
        QTRY_COMPARE(session_->run.alertMessages(), std::vector<std::string> { "warn_netprint_over_50" });
        QTest::qWait(200);
        QVERIFY(actions()->dialogs().empty());
    }

    void thePrintPictureComesThroughTheProxyOfTheSettings()
    {
        QImage picture(40, 30, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "PNG");
        // A proxy that answers every picture itself: the address behind it does not exist.
        test::ScriptedHttpServer proxy;
        QVERIFY(proxy.ok());
        proxy.setHandler([&](const test::RecordedRequest& request) {
            return request.target.ends_with("/print/7.png")
                ? test::Reply::ok(png.toStdString()).header("Content-Type", "image/png")
                : test::Reply::status(404);
        });
        session_->run.start(server_.get());
        ConfigInfo& config = session_->run.config();
        config.setUseProxy(1);
        config.setProxyIP("127.0.0.1");
        config.setProxyPort(proxy.port());

        NetPrintInfoController detail(session_->run.app().manager());
        NetPrintInfo record;
        record.fileName = "poster.png";
        record.resultCode = "0";
        record.printID = "31415926";
        record.thumbnail = "http://print.invalid/print/7.png";
        detail.setRecord(record);
        QVERIFY(!detail.showsPicture());
        QTRY_VERIFY_WITH_TIMEOUT(detail.showsPicture(), 10000);
        QCOMPARE(proxy.requests().front().target, std::string("http://print.invalid/print/7.png"));

        // No picture behind the address, or one asked for a record no longer shown: the icon stays.
        record.thumbnail = "http://print.invalid/print/8.png";
        detail.setRecord(record);
        QTRY_COMPARE(proxy.requests().size(), std::size_t { 2 });
        QTest::qWait(200);
        QVERIFY(!detail.showsPicture());
        record.thumbnail = "http://print.invalid/print/7.png";
        detail.setRecord(record);
        detail.setRecord(std::nullopt);
        QTRY_COMPARE(proxy.requests().size(), std::size_t { 3 });
        QTest::qWait(200);
        QVERIFY(!detail.showsPicture());
        // Addresses of other schemes are not fetched at all.
        record.thumbnail = "file:///etc/passwd";
        detail.setRecord(record);
        QTest::qWait(200);
        QCOMPARE(proxy.requests().size(), std::size_t { 3 });
        QVERIFY(!detail.showsPicture());
    }

    void aJobThatCannotPrintShowsWhy()
    {
        NetPrintInfo record;
        record.fileName = "scan.tiff";
        record.resultCode = "5";
        record.printID = "12345678";
        QVERIFY(NetPrintInfoController::resultText(record).contains(u'5'));
        QVERIFY(!NetPrintInfoController::resultText(record).contains(QStringLiteral("12345678")));
        record.resultCode = "0";
        QVERIFY(NetPrintInfoController::resultText(record).contains(QStringLiteral("12345678")));
        QVERIFY(NetPrintWindowController::isPrintPassword(QStringLiteral("0000")));
        // A validity the server wrote badly shows nothing rather than a wrong date.
        QVERIFY(WebShareWindowController::validityText("next Tuesday").isEmpty());
        const QString valid = WebShareWindowController::validityText("Sun, 13 Dec 2026 09:30:00 GMT");
        QCOMPARE(valid,
            QDateTime(QDate(2026, 12, 13), QTime(9, 30), Qt::UTC).toLocalTime().toString(u"yyyy年MM月dd日 HH時mm分"));
        QVERIFY(!NetPrintWindowController::isPrintPassword(QStringLiteral("１２３４")));
    }
};

} // namespace norvane::uitest

using norvane::uitest::SharingAndPrintingTest;
NORVANE_UI_TEST(SharingAndPrintingTest)

#include "SharingAndPrintingTest.moc"
