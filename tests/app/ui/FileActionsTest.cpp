// The file window's actions against a norvane-server: which menu items show for what was clicked,
// rename with its extension rule, delete, new folder, lock, edit permission, the clipboard and
// the downloads.

#include "UiTestSupport.h"

#include "app/logic/Path.h"
#include "app/ui/EntrySheet.h"
#include "app/ui/FileActions.h"
#include "app/ui/MenuVisibility.h"
#include "app/ui/ProgressSheet.h"
#include "app/ui/QtAlertPresenter.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QToolBar>

namespace norvane::uitest {

namespace {

using Id = FileActions::Id;

std::shared_ptr<fileInformation> entry(const std::string& uk, const std::string& fullPath, bool folder = false)
{
    auto made = std::make_shared<fileInformation>();
    made->uk = uk;
    made->fullPath = fullPath;
    made->displayName = fullPath.substr(fullPath.rfind('/') + 1);
    made->fileType = folder ? 1 : 0;
    return made;
}

// The tags shown for the click, as "1 2 10"; 0 (always) and 14 (the print list) left out unless
// asked.
QString shownTags(const fileInformation* clicked, bool onRow, const MenuVisibility::Account& who)
{
    QStringList shown;
    for (int tag = 1; tag <= 14; ++tag)
        if (MenuVisibility::isShown(tag, { clicked, onRow }, who))
            shown << QString::number(tag);
    return shown.join(u' ');
}

} // namespace

class FileActionsTest : public BrowserTestBase {
    Q_OBJECT

    QTemporaryDir local_;
    Account account_;

    void signInFresh() { QVERIFY(session_->signInManagingTeam(account_)); }

    void put(const QString& name, const std::string& content, const std::string& folder)
    {
        QCOMPARE(putFile(local_.path(), name, content, folder), 1);
    }
    QModelIndex rowNamed(const QModelIndex& folder, const QString& name) { return listedRow(browser(), folder, name); }
    QModelIndex openFolder(const QModelIndex& folder, const QString& name)
    {
        return openedFolder(browser(), folder, name);
    }

    // Right-clicks the row (or, for an invalid row, the empty area below the rows of the folder's
    // column) and gives the menu's action names.
    QStringList rightClick(const QModelIndex& folder, const QModelIndex& row)
    {
        QListView* column = columnOf(browser(), folder);
        if (!column)
            return { "(no column)" };
        const QPoint at
            = row.isValid() ? column->visualRect(row).center() : QPoint(10, column->viewport()->height() - 5);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, column->viewport()->mapToGlobal(at));
        QApplication::sendEvent(column->viewport(), &event);
        QStringList names;
        QMenu* menu = files().actions()->contextMenu();
        if (!menu->isVisible())
            return {};
        for (QAction* action : menu->actions())
            if (!action->isSeparator())
                names << action->objectName();
        return names;
    }

    // Chooses the item of the context menu that is up, as a click on it does.
    void choose(const char* objectName)
    {
        QMenu* menu = files().actions()->contextMenu();
        QVERIFY(menu->isVisible());
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions())
            if (action->objectName() == QLatin1String(objectName))
                chosen = action;
        QVERIFY2(chosen, objectName);
        menu->hide();
        chosen->trigger();
    }

    void answerSheet(const QString& text)
    {
        EntrySheet* sheet = files().entrySheet();
        QTRY_VERIFY(sheet->isVisible());
        sheet->field()->setText(text);
        click(sheet, "renameOK");
    }

