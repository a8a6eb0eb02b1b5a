// norvane-screenshots: renders the desktop windows into PNG files, for a person to look at how
// they come out (scripts/screenshot runs it at 1x and 2x, in English and Japanese).
//
//   norvane-screenshots OUTPUT-FOLDER SUFFIX
//
// Runs on any Qt platform (offscreen will do); the home is a temporary folder of its own. The file
// window is shown signed in to a norvane-server with the demo data, started here.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/BrowserColumn.h"
#include "app/ui/BrowserDragDrop.h"
#include "app/ui/DesktopOpener.h"
#include "app/ui/DeviceIDWindowController.h"
#include "app/ui/FileActions.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/LoginWindowController.h"
#include "app/ui/NetPrintInfoController.h"
#include "app/ui/NetPrintListWindowController.h"
#include "app/ui/NetPrintWindowController.h"
#include "app/ui/PreviewController.h"
#include "app/ui/ProgressSheet.h"
#include "app/ui/QtAlertPresenter.h"
#include "app/ui/ServerTrust.h"
#include "app/ui/SettingWindowController.h"
#include "app/ui/WebShareWindowController.h"
#include "e2e/ServerProcess.h"
#include "support/FixedNetworkState.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QColumnView>
#include <QComboBox>
#include <QDir>
#include <QDragMoveEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

using namespace norvane;

namespace {

QString outputDir;
QString suffix;
int failures = 0;

void settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

void savePixmap(const QPixmap& picture, const QString& name)
{
    const QString path = QDir(outputDir).filePath(name + QStringLiteral("-") + suffix + QStringLiteral(".png"));
    if (!picture.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

void save(QWidget* window, const QString& name)
{
    settle();
    savePixmap(window->grab(), name);
}

// A sheet drawn where it hangs: centred at the top of the window's content, below the toolbar.
void saveWithSheet(QMainWindow* window, QWidget* sheet, const QString& name)
{
    settle();
    QPixmap picture = window->grab();
    const QPixmap over = sheet->grab();
    const QWidget* content = window->centralWidget();
    const QPoint at((window->width() - sheet->width()) / 2, content->mapTo(window, QPoint(0, 0)).y());
    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        for (int i = 6; i > 0; --i) { // a soft shadow below and beside it
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0, 0, 0, 10));
            painter.drawRoundedRect(QRect(at, sheet->size()).adjusted(-i, 0, i, i), i, i);
        }
        painter.drawPixmap(at, over);
        painter.setPen(QColor(0, 0, 0, 60));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRect(at, sheet->size()).adjusted(0, 0, -1, -1));
    }
    savePixmap(picture, name);
}

// A picture laid over the window at a point of its own (a popup menu, a drag image).
void saveWithOverlay(QWidget* window, const QPixmap& over, const QPoint& windowPoint, const QString& name)
{
    settle();
    QPixmap picture = window->grab();
    {
        QPainter painter(&picture);
        painter.drawPixmap(windowPoint, over);
    }
    savePixmap(picture, name);
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    settle();
    return true;
}

// Files are opened nowhere: the pictures are of the window, not of another application.
class NoOpener : public DesktopOpener {
public:
    bool openLocalFile(const QString&) override { return true; }
};

bool fail(const char* what)
{
    std::fprintf(stderr, "file window pictures: %s\n", what);
    ++failures;
    return false;
}

bool signIn(AppDelegate& app, const test::ServerProcess& server, const std::string& user)
{
    for (const auto& account : server.demoAccounts()) {
        if (account.user != user)
            continue;
        QWidget* form = app.loginWindow().loginWindow();
        if (!form->isVisible())
            app.loginWindow().showLoginWindow();
        if (!waitUntil([&] { return form->isVisible(); }))
            return fail("no login form");
        form->findChild<QLineEdit*>(QStringLiteral("companyCode"))->setText(QString::fromStdString(account.company));
        form->findChild<QLineEdit*>(QStringLiteral("userName"))->setText(QString::fromStdString(account.user));
        form->findChild<QLineEdit*>(QStringLiteral("userPass"))->setText(QString::fromStdString(account.password));
        form->findChild<QAbstractButton*>(QStringLiteral("doLogin"))->click();
        return waitUntil([&] { return app.fileWindow().window()->isVisible(); }) || fail("no sign-in");
    }
    return fail("no such demo account");
}

