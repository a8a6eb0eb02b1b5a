// Drag and drop in the file window against a norvane-server: the row records, which drops are
// refused, a move, a copy with Alt held, a copy into the shared area with its question, and files
// and folders dropped from the desktop.

#include "UiTestSupport.h"

#include "app/logic/Path.h"
#include "app/state/PermissionRules.h"
#include "app/ui/BrowserDragDrop.h"
#include "app/ui/DragRecords.h"
#include "app/ui/ProgressSheet.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QUrl>

#include <fstream>

namespace norvane::uitest {

namespace {

using DragRecords::Operation;

std::shared_ptr<fileInformation> folder(const std::string& uk, const std::string& fullPath)
{
    auto made = std::make_shared<fileInformation>();
    made->uk = uk;
    made->fullPath = fullPath;
    made->fileType = 1;
    return made;
}

DragRecords::Row fileRow(const std::string& uk, const std::string& fullPath, bool canMove = true)
{
    return { uk, fullPath.substr(fullPath.rfind('/') + 1), 0, 0, fullPath, canMove };
}

// What a column made of a drag: whether it took it while hovering, and at the drop.
struct Dropped {
    bool takenWhileHovering = false;
    bool taken = false;
    Qt::DropAction action = Qt::IgnoreAction;
};

// Drags the data into the column, over `at`, and drops it there, as the window system does.
Dropped dragOnto(QListView* column, const QMimeData* data, QPoint at, Qt::KeyboardModifiers keys = {})
{
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    Dropped result;
    QDragEnterEvent enter(at, offered, data, Qt::LeftButton, keys);
    QApplication::sendEvent(column->viewport(), &enter);
    QDragMoveEvent move(at, offered, data, Qt::LeftButton, keys);
    QApplication::sendEvent(column->viewport(), &move);
    result.takenWhileHovering = move.isAccepted();
    QDropEvent drop(QPointF(at), offered, data, Qt::LeftButton, keys);
    QApplication::sendEvent(column->viewport(), &drop);
    result.taken = drop.isAccepted();
    result.action = drop.dropAction();
    return result;
}

QPoint below(QListView* column)
{
    return { 10, column->viewport()->height() - 5 };
}

void writeFile(const QString& path, const std::string& content)
{
    QDir().mkpath(QFileInfo(path).path());
    std::ofstream(path.toStdString(), std::ios::binary) << content;
}

} // namespace

class DragDropTest : public BrowserTestBase {
    Q_OBJECT

    QTemporaryDir local_;
    Account account_;

    void signInFresh() { QVERIFY(session_->signInManagingTeam(account_)); }

    // The selected rows of the folder's column as a drag of ours carries them.
    std::unique_ptr<QMimeData> dragOf(const QModelIndex& folder, const QStringList& names)
    {
        QListView* column = columnOf(browser(), folder);
        if (!column)
            return {};
        column->selectionModel()->clearSelection();
        for (const QString& name : names)
            column->selectionModel()->select(model()->childNamed(folder, name), QItemSelectionModel::Select);
        return std::unique_ptr<QMimeData>(files().dragDrop()->dragData(static_cast<BrowserColumn*>(column)));
    }

    QPoint centreOf(const QModelIndex& folder, const QString& name)
    {
        return columnOf(browser(), folder)->visualRect(model()->childNamed(folder, name)).center();
    }

    // The folder's rows once listed again.
    QStringList listed(const QModelIndex& folder)
    {
        auto done = std::make_shared<bool>(false);
        browser()->listFolder(folder, [done](std::int32_t) { *done = true; });
        if (!QTest::qWaitFor([&] { return *done; }, 10000))
            return { QStringLiteral("(not listed)") };
        return rowTexts(model(), folder);
    }

private slots:
    void initTestCase() { QVERIFY(startServer()); }
    void init() { newSession(); }
    void cleanup() { endSession(); }

