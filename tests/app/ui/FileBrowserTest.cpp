// The file window's browser against a norvane-server with the demo data: the side bar's roots, the
// folder pictures and row colours, thumbnails, keyboard and the model's change by key.

#include "UiTestSupport.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/ui/EntryDisplay.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileDataBrowserCell.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/PreviewController.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QLineEdit>
#include <QListView>
#include <QMainWindow>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTreeWidget>

namespace norvane::uitest {

namespace {

QColor textColour(const QModelIndex& index)
{
    return index.data(Qt::ForegroundRole).value<QBrush>().color();
}

QTreeWidgetItem* sideBarItem(QTreeWidget* sideBar, const QString& title)
{
    for (QTreeWidgetItem* item : sideBar->findItems(title, Qt::MatchExactly | Qt::MatchRecursive))
        if (item->parent())
            return item;
    return nullptr;
}

} // namespace

class FileBrowserTest : public BrowserTestBase {
    Q_OBJECT

    void signInAs(const std::string& user) { QVERIFY(session_->signInAs(user)); }

    // Clicks the row in its column, as a person would.
    void clickRow(const QModelIndex& index)
    {
        QListView* column = columnOf(browser(), index.parent());
        QVERIFY(column);
        column->scrollTo(index);
        QTest::mouseClick(column->viewport(), Qt::LeftButton, {}, column->visualRect(index).center());
    }

private slots:
    void initTestCase() { QVERIFY(startServer()); }
    void init() { newSession(); }
    void cleanup() { endSession(); }

    void theCellPutsItsPictureAndTextWhereTheyBelong()
    {
        // A wide picture in the 16-point box 4 points in, centred; the text from 22 points on,
        // cut at its end; rows 20 points high and as wide as the text needs.
        QStandardItemModel rows;
        auto* item = new QStandardItem(QStringLiteral("A rather long name that cannot fit.txt"));
        QPixmap wide(32, 16);
        wide.fill(Qt::red);
        item->setData(wide, Qt::DecorationRole);
        item->setFlags(item->flags() | Qt::ItemNeverHasChildren);
        rows.appendRow(item);
        FileDataBrowserCell cell;
        QListView view;
        view.setModel(&rows);
        QStyleOptionViewItem option;
        option.initFrom(&view);
        option.widget = &view;
        option.rect = QRect(0, 0, 120, 20);
        const QModelIndex index = rows.index(0, 0);
        QCOMPARE(cell.sizeHint(option, index),
            QSize(option.fontMetrics.horizontalAdvance(item->text()) + FileDataBrowserCell::kTextLeft + 2, 20));
        QImage picture(120, 20, QImage::Format_ARGB32);
        picture.fill(Qt::white);
        {
            QPainter painter(&picture);
            cell.paint(&painter, option, index);
        }
        const auto red = [&](int x, int y) {
            return picture.pixelColor(x, y).red() > 200 && picture.pixelColor(x, y).green() < 60;
        };
        QVERIFY(red(4, 10) && red(19, 10) && red(11, 6) && red(11, 13));
        QVERIFY(!red(3, 10) && !red(20, 10) && !red(11, 4) && !red(11, 15));
        // Ink only from 22 on, ending before the row does.
        int firstInk = -1;
        int lastInk = -1;
        for (int x = 0; x < 120; ++x)
            for (int y = 0; y < 20; ++y)
                if (picture.pixelColor(x, y).lightness() < 128 && !red(x, y)) {
                    firstInk = firstInk < 0 ? x : firstInk;
                    lastInk = x;
                }
        QVERIFY2(firstInk >= FileDataBrowserCell::kTextLeft, qPrintable(QString::number(firstInk)));
        QVERIFY(lastInk < 118);
        // The favourites' shortcuts are named after what they point at.
        QCOMPARE(EntryDisplay::withoutShortcutSuffix("Plans.folder.fvrt"), QStringLiteral("Plans"));
        QCOMPARE(EntryDisplay::withoutShortcutSuffix("Plan.txt.fvrt"), QStringLiteral("Plan.txt"));
        QCOMPARE(EntryDisplay::withoutShortcutSuffix("fvrt"), QStringLiteral("fvrt"));
        // A lock wins over a running copy.
        fileInformation locked;
        locked.lockUserId = "someone";
        locked.actionType = "COPY";
        locked.actionFileType = "1";
        QCOMPARE(EntryDisplay::tone(locked, true), EntryDisplay::Tone::Locked);
    }

