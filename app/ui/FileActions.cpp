#include "app/ui/FileActions.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/BrowserColumn.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/Icons.h"
#include "app/ui/LocalChooser.h"
#include "app/ui/NetPrintWindowController.h"
#include "app/ui/UiText.h"
#include "app/ui/WebShareWindowController.h"
#include "platform/AlertPresenter.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QTimer>
#include <QToolBar>

namespace norvane {

namespace {

struct ActionText {
    FileActions::Id id;
    const char* textKey;
    int tag;
};

// In menu order; a null key marks a separator before the action.
constexpr ActionText kActions[] = {
    { FileActions::Id::Open, "ui_open", MenuVisibility::OpenFile },
    { FileActions::Id::Download, "ui_download", MenuVisibility::Download },
    { FileActions::Id::NewFolder, "ui_new_folder", MenuVisibility::NewFolder },
    { FileActions::Id::Rename, "ui_rename", MenuVisibility::Rename },
    { FileActions::Id::Delete, "menu_file_delete", MenuVisibility::Delete },
    { FileActions::Id::Lock, "ui_lock", MenuVisibility::Lock },
    { FileActions::Id::Unlock, "ui_unlock", MenuVisibility::Unlock },
    { FileActions::Id::EditPermissionOn, "ui_edit_permission_on", MenuVisibility::EditPermissionOn },
    { FileActions::Id::EditPermissionOff, "ui_edit_permission_off", MenuVisibility::EditPermissionOff },
    { FileActions::Id::WebShare, "ui_web_share", MenuVisibility::WebShare },
    { FileActions::Id::NetPrint, "menu_file_netprint", MenuVisibility::NetPrint },
    { FileActions::Id::CopyPath, "ui_copy_path", MenuVisibility::AnyRow },
    { FileActions::Id::CopyName, "ui_copy_name", MenuVisibility::AnyRow },
    { FileActions::Id::PrintList, "ui_print_list", MenuVisibility::PrintList },
    { FileActions::Id::DeviceID, "ui_device_id_menu", MenuVisibility::Always },
    { FileActions::Id::Settings, "ui_settings_menu", MenuVisibility::Always },
};

// Groups of the menus: a separator goes before each of these.
bool startsGroup(FileActions::Id id)
{
    using Id = FileActions::Id;
    return id == Id::Rename || id == Id::Lock || id == Id::WebShare || id == Id::CopyPath || id == Id::PrintList;
}

void fillMenu(QMenu* menu, const std::map<FileActions::Id, QAction*>& actions, bool withAlways)
{
    menu->clear();
    bool any = false;
    for (const ActionText& entry : kActions) {
        QAction* action = actions.at(entry.id);
        if (!action->isEnabled() || (!withAlways && entry.tag == MenuVisibility::Always))
            continue;
        if (any && startsGroup(entry.id))
            menu->addSeparator();
        menu->addAction(action);
        any = true;
    }
}

} // namespace

FileActions::FileActions(std::shared_ptr<AppDataManager> manager, FileBrowser* browser, ProgressSheet* sheet,
    EntrySheet* entrySheet, Hooks hooks, QWidget* window)
    : QObject(window)
    , manager_(std::move(manager))
    , browser_(browser)
    , sheet_(sheet)
    , entrySheet_(entrySheet)
    , hooks_(std::move(hooks))
    , window_(window)
{
    if (!hooks_.chooser)
        hooks_.chooser = LocalChooser::system();
    buildActions();
    contextMenu_ = new QMenu(window);
    contextMenu_->setObjectName(QStringLiteral("fileMenu"));
    contextMenu_->setAccessibleName(uiText("ui_file_actions"));
    // The actions the menu triggered have run by now (they run right after it hides): the toolbar
    // follows the selection again.
    connect(contextMenu_, &QMenu::aboutToHide, this, [this] {
        QTimer::singleShot(0, this, [this] {
            menuUp_ = false;
            validate(selectionTarget());
        });
    });
    // The toolbar follows the current row.
    connect(browser_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] {
        if (!menuUp_)
            validate(selectionTarget());
    });
    connect(browser_->browserModel(), &QAbstractItemModel::dataChanged, this, [this] {
        if (!menuUp_)
            validate(selectionTarget());
    });
    validate(selectionTarget());
}

