#pragma once

#include "app/ui/ThumbnailLoader.h"
#include "platform/NotificationCenter.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QProgressBar;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;

namespace norvane {

class AppDataManager;
class BrowserDragDrop;
class BrowserSearch;
class DesktopOpener;
class EntrySheet;
class FileActions;
class FileBrowser;
class FileOpening;
class LocalChooser;
class PathJump;
class ProgressSheet;

// The main window after login: the side bar with the folder roots, the column browser with the
// preview pane beside it, the search field, the storage gauge and the person's name below, the
// toolbar, the progress sheet of downloads and the entry sheet of go to path.
class FileWindowController : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> quit; // the window's close box
        std::function<void()> loggedOut; // after a logout: every window closed, the login form shown
        std::function<void()> openSettings;
        std::function<void()> openDeviceID;
        std::function<void()> showPrintList;
        std::shared_ptr<DesktopOpener> opener; // null: the desktop's (QDesktopServices)
        std::shared_ptr<LocalChooser> chooser; // where downloads go; null: the desktop's dialogs
        ThumbnailLoader::Fetch thumbnails; // the rows' thumbnails; empty: the operations'
        ThumbnailLoader::Fetch previewThumbnails; // the preview's; empty: the operations'
    };

    FileWindowController(std::shared_ptr<AppDataManager> manager, Hooks hooks, QObject* parent = nullptr);
    ~FileWindowController() override;

    QMainWindow* window() const { return window_; }
    QTreeWidget* sideBar() const { return sideBar_; }
    FileBrowser* browser() const { return browser_; }
    QLineEdit* searchField() const { return searchField_; }
    QComboBox* searchType() const { return searchType_; }
    ProgressSheet* progressSheet() const { return progressSheet_; }
    EntrySheet* entrySheet() const { return entrySheet_; }
    BrowserSearch* search() const { return search_; }
    FileActions* actions() const { return actions_; }
    BrowserDragDrop* dragDrop() const { return dragDrop_; }
    QLabel* nameLabel() const { return nameLabel_; }
    QLabel* spaceSizeLabel() const { return spaceSizeLabel_; }
    QProgressBar* spaceIndicator() const { return spaceIndicator_; }
    QProgressBar* waitingIndicator() const { return waitingIndicator_; }
    bool isBusy() const { return busyCount_ > 0; }

    // The file window's own menu (the file actions, go to path, refresh, search), put in the menu
    // bar.
    void addMenus(QMenuBar* bar);
    // Shows the current root from the first column as it stands (a new login, a logout).
    void loadColumnZero();
    // Chooses the side-bar item of the root type: search emptied, search kind set, root listed.
    void selectRoot(std::int32_t type);

    // Shows the window in front and centred (after a login).
    void showWindow();
    // Signs out; the window's toolbar and the automatic sign-out end here.
    void doLogout();
    bool isLoggingOut() const { return loggingOut_; }

    // Downloads the file into the cache under the progress sheet and opens it.
    void openFileInformation(const std::shared_ptr<fileInformation>& entry);
    // Opens the entry sheet with the path of the folder shown; OK goes there.
    void doChangePath();

    // The server's storage figures ("used/total" in bytes) into the label and the gauge.
    void changedStorageSize(const std::string& storage);
    // An edited file went back to the server: its column is listed again when it shows it.
    void watchFileUploaded(const std::string& serverPath);

private:
    void buildWindow();
    void buildToolbar();
    void buildSideBar();
    void windowDidBecomeMain();
    void selectSideBarItem(QTreeWidgetItem* item);
    // The side bar, the search and the data manager on the root type; nothing listed.
    void chooseRoot(std::int32_t type);
    void markSideBar(std::int32_t type);
    void setBusy(bool busy);
    void showStorageFromSettings();

    std::shared_ptr<AppDataManager> manager_;
    Hooks hooks_;
    QPointer<QMainWindow> window_;
    QTreeWidget* sideBar_ = nullptr;
    QSplitter* splitter_ = nullptr;
    FileBrowser* browser_ = nullptr;
    QLineEdit* searchField_ = nullptr;
    QComboBox* searchType_ = nullptr;
    QLabel* nameLabel_ = nullptr;
    QLabel* spaceSizeLabel_ = nullptr;
    QProgressBar* spaceIndicator_ = nullptr;
    QProgressBar* waitingIndicator_ = nullptr;
    QAction* goToPathAction_ = nullptr;
    QAction* refreshAction_ = nullptr;
    QAction* findAction_ = nullptr;
    FileActions* actions_ = nullptr;
    BrowserDragDrop* dragDrop_ = nullptr;
    ProgressSheet* progressSheet_ = nullptr;
    EntrySheet* entrySheet_ = nullptr;
    FileOpening* opening_ = nullptr;
    BrowserSearch* search_ = nullptr;
    PathJump* pathJump_ = nullptr;
    int busyCount_ = 0;
    bool visible_ = false;
    bool loggingOut_ = false;
    bool markingSideBar_ = false;
    ObserverToken storageObserver_;
    ObserverToken uploadObserver_;
};

} // namespace norvane