    void sideBarChoosesTheRootAndOnlyTheSharedAreaSearchesByAuthor()
    {
        signInAs("manager");
        QTRY_VERIFY(rowTexts(model()).contains(QStringLiteral("Norvane Guide.pdf")));
        QCOMPARE(rowTexts(model()), (QStringList { "Memo", "Photos", "Recorder", "お気に入り", "Norvane Guide.pdf" }));
        QCOMPARE(files().sideBar()->currentItem()->text(0), QStringLiteral("マイフォルダ"));
        QVERIFY(!files().searchType()->isEnabled());

        files().sideBar()->setCurrentItem(sideBarItem(files().sideBar(), QStringLiteral("共有")));
        QTRY_COMPARE(rowTexts(model()), (QStringList { "Projects", "Public" }));
        QVERIFY(files().searchType()->isEnabled());
        files().searchType()->setCurrentIndex(1);
        files().searchField()->setText(QStringLiteral("zzz-nothing"));
        QTRY_VERIFY(!files().isBusy());

        // Another root: the search is emptied, and the kind goes back to names and is locked.
        files().sideBar()->setCurrentItem(sideBarItem(files().sideBar(), QStringLiteral("写真")));
        QVERIFY(files().searchField()->text().isEmpty());
        QVERIFY(!files().searchType()->isEnabled());
        QCOMPARE(files().searchType()->currentIndex(), 0);
        QTRY_COMPARE(model()->rowCount(), 4);
        QVERIFY(rowTexts(model()).filter(QStringLiteral(".jpg")).size() == 4);
    }

