// The actions of FileActions that change the server's tree or copy from it: rename, delete, new
// folder and the downloads.

#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/EntrySheet.h"
#include "app/ui/FileActions.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/LocalChooser.h"
#include "app/ui/ProgressSheet.h"
#include "app/ui/SheetFeed.h"
#include "app/ui/UiText.h"
#include "platform/AlertPresenter.h"

#include <QDir>
#include <QItemSelectionModel>

#include <algorithm>

namespace norvane {

QString FileActions::extensionOf(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0 || dot == name.size() - 1)
        return {};
    return name.mid(dot + 1);
}

QString FileActions::renamedName(const QString& oldName, const QString& typedName, bool isFolder)
{
    // A file keeps its kind whatever is typed; a folder's name is taken as it is.
    const QString old = extensionOf(oldName);
    if (isFolder || old.isEmpty() || extensionOf(typedName) == old)
        return typedName;
    return typedName + QStringLiteral(".") + old;
}

void FileActions::doMenuRename(const Target& target)
{
    const auto entry = entryOf(target);
    if (!entry || !target.onRow)
        return;
    const QString name = QString::fromStdString(entry->displayName.value_or(""));
    const QString extension = entry->isFile() ? extensionOf(name) : QString();
    const int selected = extension.isEmpty() ? -1 : static_cast<int>(name.size() - extension.size() - 1);
    QPointer<FileActions> self(this);
    entrySheet_->ask(
        uiText("input_new_name_please"), name,
        [self, target, entry, name](const QString& typed) {
            if (!self || !Path::checkFileName(typed.toStdString()))
                return;
            const QString newName = renamedName(name, typed, !entry->isFile());
            if (newName == name)
                return;
            // Beside the entry, by its own key: a search shows entries of many folders in one
            // column, and each is renamed where it is.
            const std::string key = entry->uk.value_or("");
            const std::string newPath = key.substr(0, key.rfind('/')) + "/" + newName.toStdString();
            StorageServiceLogic::renameFile(newPath, key, !entry->isFile(), self->whenChanged(target));
        },
        selected);
}

void FileActions::doMenuDelete(const Target& target)
{
    const auto entry = entryOf(target);
    if (!entry || !target.onRow)
        return;
    const std::size_t answer = AlertPresenter::shared()->ask("", "message_question_null_folder_delete",
        { "alert_cancel", "menu_file_delete" }, entry->displayName.value_or(""));
    if (answer == 0)
        return;
    auto deleted = whenChanged(target);
    if (entry->isFile())
        StorageServiceLogic::deleteFile(entry->uk.value_or(""), deleted);
    else
        StorageServiceLogic::deleteFolder(*entry, deleted);
}

void FileActions::doMenuMakeFolder(const Target& target)
{
    const auto folder = entryOf(target);
    if (!folder || folder->isFile())
        return;
    QPointer<FileActions> self(this);
    entrySheet_->ask(uiText("message_please_input_folder_name"), QStringLiteral("NewFolder"),
        [self, target, folder](const QString& typed) {
            const std::string name = typed.toStdString();
            if (!self || !Path::checkFileName(name))
                return;
            const std::string path
                = StorageServiceLogic::correctPath(Path::urlPathFromPath(folder->uk.value_or("") + "/" + name));
            StorageServiceLogic::makeFolder(path, self->whenChanged(target));
        });
}

void FileActions::doMenuDownload(const Target& target)
{
    const auto entry = entryOf(target);
    if (!entry || !target.onRow)
        return;
    // The rows selected in the clicked column, in their order, when the clicked row is one of two
    // or more.
    QModelIndexList rows;
    for (const QModelIndex& index : browser_->selectionModel()->selectedIndexes())
        if (index.parent() == QModelIndex(target.folder))
            rows.push_back(index);
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    if (rows.size() >= 2 && rows.contains(QModelIndex(target.row))) {
        FileInfoList selected;
        for (const QModelIndex& index : rows)
            selected.push_back(browser_->browserModel()->entry(index));
        downloadSelection(selected);
    } else if (!entry->isFile()) {
        downloadFolder(entry);
    } else {
        downloadOneFile(entry);
    }
}

void FileActions::downloadSelection(const FileInfoList& items)
{
    const auto folder = hooks_.chooser->chooseFolder(window());
    if (!folder)
        return;
    auto feed = SheetFeed::start(sheet_, uiText("ui_transfer_title"));
    if (hooks_.busy)
        hooks_.busy(true);
    QPointer<FileActions> self(this);
    StorageServiceLogic::downloadItemsToPath(
        items, folder->toStdString(), feed->progressList(), feed, [self, feed](std::int32_t) {
            feed->finish();
            if (self && self->hooks_.busy)
                self->hooks_.busy(false);
        });
}

void FileActions::downloadFolder(const std::shared_ptr<fileInformation>& folder)
{
    const auto chosen = hooks_.chooser->chooseFolder(window());
    if (!chosen)
        return;
    const std::string target
        = QDir(*chosen).filePath(QString::fromStdString(folder->displayName.value_or(""))).toStdString();
    auto feed = SheetFeed::start(sheet_, uiText("ui_transfer_title"));
    if (hooks_.busy)
        hooks_.busy(true);
    QPointer<FileActions> self(this);
    StorageServiceLogic::downloadFolderToPath(
        target, folder->uk.value_or(""), feed->progressList(), feed, [self, feed](std::int32_t) {
            feed->finish();
            if (self && self->hooks_.busy)
                self->hooks_.busy(false);
        });
}

void FileActions::downloadOneFile(const std::shared_ptr<fileInformation>& file)
{
    const auto path = hooks_.chooser->chooseSaveFile(window(), QString::fromStdString(file->displayName.value_or("")));
    if (!path)
        return;
    auto feed = SheetFeed::start(sheet_, uiText("ui_transfer_title"));
    if (hooks_.busy)
        hooks_.busy(true);
    QPointer<FileActions> self(this);
    auto command = StorageServiceLogic::downloadFile(nullptr, file->uk.value_or(""), file->fileSize, file->timestamp,
        path->toStdString(), [self, feed](std::int32_t) {
            feed->finish();
            if (self && self->hooks_.busy)
                self->hooks_.busy(false);
        });
    feed->addAll({ command });
}

} // namespace norvane