    void rowRecordsSurviveAnyName()
    {
        DragRecords::Row odd { "/FILE/a#ABBA#b%.txt", "a#ABBA#b%\n.txt", 3, 0, "/a#ABBA#b%\n.txt", true };
        const auto parsed = DragRecords::parse(DragRecords::record(odd));
        QVERIFY(parsed.has_value());
        QVERIFY(*parsed == odd);
        QCOMPARE(DragRecords::record(fileRow("/FILE/x.txt", "/x.txt", false)),
            std::string("/FILE/x.txt#ABBA#x.txt#ABBA#0#ABBA#0#ABBA#/x.txt#ABBA#0"));
        // Records with fields missing or not numbers where numbers belong are no rows.
        QVERIFY(!DragRecords::parse("/FILE/x#ABBA#x#ABBA#0#ABBA#0#ABBA#/x").has_value());
        QVERIFY(!DragRecords::parse("/FILE/x#ABBA#x#ABBA#one#ABBA#0#ABBA#/x#ABBA#1").has_value());
        QVERIFY(!DragRecords::parse("/FILE/x#ABBA#x#ABBA#0#ABBA#0#ABBA#/x#ABBA#2").has_value());
        const std::vector rows { odd, fileRow("/FILE/y.txt", "/y.txt") };
        QVERIFY(DragRecords::decode(DragRecords::encode(rows) + "garbage\n") == rows);
        QCOMPARE(BrowserDragDrop::dragImageText(3), QStringLiteral("3 items being dragged"));
    }

    void whatADropDoesAsATable()
    {
        const auto memo = folder("/FOLDER/Memo", "/Memo");
        const auto team = folder("/SHAREFOLDER/Team", "/Team");
        const auto own = fileRow("/FILE/a.txt", "/a.txt");
        const auto shared = fileRow("/SHAREFILE/Team/b.txt", "/Team/b.txt");
        const std::uint64_t alt = PermissionRules::kAlternateKeyMask;
        const std::uint64_t ctrl = PermissionRules::kCommandKeyMask;
        // Within an area a move, with Alt a copy; across areas a copy, with Ctrl a move.
        QCOMPARE(DragRecords::decide({ own }, *memo, 0).operation, Operation::Move);
        QCOMPARE(DragRecords::decide({ own }, *memo, alt).operation, Operation::Copy);
        QCOMPARE(DragRecords::decide({ own }, *team, 0).operation, Operation::Copy);
        QCOMPARE(DragRecords::decide({ own }, *team, ctrl).operation, Operation::Move);
        QCOMPARE(DragRecords::decide({ shared }, *memo, 0).operation, Operation::Copy);
        // One file that may not move refuses a move, not a copy; among several it moves along.
        const auto held = fileRow("/FILE/held.txt", "/held.txt", false);
        QCOMPARE(DragRecords::decide({ held }, *memo, 0).operation, Operation::Refused);
        QCOMPARE(DragRecords::decide({ held }, *memo, alt).operation, Operation::Copy);
        QCOMPARE(DragRecords::decide({ held, own }, *memo, 0).files.size(), std::size_t { 2 });
        // Folder rows never travel: alone they refuse the drop, among files they stay behind.
        DragRecords::Row photos { "/FOLDER/Photos", "Photos", 0, 1, "/Photos", true };
        QCOMPARE(DragRecords::decide({ photos }, *memo, 0).operation, Operation::Refused);
        const auto mixed = DragRecords::decide({ photos, own }, *memo, 0);
        QCOMPARE(mixed.files.size(), std::size_t { 1 });
        QCOMPARE(mixed.files.front().uk, own.uk);
        // Targets that take nothing, and a drop back into the rows' own folder.
        auto readOnly = folder("/SHAREFOLDER/Public", "/Public");
        readOnly->isReadOnly = true;
        for (const auto& refusing : { readOnly, folder("/FOLDER/.Favorite.", "/.Favorite."),
                 folder("/SHAREFOLDER", "/"), folder("/FOLDER/BackupFolder", "/BackupFolder"), folder("/FOLDER", "/") })
            QCOMPARE(DragRecords::decide({ own }, *refusing, alt).operation, Operation::Refused);
        QCOMPARE(DragRecords::decide({ fileRow("/FILE/.Favorite./a.fvrt", "/.Favorite./a.fvrt") }, *memo, 0).operation,
            Operation::Refused);
        QCOMPARE(DragRecords::fileFormOfFolder("/SHAREFOLDER/Team/x"), std::optional<std::string>("/SHAREFILE/Team/x"));
        QCOMPARE(DragRecords::fileFormOfFolder("/FOLDERS/x"), std::optional<std::string>());
    }

