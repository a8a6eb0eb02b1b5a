#pragma once

#include <QListView>

class QDragMoveEvent;
class QDropEvent;

namespace norvane {

class BrowserColumn;

// What the file window does with the columns' right-clicks and drags. The columns only pass them
// on; the rules live with the file window's actions and its drag and drop.
class BrowserColumnEvents {
public:
    virtual ~BrowserColumnEvents() = default;
    virtual void contextMenu(BrowserColumn* column, const QPoint& position) = 0;
    virtual void startDrag(BrowserColumn* column) = 0;
    // A drag entered the column or moved over it: accept it or not, and say how.
    virtual void dragMove(BrowserColumn* column, QDragMoveEvent* event) = 0;
    virtual void dragLeave(BrowserColumn* column) = 0;
    virtual void drop(BrowserColumn* column, QDropEvent* event) = 0;
};

// One column of the browser: a list of a folder's rows whose right-clicks and drags go to the
// file window.
class BrowserColumn : public QListView {
    Q_OBJECT
public:
    explicit BrowserColumn(QWidget* parent);

    void setEvents(BrowserColumnEvents* events) { events_ = events; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    BrowserColumnEvents* events_ = nullptr;
};

} // namespace norvane
