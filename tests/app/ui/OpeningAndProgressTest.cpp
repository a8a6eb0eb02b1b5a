// Opening files from the file window, the progress sheet, and the preview pane, against a
// norvane-server with the demo data.

#include "UiTestSupport.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/EntryDisplay.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/PreviewController.h"
#include "app/ui/ProgressSheet.h"
#include "app/ui/UiText.h"

#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>

#include <filesystem>
#include <fstream>

namespace norvane::uitest {

namespace {

CloudServiceCommandPtr transfer(std::uint64_t size, float progress, std::int32_t result = 0)
{
    auto command = std::make_shared<CloudServiceCommand>();
    command->totleFileSize = size;
    command->progress.store(progress);
    command->commandRes = result;
    return command;
}

bool writable(const QString& path)
{
    using std::filesystem::perms;
    const auto permissions = std::filesystem::status(path.toStdString()).permissions();
    return (permissions & (perms::owner_write | perms::group_write | perms::others_write)) != perms::none;
}

std::string serverContent(const fileInformation& entry)
{
    auto result = std::make_shared<std::pair<std::int32_t, std::string>>(-1, std::string());
    StorageServiceLogic::downloadFileToData(entry, [result](std::int32_t code, const std::shared_ptr<Bytes>& data) {
        *result = { code, data ? std::string(data->begin(), data->end()) : std::string() };
    });
    if (!QTest::qWaitFor([&] { return result->first >= 0; }, 15000) || result->first != 1)
        return "(download failed)";
    return result->second;
}

} // namespace

class OpeningAndProgressTest : public BrowserTestBase {
    Q_OBJECT

    void signInAs(const std::string& user, const std::function<void(ConfigInfo&)>& prepare = {})
    {
        QVERIFY(session_->signInAs(user, prepare));
    }

    bool watched(const std::string& uk)
    {
        for (const WatchEntry& entry : session_->run.app().manager()->watchedFiles().entries())
            if (entry.uk == uk)
                return true;
        return false;
    }

    // Lists the folder on the path from the root, each folder selected in its column.
    QModelIndex walkTo(const QStringList& folders)
    {
        QModelIndex at;
        for (const QString& name : folders) {
            const QModelIndex next = model()->childNamed(at, name);
            if (!next.isValid())
                return {};
            browser()->selectAndList(next);
            if (!QTest::qWaitFor([&] { return model()->rowCount(next) > 0; }, 10000))
                return {};
            at = next;
        }
        return at;
    }

private slots:
    void initTestCase() { QVERIFY(startServer()); }
    void init() { newSession(); }
    void cleanup() { endSession(); }

