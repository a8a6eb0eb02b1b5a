// What the windows stand on: the main queue on the Qt loop, the message-box alerts, one process
// per home, the menus and the storage gauge fed from worker threads.

#include "UiTestSupport.h"

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "app/logic/Path.h"
#include "app/logic/UnsentEdits.h"
#include "app/state/AppDataManager.h"
#include "app/ui/DeviceIDWindowController.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/LoginWindowController.h"
#include "app/ui/QtAlertPresenter.h"
#include "app/ui/QtMainQueue.h"
#include "app/ui/SettingWindowController.h"
#include "app/ui/SingleInstance.h"
#include "app/ui/UiText.h"
#include "platform/NotificationCenter.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <thread>

namespace norvane::uitest {

namespace {

// Clicks the button with that text in the message box on screen, once there is one.
bool answerBox(QtAlertPresenter* presenter, const QString& buttonText)
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible() || (presenter && box != presenter->currentBox() && presenter->currentBox()))
            continue;
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == buttonText) {
                button->click();
                return true;
            }
        }
    }
    return false;
}

} // namespace

class ApplicationShellTest : public QObject {
    Q_OBJECT

private slots:
    void runSyncIsServedWhileAModalLoopRunsAndReleasedAtShutDown()
    {
        auto queue = std::make_shared<QtMainQueue>();
        QVERIFY(queue->isMainThread());
        std::atomic<bool> ranOnMain { false };
        std::atomic<int> served { 0 };
        // A modal dialog turns a nested loop on the GUI thread; workers waiting meanwhile are served.
        QDialog dialog;
        QTimer::singleShot(0, [&] {
            std::thread([&] {
                const bool ok = queue->runSync([&] { ranOnMain = queue->isMainThread(); });
                served += ok ? 1 : 0;
                queue->post([&] { dialog.accept(); });
            }).detach();
        });
        dialog.exec();
        QTRY_COMPARE(served.load(), 1);
        QVERIFY(ranOnMain.load());

        // A task that throws reports false instead of escaping.
        std::atomic<int> result { -1 };
        std::thread thrower([&] { result = queue->runSync([] { throw std::runtime_error("boom"); }) ? 1 : 0; });
        QTRY_COMPARE(result.load(), 0);
        thrower.join();

        // Once the loop is over, a worker waiting for it is let go with false, and later ones at once.
        std::atomic<int> late { -1 };
        std::thread waiter([&] { late = queue->runSync([] {}) ? 1 : 0; });
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the worker is waiting now
        queue->shutDown();
        waiter.join();
        QCOMPARE(late.load(), 0);
        std::thread([&] { late = queue->runSync([] {}) ? 1 : 0; }).join();
        QCOMPARE(late.load(), 0);
    }

    void delayedTasksRunInTimeOrderAndCancelledOnesNever()
    {
        auto queue = std::make_shared<QtMainQueue>();
        std::vector<int> order;
        queue->postDelayed(0.06, [&] { order.push_back(2); });
        const auto cancelled = queue->postDelayed(0.03, [&] { order.push_back(99); });
        const auto first = queue->postDelayed(0.01, [&] { order.push_back(1); });
        std::thread([&] { QVERIFY(queue->cancel(cancelled)); }).join();
        QTRY_COMPARE(order.size(), std::size_t { 2 });
        QTest::qWait(60);
        QCOMPARE(order, (std::vector<int> { 1, 2 }));
        QVERIFY(!queue->cancel(first)); // already ran
        QVERIFY(!queue->cancel(0));
    }

    void alertsQueueFirstInFirstOutAndComeAfterTheCall()
    {
        auto queue = std::make_shared<QtMainQueue>();
        QtAlertPresenter presenter(queue);
        // From a worker: nothing is on screen while the call runs, and the boxes come one by one.
        std::thread([&] {
            presenter.show("alert", "message_login_failed");
            presenter.show("", "need_relogin");
        }).join();
        QVERIFY(!presenter.currentBox());
        QTRY_VERIFY(presenter.currentBox());
        QMessageBox* first = presenter.currentBox();
        QCOMPARE(first->text(), QStringLiteral("Alert"));
        QCOMPARE(first->informativeText(), uiText("message_login_failed"));
        QCOMPARE(presenter.queuedCount(), std::size_t { 1 });
        QVERIFY(answerBox(&presenter, uiText("alert_ok")));
        QTRY_VERIFY(presenter.currentBox() && presenter.currentBox() != first);
        // Without a title the message leads.
        QCOMPARE(presenter.currentBox()->text(), uiText("need_relogin"));
        QVERIFY(answerBox(&presenter, uiText("alert_ok")));
        QTRY_VERIFY(!presenter.currentBox());

        // A question from a worker waits for the button the person chose. Its box turns a loop of
        // its own, so the person's click comes from a timer.
        std::atomic<int> answer { -1 };
        QTimer clicker;
        QObject::connect(&clicker, &QTimer::timeout, [&] {
            if (answerBox(nullptr, uiText("alert_cancel")))
                clicker.stop();
        });
        clicker.start(20);
        std::thread asker([&] {
            answer = static_cast<int>(presenter.ask("", "need_relogin", { "word_sign_out", "alert_cancel" }));
        });
        QTRY_COMPARE(answer.load(), 1);
        asker.join();
    }