FileActions::~FileActions()
{
    for (const auto& dialog : dialogs_)
        delete dialog.data();
}

int FileActions::tagOf(Id id)
{
    for (const ActionText& entry : kActions)
        if (entry.id == id)
            return entry.tag;
    return MenuVisibility::Always;
}

QAction* FileActions::make(Id id, const char* textKey)
{
    auto* action = new QAction(uiText(textKey), this);
    action->setData(tagOf(id));
    connect(action, &QAction::triggered, this, [this, id] { trigger(id); });
    actions_[id] = action;
    return action;
}

void FileActions::buildActions()
{
    for (const ActionText& entry : kActions)
        make(entry.id, entry.textKey);
    const auto name = [this](Id id, const char* objectName, Icons::Name icon) {
        actions_[id]->setObjectName(QString::fromLatin1(objectName));
        actions_[id]->setIcon(Icons::icon(icon));
    };
    name(Id::Open, "openAction", Icons::Name::Open);
    name(Id::Download, "downloadAction", Icons::Name::Download);
    name(Id::NewFolder, "newFolderAction", Icons::Name::NewFolder);
    name(Id::Delete, "deleteAction", Icons::Name::Delete);
    name(Id::WebShare, "webShareAction", Icons::Name::WebShare);
    name(Id::NetPrint, "netPrintAction", Icons::Name::Print);
    const auto named
        = [this](Id id, const char* objectName) { actions_[id]->setObjectName(QString::fromLatin1(objectName)); };
    named(Id::Rename, "renameAction");
    named(Id::Lock, "lockAction");
    named(Id::Unlock, "unlockAction");
    named(Id::EditPermissionOn, "editPermissionOnAction");
    named(Id::EditPermissionOff, "editPermissionOffAction");
    named(Id::CopyPath, "copyPathAction");
    named(Id::CopyName, "copyNameAction");
    named(Id::PrintList, "printListAction");
    named(Id::DeviceID, "deviceIdAction");
    named(Id::Settings, "settingsMenuAction");
    actions_[Id::Open]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    actions_[Id::Rename]->setShortcut(QKeySequence(Qt::Key_F2));
    actions_[Id::Delete]->setShortcut(QKeySequence::Delete);
    actions_[Id::NewFolder]->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N));
    actions_[Id::CopyPath]->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    // The keys work in the browser, not in the search field (Delete there deletes text).
    for (Id id : { Id::Open, Id::Rename, Id::Delete, Id::NewFolder, Id::CopyPath }) {
        actions_[id]->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        browser_->addAction(actions_[id]);
    }
}

void FileActions::addToToolbar(QToolBar* toolbar)
{
    for (Id id : { Id::Open, Id::Download, Id::NewFolder, Id::Delete, Id::WebShare })
        toolbar->addAction(actions_[id]);
    // The print service's item stays out of the toolbar while the service is off.
    if (account().netPrint)
        toolbar->addAction(actions_[Id::NetPrint]);
}

void FileActions::addToMenu(QMenu* menu)
{
    connect(menu, &QMenu::aboutToShow, this, [this, menu] {
        validate(selectionTarget());
        fillMenu(menu, actions_, false);
    });
    validate(selectionTarget());
    fillMenu(menu, actions_, false);
}

FileActions::Target FileActions::Target::rowAt(const QModelIndex& row)
{
    Target target = emptyAreaOf(row.parent());
    target.row = row;
    target.onRow = true;
    return target;
}

FileActions::Target FileActions::Target::emptyAreaOf(const QModelIndex& folder)
{
    Target target;
    target.folder = folder;
    target.folderIsRoot = !folder.isValid();
    return target;
}

