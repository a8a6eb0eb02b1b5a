#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "app/ui/MenuVisibility.h"

#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class QToolBar;
class QWidget;

namespace norvane {

class AppDataManager;
class BrowserColumn;
class DesktopOpener;
class EntrySheet;
class FileBrowser;
class LocalChooser;
class NetPrintWindowController;
class ProgressSheet;
class WebShareWindowController;

// The file window's actions, one set for its context menu, its toolbar and its main menu: open,
// download, rename, delete, new folder, lock and unlock, edit permission on and off, web share,
// print registration, copy path and name, the print list, the device ID and the settings.
//
// An action works on what was clicked: the row right-clicked (or the empty area of its column)
// while the context menu is up, else the browser's current row. Each action carries a tag, and
// MenuVisibility decides for the clicked entry whether it is shown: the context menu holds only
// the actions that pass, the main menu likewise when it opens, and the toolbar greys out the
// others. After a change on the server the clicked column is listed again where that is useful.
class FileActions : public QObject {
    Q_OBJECT
public:
    enum class Id {
        Open,
        Download,
        Rename,
        Delete,
        NewFolder,
        Lock,
        Unlock,
        EditPermissionOn,
        EditPermissionOff,
        WebShare,
        NetPrint,
        CopyPath,
        CopyName,
        PrintList,
        DeviceID,
        Settings,
    };

    struct Hooks {
        std::function<void(bool busy)> busy;
        std::function<void(const std::shared_ptr<fileInformation>& entry)> open;
        std::function<void()> openSettings;
        std::function<void()> openDeviceID;
        std::function<void()> showPrintList; // the print list, after its records were fetched
        std::shared_ptr<LocalChooser> chooser; // null: the desktop's dialogs
        std::shared_ptr<DesktopOpener> opener; // web pages and mail drafts of the dialogs
    };

    // What an action works on: a row of a column, or the empty area of a column. The indexes
    // become invalid when their rows go; the flags tell that from the root and the empty area.
    struct Target {
        QPersistentModelIndex folder; // the column's folder
        bool folderIsRoot = true;
        QPersistentModelIndex row;
        bool onRow = false;

        static Target rowAt(const QModelIndex& row);
        static Target emptyAreaOf(const QModelIndex& folder);
    };

    FileActions(std::shared_ptr<AppDataManager> manager, FileBrowser* browser, ProgressSheet* sheet,
        EntrySheet* entrySheet, Hooks hooks, QWidget* window);
    ~FileActions() override;

    QAction* action(Id id) const { return actions_.at(id); }
    // The tag whose rule shows the action.
    static int tagOf(Id id);

    void addToToolbar(QToolBar* toolbar);
    // The window's file menu: filled, when it opens, with the actions that pass for the current
    // row (the settings and the device ID stand in the application's menu).
    void addToMenu(QMenu* menu);
    // Pops up the context menu for the row (or empty area) at `position` in the column.
    void popUpContextMenu(BrowserColumn* column, const QPoint& position);
    // The context menu last popped up (tests look at it); null before the first.
    QMenu* contextMenu() const { return contextMenu_; }

    // The current row of the browser, or the empty area of the first column.
    Target selectionTarget() const;
    // Shows, enables and disables the actions for the target (what MenuVisibility says).
    void validate(const Target& target);
    MenuVisibility::Account account() const;

    // The actions themselves, on a target (the tests and the toolbar come here too).
    void doMenuOpen(const Target& target);
    void doMenuDownload(const Target& target);
    void doMenuRename(const Target& target);
    void doMenuDelete(const Target& target);
    void doMenuMakeFolder(const Target& target);
    void doMenuLock(const Target& target, bool lock);
    void doMenuMakeEditpermission(const Target& target, bool on);
    void doMenuWebShare(const Target& target);
    void doMenuNetPrint(const Target& target);
    void doMenuCopyPath(const Target& target);
    void doMenuCopyFileName(const Target& target);
    void goNetPrintList();

    // The name a rename sends: when the typed name's extension differs from the file's, the file's
    // extension is kept after it ("b" -> "b.txt", "b.doc" -> "b.doc.txt" for "a.txt").
    static QString renamedName(const QString& oldName, const QString& typedName, bool isFolder);
    // The extension of a name: after its last point, unless that point starts or ends the name.
    static QString extensionOf(const QString& name);
    // The web-share and print dialogs open now (each removes itself when it closes).
    const std::vector<QPointer<QWidget>>& dialogs() const { return dialogs_; }
    // Closes them without asking (a logout closes every window).
    void closeDialogs();

private:
    void buildActions();
    QAction* make(Id id, const char* textKey);
    void trigger(Id id);
    std::shared_ptr<fileInformation> entryOf(const Target& target) const;
    // Lists the target's column again (after a change that shows in it).
    void listAgain(const Target& target);
    // The answer of a change on the server: the window is busy until it comes; on success the
    // target's column is listed again and `then` runs.
    std::function<void(std::int32_t)> whenChanged(const Target& target, std::function<void()> then = {});
    void downloadSelection(const FileInfoList& items);
    void downloadFolder(const std::shared_ptr<fileInformation>& folder);
    void downloadOneFile(const std::shared_ptr<fileInformation>& file);
    void keepDialog(QWidget* dialog);
    QWidget* window() const { return window_; }

    std::shared_ptr<AppDataManager> manager_;
    FileBrowser* browser_;
    ProgressSheet* sheet_;
    EntrySheet* entrySheet_;
    Hooks hooks_;
    QPointer<QWidget> window_;
    std::map<Id, QAction*> actions_;
    Target current_;
    bool menuUp_ = false;
    QMenu* contextMenu_ = nullptr;
    std::vector<QPointer<QWidget>> dialogs_;
};

} // namespace norvane
