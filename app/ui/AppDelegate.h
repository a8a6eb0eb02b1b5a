#pragma once

#include "app/state/AppDataManager.h"
#include "app/ui/ServerTrust.h"
#include "app/ui/ThumbnailLoader.h"
#include "platform/AlertPresenter.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

class QMenuBar;

namespace norvane {

class DesktopOpener;
class DeviceIDWindowController;
class FileWindowController;
class LocalChooser;
class LoginWindowController;
class NetPrintListWindowController;
class MainRunLoopPump;
class QtMainQueue;
class SettingWindowController;

// The application: it sets up what the layers below stand on (the main queue on the Qt loop,
// the alerts, the image decoder, the data manager), makes the long-lived windows (the login
// form shown, the file window, the print list and the device-ID dialog hidden), and runs the
// passages between
// them: login to file window, logout back to the login form, the settings dialogs, the quit.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Options {
        AppDataManager::Dependencies manager; // empty members: the real things
        std::shared_ptr<AlertPresenter> alerts; // null: message boxes
        CertificateProbe certificateProbe; // empty: the engine's probe
        std::function<void()> quit; // empty: end the Qt event loop
        std::shared_ptr<DesktopOpener> opener; // null: the desktop's
        std::shared_ptr<LocalChooser> chooser; // where downloads go; null: the desktop's dialogs
        ThumbnailLoader::Fetch thumbnails; // the browser rows' thumbnails; empty: the operations'
        ThumbnailLoader::Fetch previewThumbnails; // the preview's; empty: the operations'
    };

    // The service's help pages.
    static constexpr const char* kHelpURL = "https://www.norvane.example/help/";

    explicit AppDelegate(Options options = {}, QObject* parent = nullptr);
    // Waits for the operations still running (their callbacks need this loop), then lets go.
    ~AppDelegate() override;

    // The start-up: windows made, the cache watched, the menus named, the login form shown.
    void applicationDidFinishLaunching();
    // The person started the application again (a second start on this home): with a window on
    // screen, that one comes to the front; without, the file window does.
    void applicationShouldHandleReopen();
    // Clears the disposable cache, then ends the application.
    void quit();

    std::shared_ptr<AppDataManager> manager() const { return manager_; }
    FileWindowController& fileWindow() const { return *fileWindow_; }
    LoginWindowController& loginWindow() const { return *loginWindow_; }
    DeviceIDWindowController& deviceWindow() const { return *deviceWindow_; }
    NetPrintListWindowController& printListWindow() const { return *printListWindow_; }
    const std::vector<SettingWindowController*>& windowControllers() const { return windowControllers_; }
    SettingWindowController* openSettings(bool deviceOnly);

    // Walks the menus depth first and puts the display name in place of the product word.
    static void replaceProductName(QMenuBar* menuBar, const QString& name);
    // Qt's own dialog texts in the language of ours.
    static void installQtTranslations();
    // Lets the operations still on the background queue end, turning the Qt loop for their
    // callbacks meanwhile.
    static void waitForOperations();

private:
    void buildMenu();
    void moveToFileWindow();
    void loggedOut();
    // The clearing of logout and quit, after asking about opened copies with unsent changes.
    void clearCacheKeepingUnsentAsked();
    void closeSettings(SettingWindowController* controller);

    Options options_;
    std::shared_ptr<QtMainQueue> mainQueue_;
    MainRunLoopPump* pump_ = nullptr;
    std::shared_ptr<AppDataManager> manager_;
    std::unique_ptr<FileWindowController> fileWindow_;
    std::unique_ptr<LoginWindowController> loginWindow_;
    std::unique_ptr<DeviceIDWindowController> deviceWindow_;
    std::unique_ptr<NetPrintListWindowController> printListWindow_;
    std::vector<SettingWindowController*> windowControllers_;
};

} // namespace norvane
