#include "app/ui/FileWindowController.h"

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/state/TextReading.h"
#include "app/ui/Icons.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/MainQueue.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QSplitter>
#include <QStackedLayout>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace norvane {

namespace {

constexpr int kRootTypeRole = Qt::UserRole + 1;
constexpr int kSideBarWidth = 200;

QString rootTitle(std::int32_t type)
{
    for (const SideBarGroup& group : AppDataManager::siderNodes())
        for (const auto& [title, itemType] : group.items)
            if (itemType == type)
                return QString::fromStdString(title);
    return {};
}

} // namespace

FileWindowController::FileWindowController(std::shared_ptr<AppDataManager> manager, Hooks hooks, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
    , hooks_(std::move(hooks))
{
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
}

FileWindowController::~FileWindowController()
{
    storageObserver_.remove();
    delete window_.data();
}

void FileWindowController::buildWindow()
{
    window_ = new QMainWindow;
    window_->setObjectName(QStringLiteral("fileWindow"));
    window_->setWindowTitle(displayName());
    window_->setAccessibleName(uiText("ui_file_window"));

    auto* toolbar = window_->addToolBar(uiText("ui_toolbar"));
    toolbar->setObjectName(QStringLiteral("actionToolbar"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setContextMenuPolicy(Qt::PreventContextMenu); // not customisable
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
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
    QAction* logout = toolbar->addAction(Icons::icon(Icons::Name::Logout), uiText("word_sign_out"));
    logout->setObjectName(QStringLiteral("logoutAction"));
    connect(logout, &QAction::triggered, this, &FileWindowController::doLogout);

    splitter_ = new QSplitter(Qt::Horizontal, window_);
    splitter_->setObjectName(QStringLiteral("splitView"));
    splitter_->setChildrenCollapsible(false);
    buildSideBar();
    splitter_->addWidget(sideBar_);

    auto* browserArea = new QWidget(splitter_);
    browserArea->setObjectName(QStringLiteral("browserArea"));
    browserHost_ = new QStackedLayout(browserArea);
    placeholder_ = new QLabel(browserArea);
    placeholder_->setObjectName(QStringLiteral("browserPlaceholder"));
    placeholder_->setAlignment(Qt::AlignCenter);
    placeholder_->setEnabled(false);
    placeholder_->setAccessibleName(uiText("ui_folder_contents"));
    browserHost_->addWidget(placeholder_);
    splitter_->addWidget(browserArea);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({ kSideBarWidth, 560 });
    window_->setCentralWidget(splitter_);

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

    window_->resize(820, 520);
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
    connect(sideBar_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { selectSideBarItem(item); });
}

void FileWindowController::selectSideBarItem(QTreeWidgetItem* item)
{
    if (!item || !item->data(0, kRootTypeRole).isValid())
        return; // a group title
    manager_->setRootNodeType(item->data(0, kRootTypeRole).toInt());
    setBusy(true);
    QPointer<FileWindowController> self(this);
    StorageServiceLogic::getFolderInfo(manager_->rootNode(), true, {}, [self](std::int32_t) {
        if (!self)
            return;
        self->loadColumnZero();
        self->setBusy(false);
    });
}

void FileWindowController::setBrowser(QWidget* browser)
{
    browserHost_->addWidget(browser);
    browserHost_->setCurrentWidget(browser);
}

QWidget* FileWindowController::browser() const
{
    return browserHost_->currentWidget();
}

void FileWindowController::loadColumnZero()
{
    const std::int32_t type = manager_->rootNodeType();
    // Keep the side bar's selection on the root the browser shows.
    for (int g = 0; g < sideBar_->topLevelItemCount(); ++g) {
        QTreeWidgetItem* group = sideBar_->topLevelItem(g);
        for (int i = 0; i < group->childCount(); ++i)
            if (group->child(i)->data(0, kRootTypeRole).toInt() == type)
                sideBar_->setCurrentItem(group->child(i));
    }
    auto root = manager_->rootNode();
    const auto count = root ? root->childrens.size() : 0;
    placeholder_->setText(uiFormat("ui_folder_summary", { rootTitle(type), QString::number(count) }));
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
        loadColumnZero();
        visible_ = true;
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
        self->loadColumnZero();
        if (self->hooks_.loggedOut)
            self->hooks_.loggedOut();
    });
}

} // namespace norvane
