#include "app/ui/FileBrowser.h"

#include "app/state/AppDataManager.h"
#include "app/ui/BrowserColumn.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileDataBrowserCell.h"
#include "app/ui/PreviewController.h"
#include "app/ui/UiText.h"
#include "platform/DispatchQueue.h"

#include <QKeyEvent>
#include <QListView>
#include <QMimeDatabase>
#include <QPointer>
#include <QProxyStyle>
#include <QTimer>

namespace norvane {

namespace {

// The columns slide into place quickly, and always slide: the column view shows a new column only
// when its slide ends, so a desktop that turns animations off would never see one.
class ColumnSlideStyle : public QProxyStyle {
public:
    static constexpr int kSlideMs = 60;

    int styleHint(
        StyleHint hint, const QStyleOption* option, const QWidget* widget, QStyleHintReturn* returnData) const override
    {
        if (hint == QStyle::SH_Widget_Animation_Duration)
            return kSlideMs;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

FileBrowser::FileBrowser(std::shared_ptr<AppDataManager> manager, Hooks hooks, QWidget* parent)
    : QColumnView(parent)
    , manager_(std::move(manager))
    , hooks_(std::move(hooks))
{
    setObjectName(QStringLiteral("browser"));
    auto* slide = new ColumnSlideStyle;
    slide->setParent(this);
    setStyle(slide);
    setAccessibleName(uiText("ui_folder_contents"));
    model_ = new FileBrowserModel(
        [manager = manager_](const fileInformation& entry) { return manager->isFileReadOnly(entry); }, this);
    thumbnails_ = new ThumbnailLoader(model_, hooks_.thumbnails, ThumbnailLoader::kLimit, this);
    cell_ = new FileDataBrowserCell(this);
    cell_->painted
        = [loader = thumbnails_](const QModelIndex& index, const QWidget* view) { loader->painted(index, view); };
    // Every column copies these when it is made: they must be in place before the model.
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::CopyAction);
    setItemDelegate(cell_);
    setModel(model_);
    setResizeGripsVisible(true);

    preview_ = new PreviewController(hooks_.previewThumbnails);
    preview_->openRequested = [this](const std::shared_ptr<fileInformation>& entry) {
        if (hooks_.open)
            hooks_.open(entry);
    };
    setPreviewWidget(preview_);
    // The column that holds the pane is the column view's own; it is named after what it shows.
    for (QWidget* holder = preview_->parentWidget(); holder && holder != this; holder = holder->parentWidget())
        if (qobject_cast<QAbstractItemView*>(holder))
            holder->setAccessibleName(uiText("ui_preview"));
    connect(this, &QAbstractItemView::activated, this, &FileBrowser::activate);
    // The types of files are read from the MIME database when the first file icon is drawn: read
    // now, on a worker, not while a folder's first rows wait to be painted.
    DispatchQueue::global().async([] { (void)QMimeDatabase().mimeTypeForFile(QStringLiteral("x.jpg")); });
}

FileBrowser::~FileBrowser() = default;

QAbstractItemView* FileBrowser::createColumn(const QModelIndex& rootIndex)
{
    auto* column = new BrowserColumn(viewport());
    column->setEvents(columnEvents_);
    // Every row is 20 points high: a folder of tens of thousands lays out without asking each.
    column->setUniformItemSizes(true);
    column->setTextElideMode(Qt::ElideRight);
    const auto folder = model_->entry(rootIndex);
    column->setAccessibleName(rootIndex.isValid() && folder ? QString::fromStdString(folder->displayName.value_or(""))
                                                            : uiText("ui_folder_contents"));
    initializeColumn(column);
    column->setRootIndex(rootIndex);
    column->installEventFilter(this);
    return column;
}

void FileBrowser::setColumnEvents(BrowserColumnEvents* events)
{
    columnEvents_ = events;
    for (BrowserColumn* column : findChildren<BrowserColumn*>())
        column->setEvents(events);
}

void FileBrowser::reloadFromRoot()
{
    preview_->setRepresentedObject(nullptr);
    listedByCaller_ = QPersistentModelIndex();
    model_->setRoot(manager_->rootNode());
    scrollToTop();
}

void FileBrowser::startListing(const std::shared_ptr<fileInformation>& folder, Listed finish)
{
    const std::uint64_t id = ++nextListing_;
    pending_.emplace(id, std::move(finish));
    if (hooks_.busy)
        hooks_.busy(true);
    // The worker lets go of its callback on its own thread: it carries only a number, and what
    // the finishing holds (persistent indexes among it) stays on this thread.
    QPointer<FileBrowser> self(this);
    StorageServiceLogic::getFolderInfo(folder, true, {}, [self, id](std::int32_t result) {
        if (!self)
            return;
        auto it = self->pending_.find(id);
        if (it == self->pending_.end())
            return;
        Listed finishing = std::move(it->second);
        self->pending_.erase(it);
        if (self->hooks_.busy)
            self->hooks_.busy(false);
        finishing(result);
    });
}

void FileBrowser::listRootAndReload(Listed done, std::function<bool()> stillWanted)
{
    const auto root = manager_->rootNode();
    startListing(root, [this, root, done = std::move(done), stillWanted = std::move(stillWanted)](std::int32_t result) {
        if (result == 1 && manager_->rootNode() == root && (!stillWanted || stillWanted()))
            reloadFromRoot();
        if (done)
            done(result);
    });
}

void FileBrowser::listFolder(const QModelIndex& folder, Listed done)
{
    const auto entry = model_->entry(folder);
    if (!entry) {
        if (done)
            done(2);
        return;
    }
    const bool isRoot = !folder.isValid();
    const QPersistentModelIndex where(folder);
    const auto root = model_->root();
    startListing(entry, [this, entry, isRoot, where, root, done = std::move(done)](std::int32_t result) {
        emit listingArrived(isRoot ? QModelIndex() : QModelIndex(where), result);
        // A failed listing leaves the rows as they were; one for a root or a row that has gone
        // since is of no use.
        if (result == 1 && (isRoot ? model_->root() == root : where.isValid()))
            model_->applyListing(isRoot ? QModelIndex() : QModelIndex(where), entry->childrens);
        if (done)
            done(result);
    });
}

void FileBrowser::selectAndList(const QModelIndex& index, Listed done)
{
    if (!index.isValid()) {
        if (done)
            done(2);
        return;
    }
    const bool folder = model_->isFolder(index);
    if (folder)
        listedByCaller_ = index;
    setCurrentIndex(index);
    if (folder)
        listFolder(index, std::move(done));
    else if (done)
        done(1);
}

QModelIndex FileBrowser::shownFolder() const
{
    const QModelIndex current = currentIndex();
    if (!current.isValid() || model_->isFolder(current))
        return current;
    return current.parent();
}

void FileBrowser::relistCurrentColumn()
{
    listFolder(currentIndex().isValid() ? currentIndex().parent() : QModelIndex());
}

void FileBrowser::goUp()
{
    const QModelIndex up = currentIndex().parent();
    if (!up.isValid())
        return;
    setCurrentIndex(up);
    for (QAbstractItemView* column : findChildren<QAbstractItemView*>()) {
        if (column != this && column->rootIndex() == up.parent() && column->isVisible()) {
            column->setFocus();
            break;
        }
    }
}

void FileBrowser::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    QColumnView::currentChanged(current, previous);
    // A click changes the current row before it changes the selection: wait for both.
    if (!settleScheduled_) {
        settleScheduled_ = true;
        QTimer::singleShot(0, this, [this] {
            settleScheduled_ = false;
            selectionSettled();
        });
    }
}

void FileBrowser::selectionSettled()
{
    const QModelIndex current = currentIndex();
    if (!current.isValid()) {
        preview_->setRepresentedObject(nullptr);
        return;
    }
    if (!model_->isFolder(current)) {
        preview_->setRepresentedObject(model_->entry(current));
        return;
    }
    if (listedByCaller_ == current) {
        listedByCaller_ = QPersistentModelIndex();
        return;
    }
    int selectedHere = 0;
    for (const QModelIndex& selected : selectionModel()->selectedIndexes())
        selectedHere += selected.parent() == current.parent() ? 1 : 0;
    if (selectedHere <= 1)
        listFolder(current);
}

void FileBrowser::activate(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    if (!model_->isFolder(index)) {
        if (hooks_.open)
            hooks_.open(model_->entry(index));
        return;
    }
    // Return on a folder goes into its column.
    const QModelIndex first = model_->index(0, 0, index);
    if (first.isValid())
        setCurrentIndex(first);
}

bool FileBrowser::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if (key->key() == Qt::Key_Backspace && modifiers == Qt::NoModifier) {
            goUp();
            return true;
        }
        // Handled here, once: a column passes Return on to the column view, which would report
        // the same row activated a second time.
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && modifiers == Qt::NoModifier) {
            activate(currentIndex());
            return true;
        }
    }
    return QColumnView::eventFilter(watched, event);
}

} // namespace norvane