    void aSecondStartOnTheSameHomeActivatesTheFirst()
    {
        QTemporaryDir home;
        QTemporaryDir other;
        SingleInstance first(home.path());
        QCOMPARE(first.claim(), SingleInstance::Role::First);
        QSignalSpy activated(&first, &SingleInstance::activated);
        SingleInstance elsewhere(other.path());
        QCOMPARE(elsewhere.claim(), SingleInstance::Role::First);
        // The lock is held by this very process; a second object on the home behaves as a second
        // process would.
        SingleInstance second(home.path());
        QCOMPARE(second.claim(), SingleInstance::Role::Forwarded);
        QTRY_COMPARE(activated.count(), 1);
        QVERIFY(SingleInstance::serverName(home.path()) != SingleInstance::serverName(other.path()));
    }

    void quitKeepsUnsentChangesUnlessTheUserDiscardsThem()
    {
        AppRun run;
        run.start(nullptr, {});
        const std::string copy = Path::fullPathOfTempFile("Report.txt", AppDataManager::kFileCacheCategory);
        std::filesystem::create_directories(std::filesystem::path(copy).parent_path());
        const auto noteUnsentCopy = [&] {
            std::ofstream(copy) << "edited offline";
            QVERIFY(UnsentEdits::mark({ copy, "uk-1", "/FOLDER/Report.txt" }));
        };

        run.alerts().scriptAnswers({ 0, 1 }); // keep, then discard
        noteUnsentCopy();
        run.app().quit();
        QVERIFY(std::filesystem::exists(copy));
        QCOMPARE(run.app().manager()->unsentEdits().size(), std::size_t(1));
        const auto asked = run.alerts().records();
        QCOMPARE(asked.size(), std::size_t(1));
        QCOMPARE(asked[0].alert.messageKey, std::string("message_unsent_edits_at_sign_out"));
        QCOMPARE(asked[0].alert.detail, std::string("Report.txt"));

        run.app().quit();
        QVERIFY(!std::filesystem::exists(copy));
        QVERIFY(run.app().manager()->unsentEdits().empty());
        QCOMPARE(run.quitCount(), 2);
    }

    void menusCarryTheDisplayNameAndTheGaugeFollowsWorkers()
    {
        AppRun run;
        run.start(nullptr, [](ConfigInfo& config) { config.setFullName("Ann Example"); });
        QMenuBar* bar = run.app().fileWindow().window()->menuBar();
        QMenu probe(QStringLiteral("Norvane and Norvane"));
        probe.addAction(QStringLiteral("About Norvane"));
        bar->addMenu(&probe);
        AppDelegate::replaceProductName(bar, QStringLiteral("Acme Files"));
        QCOMPARE(probe.title(), QStringLiteral("Acme Files and Acme Files"));
        QCOMPARE(probe.actions().front()->text(), QStringLiteral("About Acme Files"));
        bar->removeAction(probe.menuAction());

        FileWindowController& files = run.app().fileWindow();
        files.showWindow();
        QCOMPARE(files.window()->windowTitle(), QStringLiteral("Ann Example - Norvane"));
        std::thread([] {
            NotificationCenter::defaultCenter().post(RestStorageServiceAdaptor::kNotificationStorageSizeChange, nullptr,
                { { "storage", Value("536870912/2147483648") } });
        }).join();
        QTRY_COMPARE(files.spaceSizeLabel()->text(), QStringLiteral("Storage used: 512.0 MB/2.0 GB"));
        QCOMPARE(files.spaceIndicator()->value(), 25);
        QCOMPARE(run.config().usedSpaceSize(), std::string("536870912"));
        // Anything but "used/total" changes nothing.
        for (const char* bad : { "1/2/3", "12345", "" })
            files.changedStorageSize(bad);
        QCOMPARE(files.spaceSizeLabel()->text(), QStringLiteral("Storage used: 512.0 MB/2.0 GB"));

        // Every control a person can reach says what it is to assistive technology.
        SettingWindowController* settings = run.app().openSettings(false);
        PresentedCertificate certificate;
        certificate.subject = "CN=example";
        TrustPrompt prompt("example:443", certificate);
        const QList<QWidget*> windows { run.app().loginWindow().loginWindow(),
            run.app().loginWindow().netSettingWindow(), run.app().loginWindow().loadingWindow(), settings->window(),
            run.app().deviceWindow().window(), files.window(), &prompt };
        for (QWidget* window : windows) {
            for (QWidget* control : window->findChildren<QWidget*>()) {
                if (control->focusPolicy() == Qt::NoFocus && !qobject_cast<QProgressBar*>(control))
                    continue;
                if (control->inherits("QTabBar") || control->inherits("QScrollBar") || control->inherits("QToolButton"))
                    continue; // named by their tabs and actions
                QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
                QVERIFY2(accessible && !accessible->text(QAccessible::Name).isEmpty(),
                    qPrintable(window->objectName() + QStringLiteral(": ") + control->metaObject()->className()
                        + QStringLiteral(" ") + control->objectName()));
            }
        }
        settings->window()->close();

        // With no window on screen a reopen brings the file window; closing it quits.
        files.window()->hide();
        run.app().loginWindow().closeAll();
        run.app().applicationShouldHandleReopen();
        QVERIFY(files.window()->isVisible());
        files.window()->close();
        QCOMPARE(run.quitCount(), 1);
    }
};

} // namespace norvane::uitest

using norvane::uitest::ApplicationShellTest;
NORVANE_UI_TEST(ApplicationShellTest)

#include "ApplicationShellTest.moc"