// Selects the folder in its column and waits for its rows.
QModelIndex open(FileBrowser* browser, const QModelIndex& folder, const QString& name)
{
    FileBrowserModel* model = browser->browserModel();
    if (!waitUntil([&] { return model->childNamed(folder, name).isValid(); }))
        return {};
    const QModelIndex index = model->childNamed(folder, name);
    browser->setCurrentIndex(index);
    if (model->isFolder(index)) {
        const QPersistentModelIndex opened(index);
        // Listed, and its column slid into place.
        waitUntil([&] {
            for (QAbstractItemView* column : browser->findChildren<QAbstractItemView*>())
                if (column->rootIndex() == opened && column->isVisible())
                    return model->rowCount(opened) > 0;
            return false;
        });
    }
    return index;
}

QListView* columnShowing(FileBrowser* browser, const QModelIndex& folder)
{
    for (auto* column : browser->findChildren<BrowserColumn*>())
        if (column->rootIndex() == folder && column->isVisible())
            return column;
    return nullptr;
}

// The context menu of a file in an open folder's column, where a right-click puts it.
void contextMenuPicture(FileWindowController& files, const QString& folderName, const QString& fileName)
{
    FileBrowser* browser = files.browser();
    FileBrowserModel* model = browser->browserModel();
    const QModelIndex folder = model->childNamed({}, folderName);
    const QModelIndex file = model->childNamed(folder, fileName);
    auto* column = static_cast<BrowserColumn*>(columnShowing(browser, folder));
    if (!file.isValid() || !column) {
        fail("no file for the context menu");
        return;
    }
    const QPoint at = column->visualRect(file).center();
    files.actions()->popUpContextMenu(column, at);
    QMenu* menu = files.actions()->contextMenu();
    if (!menu || !waitUntil([&] { return menu->isVisible(); })) {
        fail("no context menu");
        return;
    }
    QWidget* window = files.window();
    saveWithOverlay(window, menu->grab(), column->viewport()->mapTo(window, at), QStringLiteral("file-context-menu"));
    menu->hide();
}

// Budget dragged over the Photos folder of My folder: the folder's column open beneath it.
void dragPicture(FileWindowController& files)
{
    FileBrowser* browser = files.browser();
    FileBrowserModel* model = browser->browserModel();
    auto* root = static_cast<BrowserColumn*>(columnShowing(browser, {}));
    const QModelIndex guide = model->childNamed({}, QStringLiteral("Norvane Guide.pdf"));
    const QModelIndex photos = model->childNamed({}, QStringLiteral("Photos"));
    if (!root || !guide.isValid() || !photos.isValid()) {
        fail("nothing to drag");
        return;
    }
    browser->setCurrentIndex(guide);
    settle();
    QModelIndexList rows;
    std::unique_ptr<QMimeData> data(files.dragDrop()->dragData(root, &rows));
    if (!data) {
        fail("no drag data");
        return;
    }
    const QPoint at = root->visualRect(photos).center();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QApplication::sendEvent(root->viewport(), &enter);
    QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QApplication::sendEvent(root->viewport(), &move);
    const QPersistentModelIndex hovered(photos);
    waitUntil([&] {
        const QListView* opened = columnShowing(browser, hovered);
        return opened && model->rowCount(hovered) > 0 && !files.isBusy();
    });
    QWidget* window = files.window();
    const QPixmap image = files.dragDrop()->dragImage(rows, root);
    const QPoint pointer = root->viewport()->mapTo(window, at);
    saveWithOverlay(window, image,
        pointer + QPoint(12, -static_cast<int>(image.height() / image.devicePixelRatio() / 2)),
        QStringLiteral("file-drag"));
    QDragLeaveEvent leave;
    QApplication::sendEvent(root->viewport(), &leave);
}

