// The progress sheet fed by transfers whose commands a worker makes: a batch per turn of the
// event loop, several transfers on one sheet, and Stop reaching commands made after it.

#include "UiTestSupport.h"

#include "app/ui/ProgressSheet.h"
#include "app/ui/QtMainQueue.h"
#include "app/ui/SheetFeed.h"

#include <QMainWindow>

#include <thread>

namespace norvane::uitest {

namespace {

CloudServiceCommandPtr command(std::uint64_t size)
{
    auto made = std::make_shared<CloudServiceCommand>();
    made->totleFileSize = size;
    return made;
}

} // namespace

class SheetFeedTest : public QObject {
    Q_OBJECT

    std::shared_ptr<QtMainQueue> queue_;
    QMainWindow window_;

private slots:
    void initTestCase()
    {
        queue_ = std::make_shared<QtMainQueue>();
        MainQueue::setShared(queue_);
        window_.show();
    }
    void cleanupTestCase() { MainQueue::setShared(nullptr); }

    void aWorkersCommandsArriveOnTheNextTurn()
    {
        ProgressSheet sheet(&window_);
        auto upload = SheetFeed::start(&sheet, QStringLiteral("Uploading"));
        std::vector<CloudServiceCommandPtr> made;
        for (int i = 0; i < 1000; ++i)
            made.push_back(command(10));
        std::thread worker([&] {
            for (const auto& each : made)
                upload->observeProgress(each, "upload");
        });
        worker.join();
        QVERIFY(sheet.commands().empty());
        QTRY_COMPARE(sheet.commands().size(), std::size_t { 1000 });
        QVERIFY(sheet.isVisible());

        // A second transfer shares the sheet; each takes only its own commands off.
        auto download = SheetFeed::start(&sheet, QStringLiteral("Downloading"));
        download->addAll({ command(5) });
        QTRY_COMPARE(sheet.commands().size(), std::size_t { 1001 });
        upload->finish();
        QCOMPARE(sheet.commands().size(), std::size_t { 1 });
        QVERIFY(sheet.isVisible());
        // What an ended transfer still reports stays off the sheet.
        upload->addAll({ command(1) });
        QTest::qWait(50);
        QCOMPARE(sheet.commands().size(), std::size_t { 1 });
        download->finish();
        QVERIFY(!sheet.isVisible());
        QVERIFY(sheet.commands().empty());
    }

    void stopReachesCommandsMadeAfterIt()
    {
        ProgressSheet sheet(&window_);
        auto upload = SheetFeed::start(&sheet, QStringLiteral("Uploading"));
        auto first = command(10);
        upload->addAll({ first });
        QTRY_COMPARE(sheet.commands().size(), std::size_t { 1 });
        auto waiting = command(10);
        upload->addAll({ waiting }); // on its way to the sheet when Stop is pressed
        sheet.stop();
        QVERIFY(first->isStopped());
        QVERIFY(upload->stopped());
        QVERIFY(upload->progressList()->isCancelled());
        QTRY_VERIFY(waiting->isStopped());
        auto late = command(10);
        upload->progressList()->append(late);
        QVERIFY(late->isStopped());
        QVERIFY(!sheet.isVisible());

        // A transfer that ended before the press is not touched by it.
        ProgressSheet other(&window_);
        auto ended = SheetFeed::start(&other, QStringLiteral("Downloading"));
        auto done = command(10);
        ended->addAll({ done });
        QTRY_COMPARE(other.commands().size(), std::size_t { 1 });
        ended->finish();
        auto running = SheetFeed::start(&other, QStringLiteral("Uploading"));
        auto busy = command(10);
        running->addAll({ busy });
        QTRY_COMPARE(other.commands().size(), std::size_t { 1 });
        other.stop();
        QVERIFY(busy->isStopped());
        QVERIFY(!done->isStopped());
        QVERIFY(!ended->stopped());
    }
};

} // namespace norvane::uitest

using norvane::uitest::SheetFeedTest;
NORVANE_UI_TEST(SheetFeedTest)

#include "SheetFeedTest.moc"
