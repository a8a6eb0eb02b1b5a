#include "app/ui/BrowserDragDrop.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/state/PermissionRules.h"
#include "app/ui/DesktopDropUpload.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/UiText.h"
#include "platform/AlertPresenter.h"
#include "platform/Log.h"

#include <QDrag>
#include <QDragMoveEvent>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QUrl>

namespace norvane {

namespace {

int depthOf(const QModelIndex& folder)
{
    int depth = 0;
    for (QModelIndex at = folder; at.isValid(); at = at.parent())
        ++depth;
    return depth;
}

// Tells the drag how the drop would go (copy or move), or that it is refused; false when refused.
bool answer(QDropEvent* event, const DragRecords::Decision& decision)
{
    if (decision.operation == DragRecords::Operation::Refused) {
        event->ignore();
        return false;
    }
    const Qt::DropAction action = decision.operation == DragRecords::Operation::Move ? Qt::MoveAction : Qt::CopyAction;
    event->setDropAction(event->possibleActions() & action ? action : event->proposedAction());
    event->accept();
    return true;
}

std::uint64_t modifierFlags(Qt::KeyboardModifiers keys)
{
    std::uint64_t flags = 0;
    if (keys & Qt::AltModifier)
        flags |= PermissionRules::kAlternateKeyMask;
    if (keys & Qt::ControlModifier)
        flags |= PermissionRules::kCommandKeyMask;
    return flags;
}

} // namespace

BrowserDragDrop::BrowserDragDrop(std::shared_ptr<AppDataManager> manager, FileBrowser* browser, ProgressSheet* sheet,
    std::function<void(bool)> busy, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
    , browser_(browser)
    , sheet_(sheet)
    , busy_(std::move(busy))
{
    browser_->setColumnEvents(this);
}

void BrowserDragDrop::contextMenu(BrowserColumn* column, const QPoint& position)
{
    if (contextMenuRequested)
        contextMenuRequested(column, position);
}

QMimeData* BrowserDragDrop::mimeDataFor(const QModelIndexList& rows) const
{
    FileBrowserModel* model = browser_->browserModel();
    std::vector<DragRecords::Row> records;
    for (const QModelIndex& index : rows) {
        const auto entry = model->entry(index);
        if (!index.isValid() || !entry)
            continue;
        DragRecords::Row row;
        row.uk = entry->uk.value_or("");
        row.displayName = entry->displayName.value_or("");
        row.sourceColumn = depthOf(index.parent());
        row.fileType = entry->fileType;
        row.fullPath = entry->fullPath.value_or("");
        row.canMove = manager_->canMove(*entry);
        records.push_back(std::move(row));
    }
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(DragRecords::kMimeType), QByteArray::fromStdString(DragRecords::encode(records)));
    return data;
}

QString BrowserDragDrop::dragImageText(int count)
{
    return uiFormat("ui_items_being_dragged", { QString::number(count) });
}

QPixmap BrowserDragDrop::dragImage(const QModelIndexList& rows, const QWidget* view) const
{
    if (rows.isEmpty())
        return {};
    const QString text
        = rows.size() == 1 ? rows.front().data().toString() : dragImageText(static_cast<int>(rows.size()));
    const QIcon icon = rows.size() == 1 ? rows.front().data(Qt::DecorationRole).value<QIcon>() : QIcon();
    const QFontMetrics metrics = view->fontMetrics();
    const int pad = 6;
    const int iconSide = 16;
    const int textWidth = std::min(metrics.horizontalAdvance(text), 360);
    const QSize size(pad * 2 + (icon.isNull() ? 0 : iconSide + pad) + textWidth, metrics.height() + pad * 2);
    const qreal scale = view->devicePixelRatioF();
    QPixmap picture(size * scale);
    picture.setDevicePixelRatio(scale);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& palette = view->palette();
    QColor back = palette.color(QPalette::Highlight);
    back.setAlpha(220);
    painter.setPen(Qt::NoPen);
    painter.setBrush(back);
    painter.drawRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
    int x = pad;
    if (!icon.isNull()) {
        icon.paint(&painter, QRect(x, (size.height() - iconSide) / 2, iconSide, iconSide));
        x += iconSide + pad;
    }
    painter.setPen(palette.color(QPalette::HighlightedText));
    painter.setFont(view->font());
    painter.drawText(QRect(x, 0, textWidth, size.height()), Qt::AlignVCenter | Qt::AlignLeft,
        metrics.elidedText(text, Qt::ElideRight, textWidth));
    return picture;
}

QMimeData* BrowserDragDrop::dragData(BrowserColumn* column, QModelIndexList* rows)
{
    QModelIndexList chosen;
    for (const QModelIndex& index : column->selectionModel()->selectedIndexes())
        if (index.parent() == column->rootIndex())
            chosen.push_back(index);
    std::sort(
        chosen.begin(), chosen.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    if (chosen.isEmpty())
        return nullptr;
    source_.folder = column->rootIndex();
    source_.isRoot = !column->rootIndex().isValid();
    source_.entry = browser_->browserModel()->entry(column->rootIndex());
    sourceDepth_ = depthOf(column->rootIndex());
    if (rows)
        *rows = chosen;
    return mimeDataFor(chosen);
}

void BrowserDragDrop::startDrag(BrowserColumn* column)
{
    QModelIndexList rows;
    QMimeData* data = dragData(column, &rows);
    if (!data)
        return;
    auto* drag = new QDrag(browser_);
    drag->setMimeData(data);
    const QPixmap picture = dragImage(rows, column);
    drag->setPixmap(picture);
    drag->setHotSpot(QPoint(-12, static_cast<int>(picture.height() / picture.devicePixelRatio() / 2)));
    // Out of the application every operation is offered; inside, the drop decides.
    drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction);
    // The column may be gone by now; only this object's state is touched.
    sourceDepth_ = -1;
    hovered_ = QPersistentModelIndex();
}

std::optional<BrowserDragDrop::Payload> BrowserDragDrop::payloadOf(const QMimeData* data)
{
    Payload payload;
    if (data->hasFormat(QString::fromLatin1(DragRecords::kMimeType))) {
        payload.internal = true;
        payload.rows = DragRecords::decode(data->data(QString::fromLatin1(DragRecords::kMimeType)).toStdString());
        return payload;
    }
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            payload.localPaths << url.toLocalFile();
    if (payload.localPaths.isEmpty())
        return std::nullopt;
    return payload;
}

std::optional<BrowserDragDrop::Target> BrowserDragDrop::targetAt(BrowserColumn* column, const QPoint& position) const
{
    FileBrowserModel* model = browser_->browserModel();
    const QModelIndex row = column->indexAt(position);
    Target target;
    if (row.isValid() && model->isFolder(row)) {
        target.folder = row;
    } else {
        target.folder = column->rootIndex();
        target.isRoot = !column->rootIndex().isValid();
    }
    target.entry = model->entry(target.folder);
    if (!target.entry)
        return std::nullopt;
    return target;
}

DragRecords::Decision BrowserDragDrop::decide(
    const Payload& payload, const Target& target, Qt::KeyboardModifiers keys) const
{
    if (payload.internal)
        return DragRecords::decide(payload.rows, *target.entry, modifierFlags(keys));
    DragRecords::Decision decision;
    // From outside the application a drop is always a copy.
    if (DragRecords::acceptsDrops(*target.entry) && DragRecords::fileFormOfFolder(target.entry->uk.value_or("")))
        decision.operation = DragRecords::Operation::Copy;
    return decision;
}

void BrowserDragDrop::hover(BrowserColumn* column, const QModelIndex& folder)
{
    if (!folder.isValid() || folder == QModelIndex(hovered_))
        return;
    hovered_ = folder;
    // Opening a folder closes the columns right of its own: never the one the drag came from.
    if (sourceDepth_ >= 0 && depthOf(column->rootIndex()) < sourceDepth_)
        return;
    browser_->selectAndList(folder);
}

void BrowserDragDrop::dragMove(BrowserColumn* column, QDragMoveEvent* event)
{
    const auto payload = payloadOf(event->mimeData());
    const QPoint position = event->position().toPoint();
    const auto target = payload ? targetAt(column, position) : std::nullopt;
    if (!target) {
        event->ignore();
        return;
    }
    const QModelIndex row = column->indexAt(position);
    if (row.isValid() && browser_->browserModel()->isFolder(row))
        hover(column, row);
    answer(event, decide(*payload, *target, event->modifiers()));
}

void BrowserDragDrop::dragLeave(BrowserColumn*)
{ }

void BrowserDragDrop::drop(BrowserColumn* column, QDropEvent* event)
{
    const auto payload = payloadOf(event->mimeData());
    const auto target = payload ? targetAt(column, event->position().toPoint()) : std::nullopt;
    const auto decision = target ? decide(*payload, *target, event->modifiers()) : DragRecords::Decision {};
    hovered_ = QPersistentModelIndex();
    if (!answer(event, decision))
        return;
    // After the drop has been answered: the source is waiting for that answer, and the drop
    // may ask a question first.
    const Target from = payload->internal ? source_ : Target {};
    sourceDepth_ = -1;
    QTimer::singleShot(0, this,
        [this, target = *target, from, payload = *payload, decision] { perform(target, from, payload, decision); });
}

void BrowserDragDrop::perform(Target target, Target from, Payload payload, DragRecords::Decision decision)
{
    if (!target.entry || (!target.isRoot && !target.folder.isValid()))
        return; // the folder went meanwhile
    const std::string key = target.entry->uk.value_or("");
    const std::string source = from.entry ? from.entry->uk.value_or("") : std::string("desktop");
    Log::line("Drop: " + source + "->" + key);
    // What arrives in the shared area may be opened to others' edits, or not; cancel drops it.
    std::int32_t editable = 1;
    if (key.starts_with("/SHAREFOLDER")) {
        const std::size_t answer
            = AlertPresenter::shared()->ask("", "can_other_edit_message", { "alert_yes", "alert_no", "alert_cancel" });
        if (answer == 2)
            return;
        editable = answer == 0 ? 1 : 0;
    }
    ++dropsStarted_;

    if (!payload.internal) {
        DesktopDropUpload::Request request;
        request.localPaths = payload.localPaths;
        request.folderKey = key;
        request.editpermission = editable == 1 ? Value(std::string("1")) : Value();
        DesktopDropUpload::Hooks hooks;
        hooks.busy = busy_;
        QPointer<BrowserDragDrop> self(this);
        hooks.arrived = [self, target] {
            if (self)
                self->listAgain(target);
        };
        DesktopDropUpload::start(sheet_, std::move(request), std::move(hooks));
        return;
    }

    QPointer<BrowserDragDrop> self(this);
    auto done = [self, target, from](std::int32_t) {
        if (!self)
            return;
        if (self->busy_)
            self->busy_(false);
        self->listAgain(from);
        self->listAgain(target);
    };
    if (busy_)
        busy_(true);
    const auto& files = decision.files;
    const bool copy = decision.operation == DragRecords::Operation::Copy;
    if (files.size() == 1) {
        const auto& file = files.front();
        if (copy)
            StorageServiceLogic::copyFile(key, file.uk, file.displayName, editable, done);
        else
            StorageServiceLogic::moveFile(key, file.uk, file.displayName, editable, done);
        return;
    }
    std::vector<StorageServiceLogic::SourceItem> items;
    for (const auto& file : files)
        items.push_back({ file.uk, file.displayName });
    if (copy)
        StorageServiceLogic::copyFiles(key, items, editable, done);
    else
        StorageServiceLogic::moveFiles(key, items, editable, done);
}

void BrowserDragDrop::listAgain(const Target& target)
{
    if (target.entry && (target.isRoot || target.folder.isValid()))
        browser_->listFolder(target.folder);
}

} // namespace norvane