// The web-share dialog before and after the link is made, the print registration dialog and the
// print list with the detail of a job.
void sharingPictures(AppDelegate& app, FileWindowController& files)
{
    FileBrowserModel* model = files.browser()->browserModel();
    const auto guide = model->entry(model->childNamed({}, QStringLiteral("Norvane Guide.pdf")));
    if (!guide) {
        fail("no file to share");
        return;
    }
    files.actions()->doMenuWebShare(
        FileActions::Target::rowAt(model->childNamed({}, QStringLiteral("Norvane Guide.pdf"))));
    WebShareWindowController* share = nullptr;
    waitUntil([&] {
        for (const auto& dialog : files.actions()->dialogs())
            if (auto* found = qobject_cast<WebShareWindowController*>(dialog.data()))
                share = found;
        return share != nullptr;
    });
    if (!share) {
        fail("no web-share dialog");
        return;
    }
    save(share, QStringLiteral("web-share"));
    share->doMake();
    if (!waitUntil([&] { return share->resultView()->isVisible(); }))
        fail("no web link");
    save(share, QStringLiteral("web-share-link"));
    files.actions()->closeDialogs();

    auto* print = new NetPrintWindowController(app.manager(), guide, nullptr);
    print->showWindow();
    print->passwordRow(1)->setChecked(true);
    save(print, QStringLiteral("print-registration"));
    print->close();

    bool registered = false;
    StorageServiceLogic::netPrint(guide->uk.value_or(""), "", "7", [&](std::int32_t) { registered = true; });
    waitUntil([&] { return registered; });
    files.actions()->goNetPrintList();
    NetPrintListWindowController& list = app.printListWindow();
    if (!waitUntil([&] { return list.window()->isVisible() && list.browser()->model()->rowCount() > 0; })) {
        fail("no print list");
        return;
    }
    list.browser()->setCurrentIndex(list.browser()->model()->index(0, 0));
    waitUntil([&] { return list.detail()->deleteButton()->isVisible(); });
    save(list.window(), QStringLiteral("print-list"));
    list.window()->hide();
}

