#include "app/ui/FileWindowController.h"

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/state/TextReading.h"
#include "app/state/WatchedFiles.h"
#include "app/ui/BrowserDragDrop.h"
#include "app/ui/BrowserSearch.h"
#include "app/ui/DesktopOpener.h"
#include "app/ui/EntrySheet.h"
#include "app/ui/FileActions.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileOpening.h"
#include "app/ui/Icons.h"
#include "app/ui/PathJump.h"
#include "app/ui/ProgressSheet.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/MainQueue.h"

#include <QComboBox>
#include <QDragMoveEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeWidget>

namespace norvane {

namespace {

constexpr int kRootTypeRole = Qt::UserRole + 1;
constexpr int kSideBarWidth = 200;

// A drag that hovers over a side-bar item chooses that item's root, once per item it newly
// hovers, so that it can go on into the browser; the side bar itself takes no drop.
class SideBarDragHover : public QObject {
public:
    SideBarDragHover(QTreeWidget* sideBar, std::function<void(QTreeWidgetItem*)> choose)
        : QObject(sideBar)
        , sideBar_(sideBar)
        , choose_(std::move(choose))
    {
        sideBar->setAcceptDrops(true);
        sideBar->viewport()->setAcceptDrops(true);
        sideBar->viewport()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::DragEnter: {
            auto* enter = static_cast<QDragEnterEvent*>(event);
            if (!enter->mimeData()->hasUrls() && !enter->mimeData()->hasFormat(QStringLiteral("text/uri-list")))
                return false;
            hovered_ = nullptr;
            enter->acceptProposedAction(); // to hear where it moves
            return true;
        }
        case QEvent::DragMove: {
            auto* move = static_cast<QDragMoveEvent*>(event);
            QTreeWidgetItem* item = sideBar_->itemAt(move->position().toPoint());
            if (item && item != hovered_ && item->data(0, kRootTypeRole).isValid()) {
                hovered_ = item;
                choose_(item);
            }
            move->ignore(); // no drop here
            return true;
        }
        case QEvent::DragLeave:
        case QEvent::Drop:
            hovered_ = nullptr;
            event->ignore();
            return true;
        default:
            return false;
        }
    }

private:
    QTreeWidget* sideBar_;
    std::function<void(QTreeWidgetItem*)> choose_;
    QTreeWidgetItem* hovered_ = nullptr;
};

} // namespace