    void dragOverTheSideBarChoosesEachItemOnce()
    {
        signInAs("manager");
        QTreeWidget* side = files().sideBar();
        QTRY_VERIFY(model()->rowCount() > 0);
        QMimeData data;
        data.setUrls({ QUrl::fromLocalFile(QStringLiteral("/nowhere/report.txt")) });
        const QPoint shared = side->visualItemRect(sideBarItem(side, QStringLiteral("共有"))).center();
        const QPoint group = side->visualItemRect(side->topLevelItem(0)).center();
        QDragEnterEvent enter(group, Qt::CopyAction, &data, Qt::LeftButton, {});
        QVERIFY(QApplication::sendEvent(side->viewport(), &enter));
        QVERIFY(enter.isAccepted());
        QDragMoveEvent overGroup(group, Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(side->viewport(), &overGroup);
        QCOMPARE(session_->run.app().manager()->rootNodeType(), std::int32_t { RootNodeMyFolder });
        QDragMoveEvent overShared(shared, Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(side->viewport(), &overShared);
        QVERIFY(!overShared.isAccepted()); // the side bar takes no drop
        QCOMPARE(session_->run.app().manager()->rootNodeType(), std::int32_t { RootNodeShare });
        QTRY_COMPARE(rowTexts(model()), (QStringList { "Projects", "Public" }));
        // Moving on within the same item chooses nothing again.
        const auto root = session_->run.app().manager()->rootNode();
        QDragMoveEvent again(shared + QPoint(3, 0), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(side->viewport(), &again);
        QCOMPARE(session_->run.app().manager()->rootNode(), root);
        QDropEvent drop(shared, Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(side->viewport(), &drop);
        QVERIFY(!drop.isAccepted());
    }

    void folderPicturesAndTheColoursOfLockedCopyingAndReadOnlyRows()
    {
        // A read-only top-level shared folder is red; the backup folder blue, favourites starred.
        QCOMPARE(server_->setReadOnly("demo", "/SHAREFOLDER/Public").status, 200L);
        signInAs("member");
        QTRY_VERIFY(model()->rowCount() > 0);
        QCOMPARE(await([](auto done) { StorageServiceLogic::makeFolder("/FOLDER/BackupFolder", done); }), 1);
        browser()->listFolder({});
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("BackupFolder")).isValid());
        QCOMPARE(rowTexts(model()).first(), QStringLiteral("BackupFolder"));
        const auto image = [&](const QModelIndex& index) { return EntryDisplay::folderImage(*model()->entry(index)); };
        QCOMPARE(image(model()->childNamed({}, QStringLiteral("BackupFolder"))), Icons::Name::FolderBlue);
        QCOMPARE(image(model()->childNamed({}, QStringLiteral("お気に入り"))), Icons::Name::FolderFavorite);
        QCOMPARE(image(model()->childNamed({}, QStringLiteral("Photos"))), Icons::Name::FolderYellow);

        files().selectRoot(RootNodeShare);
        QTRY_COMPARE(model()->rowCount(), 2);
        QCOMPARE(image(model()->childNamed({}, QStringLiteral("Public"))), Icons::Name::FolderRed);
        QCOMPARE(image(model()->childNamed({}, QStringLiteral("Projects"))), Icons::Name::FolderYellow);

        // The manager's lock shows red; files the member may only read orange; the rest black.
        const QModelIndex projects = model()->childNamed({}, QStringLiteral("Projects"));
        clickRow(projects);
        QTRY_VERIFY(model()->childNamed(projects, QStringLiteral("Roadmap.txt")).isValid());
        const QColor red = EntryDisplay::colour(EntryDisplay::Tone::Locked, QGuiApplication::palette());
        const QColor orange = EntryDisplay::colour(EntryDisplay::Tone::ReadOnly, QGuiApplication::palette());
        const QColor black = QGuiApplication::palette().color(QPalette::Text);
        QCOMPARE(textColour(model()->childNamed(projects, QStringLiteral("Roadmap.txt"))), red);
        QCOMPARE(textColour(model()->childNamed(projects, QStringLiteral("Budget.csv"))), orange);
        QCOMPARE(textColour(model()->childNamed(projects, QStringLiteral("Design"))), black);

        // A folder tree the server copies slowly: its target is grey, with the progress after its
        // name, for as long as the copy runs.
        QCOMPARE(await([](auto done) { StorageServiceLogic::makeFolder("/FOLDER/Copies", done); }), 1);
        QCOMPARE(server_->setCopySettings(1, 800).status, 200L);
        QCOMPARE(
            await([](auto done) { StorageServiceLogic::copyFile("/FOLDER/Copies", "/FOLDER/Memo", "Memo", 1, done); }),
            1);
        files().selectRoot(RootNodeMyFolder);
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("Copies")).isValid());
        const QModelIndex copies = model()->childNamed({}, QStringLiteral("Copies"));
        clickRow(copies);
        QTRY_VERIFY(model()->childNamed(copies, QStringLiteral("Memo")).isValid());
        const QModelIndex copying = model()->childNamed(copies, QStringLiteral("Memo"));
        QVERIFY2(copying.data().toString().contains(QRegularExpression(QStringLiteral("^Memo\\(\\d+%\\)$"))),
            qPrintable(copying.data().toString()));
        QCOMPARE(textColour(copying), EntryDisplay::colour(EntryDisplay::Tone::Copying, QGuiApplication::palette()));
        server_->setCopySettings(64, 0);
        server_->setReadOnly("demo", "/SHAREFOLDER/Public", false);
    }