    void progressTextsFollowTheSamplesOfAScriptedClock()
    {
        QMainWindow window;
        window.show();
        ProgressSheet sheet(&window);
        auto now = ProgressEstimate::Clock::time_point {};
        sheet.clock = [&] { return now; };
        // Two transfers of 100 bytes: one done, one at a fifth makes 60%, then 80%... The sums
        // count a finished command whole and a command not started as nothing.
        auto running = transfer(100, 0.0f);
        sheet.addCommand(transfer(100, 0.5f, 1));
        sheet.addCommand(running);
        QVERIFY(sheet.isVisible());
        QCOMPARE(sheet.label()->text(), QStringLiteral("50.0%"));
        QCOMPARE(sheet.bar()->value(), 500);

        // 40% ten seconds ago and 50% now: a tenth in ten seconds, half left, fifty seconds.
        ProgressSheet paced(&window);
        paced.clock = [&] { return now; };
        auto only = transfer(1000, 0.4f);
        paced.addCommand(only);
        QCOMPARE(paced.label()->text(), QStringLiteral("40.0%"));
        now += std::chrono::milliseconds(500);
        only->progress.store(0.45f);
        paced.refresh(); // less than a second after the last sample: not taken
        QCOMPARE(paced.label()->text(), QStringLiteral("45.0%"));
        now += std::chrono::milliseconds(9500);
        only->progress.store(0.5f);
        paced.refresh();
        QCOMPARE(paced.label()->text(), QStringLiteral("50.0%  残り時間 50秒"));
        // Slower: minutes and seconds.
        now += std::chrono::seconds(100);
        only->progress.store(0.51f);
        paced.refresh();
        QCOMPARE(paced.label()->text(), QStringLiteral("51.0%  残り時間 08分10秒"));

        // Standing still over the whole window of samples.
        ProgressSheet still(&window);
        still.clock = [&] { return now; };
        auto stuck = transfer(1000, 0.25f);
        still.addCommand(stuck);
        for (int i = 0; i < 12; ++i) {
            now += std::chrono::seconds(1);
            still.refresh();
        }
        QCOMPARE(still.label()->text(), QStringLiteral("25.0%  残り時間 99時間59分59秒"));
        QCOMPARE(ProgressEstimate::remainingText(3 * 3600 + 2 * 60 + 1.2), QStringLiteral("残り時間 03時間02分01秒"));

        // The last command gone, the sheet goes; Stop takes its commands with it.
        still.removeCommand(stuck);
        QVERIFY(!still.isVisible());
        sheet.stop();
        QVERIFY(!sheet.isVisible());
        QVERIFY(sheet.commands().empty());
        QVERIFY(sheet.wasStopped(running));
        QVERIFY(!paced.wasStopped(only));
    }

