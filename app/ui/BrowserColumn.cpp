#include "app/ui/BrowserColumn.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>

namespace norvane {

BrowserColumn::BrowserColumn(QWidget* parent)
    : QListView(parent)
{ }

void BrowserColumn::contextMenuEvent(QContextMenuEvent* event)
{
    if (!events_)
        return QListView::contextMenuEvent(event);
    events_->contextMenu(this, event->pos());
    event->accept();
}

void BrowserColumn::startDrag(Qt::DropActions supportedActions)
{
    if (!events_)
        return QListView::startDrag(supportedActions);
    events_->startDrag(this);
}

void BrowserColumn::dragEnterEvent(QDragEnterEvent* event)
{
    if (!events_)
        return QListView::dragEnterEvent(event);
    events_->dragMove(this, event);
}

void BrowserColumn::dragMoveEvent(QDragMoveEvent* event)
{
    if (!events_)
        return QListView::dragMoveEvent(event);
    events_->dragMove(this, event);
}

void BrowserColumn::dragLeaveEvent(QDragLeaveEvent* event)
{
    if (events_)
        events_->dragLeave(this);
    QListView::dragLeaveEvent(event);
}

void BrowserColumn::dropEvent(QDropEvent* event)
{
    if (!events_)
        return QListView::dropEvent(event);
    events_->drop(this, event);
}

} // namespace norvane
