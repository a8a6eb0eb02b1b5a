#include "app/ui/DesktopDropUpload.h"

#include "app/ui/DragRecords.h"
#include "app/ui/SheetFeed.h"
#include "app/ui/UiText.h"
#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"
#include "platform/MainQueue.h"

#include <QFile>
#include <QUrl>

#include <filesystem>

namespace norvane::DesktopDropUpload {

namespace {

// The alert names this many at most; a tree that failed early would name thousands.
constexpr std::size_t kNamesShown = 20;

// One of the two uploads of a drop. Its commands come from the worker that made them, its
// result from the operation's callback; either may reach the main thread first.
struct Part {
    std::vector<CloudServiceCommandPtr> commands;
    std::int32_t result = 0;
    bool made = false;
    bool ended = false;
};

struct Drop {
    std::shared_ptr<SheetFeed> feed;
    Hooks hooks;
    Part files;
    Part folders;
    bool finished = false;

    // On the main thread, whenever a part moves on.
    void settle()
    {
        for (Part* part : { &files, &folders }) {
            if (!part->made || !part->ended || part->result == 0)
                continue;
            const std::int32_t result = std::exchange(part->result, 0);
            if (result == 1) {
                if (hooks.arrived)
                    hooks.arrived();
            } else if (result != 4) {
                showNotArrived(part->commands);
            }
        }
        const bool done = files.made && files.ended && folders.made && folders.ended;
        if (done && !finished) {
            finished = true;
            feed->finish();
            if (hooks.busy)
                hooks.busy(false);
        }
    }

    static void showNotArrived(const std::vector<CloudServiceCommandPtr>& commands)
    {
        std::string names;
        std::size_t count = 0;
        for (const auto& command : commands) {
            if (command->commandRes == 1)
                continue;
            if (++count <= kNamesShown)
                names += "\n" + notArrivedName(*command);
        }
        if (count > kNamesShown)
            names += "\n(+" + std::to_string(count - kNamesShown) + ")";
        AlertPresenter::shared()->show("warning", "download_file_failed", names);
    }
};

// Runs one upload on this worker (which makes its commands), and tells the main thread.
void run(const std::shared_ptr<Drop>& drop, Part Drop::*part, const std::vector<StorageServiceLogic::UploadItem>& items,
    const Value& editpermission, bool folders)
{
    if (items.empty()) {
        MainQueue::shared()->post([drop, part] {
            (drop.get()->*part).made = (drop.get()->*part).ended = true;
            drop->settle();
        });
        return;
    }
    auto ended = [drop, part](std::int32_t result) {
        (drop.get()->*part).ended = true;
        (drop.get()->*part).result = result;
        drop->settle();
    };
    auto commands = folders ? StorageServiceLogic::uploadFolders(items, editpermission, ended)
                            : StorageServiceLogic::uploadFiles(items, editpermission, ended);
    drop->feed->addAll(commands);
    MainQueue::shared()->post([drop, part, commands = std::move(commands)]() mutable {
        (drop.get()->*part).commands = std::move(commands);
        (drop.get()->*part).made = true;
        drop->settle();
    });
}

} // namespace

std::string notArrivedName(const CloudServiceCommand& command)
{
    const auto& input = command.inputParameter;
    if (!input)
        return {};
    if (!input->localFileName.empty())
        return input->localFileName;
    return QUrl::fromPercentEncoding(QByteArray::fromStdString(input->displayName)).toStdString();
}

bool start(ProgressSheet* sheet, Request request, Hooks hooks)
{
    const auto fileForm = DragRecords::fileFormOfFolder(request.folderKey);
    if (!fileForm || request.localPaths.isEmpty())
        return false;
    auto drop = std::make_shared<Drop>();
    drop->feed = SheetFeed::start(sheet, uiText("ui_upload_title"));
    drop->hooks = std::move(hooks);
    if (drop->hooks.busy)
        drop->hooks.busy(true);
    std::vector<std::string> paths;
    for (const QString& path : request.localPaths)
        paths.push_back(QFile::encodeName(path).toStdString());
    DispatchQueue::global().async(
        [drop, paths = std::move(paths), fileForm = *fileForm, folderKey = std::move(request.folderKey),
            editpermission = std::move(request.editpermission)] {
            // Everything is checked before anything is sent: a drop half done stands in the way of
            // the next one, since folders are never merged into.
            const auto refused = StorageServiceLogic::uploadNamesRefused(paths);
            if (!refused.empty()) {
                std::string names;
                for (const auto& name : refused)
                    names += "\n" + name;
                AlertPresenter::shared()->show("warning", "message_upload_name_refused", names);
                MainQueue::shared()->post([drop] {
                    drop->files.made = drop->files.ended = drop->folders.made = drop->folders.ended = true;
                    drop->settle();
                });
                return;
            }
            std::vector<StorageServiceLogic::UploadItem> files;
            std::vector<StorageServiceLogic::UploadItem> folders;
            for (const std::string& path : paths) {
                std::error_code error;
                // Files are named in the file form of the folder's area; a folder tree is made below
                // the folder itself, whose form tells the area of everything in it.
                if (std::filesystem::is_directory(path, error))
                    folders.push_back({ path, folderKey, std::nullopt });
                else
                    files.push_back({ path, fileForm, std::nullopt });
            }
            run(drop, &Drop::files, files, editpermission, false);
            run(drop, &Drop::folders, folders, editpermission, true);
        });
    return true;
}

} // namespace norvane::DesktopDropUpload
