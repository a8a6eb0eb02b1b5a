// Search and go to path in the file window, against a norvane-server with the demo data.

#include "UiTestSupport.h"

#include "app/ui/BrowserSearch.h"
#include "app/ui/EntrySheet.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileWindowController.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTreeWidget>

namespace norvane::uitest {

class SearchAndPathTest : public BrowserTestBase {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(startServer()); }

    void init()
    {
        newSession();
        QVERIFY(session_->signInAs("manager"));
    }

    void cleanup() { endSession(); }

    void searchByNameAndByAuthorThenClearedListsTheRootAgain()
    {
        files().selectRoot(RootNodeShare);
        QTRY_COMPARE(rowTexts(model()), (QStringList { "Projects", "Public" }));
        // The folder is the one of the last column at the first keystroke, and stays while the
        // keyword grows, wherever the selection goes meanwhile.
        const QModelIndex projects = model()->childNamed({}, QStringLiteral("Projects"));
        files().browser()->selectAndList(projects);
        QTRY_VERIFY(model()->rowCount(projects) > 0);
        typeInto(files().searchField(), QStringLiteral("ro"));
        QCOMPARE(files().search()->searchedFolder(), std::string("/SHAREFOLDER/Projects"));
        QTRY_COMPARE(rowTexts(model()), (QStringList { "Brochure.pdf", "Roadmap.txt" }));
        QTest::keyClicks(files().searchField(), QStringLiteral("ad"));
        QTRY_COMPARE(rowTexts(model()), (QStringList { "Roadmap.txt" }));
        QCOMPARE(files().search()->searchedFolder(), std::string("/SHAREFOLDER/Projects"));

        // By author, from the shared root: what the member wrote, wherever it lies.
        files().searchField()->clear();
        QTRY_COMPARE(rowTexts(model()), (QStringList { "Projects", "Public" }));
        QVERIFY(files().search()->searchedFolder().empty());
        files().searchType()->setCurrentIndex(1);
        typeInto(files().searchField(), QStringLiteral("Menba"));
        QCOMPARE(files().search()->searchedFolder(), std::string("/SHAREFOLDER"));
        QTRY_VERIFY(rowTexts(model()).contains(QStringLiteral("Cover.jpg")));
        QVERIFY(rowTexts(model()).contains(QStringLiteral("Team outing.jpg")));
        QVERIFY(!rowTexts(model()).contains(QStringLiteral("Roadmap.txt")));
        files().searchField()->clear();
        QTRY_COMPARE(rowTexts(model()), (QStringList { "Projects", "Public" }));
    }

    void anAnswerThatComesLateNeverReplacesANewerSearch()
    {
        // The first search is slow; the second, sent after it, answers first.
        QCOMPARE(server_->setFaults(R"([{"path": "/SEARCH*", "times": 1, "delayMs": 1500}])").status, 200L);
        files().searchField()->setText(QStringLiteral("o"));
        files().searchField()->setText(QStringLiteral("Guide"));
        QTRY_COMPARE(rowTexts(model()), (QStringList { "Norvane Guide.pdf" }));
        QTRY_VERIFY_WITH_TIMEOUT(!files().isBusy(), 5000); // the slow answer has come, and gone unused
        QCOMPARE(rowTexts(model()), (QStringList { "Norvane Guide.pdf" }));

        // Emptied while an answer is on its way: the root stays.
        QCOMPARE(server_->setFaults(R"([{"path": "/SEARCH*", "times": 1, "delayMs": 800}])").status, 200L);
        files().searchField()->setText(QStringLiteral("memo"));
        files().searchField()->clear();
        QTRY_VERIFY_WITH_TIMEOUT(!files().isBusy(), 5000);
        QCOMPARE(rowTexts(model()), (QStringList { "Memo", "Photos", "Recorder", "お気に入り", "Norvane Guide.pdf" }));
    }

    void goToPathWalksTheColumnsAndOpensTheFile()
    {
        // The sheet offers the area and the folder shown.
        files().doChangePath();
        EntrySheet* sheet = files().entrySheet();
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->label()->text(), QStringLiteral("Enter the path to go to."));
        QCOMPARE(sheet->field()->text(), QStringLiteral("My folder"));
        typeInto(sheet->field(), QStringLiteral("Shared folder/Projects/Design/Cover.jpg"));
        pressReturn(sheet->field());
        QVERIFY(!sheet->isVisible());
        QTRY_COMPARE(session_->opener->opened.size(), std::size_t { 1 });
        QVERIFY(session_->opener->opened.front().endsWith(QStringLiteral("/Cover.jpg")));
        QCOMPARE(session_->run.app().manager()->rootNodeType(), std::int32_t { RootNodeShare });
        QCOMPARE(files().sideBar()->currentItem()->text(0), QStringLiteral("共有"));
        const QModelIndex current = files().browser()->currentIndex();
        QCOMPARE(current.data().toString(), QStringLiteral("Cover.jpg"));
        QCOMPARE(current.parent().data().toString(), QStringLiteral("Design"));
        QCOMPARE(current.parent().parent().data().toString(), QStringLiteral("Projects"));
        QTRY_VERIFY(!files().isBusy());

        files().doChangePath();
        QCOMPARE(sheet->field()->text(), QStringLiteral("Shared folder/Projects/Design"));
        sheet->reject();

        // A name that matches nothing ends the walk where it is; another area's title goes nowhere.
        files().doChangePath();
        sheet->field()->setText(QStringLiteral("My folder/Photos/nothing.jpg"));
        sheet->okButton()->click();
        QTRY_COMPARE(files().browser()->currentIndex().data().toString(), QStringLiteral("Photos"));
        QTRY_VERIFY(!files().isBusy());
        files().doChangePath();
        sheet->field()->setText(QStringLiteral("Elsewhere/Photos"));
        sheet->okButton()->click();
        QCOMPARE(session_->run.app().manager()->rootNodeType(), std::int32_t { RootNodeMyFolder });
        QCOMPARE(files().browser()->currentIndex().data().toString(), QStringLiteral("Photos"));
        QCOMPARE(session_->opener->opened.size(), std::size_t { 1 });
    }
};

} // namespace norvane::uitest

using norvane::uitest::SearchAndPathTest;
NORVANE_UI_TEST(SearchAndPathTest)

#include "SearchAndPathTest.moc"