FileWindowController::FileWindowController(std::shared_ptr<AppDataManager> manager, Hooks hooks, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
    , hooks_(std::move(hooks))
{
    if (!hooks_.opener)
        hooks_.opener = DesktopOpener::system();
    buildWindow();
    // The storage figures come with server answers, on whatever thread made the request.
    QPointer<FileWindowController> self(this);
    storageObserver_ = NotificationCenter::defaultCenter().addObserver(
        RestStorageServiceAdaptor::kNotificationStorageSizeChange, nullptr, [self](const Notification& note) {
            std::string storage;
            if (auto it = note.userInfo.find("storage"); it != note.userInfo.end())
                storage = it->second.stringOr({});
            MainQueue::shared()->post([self, storage] {
                if (self)
                    self->changedStorageSize(storage);
            });
        });
    uploadObserver_ = NotificationCenter::defaultCenter().addObserver(
        kNotificationWatchFileUploaded, nullptr, [self](const Notification& note) {
            std::string serverPath;
            if (auto it = note.userInfo.find(kWatchInfoKey); it != note.userInfo.end())
                serverPath = it->second["serverPath"].stringOr({});
            MainQueue::shared()->post([self, serverPath] {
                if (self)
                    self->watchFileUploaded(serverPath);
            });
        });
}

FileWindowController::~FileWindowController()
{
    uploadObserver_.remove();
    storageObserver_.remove();
    delete window_.data();
}

void FileWindowController::buildWindow()
{
    window_ = new QMainWindow;
    window_->setObjectName(QStringLiteral("fileWindow"));
    window_->setWindowTitle(displayName());
    window_->setAccessibleName(uiText("ui_file_window"));

    splitter_ = new QSplitter(Qt::Horizontal, window_);
    splitter_->setObjectName(QStringLiteral("splitView"));
    splitter_->setChildrenCollapsible(false);
    buildSideBar();
    splitter_->addWidget(sideBar_);

    FileBrowser::Hooks browserHooks;
    browserHooks.busy = [this](bool busy) { setBusy(busy); };
    browserHooks.open = [this](const std::shared_ptr<fileInformation>& entry) { openFileInformation(entry); };
    browserHooks.thumbnails = hooks_.thumbnails;
    browserHooks.previewThumbnails = hooks_.previewThumbnails;
    browser_ = new FileBrowser(manager_, std::move(browserHooks), splitter_);
    splitter_->addWidget(browser_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({ kSideBarWidth, 760 });
    window_->setCentralWidget(splitter_);

    progressSheet_ = new ProgressSheet(window_);
    entrySheet_ = new EntrySheet(window_);
    const auto busy = [this](bool on) { setBusy(on); };
    opening_ = new FileOpening(manager_, progressSheet_, hooks_.opener, busy, this);
    FileActions::Hooks actionHooks;
    actionHooks.busy = busy;
    actionHooks.open = [this](const std::shared_ptr<fileInformation>& entry) { openFileInformation(entry); };
    actionHooks.openSettings = [this] {
        if (hooks_.openSettings)
            hooks_.openSettings();
    };
    actionHooks.openDeviceID = [this] {
        if (hooks_.openDeviceID)
            hooks_.openDeviceID();
    };
    actionHooks.showPrintList = [this] {
        if (hooks_.showPrintList)
            hooks_.showPrintList();
    };
    actionHooks.chooser = hooks_.chooser;
    actionHooks.opener = hooks_.opener;
    actions_ = new FileActions(manager_, browser_, progressSheet_, entrySheet_, std::move(actionHooks), window_);
    dragDrop_ = new BrowserDragDrop(manager_, browser_, progressSheet_, busy, this);
    dragDrop_->contextMenuRequested
        = [this](BrowserColumn* column, const QPoint& position) { actions_->popUpContextMenu(column, position); };
    buildToolbar();
    search_ = new BrowserSearch(manager_, browser_, searchField_, searchType_, busy, this);
    PathJump::Hooks jumpHooks;
    jumpHooks.selectRoot = [this](std::int32_t type) { chooseRoot(type); };
    jumpHooks.open = [this](const std::shared_ptr<fileInformation>& entry) { openFileInformation(entry); };
    pathJump_ = new PathJump(manager_, browser_, std::move(jumpHooks), this);

    nameLabel_ = new QLabel(window_);
    nameLabel_->setObjectName(QStringLiteral("kigyoIDLabel"));
    nameLabel_->setAccessibleName(uiText("ui_signed_in_as"));
    spaceSizeLabel_ = new QLabel(window_);
    spaceSizeLabel_->setObjectName(QStringLiteral("spaceSizeLabel"));
    spaceSizeLabel_->setAccessibleName(uiText("ui_storage_use"));
    spaceIndicator_ = new QProgressBar(window_);
    spaceIndicator_->setObjectName(QStringLiteral("spaceIndicator"));
    spaceIndicator_->setAccessibleName(uiText("ui_storage_use"));
    spaceIndicator_->setRange(0, 100);
    spaceIndicator_->setValue(0);
    spaceIndicator_->setTextVisible(false);
    spaceIndicator_->setFixedWidth(spaceIndicator_->fontMetrics().averageCharWidth() * 18);
    spaceIndicator_->setMaximumHeight(spaceIndicator_->fontMetrics().height());
    QStatusBar* status = window_->statusBar();
    status->setSizeGripEnabled(true);
    status->addWidget(nameLabel_, 1);
    status->addPermanentWidget(spaceSizeLabel_);
    status->addPermanentWidget(spaceIndicator_);

    // Tab goes through the side bar, the search kind and field, and the browser's columns.
    QWidget::setTabOrder(sideBar_, searchType_);
    QWidget::setTabOrder(searchType_, searchField_);
    QWidget::setTabOrder(searchField_, browser_);

    window_->resize(980, 600);
    // Made and laid out now, while the login form waits for the person, so that the passage
    // from the login to this window does not stop the event loop for its first polish.
    window_->ensurePolished();
    window_->layout()->activate();
    window_->winId();

    WindowEvents* events = WindowEvents::watch(window_);
    events->shown = [this] { windowDidBecomeMain(); };
    events->shouldClose = [this] {
        if (hooks_.quit)
            hooks_.quit();
        return true;
    };
    events->willClose = [this] { visible_ = false; };
}

void FileWindowController::buildToolbar()
{
    auto* toolbar = window_->addToolBar(uiText("ui_toolbar"));
    toolbar->setObjectName(QStringLiteral("actionToolbar"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setContextMenuPolicy(Qt::PreventContextMenu); // not customisable
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);

    actions_->addToToolbar(toolbar);
    toolbar->addSeparator();
    goToPathAction_ = toolbar->addAction(Icons::icon(Icons::Name::GoToPath), uiText("ui_go_to_path"));
    goToPathAction_->setObjectName(QStringLiteral("goToPathAction"));
    goToPathAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(goToPathAction_, &QAction::triggered, this, &FileWindowController::doChangePath);
    refreshAction_ = toolbar->addAction(Icons::icon(Icons::Name::Refresh), uiText("ui_refresh"));
    refreshAction_->setObjectName(QStringLiteral("refreshAction"));
    refreshAction_->setShortcut(QKeySequence(Qt::Key_F5));
    connect(refreshAction_, &QAction::triggered, browser_, &FileBrowser::relistCurrentColumn);
    QAction* settings = toolbar->addAction(Icons::icon(Icons::Name::Settings), uiText("ui_settings"));
    settings->setObjectName(QStringLiteral("settingsAction"));
    connect(settings, &QAction::triggered, this, [this] {
        if (hooks_.openSettings)
            hooks_.openSettings();
    });

    auto* spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    waitingIndicator_ = new QProgressBar(toolbar);
    waitingIndicator_->setObjectName(QStringLiteral("waittingIndicator"));
    waitingIndicator_->setAccessibleName(uiText("ui_working"));
    waitingIndicator_->setRange(0, 0);
    waitingIndicator_->setTextVisible(false);
    waitingIndicator_->setMaximumWidth(waitingIndicator_->fontMetrics().averageCharWidth() * 12);
    QAction* indicatorAction = toolbar->addWidget(waitingIndicator_);
    indicatorAction->setVisible(false);
    waitingIndicator_->setProperty("toolbarAction", QVariant::fromValue(static_cast<QObject*>(indicatorAction)));

    searchType_ = new QComboBox(toolbar);
    searchType_->setObjectName(QStringLiteral("searchType"));
    searchType_->setAccessibleName(uiText("ui_search_kind"));
    searchType_->addItem(uiText("ui_search_by_name"));
    searchType_->addItem(uiText("ui_search_by_author"));
    searchType_->setCurrentIndex(0);
    searchType_->setEnabled(false); // My folder comes first
    toolbar->addWidget(searchType_);
    searchField_ = new QLineEdit(toolbar);
    searchField_->setObjectName(QStringLiteral("searchField"));
    searchField_->setAccessibleName(uiText("ui_search"));
    searchField_->setPlaceholderText(uiText("ui_search"));
    searchField_->setClearButtonEnabled(true);
    searchField_->setMinimumWidth(searchField_->fontMetrics().averageCharWidth() * 22);
    toolbar->addWidget(searchField_);
    findAction_ = new QAction(uiText("ui_find"), window_);
    findAction_->setObjectName(QStringLiteral("findAction"));
    findAction_->setShortcut(QKeySequence::Find);
    connect(findAction_, &QAction::triggered, this, [this] {
        searchField_->setFocus(Qt::ShortcutFocusReason);
        searchField_->selectAll();
    });
    window_->addAction(findAction_);

    QAction* logout = toolbar->addAction(Icons::icon(Icons::Name::Logout), uiText("word_sign_out"));
    logout->setObjectName(QStringLiteral("logoutAction"));
    connect(logout, &QAction::triggered, this, &FileWindowController::doLogout);
}

void FileWindowController::addMenus(QMenuBar* bar)
{
    QMenu* file = bar->addMenu(uiText("menu_file"));
    file->setObjectName(QStringLiteral("mainFileMenu"));
    actions_->addToMenu(file);
    QMenu* go = bar->addMenu(uiText("ui_go_menu"));
    go->setObjectName(QStringLiteral("goMenu"));
    go->addAction(goToPathAction_);
    go->addAction(refreshAction_);
    go->addAction(findAction_);
}

void FileWindowController::buildSideBar()
{
    sideBar_ = new QTreeWidget(splitter_);
    sideBar_->setObjectName(QStringLiteral("sideView"));
    sideBar_->setAccessibleName(uiText("ui_side_bar"));
    sideBar_->setHeaderHidden(true);
    // Items stand indented below their group titles; the groups are always open, so no branch
    // marks are drawn.
    sideBar_->setRootIsDecorated(false);
    sideBar_->setIndentation(sideBar_->fontMetrics().averageCharWidth() * 2);
    sideBar_->setStyleSheet(QStringLiteral("QTreeView::branch { image: none; border-image: none; }"));
    sideBar_->setMinimumWidth(140);
    sideBar_->setSelectionMode(QAbstractItemView::SingleSelection);
    QPixmap emptyPixmap(sideBar_->iconSize().isValid() ? sideBar_->iconSize() : QSize(16, 16));
    emptyPixmap.fill(Qt::transparent);
    const QIcon blank(emptyPixmap);
    QFont headerFont = sideBar_->font();
    headerFont.setBold(true);
    for (const SideBarGroup& group : AppDataManager::siderNodes()) {
        auto* header = new QTreeWidgetItem(sideBar_);
        header->setText(0, QString::fromStdString(group.title).toUpper());
        header->setFont(0, headerFont);
        header->setForeground(0, sideBar_->palette().color(QPalette::PlaceholderText));
        header->setFlags(Qt::ItemIsEnabled);
        header->setData(0, Qt::AccessibleTextRole, header->text(0));
        for (const auto& [title, type] : group.items) {
            auto* item = new QTreeWidgetItem(header);
            item->setText(0, QString::fromStdString(title));
            item->setData(0, kRootTypeRole, type);
            item->setData(0, Qt::AccessibleTextRole, item->text(0));
            if (type == RootNodeMyFolder)
                item->setIcon(0, Icons::bundled(Icons::Name::FolderGray));
            else if (type == RootNodeShare)
                item->setIcon(0, Icons::bundled(Icons::Name::FolderGreen));
            else
                item->setIcon(0, blank); // no picture of its own, but its title in line with the others
        }
    }
    sideBar_->expandAll();
    sideBar_->setItemsExpandable(false);
    // A click, or the arrow keys: the item under the cursor becomes the root.
    connect(sideBar_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (!markingSideBar_)
            selectSideBarItem(item);
    });
    new SideBarDragHover(sideBar_, [this](QTreeWidgetItem* item) { sideBar_->setCurrentItem(item); });
}

void FileWindowController::selectSideBarItem(QTreeWidgetItem* item)
{
    if (!item || !item->data(0, kRootTypeRole).isValid())
        return; // a group title
    selectRoot(item->data(0, kRootTypeRole).toInt());
}

void FileWindowController::selectRoot(std::int32_t type)
{
    chooseRoot(type);
    browser_->reloadFromRoot();
    browser_->listRootAndReload();
}

void FileWindowController::chooseRoot(std::int32_t type)
{
    search_->clear();
    manager_->setRootNodeType(type);
    markSideBar(type);
    // Searching by author is for the shared area only.
    searchType_->setEnabled(type == RootNodeShare);
    if (type != RootNodeShare)
        searchType_->setCurrentIndex(0);
}

void FileWindowController::markSideBar(std::int32_t type)
{
    markingSideBar_ = true;
    for (int g = 0; g < sideBar_->topLevelItemCount(); ++g) {
        QTreeWidgetItem* group = sideBar_->topLevelItem(g);
        for (int i = 0; i < group->childCount(); ++i)
            if (group->child(i)->data(0, kRootTypeRole).toInt() == type)
                sideBar_->setCurrentItem(group->child(i));
    }
    markingSideBar_ = false;
}

void FileWindowController::loadColumnZero()
{
    const std::int32_t type = manager_->rootNodeType();
    markSideBar(type);
    searchType_->setEnabled(type == RootNodeShare);
    browser_->reloadFromRoot();
}

void FileWindowController::showWindow()
{
    showCentred(window_);
}

void FileWindowController::windowDidBecomeMain()
{
    const QString fullName = QString::fromStdString(manager_->configDefine().fullName());
    window_->setWindowTitle(QStringLiteral("%1 - %2").arg(fullName, displayName()));
    nameLabel_->setText(fullName);
    showStorageFromSettings();
    if (!visible_) {
        // The login listed the root just before.
        visible_ = true;
        loadColumnZero();
        browser_->setFocus();
    }
}

void FileWindowController::openFileInformation(const std::shared_ptr<fileInformation>& entry)
{
    opening_->open(entry);
}

void FileWindowController::doChangePath()
{
    entrySheet_->ask(uiText("input_jump_path_please"), pathJump_->currentPathText(),
        [this](const QString& path) { pathJump_->go(path); });
}

void FileWindowController::watchFileUploaded(const std::string& serverPath)
{
    if (serverPath.empty())
        return;
    FileBrowserModel* model = browser_->browserModel();
    const QModelIndex folder = browser_->shownFolder();
    for (int row = 0; row < model->rowCount(folder); ++row) {
        const auto entry = model->entry(model->index(row, 0, folder));
        if (entry->isFile() && FileOpening::serverPath(*entry) == serverPath) {
            browser_->listFolder(folder);
            return;
        }
    }
}

void FileWindowController::showStorageFromSettings()
{
    const ConfigInfo& config = manager_->configDefine();
    if (!config.usedSpaceSize().empty() && !config.spaceSize().empty())
        changedStorageSize(config.usedSpaceSize() + "/" + config.spaceSize());
}

void FileWindowController::changedStorageSize(const std::string& storage)
{
    const std::size_t slash = storage.find('/');
    if (slash == std::string::npos || storage.find('/', slash + 1) != std::string::npos)
        return; // not "used/total"
    const std::string used = storage.substr(0, slash);
    const std::string total = storage.substr(slash + 1);
    ConfigInfo& config = manager_->configDefine();
    config.setUsedSpaceSize(used);
    config.setSpaceSize(total);
    const std::int64_t usedBytes = TextReading::integerValue(used);
    const std::int64_t totalBytes = TextReading::integerValue(total);
    spaceSizeLabel_->setText(uiText("word_space_status")
        + QString::fromStdString(AppDataManager::formatFileSize(usedBytes)) + QStringLiteral("/")
        + QString::fromStdString(AppDataManager::formatFileSize(totalBytes)));
    double percent = totalBytes > 0 ? 100.0 * static_cast<double>(usedBytes) / static_cast<double>(totalBytes) : 0.0;
    percent = std::clamp(percent, 0.0, 100.0);
    spaceIndicator_->setValue(static_cast<int>(percent + 0.5));
    spaceIndicator_->setToolTip(QStringLiteral("%1%").arg(percent, 0, 'f', 1));
}

void FileWindowController::setBusy(bool busy)
{
    busyCount_ = std::max(0, busyCount_ + (busy ? 1 : -1));
    if (auto* action = qobject_cast<QAction*>(waitingIndicator_->property("toolbarAction").value<QObject*>()))
        action->setVisible(busyCount_ > 0);
}

void FileWindowController::doLogout()
{
    if (loggingOut_)
        return;
    loggingOut_ = true;
    setBusy(true);
    QPointer<FileWindowController> self(this);
    StorageServiceLogic::commonLogout([self](std::int32_t) {
        if (!self)
            return;
        self->setBusy(false);
        self->loggingOut_ = false;
        if (auto root = self->manager_->rootNode())
            root->childrens.clear();
        self->search_->clear();
        self->loadColumnZero();
        if (self->hooks_.loggedOut)
            self->hooks_.loggedOut();
    });
}

} // namespace norvane