// The file window against the demo data: photos with their thumbnails, the preview, the shared
// area as a member sees it, a search, and the progress sheet of a slow download.
void fileWindowPictures(AppDelegate& app)
{
    test::ServerProcess::Options options;
    options.demo = true;
    test::ServerProcess server(options);
    if (!server.start()) {
        fail(server.error().c_str());
        return;
    }
    server.setReadOnly("demo", "/SHAREFOLDER/Public");
    ConfigInfo& config = app.manager()->configDefine();
    server.pointSettingsHere(config);
    config.save();
    app.manager()->initCloudService();

    FileWindowController& files = app.fileWindow();
    QMainWindow* window = files.window();
    FileBrowser* browser = files.browser();
    FileBrowserModel* model = browser->browserModel();
    if (!signIn(app, server, "manager"))
        return;
    window->resize(1040, 620);
    const QModelIndex photos = open(browser, {}, QStringLiteral("Photos"));
    const auto thumbnailsIn = [&](const QModelIndex& folder) {
        for (int row = 0; row < model->rowCount(folder); ++row)
            if (model->thumbnailState(model->index(row, 0, folder)) != FileBrowserModel::Thumbnail::Done)
                return false;
        return model->rowCount(folder) > 0;
    };
    if (!waitUntil([&] { return thumbnailsIn(photos); }))
        fail("no thumbnails");
    save(window, QStringLiteral("file-photos"));

    browser->setCurrentIndex(model->index(1, 0, photos));
    if (!waitUntil([&] { return browser->preview()->showsThumbnail(); }))
        fail("no preview picture");
    save(window, QStringLiteral("file-preview"));

    // The progress sheet over a download that trickles in.
    const QModelIndex guide = model->childNamed({}, QStringLiteral("Norvane Guide.pdf"));
    server.setFaults(R"([{"path": "/FILE/Norvane Guide.pdf", "trickleBytesPerSecond": 1500}])");
    files.openFileInformation(model->entry(guide));
    ProgressSheet* sheet = files.progressSheet();
    if (!waitUntil([&] { return sheet->label()->text().contains(QStringLiteral("残り時間")); }))
        fail("no remaining time");
    saveWithSheet(window, sheet, QStringLiteral("file-progress"));
    server.clearFaults();
    sheet->stop();

    // The shared area as a member sees it: the manager's lock in red, what only the managers may
    // change in orange, a read-only top-level folder in red.
    files.doLogout();
    waitUntil([&] { return app.loginWindow().loginWindow()->isVisible(); });
    if (!signIn(app, server, "member"))
        return;
    window->resize(1040, 620);
    files.selectRoot(RootNodeShare);
    open(browser, {}, QStringLiteral("Projects"));
    waitUntil([&] { return !files.isBusy(); });
    save(window, QStringLiteral("file-shared"));
    contextMenuPicture(files, QStringLiteral("Projects"), QStringLiteral("Budget.csv"));

    files.searchType()->setCurrentIndex(1);
    files.searchField()->setText(QStringLiteral("Kanri"));
    waitUntil([&] { return !files.isBusy() && model->childNamed({}, QStringLiteral("Roadmap.txt")).isValid(); });
    save(window, QStringLiteral("file-search"));
    files.selectRoot(RootNodeMyFolder);
    waitUntil([&] { return model->childNamed({}, QStringLiteral("Photos")).isValid() && !files.isBusy(); });
    dragPicture(files);
    sharingPictures(app, files);
    files.doLogout();
    waitUntil([&] { return app.loginWindow().loginWindow()->isVisible(); });
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: norvane-screenshots OUTPUT-FOLDER SUFFIX\n");
        return 2;
    }
    outputDir = QString::fromLocal8Bit(argv[1]);
    suffix = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(outputDir);
    QTemporaryDir home;
    ::setenv("NORVANE_HOME", qPrintable(home.path()), 1);
    QApplication::setApplicationDisplayName(QStringLiteral("Norvane"));
    AppDelegate::installQtTranslations();

    AppDelegate::Options options;
    options.alerts = std::make_shared<RecordingAlertPresenter>();
    options.quit = [] {};
    options.manager.watchReachability = false;
    options.manager.systemProxies
        = [](const std::string&) { return std::optional<std::vector<ProxyEntry>>(std::vector<ProxyEntry> {}); };
    options.opener = std::make_shared<NoOpener>();
    // The demo server is on the loopback, whatever the machine's routes.
    CurrentNetworkStatus::setStateSource(std::make_shared<test::FixedNetworkState>(true));
    AppDelegate app(options);
    ConfigInfo& config = app.manager()->configDefine();
    config.setServerIP("storage.example.com");
    config.setServerPort(443);
    config.setLoginServerIP("storage.example.com");
    config.setLoginServerPort(443);
    config.setSaveLoginInfo(1);
    config.setCompanyCode("demo");
    config.setUserName("manager");
    config.setFullName("Demo Manager");
    config.setDeviceID("dc09A4F1C2E07B3D59A8E6F10C2B7D4E93A1");
    config.setUsedSpaceSize("1288490188");
    config.setSpaceSize("5368709120");
    config.save();
    app.applicationDidFinishLaunching();

    LoginWindowController& login = app.loginWindow();
    save(login.loginWindow(), QStringLiteral("login"));

    login.doSetting();
    login.proxyFields().setRow(ProxySettingsFields::ManualProxy);
    save(login.netSettingWindow(), QStringLiteral("network"));
    login.netSettingCancel();

    login.loginWindow()->hide();
    login.loadingWindow()->show();
    save(login.loadingWindow(), QStringLiteral("loading"));
    login.loadingWindow()->hide();

    PresentedCertificate certificate;
    certificate.publicKeyPin = "sha256//n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=";
    certificate.subject = "CN=storage.example.com,O=Example Corporation";
    certificate.issuer = "CN=storage.example.com,O=Example Corporation";
    certificate.validFrom = "2025-01-01 00:00:00 UTC";
    certificate.validUntil = "2026-01-01 00:00:00 UTC";
    certificate.untrustedReason = "self-signed certificate";
    TrustPrompt prompt("storage.example.com:443", certificate);
    prompt.show();
    save(&prompt, QStringLiteral("trust"));
    prompt.hide();

    SettingWindowController* settings = app.openSettings(false);
    const char* tabNames[] = { "settings-network", "settings-device", "settings-password", "settings-other" };
    for (int i = 0; i < settings->tabs()->count() && i < 4; ++i) {
        settings->tabs()->setCurrentIndex(i);
        save(settings->window(), QString::fromLatin1(tabNames[i]));
    }
    settings->window()->hide();
    settle();

    SettingWindowController* deviceOnly = app.openSettings(true);
    save(deviceOnly->window(), QStringLiteral("settings-device-only"));
    deviceOnly->window()->hide();
    settle();

    app.deviceWindow().showWindow();
    save(app.deviceWindow().window(), QStringLiteral("device-id"));
    app.deviceWindow().window()->hide();

    Alert alert;
    alert.kind = Alert::Kind::Ask;
    alert.messageKey = "need_relogin";
    alert.buttonKeys = { "word_sign_out", "alert_cancel" };
    QMessageBox* box = QtAlertPresenter::makeBox(alert, nullptr);
    box->show();
    save(box, QStringLiteral("alert"));
    delete box;

    fileWindowPictures(app);
    CurrentNetworkStatus::setStateSource(nullptr);
    return failures == 0 ? 0 : 1;
}