    void moveAndCopyWithinMyFolder()
    {
        signInFresh();
        for (const char* name : { "a.txt", "b.txt" })
            QCOMPARE(putFile(local_.path(), QString::fromLatin1(name), name, "/FILE"), 1);
        const QModelIndex photos = listedRow(browser(), {}, QStringLiteral("Photos"));
        QVERIFY(listedRow(browser(), {}, QStringLiteral("b.txt")).isValid());
        QListView* root = columnOf(browser(), {});

        // Hovering over a folder opens its column; the drop there moves the file.
        auto data = dragOf({}, { QStringLiteral("a.txt") });
        QVERIFY(data);
        const auto moved = dragOnto(root, data.get(), centreOf({}, QStringLiteral("Photos")));
        QVERIFY(moved.takenWhileHovering && moved.taken);
        QCOMPARE(moved.action, Qt::MoveAction);
        QVERIFY(columnOf(browser(), photos));
        QTRY_VERIFY_WITH_TIMEOUT(model()->childNamed(photos, QStringLiteral("a.txt")).isValid(), 10000);
        QTRY_VERIFY(!model()->childNamed({}, QStringLiteral("a.txt")).isValid());

        // Alt held copies: the file stays where it was.
        data = dragOf({}, { QStringLiteral("b.txt") });
        const auto copied = dragOnto(root, data.get(), centreOf({}, QStringLiteral("Photos")), Qt::AltModifier);
        QVERIFY(copied.taken);
        QCOMPARE(copied.action, Qt::CopyAction);
        QTRY_VERIFY_WITH_TIMEOUT(model()->childNamed(photos, QStringLiteral("b.txt")).isValid(), 10000);
        QVERIFY(listed({}).contains(QStringLiteral("b.txt")));
        QVERIFY(session_->run.alerts().count() == 0); // nothing asked outside the shared area
    }

    void refusedDropsChangeNothing()
    {
        signInFresh();
        QCOMPARE(putFile(local_.path(), QStringLiteral("c.txt"), "c", "/FILE"), 1);
        QVERIFY(listedRow(browser(), {}, QStringLiteral("c.txt")).isValid());
        QListView* root = columnOf(browser(), {});
        const QStringList before = rowTexts(model(), {});
        const int dropsBefore = files().dragDrop()->dropsStarted();

        // A folder row is not dragged; a file is not dropped back into its own folder (the gap of
        // the column it came from), nor into the favourites.
        auto folderRow = dragOf({}, { QStringLiteral("Memo") });
        QVERIFY(!dragOnto(root, folderRow.get(), centreOf({}, QStringLiteral("Photos"))).taken);
        auto file = dragOf({}, { QStringLiteral("c.txt") });
        QVERIFY(!dragOnto(root, file.get(), below(root)).taken);
        files().selectRoot(RootNodeFavorite);
        QTRY_VERIFY(model()->entry({}) && Path::isFavoriteFolder(model()->entry({})->uk.value_or("")));
        root = columnOf(browser(), {});
        QVERIFY(!dragOnto(root, file.get(), below(root)).taken);

        // In the shared area: a read-only folder and the area's own root take nothing.
        QCOMPARE(server_->setReadOnly(account_.company, "/SHAREFOLDER/Team").status / 100, 2L);
        files().selectRoot(RootNodeShare);
        QVERIFY(listedRow(browser(), {}, QStringLiteral("Team")).isValid());
        QTRY_VERIFY(model()->entry(model()->childNamed({}, QStringLiteral("Team")))->isReadOnly);
        root = columnOf(browser(), {});
        const auto ontoTeam = dragOnto(root, file.get(), centreOf({}, QStringLiteral("Team")));
        QVERIFY(!ontoTeam.takenWhileHovering && !ontoTeam.taken);
        QVERIFY(!dragOnto(root, file.get(), below(root)).taken);
        QTest::qWait(300);
        QCOMPARE(files().dragDrop()->dropsStarted(), dropsBefore);
        QCOMPARE(session_->run.alerts().count(), std::size_t { 0 });
        files().selectRoot(RootNodeMyFolder);
        QTRY_COMPARE(listed({}), before);
    }

