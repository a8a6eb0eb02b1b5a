#pragma once

#include "app/ui/BrowserColumn.h"
#include "app/ui/DragRecords.h"

#include <QObject>
#include <QPersistentModelIndex>
#include <QPixmap>

#include <functional>
#include <memory>
#include <optional>

class QMimeData;

namespace norvane {

class AppDataManager;
class FileBrowser;
class ProgressSheet;
class fileInformation;

// Drag and drop in the file window's browser. Files dragged between folders are copied or moved
// on the server (copy within an area with Alt held, across areas unless Ctrl is held); files and
// folders dropped from the desktop are uploaded. A folder row under a drag is the target and its
// column opens; a file row or the gap between rows means the column's folder. Folders marked
// read-only, the favourites folder, the shared area's root and the backup folder take nothing.
// A drop into the shared area first asks whether others may edit what arrives; cancel ends it.
// The right-clicks of the columns go to `contextMenuRequested`.
class BrowserDragDrop : public QObject, public BrowserColumnEvents {
    Q_OBJECT
public:
    BrowserDragDrop(std::shared_ptr<AppDataManager> manager, FileBrowser* browser, ProgressSheet* sheet,
        std::function<void(bool busy)> busy, QObject* parent = nullptr);

    std::function<void(BrowserColumn* column, const QPoint& position)> contextMenuRequested;

    // The drag's data for rows of one column: the row records under the private type.
    QMimeData* mimeDataFor(const QModelIndexList& rows) const;
    // A drag of the column's selected rows begins: its data (null without rows), the rows in
    // their order, and the column remembered as the source, to be listed again after a drop.
    QMimeData* dragData(BrowserColumn* column, QModelIndexList* rows = nullptr);
    // The picture under the pointer: the row's icon and name, or "3 items being dragged".
    QPixmap dragImage(const QModelIndexList& rows, const QWidget* view) const;
    static QString dragImageText(int count);
    // The drop operations started so far (each ends with its columns listed again).
    int dropsStarted() const { return dropsStarted_; }

    void contextMenu(BrowserColumn* column, const QPoint& position) override;
    void startDrag(BrowserColumn* column) override;
    void dragMove(BrowserColumn* column, QDragMoveEvent* event) override;
    void dragLeave(BrowserColumn* column) override;
    void drop(BrowserColumn* column, QDropEvent* event) override;

private:
    struct Target {
        QPersistentModelIndex folder;
        bool isRoot = false;
        std::shared_ptr<fileInformation> entry;
    };
    // What the drag brings: browser rows, or local paths from the desktop.
    struct Payload {
        std::vector<DragRecords::Row> rows;
        QStringList localPaths;
        bool internal = false;
    };
    static std::optional<Payload> payloadOf(const QMimeData* data);
    std::optional<Target> targetAt(BrowserColumn* column, const QPoint& position) const;
    // How the drop goes (refused, copy or move), with the files that travel.
    DragRecords::Decision decide(const Payload& payload, const Target& target, Qt::KeyboardModifiers keys) const;
    void hover(BrowserColumn* column, const QModelIndex& folder);
    void perform(Target target, Target from, Payload payload, DragRecords::Decision decision);
    void listAgain(const Target& target);

    std::shared_ptr<AppDataManager> manager_;
    FileBrowser* browser_;
    ProgressSheet* sheet_;
    std::function<void(bool)> busy_;
    QPersistentModelIndex hovered_;
    // The column a drag of ours started in, and how deep it stands (-1: no drag of ours).
    Target source_;
    int sourceDepth_ = -1;
    int dropsStarted_ = 0;
};

} // namespace norvane