private slots:
    void initTestCase() { QVERIFY(startServer()); }
    void init() { newSession(); }
    void cleanup() { endSession(); }

    void theMenuRulesAsATable()
    {
        MenuVisibility::Account member;
        member.userName = "member";
        auto own = entry("/FILE/a.txt", "/a.txt");
        QCOMPARE(shownTags(own.get(), true, member), QStringLiteral("1 2 3 4 5 10 11"));
        // The print items come only with the print service, which is off in this program.
        QVERIFY(!kNetPrintEnabled);
        MenuVisibility::Account printing = member;
        printing.netPrint = true;
        QCOMPARE(shownTags(own.get(), true, printing), QStringLiteral("1 2 3 4 5 6 10 11 14"));
        MenuVisibility::Account restricted = member;
        restricted.localDownload = false;
        restricted.webPublish = false;
        QCOMPARE(shownTags(own.get(), true, restricted), QStringLiteral("1 3 4 10 11"));

        // A shared file of the member's: lock, or unlock when the member holds the lock; the
        // edit permission item that changes its present state.
        auto shared = entry("/SHAREFILE/Team/b.txt", "/Team/b.txt");
        shared->owner = "member";
        shared->canEdit = 1;
        QCOMPARE(shownTags(shared.get(), true, member), QStringLiteral("1 2 3 4 5 8 10 11 12"));
        shared->lockUserId = "member";
        shared->editpermission = 1;
        QCOMPARE(shownTags(shared.get(), true, member), QStringLiteral("1 2 3 4 5 9 10 11 13"));
        // Locked by someone else: only read; a manager may still delete it.
        shared->lockUserId = "manager";
        QCOMPARE(shownTags(shared.get(), true, member), QStringLiteral("1 2 5 10 11"));
        shared->owner = "manager";
        shared->isManager = true;
        QCOMPARE(shownTags(shared.get(), true, member), QStringLiteral("1 2 4 5 10 11"));

        // A read-only top-level shared folder: downloaded and named, never renamed or deleted,
        // not even by its manager; its empty area takes no new folder.
        auto top = entry("/SHAREFOLDER/Public", "/Public", true);
        top->isReadOnly = true;
        QCOMPARE(shownTags(top.get(), true, member), QStringLiteral("2 10"));
        top->isManager = true;
        QCOMPARE(shownTags(top.get(), true, member), QStringLiteral("2 10"));
        QCOMPARE(shownTags(top.get(), false, member), QString());
        // The empty area of My folder makes folders; that of the shared root does not.
        QCOMPARE(shownTags(entry("/FOLDER", "/", true).get(), false, member), QStringLiteral("7"));
        QCOMPARE(shownTags(entry("/SHAREFOLDER", "/", true).get(), false, member), QString());
        // A file of the backup folder is only read.
        QCOMPARE(shownTags(entry("/FILE/BackupFolder/x.txt", "/BackupFolder/x.txt").get(), true, member),
            QStringLiteral("1 2 5 10 11"));
        // Favourites' shortcuts, the favourites folder and a click on nothing show nothing tagged.
        QCOMPARE(shownTags(entry("/FILE/.Favorite./Plan.txt.fvrt", "/.Favorite./Plan.txt.fvrt").get(), true, member),
            QString());
        QCOMPARE(shownTags(entry("/FOLDER/.Favorite.", "/.Favorite.", true).get(), true, member), QString());
        QCOMPARE(shownTags(nullptr, false, member), QString());
        QVERIFY(MenuVisibility::isShown(MenuVisibility::Always, {}, member));
    }

    void aRightClickShowsWhatTheMemberMayDoWithTheFile()
    {
        QVERIFY(session_->signInAs("member"));
        files().selectRoot(RootNodeShare);
        const QModelIndex projects = openFolder({}, QStringLiteral("Projects"));
        // Locked by the manager: opened, downloaded, shared and named, nothing more.
        const QModelIndex roadmap = rowNamed(projects, QStringLiteral("Roadmap.txt"));
        QCOMPARE(rightClick(projects, roadmap),
            (QStringList { "openAction", "downloadAction", "webShareAction", "copyPathAction", "copyNameAction",
                "deviceIdAction", "settingsMenuAction" }));
        QVERIFY(!files().actions()->action(Id::NetPrint)->isEnabled());
        // With the print service off its item stays out of the toolbar as well.
        for (QToolBar* toolbar : files().window()->findChildren<QToolBar*>())
            QVERIFY(!toolbar->actions().contains(files().actions()->action(Id::NetPrint)));
        QVERIFY(!files().window()->findChildren<QToolBar*>().isEmpty());
        // The toolbar follows the current row again once the menu has gone.
        files().actions()->contextMenu()->hide();
        const QModelIndex design = rowNamed(projects, QStringLiteral("Design"));
        browser()->setCurrentIndex(design);
        QTRY_VERIFY(!files().actions()->action(Id::Open)->isEnabled());
        QVERIFY(files().actions()->action(Id::Download)->isEnabled());
        // The main menu holds the same items for the current row as the context menu would.
        auto* fileMenu = files().window()->findChild<QMenu*>(QStringLiteral("mainFileMenu"));
        QVERIFY(fileMenu);
        emit fileMenu->aboutToShow();
        QStringList inMenu;
        for (QAction* action : fileMenu->actions())
            if (!action->isSeparator() && action->isVisible())
                inMenu << action->objectName();
        QVERIFY2(inMenu.contains(QStringLiteral("downloadAction")), qPrintable(inMenu.join(u',')));
        QVERIFY(!inMenu.contains(QStringLiteral("openAction")));
        QVERIFY(!inMenu.contains(QStringLiteral("netPrintAction")));
        QCOMPARE(inMenu.contains(QStringLiteral("renameAction")),
            MenuVisibility::isShown(
                FileActions::tagOf(Id::Rename), { model()->entry(design).get(), true }, files().actions()->account()));
    }

    void escapeInAnAlertChangesNothing()
    {
        // Escape is cancel or no where the alert offers one, else its last button.
        const std::vector<std::pair<std::vector<std::string>, qulonglong>> table {
            { { "alert_cancel", "menu_file_delete" }, 0 }, { { "alert_yes", "alert_no", "alert_cancel" }, 2 },
            { { "alert_yes", "alert_no" }, 1 }, { { "word_sign_out", "alert_ok" }, 1 }
        };
        for (const auto& [buttons, escaping] : table) {
            Alert alert;
            alert.kind = Alert::Kind::Ask;
            alert.messageKey = "need_relogin";
            alert.buttonKeys = buttons;
            std::unique_ptr<QMessageBox> box(QtAlertPresenter::makeBox(alert, nullptr));
            QVERIFY(box->escapeButton());
            QCOMPARE(box->escapeButton()->property("alertIndex").toULongLong(), escaping);
        }
    }

    void renameKeepsTheExtensionAndDeleteAsksFirst()
    {
        signInFresh();
        put(QStringLiteral("a.txt"), "alpha", "/FILE");
        QModelIndex row = rowNamed({}, QStringLiteral("a.txt"));
        QVERIFY(rightClick({}, row).contains(QStringLiteral("renameAction")));
        choose("renameAction");
        // The name without its extension is chosen for typing over.
        QTRY_VERIFY(files().entrySheet()->isVisible());
        QCOMPARE(files().entrySheet()->field()->text(), QStringLiteral("a.txt"));
        QCOMPARE(files().entrySheet()->field()->selectedText(), QStringLiteral("a"));
        answerSheet(QStringLiteral("b"));
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("b.txt")).isValid());
        QVERIFY(!model()->childNamed({}, QStringLiteral("a.txt")).isValid());

        rightClick({}, model()->childNamed({}, QStringLiteral("b.txt")));
        choose("renameAction");
        answerSheet(QStringLiteral("b.doc"));
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("b.doc.txt")).isValid());

        // Cancel is the first answer and deletes nothing; the second deletes.
        session_->run.alerts().scriptAnswers({ 0, 1 });
        rightClick({}, model()->childNamed({}, QStringLiteral("b.doc.txt")));
        choose("deleteAction");
        QTRY_COMPARE(session_->run.alerts().count(), std::size_t { 1 });
        const Alert asked = session_->run.alerts().alerts().back();
        QCOMPARE(asked.messageKey, std::string("message_question_null_folder_delete"));
        QCOMPARE(asked.detail, std::string("b.doc.txt"));
        QCOMPARE(asked.buttonKeys, (std::vector<std::string> { "alert_cancel", "menu_file_delete" }));
        QVERIFY(rowNamed({}, QStringLiteral("b.doc.txt")).isValid());
        rightClick({}, model()->childNamed({}, QStringLiteral("b.doc.txt")));
        choose("deleteAction");
        QTRY_VERIFY(!model()->childNamed({}, QStringLiteral("b.doc.txt")).isValid());
        QTRY_VERIFY(!files().isBusy());
    }

    void aNewFolderWithAnIllegalNameIsRefused()
    {
        signInFresh();
        QVERIFY(rowNamed({}, QStringLiteral("Photos")).isValid());
        const QStringList offered = rightClick({}, {});
        QVERIFY2(offered.contains(QStringLiteral("newFolderAction")), qPrintable(offered.join(u',')));
        QVERIFY(!offered.contains(QStringLiteral("deleteAction")));
        choose("newFolderAction");
        QTRY_COMPARE(files().entrySheet()->field()->text(), QStringLiteral("NewFolder"));
        answerSheet(QStringLiteral("Plans:2024"));
        QTRY_COMPARE(session_->run.alerts().count(), std::size_t { 1 });
        const Alert refused = session_->run.alerts().alerts().front();
        QCOMPARE(refused.titleKey, std::string("alert"));
        QCOMPARE(refused.messageKey, Path::fileNameMessageKey("Plans:2024").value_or("(none)"));
        QTest::qWait(200);
        QVERIFY(!files().isBusy());

        rightClick({}, {});
        choose("newFolderAction");
        answerSheet(QStringLiteral("Plans 2024"));
        QTRY_VERIFY(model()->childNamed({}, QStringLiteral("Plans 2024")).isValid());
        QVERIFY(model()->isFolder(model()->childNamed({}, QStringLiteral("Plans 2024"))));
        QVERIFY(!model()->childNamed({}, QStringLiteral("Plans:2024")).isValid());
    }

    void lockEditPermissionAndTheClipboardOnASharedFile()
    {
        signInFresh();
        put(QStringLiteral("plan.txt"), "plan", "/SHAREFILE/Team");
        files().selectRoot(RootNodeShare);
        const QModelIndex team = openFolder({}, QStringLiteral("Team"));
        QModelIndex plan = rowNamed(team, QStringLiteral("plan.txt"));
        QStringList offered = rightClick(team, plan);
        QVERIFY(offered.contains(QStringLiteral("lockAction")) && !offered.contains(QStringLiteral("unlockAction")));
        choose("lockAction");
        QTRY_COMPARE(session_->run.alertMessages(), std::vector<std::string> { "message_have_locked" });
        QTRY_COMPARE(model()->entry(model()->childNamed(team, QStringLiteral("plan.txt")))->lockUserId,
            std::optional<std::string>(account_.user));
        offered = rightClick(team, model()->childNamed(team, QStringLiteral("plan.txt")));
        QVERIFY(offered.contains(QStringLiteral("unlockAction")) && !offered.contains(QStringLiteral("lockAction")));
        choose("unlockAction");
        QTRY_COMPARE(session_->run.alertMessages().size(), std::size_t { 2 });
        QCOMPARE(session_->run.alertMessages().back(), std::string("message_have_unlocked"));
        QTRY_VERIFY(
            !model()->entry(model()->childNamed(team, QStringLiteral("plan.txt")))->lockUserId.value_or("").size());

        // Others' edits allowed, then refused again: the item offered follows the file's flag.
        offered = rightClick(team, model()->childNamed(team, QStringLiteral("plan.txt")));
        QVERIFY(offered.contains(QStringLiteral("editPermissionOnAction")));
        QVERIFY(!offered.contains(QStringLiteral("editPermissionOffAction")));
        choose("editPermissionOnAction");
        QTRY_COMPARE(model()->entry(model()->childNamed(team, QStringLiteral("plan.txt")))->editpermission, 1);
        offered = rightClick(team, model()->childNamed(team, QStringLiteral("plan.txt")));
        QVERIFY(offered.contains(QStringLiteral("editPermissionOffAction")));
        choose("editPermissionOffAction");
        QTRY_COMPARE(model()->entry(model()->childNamed(team, QStringLiteral("plan.txt")))->editpermission, 0);

        rightClick(team, model()->childNamed(team, QStringLiteral("plan.txt")));
        choose("copyPathAction");
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Shared folder/Team/plan.txt"));
        rightClick(team, model()->childNamed(team, QStringLiteral("plan.txt")));
        choose("copyNameAction");
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("plan.txt"));
    }

    void downloadsGoWhereTheDialogsSay()
    {
        signInFresh();
        put(QStringLiteral("one.txt"), "first file", "/FILE");
        put(QStringLiteral("two.txt"), "second file", "/FILE");
        const QModelIndex one = rowNamed({}, QStringLiteral("one.txt"));
        QVERIFY(one.isValid());

        // One file through the save dialog, under the name chosen there.
        QTemporaryDir target;
        session_->chooser->saveAs = target.filePath(QStringLiteral("kept.txt"));
        rightClick({}, one);
        choose("downloadAction");
        QCOMPARE(session_->chooser->suggested, QStringLiteral("one.txt"));
        QTRY_VERIFY(QFile::exists(target.filePath(QStringLiteral("kept.txt"))));
        QTRY_VERIFY(!files().isBusy());
        QFile kept(target.filePath(QStringLiteral("kept.txt")));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("first file"));

        // Both selected rows into the chosen folder; a cancelled dialog downloads nothing.
        const QModelIndex two = model()->childNamed({}, QStringLiteral("two.txt"));
        browser()->selectionModel()->select(one, QItemSelectionModel::ClearAndSelect);
        browser()->selectionModel()->select(two, QItemSelectionModel::Select);
        session_->chooser->folder = std::nullopt;
        rightClick({}, two);
        choose("downloadAction");
        QCOMPARE(session_->chooser->asked, 2);
        session_->chooser->folder = target.path();
        rightClick({}, two);
        choose("downloadAction");
        QTRY_VERIFY(QFile::exists(target.filePath(QStringLiteral("two.txt"))));
        QTRY_VERIFY(QFile::exists(target.filePath(QStringLiteral("one.txt"))));
        QTRY_VERIFY(!files().progressSheet()->isVisible());

        // A row outside the two selected goes alone: a folder below the chosen folder under its
        // own name, with what it holds; a file through the save dialog.
        QCOMPARE(await([](auto done) { StorageServiceLogic::makeFolder("/FOLDER/Docs", done); }), 1);
        put(QStringLiteral("inside.txt"), "in the folder", "/FILE/Docs");
        put(QStringLiteral("three.txt"), "third", "/FILE");
        const QModelIndex docs = rowNamed({}, QStringLiteral("Docs"));
        const QModelIndex three = rowNamed({}, QStringLiteral("three.txt"));
        const auto selectBoth = [&] {
            browser()->selectionModel()->select(
                model()->childNamed({}, QStringLiteral("one.txt")), QItemSelectionModel::ClearAndSelect);
            browser()->selectionModel()->select(
                model()->childNamed({}, QStringLiteral("two.txt")), QItemSelectionModel::Select);
        };
        selectBoth();
        files().actions()->doMenuDownload(FileActions::Target::rowAt(docs));
        QCOMPARE(session_->chooser->asked, 4);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(target.filePath(QStringLiteral("Docs/inside.txt"))), 10000);
        QTRY_VERIFY(!files().isBusy());
        QFile inside(target.filePath(QStringLiteral("Docs/inside.txt")));
        QVERIFY(inside.open(QIODevice::ReadOnly));
        QCOMPARE(inside.readAll(), QByteArray("in the folder"));

        selectBoth();
        session_->chooser->saveAs = std::nullopt;
        files().actions()->doMenuDownload(FileActions::Target::rowAt(three));
        QCOMPARE(session_->chooser->asked, 5);
        QCOMPARE(session_->chooser->suggested, QStringLiteral("three.txt"));
    }

    void aRenameInASearchKeepsTheFileInItsFolder()
    {
        signInFresh();
        QCOMPARE(await([](auto done) { StorageServiceLogic::makeFolder("/FOLDER/Deep", done); }), 1);
        put(QStringLiteral("needle.txt"), "found", "/FILE/Deep");
        QVERIFY(rowNamed({}, QStringLiteral("Deep")).isValid());
        typeInto(files().searchField(), QStringLiteral("needle"));
        QTRY_COMPARE_WITH_TIMEOUT(rowTexts(model()), QStringList { "needle.txt" }, 10000);
        rightClick({}, model()->childNamed({}, QStringLiteral("needle.txt")));
        choose("renameAction");
        answerSheet(QStringLiteral("pin"));
        QTRY_VERIFY(!files().isBusy());
        // Cleared, the search gives the folder back as it was.
        files().searchField()->clear();
        QTRY_VERIFY(rowTexts(model()).contains(QStringLiteral("Deep")) && !files().isBusy());
        const QModelIndex deep = openFolder({}, QStringLiteral("Deep"));
        QVERIFY(rowNamed(deep, QStringLiteral("pin.txt")).isValid());
        QVERIFY(!model()->childNamed({}, QStringLiteral("pin.txt")).isValid());
    }
};

} // namespace norvane::uitest

using norvane::uitest::FileActionsTest;
NORVANE_UI_TEST(FileActionsTest)

#include "FileActionsTest.moc"