    void aCopyIntoTheSharedAreaAsksFirst()
    {
        signInFresh();
        QCOMPARE(putFile(local_.path(), QStringLiteral("d.txt"), "d", "/FILE"), 1);
        QVERIFY(listedRow(browser(), {}, QStringLiteral("d.txt")).isValid());
        auto data = dragOf({}, { QStringLiteral("d.txt") });
        files().selectRoot(RootNodeShare);
        const QModelIndex team = listedRow(browser(), {}, QStringLiteral("Team"));
        QListView* root = columnOf(browser(), {});

        // Cancel: nothing is copied.
        session_->run.alerts().scriptAnswers({ 2, 0 });
        QVERIFY(dragOnto(root, data.get(), centreOf({}, QStringLiteral("Team"))).taken);
        QTRY_COMPARE(session_->run.alerts().count(), std::size_t { 1 });
        const Alert asked = session_->run.alerts().alerts().front();
        QCOMPARE(asked.messageKey, std::string("can_other_edit_message"));
        QCOMPARE(asked.buttonKeys, (std::vector<std::string> { "alert_yes", "alert_no", "alert_cancel" }));
        QCOMPARE(files().dragDrop()->dropsStarted(), 0);
        QVERIFY(listed(team).isEmpty());

        // Yes: copied across the areas, open to others' edits; the original stays.
        const auto copied = dragOnto(root, data.get(), centreOf({}, QStringLiteral("Team")));
        QCOMPARE(copied.action, Qt::CopyAction);
        QTRY_VERIFY_WITH_TIMEOUT(model()->childNamed(team, QStringLiteral("d.txt")).isValid(), 10000);
        QCOMPARE(model()->entry(model()->childNamed(team, QStringLiteral("d.txt")))->editpermission, 1);
        files().selectRoot(RootNodeMyFolder);
        QVERIFY(listedRow(browser(), {}, QStringLiteral("d.txt")).isValid());
    }

    void aFailedDesktopUploadNamesWhatDidNotArrive()
    {
        signInFresh();
        const QString base = local_.path();
        writeFile(base + "/kept.txt", "kept");
        writeFile(base + "/lost.txt", "lost");
        QCOMPARE(server_
                     ->setFaults(R"([{"method": "PUT", "path": "/FILE/lost.txt", "status": 500},
            {"method": "POST", "path": "/FILE/lost.txt", "status": 500}])")
                     .status,
            200L);
        QMimeData uriList;
        uriList.setUrls({ QUrl::fromLocalFile(base + "/kept.txt"), QUrl::fromLocalFile(base + "/lost.txt") });
        QVERIFY(listedRow(browser(), {}, QStringLiteral("Memo")).isValid());
        QListView* root = columnOf(browser(), {});
        QVERIFY(dragOnto(root, &uriList, below(root)).taken);
        QTRY_VERIFY_WITH_TIMEOUT(session_->run.alertMessages().size() >= 1, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!files().isBusy(), 10000);
        const auto alerts = session_->run.alerts().alerts();
        const auto failed = std::find_if(alerts.begin(), alerts.end(),
            [](const Alert& alert) { return alert.messageKey == "download_file_failed"; });
        QVERIFY(failed != alerts.end());
        QVERIFY2(QString::fromStdString(failed->detail).contains(base + "/lost.txt"), failed->detail.c_str());
        QVERIFY(!QString::fromStdString(failed->detail).contains(QStringLiteral("kept.txt")));
        QVERIFY(listedRow(browser(), {}, QStringLiteral("kept.txt")).isValid());
        QVERIFY(!files().progressSheet()->isVisible());

