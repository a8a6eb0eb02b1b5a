#include "app/ui/AppDelegate.h"

#include "CloudServiceSDKForMac/CloudService/TransferStopFlag.h"
#include "Version.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/CredentialProtection.h"
#include "app/ui/DeviceIDWindowController.h"
#include "app/ui/FileActions.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/Icons.h"
#include "app/ui/LoginWindowController.h"
#include "app/ui/NetPrintListWindowController.h"
#include "app/ui/QtAlertPresenter.h"
#include "app/ui/QtMainQueue.h"
#include "app/ui/SettingWindowController.h"
#include "app/ui/UiText.h"
#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QImage>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QTranslator>
#include <QUrl>

#include <atomic>
#include <filesystem>
#include <thread>

namespace norvane {

namespace {

// Pictures from the server become QImages on the worker that fetched them.
ThumbnailImage decodeImage(const Bytes& data)
{
    auto image = std::make_shared<QImage>();
    if (!image->loadFromData(data.data(), static_cast<int>(data.size())))
        return nullptr;
    return image;
}

void renameMenu(QMenu* menu, const QString& name)
{
    menu->setTitle(menu->title().replace(QStringLiteral("Norvane"), name));
    for (QAction* action : menu->actions()) {
        action->setText(action->text().replace(QStringLiteral("Norvane"), name));
        if (QMenu* sub = action->menu())
            renameMenu(sub, name);
    }
}

} // namespace

AppDelegate::AppDelegate(Options options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options))
{
    QApplication::setQuitOnLastWindowClosed(false); // login and logout close every window on purpose
    if (QGuiApplication::applicationDisplayName().isEmpty())
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Norvane"));
    QGuiApplication::setWindowIcon(Icons::icon(Icons::Name::Application));
    QGuiApplication::setDesktopFileName(QStringLiteral("norvane"));

    mainQueue_ = std::make_shared<QtMainQueue>();
    MainQueue::setShared(mainQueue_);
    pump_ = new MainRunLoopPump(this);
    AlertPresenter::setShared(options_.alerts ? options_.alerts : std::make_shared<QtAlertPresenter>(mainQueue_));
    StorageServiceLogic::setImageDecoder(decodeImage);

    AppDataManager::Dependencies dependencies = options_.manager;
    dependencies.mainQueue = mainQueue_;
    manager_ = AppDataManager::create(std::move(dependencies));
    OperationEnvironment::setShared(manager_);
    manager_->setLogoutHandler([this] {
        if (fileWindow_)
            fileWindow_->doLogout();
    });
}

AppDelegate::~AppDelegate()
{
    manager_->setLogoutHandler({});
    waitForOperations();
    for (SettingWindowController* controller : windowControllers_)
        delete controller;
    windowControllers_.clear();
    deviceWindow_.reset();
    printListWindow_.reset();
    loginWindow_.reset();
    fileWindow_.reset();
    OperationEnvironment::setShared(nullptr);
    manager_.reset();
    AlertPresenter::setShared(nullptr);
    StorageServiceLogic::setImageDecoder({});
    mainQueue_->shutDown();
    MainQueue::setShared(nullptr);
}

void AppDelegate::waitForOperations()
{
    // The workers call back on this thread; waiting here without turning the loop would stop
    // both for good.
    auto idle = std::make_shared<std::atomic<bool>>(false);
    QEventLoop loop;
    std::thread waiter([idle] {
        DispatchQueue::global().waitUntilAllOperationsAreFinished();
        idle->store(true);
    });
    while (!idle->load())
        loop.processEvents(QEventLoop::AllEvents, 20);
    waiter.join();
}

void AppDelegate::applicationDidFinishLaunching()
{
    const SystemProxyDetector detector = systemProxyDetector(manager_);
    const auto quitAction = [this] { quit(); };

    FileWindowController::Hooks fileHooks;
    fileHooks.quit = quitAction;
    fileHooks.loggedOut = [this] { loggedOut(); };
    fileHooks.openSettings = [this] { openSettings(false); };
    fileHooks.openDeviceID = [this] { deviceWindow_->showWindow(); };
    fileHooks.showPrintList = [this] { printListWindow_->showWindow(); };
    fileHooks.opener = options_.opener;
    fileHooks.chooser = options_.chooser;
    fileHooks.thumbnails = options_.thumbnails;
    fileHooks.previewThumbnails = options_.previewThumbnails;
    fileWindow_ = std::make_unique<FileWindowController>(manager_, std::move(fileHooks));

    deviceWindow_ = std::make_unique<DeviceIDWindowController>(manager_, [this] { fileWindow_->doLogout(); });
    printListWindow_ = std::make_unique<NetPrintListWindowController>(manager_);

    LoginWindowController::Hooks loginHooks;
    loginHooks.quit = quitAction;
    loginHooks.requireDeviceRegistration = [this] { openSettings(true); };
    loginHooks.moveToFileWindow = [this] { moveToFileWindow(); };
    loginWindow_ = std::make_unique<LoginWindowController>(manager_, detector, std::move(loginHooks));
    loginWindow_->setServerTrust(std::make_shared<ServerTrust>(
        manager_, options_.certificateProbe ? options_.certificateProbe : engineCertificateProbe(manager_)));

    // The key that seals the stored password is made at the first login of an installation, with
    // a write that waits for the disk; made now on a worker, the login does not wait for it.
    DispatchQueue::global().async([] { CredentialProtection::installationKey(ConfigInfo::credentialKeyFile(), true); });
    manager_->initFileStream();
    buildMenu();
    loginWindow_->showLoginWindow();
}