    void stopEndsTheSlowedDownloadAndLeavesTheThumbnailsLoading()
    {
        signInAs("manager");
        // The download trickles in; the thumbnails take their time too.
        const std::string slow = R"([{"path": "/FILE/Norvane Guide.pdf", "trickleBytesPerSecond": 400},
                                     {"path": "/FILE/Photos*", "delayMs": 1500}])";
        QCOMPARE(server_->setFaults(slow).status, 200L);
        files().openFileInformation(model()->entry(model()->childNamed({}, QStringLiteral("Norvane Guide.pdf"))));
        ProgressSheet* sheet = files().progressSheet();
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->commands().size(), std::size_t { 1 });
        const CloudServiceCommandPtr download = sheet->commands().front();
        const QModelIndex photos = walkTo({ QStringLiteral("Photos") });
        QVERIFY(photos.isValid());
        QTRY_COMPARE(browser()->thumbnails()->outstanding(), 4);
        QTRY_VERIFY(download->progress.load() > 0);

        QTest::mouseClick(sheet->stopButton(), Qt::LeftButton);
        QVERIFY(!sheet->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(download->commandRes, std::int32_t { 4 }, 3000);
        // The thumbnails were not the sheet's: they come all the same.
        QTRY_COMPARE_WITH_TIMEOUT(browser()->thumbnails()->outstanding(), 0, 5000);
        for (int row = 0; row < 4; ++row)
            QCOMPARE(model()->index(row, 0, photos).data(Qt::DecorationRole).typeId(), QMetaType::QPixmap);
        QTRY_VERIFY(!files().isBusy());
        QVERIFY(session_->opener->opened.empty());
        QVERIFY(session_->run.alerts().alerts().empty());
    }

    void aPdfIsKeptUnwritableAndAnEditedTextGoesBackAndItsColumnIsListedAgain()
    {
        signInAs("manager");
        session_->opener->opened.clear();
        const QModelIndex guide = model()->childNamed({}, QStringLiteral("Norvane Guide.pdf"));
        QVERIFY(guide.isValid());
        files().openFileInformation(model()->entry(guide));
        QVERIFY(files().progressSheet()->isVisible());
        QTRY_COMPARE(session_->opener->opened.size(), std::size_t { 1 });
        QVERIFY(!files().progressSheet()->isVisible());
        const QString pdf = session_->opener->opened.back();
        QVERIFY(QFileInfo::exists(pdf));
        QVERIFY(!writable(pdf));
        QVERIFY(!watched(model()->entry(guide)->uk.value_or("")));

        // A text file: writable and watched; a save on disk reaches the server, and the column
        // that shows it is listed again.
        const QModelIndex memo = walkTo({ QStringLiteral("Memo") });
        QVERIFY(memo.isValid());
        const QModelIndex list = model()->childNamed(memo, QStringLiteral("Shopping list.txt"));
        QVERIFY(list.isValid());
        browser()->setCurrentIndex(list);
        const auto before = model()->entry(list);
        files().openFileInformation(before);
        QTRY_COMPARE(session_->opener->opened.size(), std::size_t { 2 });
        const QString text = session_->opener->opened.back();
        QVERIFY(writable(text));
        QVERIFY(watched(before->uk.value_or("")));
        {
            std::ofstream out(text.toStdString(), std::ios::trunc);
            out << "milk\nbread\ntea\n";
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            model()->entry(model()->childNamed(memo, QStringLiteral("Shopping list.txt")))->timestamp
                != before->timestamp,
            15000);
        QCOMPARE(serverContent(*model()->entry(model()->childNamed(memo, QStringLiteral("Shopping list.txt")))),
            std::string("milk\nbread\ntea\n"));
        QVERIFY(session_->run.alerts().alerts().empty());
    }

    void aSharedFileIsLockedOnOpenWhenTheSettingsSaySo()
    {
        signInAs("member", [](ConfigInfo& config) { config.setAutoFileLockOn(1); });
        files().selectRoot(RootNodeShare);
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("Public")).isValid());
        const QModelIndex folder = walkTo({ QStringLiteral("Public") });
        const QModelIndex notice = model()->childNamed(folder, QStringLiteral("お知らせ.txt"));
        QVERIFY(notice.isValid());
        QVERIFY(model()->entry(notice)->lockUserId.value_or("").empty());
        files().openFileInformation(model()->entry(notice));
        QTRY_COMPARE(session_->opener->opened.size(), std::size_t { 1 });
        QTRY_VERIFY(!files().isBusy());
        browser()->listFolder(folder);
        QTRY_VERIFY(!model()
                         ->entry(model()->childNamed(folder, QStringLiteral("お知らせ.txt")))
                         ->lockUserId.value_or("")
                         .empty());
        QCOMPARE(model()
                     ->childNamed(folder, QStringLiteral("お知らせ.txt"))
                     .data(Qt::ForegroundRole)
                     .value<QBrush>()
                     .color(),
            EntryDisplay::colour(EntryDisplay::Tone::Locked, QGuiApplication::palette()));
        // Unlocked again for the other tests of this server.
        auto unlocked = std::make_shared<std::int32_t>(-1);
        StorageServiceLogic::lockFile(*model()->entry(model()->childNamed(folder, QStringLiteral("お知らせ.txt"))),
            false, [unlocked](std::int32_t result, const auto&) { *unlocked = result; });
        QTRY_COMPARE(*unlocked, 1);
    }

    void previewTextsAndALateThumbnailThatNeverReplacesTheNewSelection()
    {
        std::vector<std::pair<std::string, StorageServiceLogic::ImageCallback>> asked;
        PreviewController pane([&](const fileInformation& entry, long size, StorageServiceLogic::ImageCallback done) {
            QCOMPARE(size, PreviewController::kThumbnailEdge);
            asked.emplace_back(entry.uk.value_or(""), std::move(done));
        });
        pane.show();

        auto favourite = std::make_shared<fileInformation>();
        favourite->displayName = "Plans.folder.fvrt";
        favourite->fileExt = FileExtShortcut;
        favourite->uk = "/FILE/.Favorite./Plans.folder.fvrt";
        favourite->fileSize = 2048;
        favourite->creationdate = "Tue, 05 Mar 2024 09:07:00 GMT";
        pane.setRepresentedObject(favourite);
        QCOMPARE(pane.nameLabel()->text(), QStringLiteral("Name: Plans"));
        QCOMPARE(pane.sizeLabel()->text(), QStringLiteral("Size: 2.0 KB"));
        QCOMPARE(pane.typeLabel()->text(), QStringLiteral("Type: ショートカット"));
        QCOMPARE(pane.ownerLabel()->text(), QStringLiteral("Owner: -"));
        QCOMPARE(pane.editorLabel()->text(), QStringLiteral("Last edited by: -"));
        QVERIFY(pane.createdLabel()->text().startsWith(QStringLiteral("Created: 2024-03-0")));
        QVERIFY(!pane.accessLabel()->isVisible()); // not in the shared area
        QVERIFY(!pane.lockIcon()->isVisible());
        favourite->displayName = "Plan.txt.fvrt";
        pane.setRepresentedObject(favourite);
        QCOMPARE(pane.nameLabel()->text(), QStringLiteral("Name: Plan.txt"));

        // Shared, editable for all (accessType 2), locked, being copied into.
        auto shared = std::make_shared<fileInformation>();
        shared->displayName = "Cover.jpg";
        shared->uk = "/SHAREFILE/Projects/Cover.jpg";
        shared->fileExt = FileExtPhoto;
        shared->editpermission = 1;
        shared->ownername = "Menba Ichiro";
        shared->authorname = "Mana Kanri";
        shared->lockUserId = "manager";
        shared->lockUserName = "Mana Kanri";
        shared->actionType = "COPY";
        shared->actionFileType = "1";
        shared->actionProgress = "40";
        pane.setRepresentedObject(shared);
        QCOMPARE(pane.accessLabel()->text(), QStringLiteral("Access: ") + uiText("word_read_write"));
        QVERIFY(pane.accessLabel()->isVisible());
        QCOMPARE(pane.lockLabel()->text(), QStringLiteral("Locked by: Mana Kanri"));
        QVERIFY(pane.lockIcon()->isVisible());
        QCOMPARE(pane.ownerLabel()->text(), QStringLiteral("Owner: Menba Ichiro"));
        QCOMPARE(pane.createdLabel()->text(), QStringLiteral("Copying on the server: 40"));
        // Passing over a photo asks nothing; staying on it asks once.
        auto passed = std::make_shared<fileInformation>(*shared);
        passed->uk = "/SHAREFILE/Projects/Passed.jpg";
        pane.setRepresentedObject(passed);
        pane.setRepresentedObject(shared);
        QCOMPARE(pane.createdLabel()->palette().color(QPalette::WindowText),
            EntryDisplay::colour(EntryDisplay::Tone::Copying, pane.palette()));

        // Another photo is chosen before the first one's thumbnail comes: the late one is dropped.
        QTRY_COMPARE(asked.size(), std::size_t { 1 });
        QCOMPARE(asked[0].first, std::string("/SHAREFILE/Projects/Cover.jpg"));
        auto other = std::make_shared<fileInformation>(*shared);
        other->uk = "/SHAREFILE/Projects/Other.jpg";
        pane.setRepresentedObject(other);
        QTRY_COMPARE(asked.size(), std::size_t { 2 });
        QCOMPARE(asked[1].first, std::string("/SHAREFILE/Projects/Other.jpg"));
        auto picture = std::make_shared<QImage>(180, 120, QImage::Format_RGB32);
        picture->fill(Qt::red);
        asked[0].second(1, picture);
        QVERIFY(!pane.showsThumbnail());
        asked[1].second(1, picture);
        QVERIFY(pane.showsThumbnail());

        // A double click asks to open what the pane shows.
        std::shared_ptr<fileInformation> opened;
        pane.openRequested = [&](const std::shared_ptr<fileInformation>& entry) { opened = entry; };
        QTest::mouseDClick(&pane, Qt::LeftButton, {}, QPoint(5, pane.height() - 5));
        QCOMPARE(opened, other);
    }
};

} // namespace norvane::uitest

using norvane::uitest::OpeningAndProgressTest;
NORVANE_UI_TEST(OpeningAndProgressTest)

#include "OpeningAndProgressTest.moc"