void FileActions::popUpContextMenu(BrowserColumn* column, const QPoint& position)
{
    const QModelIndex row = column->indexAt(position);
    const Target target = row.isValid() ? Target::rowAt(row) : Target::emptyAreaOf(column->rootIndex());
    // A right-click on a row outside the selection makes it the selection, as a left click would;
    // one on a selected row keeps the others (a download of all of them).
    if (row.isValid() && !browser_->selectionModel()->isSelected(row))
        browser_->setCurrentIndex(row);
    menuUp_ = true;
    validate(target);
    fillMenu(contextMenu_, actions_, true);
    if (contextMenu_->isEmpty()) {
        menuUp_ = false;
        validate(selectionTarget());
        return;
    }
    contextMenu_->popup(column->viewport()->mapToGlobal(position));
}

FileActions::Target FileActions::selectionTarget() const
{
    const QModelIndex current = browser_->currentIndex();
    return current.isValid() ? Target::rowAt(current) : Target::emptyAreaOf({});
}

MenuVisibility::Account FileActions::account() const
{
    const ConfigInfo& config = manager_->configDefine();
    MenuVisibility::Account account;
    account.userName = config.userName();
    account.localDownload = config.enabledLoaclDownload() != 0;
    account.webPublish = config.webPublishEnable() != 0;
    return account;
}

void FileActions::validate(const Target& target)
{
    current_ = target;
    const auto entry = entryOf(target);
    MenuVisibility::Click click;
    click.entry = entry.get();
    click.onRow = target.onRow;
    const MenuVisibility::Account who = account();
    for (const auto& [id, action] : actions_) {
        const bool shown = MenuVisibility::isShown(action->data().toInt(), click, who);
        action->setEnabled(shown);
    }
}

std::shared_ptr<fileInformation> FileActions::entryOf(const Target& target) const
{
    // A row or a folder gone since leaves nothing to act on.
    if (target.onRow)
        return target.row.isValid() ? browser_->browserModel()->entry(target.row) : nullptr;
    if (target.folderIsRoot || target.folder.isValid())
        return browser_->browserModel()->entry(target.folder);
    return nullptr;
}

void FileActions::trigger(Id id)
{
    // The target the actions were last validated for: the clicked row while the context menu
    // was up, else the current row.
    const Target target = current_;
    if (!actions_[id]->isEnabled())
        return;
    switch (id) {
    case Id::Open:
        return doMenuOpen(target);
    case Id::Download:
        return doMenuDownload(target);
    case Id::Rename:
        return doMenuRename(target);
    case Id::Delete:
        return doMenuDelete(target);
    case Id::NewFolder:
        return doMenuMakeFolder(target);
    case Id::Lock:
        return doMenuLock(target, true);
    case Id::Unlock:
        return doMenuLock(target, false);
    case Id::EditPermissionOn:
        return doMenuMakeEditpermission(target, true);
    case Id::EditPermissionOff:
        return doMenuMakeEditpermission(target, false);
    case Id::WebShare:
        return doMenuWebShare(target);
    case Id::NetPrint:
        return doMenuNetPrint(target);
    case Id::CopyPath:
        return doMenuCopyPath(target);
    case Id::CopyName:
        return doMenuCopyFileName(target);
    case Id::PrintList:
        return goNetPrintList();
    case Id::DeviceID:
        if (hooks_.openDeviceID)
            hooks_.openDeviceID();
        return;
    case Id::Settings:
        if (hooks_.openSettings)
            hooks_.openSettings();
        return;
    }
}

void FileActions::listAgain(const Target& target)
{
    if (target.folderIsRoot || target.folder.isValid())
        browser_->listFolder(target.folder);
}

void FileActions::doMenuOpen(const Target& target)
{
    if (auto entry = entryOf(target); entry && target.onRow && hooks_.open)
        hooks_.open(entry);
}

void FileActions::doMenuLock(const Target& target, bool lock)
{
    const auto entry = entryOf(target);
    if (!entry || !target.onRow)
        return;
    auto done = whenChanged(
        target, [lock] { AlertPresenter::shared()->show("", lock ? "message_have_locked" : "message_have_unlocked"); });
    StorageServiceLogic::lockFile(
        *entry, lock, [done = std::move(done)](std::int32_t result, const auto&) { done(result); });
}