    void aPhotoShowsItsIconThenItsThumbnailAfterOneRequest()
    {
        auto asked = std::make_shared<std::map<std::string, int>>();
        session_->run.thumbnails
            = [asked](const fileInformation& entry, long size, StorageServiceLogic::ImageCallback done) {
                  ++(*asked)[entry.uk.value_or("")];
                  StorageServiceLogic::downloadThumbnailImageWithQueue(entry, size, std::move(done));
              };
        signInAs("manager");
        files().window()->resize(1000, 700);
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("Photos")).isValid());
        const QModelIndex photos = model()->childNamed({}, QStringLiteral("Photos"));
        clickRow(photos);
        QTRY_COMPARE(model()->rowCount(photos), 4);
        const QModelIndex first = model()->index(0, 0, photos);
        // The type's icon at once, the picture when it comes.
        QCOMPARE(first.data(Qt::DecorationRole).typeId(), QMetaType::QIcon);
        QTRY_COMPARE(first.data(Qt::DecorationRole).typeId(), QMetaType::QPixmap);
        QTRY_COMPARE(asked->size(), std::size_t { 4 });
        // Painting the rows again, and listing the folder again, asks no more.
        QListView* column = columnOf(browser(), photos);
        column->viewport()->repaint();
        browser()->listFolder(photos);
        QTRY_VERIFY(!files().isBusy());
        column->viewport()->repaint();
        QTest::qWait(100);
        for (const auto& [key, count] : *asked)
            QVERIFY2(count == 1, key.c_str());
        QCOMPARE(browser()->thumbnails()->outstanding(), 0);
    }

    void pagingThroughManyPhotosAsksOnlyForTheRowsItStopsAt()
    {
        auto asked = std::make_shared<std::vector<std::string>>();
        session_->run.thumbnails
            = [asked](const fileInformation& entry, long size, StorageServiceLogic::ImageCallback done) {
                  asked->push_back(entry.displayName.value_or(""));
                  StorageServiceLogic::downloadThumbnailImageWithQueue(entry, size, std::move(done));
              };
        signInAs("manager");
        QCOMPARE(await([](auto done) { StorageServiceLogic::makeFolder("/FOLDER/Album", done); }), 1);
        const auto bulk = server_->control("POST", "/_control/bulk-files",
            R"({"company": "demo", "user": "manager", "folder": "/FOLDER/Album", "count": 600, "prefix": "p",
                "suffix": ".jpg"})");
        QCOMPARE(bulk.status, 200L);
        browser()->listFolder({});
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("Album")).isValid());
        const QModelIndex album = model()->childNamed({}, QStringLiteral("Album"));
        clickRow(album);
        QTRY_COMPARE(model()->rowCount(album), 600);
        QListView* column = columnOf(browser(), album);
        QVERIFY(column);
        QTest::qWait(2 * ThumbnailLoader::kSettleMs);
        asked->clear();

        // Page after page, quicker than the rows settle: nothing is asked on the way.
        column->setFocus();
        browser()->setCurrentIndex(model()->index(0, 0, album));
        for (int page = 0; page < 20; ++page) {
            QTest::keyClick(column, Qt::Key_PageDown);
            column->viewport()->repaint();
            QCoreApplication::processEvents();
        }
        QTRY_VERIFY(!asked->empty());
        QTRY_COMPARE(browser()->thumbnails()->outstanding(), 0);
        const int visible = column->viewport()->height() / FileDataBrowserCell::kRowHeight + 1;
        QVERIFY2(static_cast<int>(asked->size()) <= visible + ThumbnailLoader::kLimit,
            qPrintable(QString::number(asked->size())));
        // The rows it stopped at are served; the hundreds painted on the way were dropped.
        const QModelIndex top = column->indexAt(QPoint(2, 2));
        QVERIFY(top.row() > 300);
        for (int row = top.row(); row < top.row() + visible - 2; ++row)
            QCOMPARE(model()->thumbnailState(model()->index(row, 0, album)), FileBrowserModel::Thumbnail::Done);
        QCOMPARE(browser()->thumbnails()->waiting(), 0);
        QCOMPARE(await([](auto done) { StorageServiceLogic::deleteFile("/FOLDER/Album", done); }), 1);
    }

    void keysMoveBetweenRowsAndColumnsOpenAndGoUp()
    {
        signInAs("manager");
        files().window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(files().window()));
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("Photos")).isValid());
        const auto press = [](int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key), modifiers);
        };
        browser()->setCurrentIndex(model()->childNamed({}, QStringLiteral("Memo")));
        browser()->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), columnOf(browser(), {}));
        press(Qt::Key_Down);
        const QModelIndex photos = model()->childNamed({}, QStringLiteral("Photos"));
        QCOMPARE(browser()->currentIndex(), photos);
        QTRY_COMPARE(model()->rowCount(photos), 4);
        press(Qt::Key_Right);
        QCOMPARE(browser()->currentIndex(), model()->index(0, 0, photos));
        QTRY_COMPARE(QApplication::focusWidget(), columnOf(browser(), photos));
        press(Qt::Key_Down);
        QCOMPARE(browser()->currentIndex(), model()->index(1, 0, photos));
        // A file shows its preview; Return opens it; Backspace comes back to its folder.
        QTRY_COMPARE(browser()->preview()->representedObject(), model()->entry(browser()->currentIndex()));
        const QString name
            = QString::fromStdString(model()->entry(browser()->currentIndex())->displayName.value_or(""));
        press(Qt::Key_Return);
        QTRY_COMPARE(session_->opener->opened.size(), std::size_t { 1 });
        QVERIFY(session_->opener->opened.front().endsWith(QLatin1Char('/') + name));
        press(Qt::Key_Backspace);
        QCOMPARE(browser()->currentIndex(), photos);
        press(Qt::Key_Left);
        QCOMPARE(browser()->currentIndex(), photos); // the first column has nothing to its left
        // Ctrl+F goes to the search field; F5 lists the cursor's column again.
        press(Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), files().searchField());
        QTRY_VERIFY(!files().isBusy());
        files().window()->findChild<QAction*>(QStringLiteral("refreshAction"))->trigger();
        QVERIFY(files().isBusy());
        QTRY_VERIFY(!files().isBusy());
    }

    void aRelistedColumnKeepsItsSelectionAndTheColumnsToItsRight()
    {
        signInAs("manager");
        files().selectRoot(RootNodeShare);
        QTRY_COMPARE(model()->rowCount(), 2);
        const QPersistentModelIndex projects = model()->childNamed({}, QStringLiteral("Projects"));
        clickRow(projects);
        QTRY_VERIFY(model()->childNamed(projects, QStringLiteral("Design")).isValid());
        const QPersistentModelIndex design = model()->childNamed(projects, QStringLiteral("Design"));
        clickRow(design);
        QTRY_COMPARE(model()->rowCount(design), 2);
        QListView* designColumn = columnOf(browser(), design);
        QVERIFY(designColumn);

        // A new file in Projects: relisting that middle column adds one row and moves nothing else.
        QCOMPARE(await([](auto done) { StorageServiceLogic::makeFolder("/SHAREFOLDER/Projects/Archive", done); }), 1);
        browser()->listFolder(projects);
        QTRY_VERIFY(model()->childNamed(projects, QStringLiteral("Archive")).isValid());
        QVERIFY(design.isValid());
        QCOMPARE(browser()->currentIndex(), QModelIndex(design));
        QCOMPARE(columnOf(browser(), design), designColumn);
        QCOMPARE(model()->rowCount(design), 2);

        // A listing that fails leaves the column as it was.
        server_->setFaults(R"([{"path": "/SHAREFOLDER/Projects", "status": 500}])");
        const int before = model()->rowCount(projects);
        std::int32_t failed = -1;
        browser()->listFolder(projects, [&](std::int32_t result) { failed = result; });
        QTRY_VERIFY(failed >= 0);
        QVERIFY(failed != 1);
        server_->clearFaults();
        QCOMPARE(model()->rowCount(projects), before);
        QCOMPARE(columnOf(browser(), design), designColumn);
        await([](auto done) { StorageServiceLogic::deleteFile("/SHAREFOLDER/Projects/Archive", done); });
    }
};

} // namespace norvane::uitest

using norvane::uitest::FileBrowserTest;
NORVANE_UI_TEST(FileBrowserTest)

#include "FileBrowserTest.moc"
