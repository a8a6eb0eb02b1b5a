#pragma once

#include "platform/NotificationCenter.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class QSplitter;
class QStackedLayout;
class QTreeWidget;
class QTreeWidgetItem;

namespace norvane {

class AppDataManager;

// The main window after login: the side bar with the folder roots, the browser beside it, the
// storage gauge and the person's name below, and the toolbar. The browser is a widget of its own
// that the window hosts (setBrowser); until one is set a plain placeholder names the chosen root.
class FileWindowController : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> quit; // the window's close box
        std::function<void()> loggedOut; // after a logout: every window closed, the login form shown
        std::function<void()> openSettings;
        std::function<void()> openDeviceID;
    };

    FileWindowController(std::shared_ptr<AppDataManager> manager, Hooks hooks, QObject* parent = nullptr);
    ~FileWindowController() override;

    QMainWindow* window() const { return window_; }
    QTreeWidget* sideBar() const { return sideBar_; }
    QLabel* nameLabel() const { return nameLabel_; }
    QLabel* spaceSizeLabel() const { return spaceSizeLabel_; }
    QProgressBar* spaceIndicator() const { return spaceIndicator_; }
    QProgressBar* waitingIndicator() const { return waitingIndicator_; }

    // The browser the window hosts in place of the placeholder; the window owns it.
    void setBrowser(QWidget* browser);
    QWidget* browser() const;
    // Reloads the browser from the current root (a new login, a new side-bar choice).
    void loadColumnZero();

    // Shows the window in front and centred (after a login).
    void showWindow();
    // Signs out; the window's toolbar and the automatic sign-out end here.
    void doLogout();
    bool isLoggingOut() const { return loggingOut_; }

    // The server's storage figures ("used/total" in bytes) into the label and the gauge.
    void changedStorageSize(const std::string& storage);

private:
    void buildWindow();
    void buildSideBar();
    void windowDidBecomeMain();
    void selectSideBarItem(QTreeWidgetItem* item);
    void setBusy(bool busy);
    void showStorageFromSettings();

    std::shared_ptr<AppDataManager> manager_;
    Hooks hooks_;
    QPointer<QMainWindow> window_;
    QTreeWidget* sideBar_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QStackedLayout* browserHost_ = nullptr;
    QLabel* placeholder_ = nullptr;
    QLabel* nameLabel_ = nullptr;
    QLabel* spaceSizeLabel_ = nullptr;
    QProgressBar* spaceIndicator_ = nullptr;
    QProgressBar* waitingIndicator_ = nullptr;
    int busyCount_ = 0;
    bool visible_ = false;
    bool loggingOut_ = false;
    ObserverToken storageObserver_;
};

} // namespace norvane