void FileActions::doMenuMakeEditpermission(const Target& target, bool on)
{
    const auto entry = entryOf(target);
    if (!entry || !target.onRow)
        return;
    StorageServiceLogic::chmodFile(entry->uk.value_or(""), on ? 1 : 0, whenChanged(target));
}

std::function<void(std::int32_t)> FileActions::whenChanged(const Target& target, std::function<void()> then)
{
    if (hooks_.busy)
        hooks_.busy(true);
    QPointer<FileActions> self(this);
    return [self, target, then = std::move(then)](std::int32_t result) {
        if (!self)
            return;
        if (self->hooks_.busy)
            self->hooks_.busy(false);
        if (result != 1)
            return; // the operation told why
        self->listAgain(target);
        if (then)
            then();
    };
}

void FileActions::doMenuCopyPath(const Target& target)
{
    const auto entry = entryOf(target);
    if (!entry)
        return;
    const QString area = uiText(manager_->isShareFile(*entry) ? "folder_name_sharefolder2" : "folder_name_myfolder2");
    QGuiApplication::clipboard()->setText(area + QString::fromStdString(entry->fullPath.value_or("")));
}

void FileActions::doMenuCopyFileName(const Target& target)
{
    if (const auto entry = entryOf(target))
        QGuiApplication::clipboard()->setText(QString::fromStdString(entry->displayName.value_or("")));
}

void FileActions::doMenuWebShare(const Target& target)
{
    const auto entry = entryOf(target);
    if (!entry || !entry->isFile())
        return;
    const std::int64_t limitMB = manager_->configDefine().webPublishMaxFileSize();
    if (entry->fileSize > static_cast<std::uint64_t>(std::max<std::int64_t>(limitMB, 0)) * 1048576ULL) {
        AlertPresenter::shared()->show(
            uiFormat("custom_more_size_can_not_link_create", { QString::number(limitMB) }).toStdString(), "");
        return;
    }
    auto* dialog = new WebShareWindowController(manager_, entry, hooks_.opener);
    keepDialog(dialog->window());
    dialog->showWindow();
}

void FileActions::doMenuNetPrint(const Target& target)
{
    const auto entry = entryOf(target);
    if (!entry || !entry->isFile())
        return;
    if (hooks_.busy)
        hooks_.busy(true);
    QPointer<FileActions> self(this);
    StorageServiceLogic::getNetPrintInfo<NetPrintInfo>(
        [self, entry](std::int32_t result, std::optional<std::vector<NetPrintInfo>> jobs) {
            if (!self)
                return;
            if (self->hooks_.busy)
                self->hooks_.busy(false);
            if (result != 1 || !jobs)
                return;
            if (jobs->size() >= 50) {
                AlertPresenter::shared()->show("", "warn_netprint_over_50");
                return;
            }
            auto* dialog = new NetPrintWindowController(self->manager_, entry, self->hooks_.opener);
            self->keepDialog(dialog->window());
            dialog->showWindow();
        });
}

void FileActions::goNetPrintList()
{
    if (hooks_.busy)
        hooks_.busy(true);
    QPointer<FileActions> self(this);
    StorageServiceLogic::getNetPrintInfo<NetPrintInfo>(
        [self](std::int32_t result, std::optional<std::vector<NetPrintInfo>> jobs) {
            if (!self)
                return;
            if (self->hooks_.busy)
                self->hooks_.busy(false);
            if (result != 1 || !jobs)
                return;
            self->manager_->setNetPrintList(std::move(*jobs));
            if (self->hooks_.showPrintList)
                self->hooks_.showPrintList();
        });
}

void FileActions::closeDialogs()
{
    for (const auto& dialog : dialogs_)
        if (dialog) {
            dialog->hide();
            dialog->deleteLater();
        }
    dialogs_.clear();
}

void FileActions::keepDialog(QWidget* dialog)
{
    std::erase_if(dialogs_, [](const QPointer<QWidget>& kept) { return kept.isNull(); });
    dialogs_.emplace_back(dialog);
}

} // namespace norvane
