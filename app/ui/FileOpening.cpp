#include "app/ui/FileOpening.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/DesktopOpener.h"
#include "app/ui/ProgressSheet.h"

#include <QPointer>

#include <filesystem>

namespace norvane {

FileOpening::FileOpening(std::shared_ptr<AppDataManager> manager, ProgressSheet* sheet,
    std::shared_ptr<DesktopOpener> opener, std::function<void(bool)> busy, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
    , sheet_(sheet)
    , opener_(std::move(opener))
    , busy_(std::move(busy))
{ }

bool FileOpening::opens(const fileInformation& entry)
{
    return entry.isFile() && !entry.displayName.value_or("").ends_with(".fvrt");
}

bool FileOpening::staysUnwritable(const fileInformation& entry, bool readOnlyForUser)
{
    return entry.fileExt == FileExtPhoto || entry.fileExt == FileExtVideo || entry.fileExt == FileExtPdf
        || readOnlyForUser;
}

std::string FileOpening::serverPath(const fileInformation& entry)
{
    return (PermissionRules::isShareFile(entry) ? "/SHAREFILE" : "/FILE") + entry.fullPath.value_or("");
}

void FileOpening::setWritable(const std::string& path, bool writable)
{
    namespace fs = std::filesystem;
    constexpr auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    std::error_code ignored;
    if (writable)
        fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ignored);
    else
        fs::permissions(path, write, fs::perm_options::remove, ignored);
}

void FileOpening::open(const std::shared_ptr<fileInformation>& entry)
{
    if (!entry || !opens(*entry))
        return;
    // A copy opened again is downloaded afresh; its earlier watch has no copy to watch meanwhile.
    manager_->removeWatchFile(entry->uk.value_or(""));
    if (busy_)
        busy_(true);
    QPointer<FileOpening> self(this);
    auto command = std::make_shared<CloudServiceCommandPtr>();
    *command = StorageServiceLogic::downloadFileToFile(
        *entry, [self, entry, command](std::int32_t result, const std::string& localPath) {
            if (!self)
                return;
            if (self->busy_)
                self->busy_(false);
            const bool stopped = self->sheet_->wasStopped(*command);
            self->sheet_->removeCommand(*command);
            if (result == 1 && !stopped)
                self->downloaded(entry, localPath);
        });
    sheet_->addCommand(*command);
}

void FileOpening::downloaded(const std::shared_ptr<fileInformation>& entry, const std::string& localPath)
{
    const bool readOnly = manager_->isFileReadOnly(*entry);
    if (staysUnwritable(*entry, readOnly)) {
        setWritable(localPath, false);
    } else {
        setWritable(localPath, true);
        manager_->addWatchFile(entry->uk.value_or(""), serverPath(*entry), localPath, entry->timestamp,
            Value(std::to_string(entry->editpermission)));
        if (manager_->isShareFile(*entry) && manager_->configDefine().autoFileLockOn()) {
            if (busy_)
                busy_(true);
            QPointer<FileOpening> self(this);
            StorageServiceLogic::lockFile(*entry, true, [self](std::int32_t, const auto&) {
                if (self && self->busy_)
                    self->busy_(false);
            });
        }
    }
    opener_->openLocalFile(QString::fromStdString(localPath));
}

} // namespace norvane