        // A name the server would refuse anywhere in the drop: nothing at all is sent.
        server_->clearFaults();
        session_->run.alerts().clear();
        writeFile(base + "/fine.txt", "fine");
        writeFile(base + "/Tree/bad:name.txt", "bad");
        QMimeData refused;
        refused.setUrls({ QUrl::fromLocalFile(base + "/fine.txt"), QUrl::fromLocalFile(base + "/Tree") });
        QVERIFY(dragOnto(root, &refused, below(root)).taken);
        QTRY_VERIFY_WITH_TIMEOUT(session_->run.alerts().count() >= 1, 10000);
        QCOMPARE(session_->run.alerts().alerts().front().messageKey, std::string("message_upload_name_refused"));
        QVERIFY(QString::fromStdString(session_->run.alerts().alerts().front().detail).contains(u"bad:name.txt"));
        QTRY_VERIFY(!files().isBusy());
        const QStringList after = listed({});
        QVERIFY(!after.contains(QStringLiteral("fine.txt")) && !after.contains(QStringLiteral("Tree")));
    }

    void filesAndFoldersFromTheDesktopAreUploaded()
    {
        signInFresh();
        const QString base = local_.path();
        writeFile(base + "/one.txt", "1");
        writeFile(base + "/two.txt", "22");
        writeFile(base + "/Alpha/x.txt", "x");
        writeFile(base + "/Alpha/Inner/y.txt", "y");
        writeFile(base + "/Beta/z.txt", "z");
        QMimeData uriList;
        uriList.setUrls({ QUrl::fromLocalFile(base + "/one.txt"), QUrl::fromLocalFile(base + "/two.txt"),
            QUrl::fromLocalFile(base + "/Alpha"), QUrl::fromLocalFile(base + "/Beta") });
        QVERIFY(listedRow(browser(), {}, QStringLiteral("Memo")).isValid());
        QListView* root = columnOf(browser(), {});

        const auto dropped = dragOnto(root, &uriList, below(root));
        QVERIFY(dropped.taken);
        QCOMPARE(dropped.action, Qt::CopyAction);
        // Busy from the start of the drop to the end of both uploads.
        QTRY_COMPARE(files().dragDrop()->dropsStarted(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!files().progressSheet()->isVisible() && !files().isBusy(), 30000);
        for (const char* name : { "one.txt", "two.txt", "Alpha", "Beta" })
            QVERIFY2(listedRow(browser(), {}, QString::fromLatin1(name)).isValid(), name);
        const QModelIndex alpha = openedFolder(browser(), {}, QStringLiteral("Alpha"));
        QVERIFY(listedRow(browser(), alpha, QStringLiteral("x.txt")).isValid());
        const QModelIndex inner = openedFolder(browser(), alpha, QStringLiteral("Inner"));
        QVERIFY(listedRow(browser(), inner, QStringLiteral("y.txt")).isValid());
        QCOMPARE(session_->run.alerts().count(), std::size_t { 0 });

        // Into the shared area, cancelled at the question: nothing is sent.
        files().selectRoot(RootNodeShare);
        const QModelIndex team = listedRow(browser(), {}, QStringLiteral("Team"));
        root = columnOf(browser(), {});
        session_->run.alerts().scriptAnswers({ 2 });
        QVERIFY(dragOnto(root, &uriList, centreOf({}, QStringLiteral("Team"))).taken);
        QTRY_COMPARE(session_->run.alerts().count(), std::size_t { 1 });
        QTest::qWait(300);
        QCOMPARE(files().dragDrop()->dropsStarted(), 1);
        QVERIFY(!files().progressSheet()->isVisible());
        QVERIFY(listed(team).isEmpty());
    }
};

} // namespace norvane::uitest

using norvane::uitest::DragDropTest;
NORVANE_UI_TEST(DragDropTest)

#include "DragDropTest.moc"