void AppDelegate::buildMenu()
{
    QMenuBar* bar = fileWindow_->window()->menuBar();
    bar->setObjectName(QStringLiteral("mainMenu"));
    QMenu* app = bar->addMenu(uiText("menu_application"));
    app->setObjectName(QStringLiteral("applicationMenu"));
    QAction* about = app->addAction(uiText("menu_about"));
    connect(about, &QAction::triggered, this, [this] {
        QMessageBox::about(fileWindow_->window(), displayName(),
            QStringLiteral("<b>%1</b> %2").arg(displayName(), QString::fromLatin1(kVersion)));
    });
    app->addSeparator();
    // The file window's own settings and device-ID actions, which its context menu shows too.
    QAction* settings = fileWindow_->actions()->action(FileActions::Id::Settings);
    settings->setShortcut(QKeySequence::Preferences);
    app->addAction(settings);
    app->addAction(fileWindow_->actions()->action(FileActions::Id::DeviceID));
    app->addSeparator();
    QAction* signOut = app->addAction(uiText("word_sign_out"));
    connect(signOut, &QAction::triggered, this, [this] { fileWindow_->doLogout(); });
    QAction* quitItem = app->addAction(uiText("menu_quit"));
    quitItem->setShortcut(QKeySequence::Quit);
    connect(quitItem, &QAction::triggered, this, &AppDelegate::quit);
    fileWindow_->addMenus(bar);

    QMenu* help = bar->addMenu(uiText("menu_help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    QAction* helpItem = help->addAction(uiText("menu_show_help"));
    helpItem->setShortcut(QKeySequence::HelpContents);
    connect(
        helpItem, &QAction::triggered, this, [] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(kHelpURL))); });

    replaceProductName(bar, displayName());
}

void AppDelegate::replaceProductName(QMenuBar* menuBar, const QString& name)
{
    for (QAction* action : menuBar->actions())
        if (QMenu* menu = action->menu())
            renameMenu(menu, name);
}

void AppDelegate::applicationShouldHandleReopen()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && !window->isMinimized() && window->isWindow()) {
            window->raise();
            window->activateWindow();
            return;
        }
    }
    QMainWindow* main = fileWindow_->window();
    main->showNormal();
    main->raise();
    main->activateWindow();
}

void AppDelegate::quit()
{
    // Requests still running give up at once; their callbacks still come.
    transferStopFlag.store(true);
    clearCacheKeepingUnsentAsked();
    if (options_.quit)
        options_.quit();
    else
        QCoreApplication::quit();
}

SettingWindowController* AppDelegate::openSettings(bool deviceOnly)
{
    SettingWindowController* controller = windowControllers_.empty() ? nullptr : windowControllers_.front();
    if (!controller) {
        SettingWindowController::Hooks hooks;
        hooks.signOut = [this] { fileWindow_->doLogout(); };
        auto made = std::make_shared<SettingWindowController*>(nullptr);
        hooks.closed = [this, made] { closeSettings(*made); };
        controller = new SettingWindowController(manager_, systemProxyDetector(manager_), std::move(hooks));
        *made = controller;
        windowControllers_.push_back(controller);
    }
    controller->setDeviceOnly(deviceOnly);
    controller->showWindow();
    return controller;
}

void AppDelegate::closeSettings(SettingWindowController* controller)
{
    auto it = std::find(windowControllers_.begin(), windowControllers_.end(), controller);
    if (it == windowControllers_.end())
        return;
    windowControllers_.erase(it);
    // A login waiting for this device to be registered would otherwise leave its loading window
    // up for good: closed without saving, the registration is given up and the form comes back.
    if (controller->deviceOnly() && !fileWindow_->isLoggingOut() && loginWindow_->loadingWindow()->isVisible()) {
        loginWindow_->closeAll();
        loginWindow_->showLoginWindow();
    }
    // Not from inside its own window's event.
    controller->deleteLater();
}

void AppDelegate::moveToFileWindow()
{
    fileWindow_->loadColumnZero();
    fileWindow_->showWindow();
}

void AppDelegate::loggedOut()
{
    for (SettingWindowController* controller : std::vector<SettingWindowController*>(windowControllers_))
        controller->window()->hide(); // its close hook lets go of it
    deviceWindow_->window()->hide();
    printListWindow_->window()->hide();
    fileWindow_->actions()->closeDialogs();
    fileWindow_->window()->hide();
    loginWindow_->closeAll();
    loginWindow_->showLoginWindow();
    clearCacheKeepingUnsentAsked();
}

void AppDelegate::clearCacheKeepingUnsentAsked()
{
    // An opened copy whose change never reached the server is the only place that change exists:
    // it goes only when the user says so.
    auto unsent = AppDataManager::UnsentCopies::Keep;
    const auto records = manager_->unsentEdits();
    if (!records.empty()) {
        std::string names;
        for (const auto& record : records)
            names += (names.empty() ? "" : "\n") + std::filesystem::path(record.serverPath).filename().string();
        const std::size_t answer = AlertPresenter::shared()->ask(
            "", "message_unsent_edits_at_sign_out", { "word_keep_changes", "word_discard_changes" }, names);
        if (answer == 1)
            unsent = AppDataManager::UnsentCopies::Discard;
    }
    manager_->clearCache(unsent);
}

void AppDelegate::installQtTranslations()
{
    const QString language = QString::fromStdString(Strings::language());
    if (language.isEmpty() || language == QStringLiteral("en"))
        return;
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(QStringLiteral("qtbase_") + language, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
    else
        delete translator;
}

} // namespace norvane
