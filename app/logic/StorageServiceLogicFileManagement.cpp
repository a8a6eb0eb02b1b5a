#include "app/logic/StorageServiceLogic.h"

#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "app/logic/OperationEnvironment.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogicSupport.h"
#include "formats/GDataXMLDocument.h"
#include "platform/AlertPresenter.h"
#include "platform/Log.h"

namespace norvane {

using namespace logic;

namespace {

enum class Transfer { Move, Copy };

constexpr const char* kYes = "alert_yes";
constexpr const char* kNo = "alert_no";
constexpr const char* kReplaceQuestion = "message_question_file_exist_update";

void finish(const StorageServiceLogic::ResultCallback& comple, std::int32_t result)
{
    onMain([&] {
        if (comple)
            comple(result);
    });
}

// A move names the full destination path, a copy only the destination folder.
CloudServiceCommandPtr makeTransferCommand(Transfer kind, const std::string& destFolder, const std::string& source,
    const std::string& name, std::int32_t accessFlg, const AccountSettings& account)
{
    CloudServiceCommandPtr command;
    if (kind == Transfer::Move) {
        const std::string destination
            = StorageServiceLogic::correctPath(Path::urlPathFromPath(destFolder + "/" + name));
        command = CommandFactory::makeMvCommand(source, destination);
        ValueMap& options = command->inputParameter->cmdOption;
        options[kOptionAccessFlag] = Value(accessFlg);
        options["authorname"] = account.fullName;
        options["author"] = account.userName;
    } else {
        const std::string destination = StorageServiceLogic::correctPath(Path::urlPathFromPath(destFolder));
        ValueMap options;
        options[kOptionAccessFlag] = Value(accessFlg);
        options["authorname"] = account.fullName;
        options["author"] = account.userName;
        options[kOptionOwnername] = account.fullName;
        options[kOptionOwner] = account.userName;
        options[kOptionCreationdate] = nowRfc1123();
        command = CommandFactory::makeCpCommand(source, destination, options);
    }
    command->applicationType = "file";
    return command;
}

// Runs a command again after the user agreed to replace what is at its destination.
std::int32_t runOverwriting(const CloudServiceCommandPtr& command)
{
    command->inputParameter->cmdOption[kOptionOverwrite] = kOptionValueYes;
    command->commandRes = ResultNone;
    command->commandErr.reset();
    return runCommand(command);
}

FileInfoList listFolder(const std::string& folder)
{
    auto command = CommandFactory::makeLsCommand(StorageServiceLogic::correctPath(Path::urlPathFromPath(folder)));
    runCommand(command);
    return command->outputParameter->fileInfo ? *command->outputParameter->fileInfo : FileInfoList {};
}

// The last entry of that name, as the server lists them.
std::shared_ptr<fileInformation> findByName(const FileInfoList& entries, const std::string& name)
{
    std::shared_ptr<fileInformation> found;
    for (const auto& entry : entries)
        if (entry && entry->displayName == name)
            found = entry;
    return found;
}

bool mayReplace(const fileInformation& entry)
{
    return entry.canEdit == 1 || entry.editpermission == 1;
}

bool askToReplace(const std::string& names)
{
    return AlertPresenter::shared()->ask("", kReplaceQuestion, { kYes, kNo }, names) == 0;
}

void transferAlert(std::int32_t result, const std::string& name)
{
    switch (result) {
    case ResultSuccess:
    case ResultCancelled:
        break;
    case ResultUnreachable:
        showNetworkError();
        break;
    case ResultNoSpace:
        showAlert("menu_file_copy", "message_space_max_please_delete_file_or_add_space");
        break;
    case ResultNotFound:
        showAlert("alert", "message_dest_file_deleted_please_check", name);
        break;
    case ResultResumeAtOffset: // 12, as the copy and move table has it
        showAlert("alert", "file_not_exist");
        break;
    case ResultResourceChanged:
        showAlert("message_upload_failed_name_may_be_changed", "");
        break;
    case ResultIsCopySource:
    case ResultIsCopyDest:
        showAlert("FileCopyDestErrorMessage", "");
        break;
    case ResultInvalidArgument:
        showAlert("message_error_bad_requst_400", "");
        break;
    case ResultBadRequest:
        showAlert("message_network_error_ex_css", "");
        break;
    default:
        showAlert("warning", "share_file_failed");
        break;
    }
}

void transferOne(Transfer kind, const std::string& destFolder, const std::string& source, const std::string& name,
    std::int32_t accessFlg, StorageServiceLogic::ResultCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        auto command = makeTransferCommand(kind, destFolder, source, name, accessFlg, accountSettings());
        std::int32_t result = runCommand(command);
        if (result == ResultWriteConflict) {
            auto existing = findByName(listFolder(destFolder), name);
            if (!existing) {
                showAlert("alert", "message_copy_or_move_failed", name);
                finish(comple, ResultNotFound);
                return;
            }
            if (!mayReplace(*existing)) {
                showAlert("alert", "message_can_not_update_for_can_not_edit", name);
                finish(comple, ResultWriteConflict);
                return;
            }
            if (!askToReplace({})) {
                finish(comple, ResultWriteConflict);
                return;
            }
            result = runOverwriting(command);
        }
        transferAlert(result, name);
        finish(comple, result);
    });
}

void transferMany(Transfer kind, const std::string& destFolder,
    const std::vector<StorageServiceLogic::SourceItem>& sources, std::int32_t accessFlg,
    StorageServiceLogic::ResultCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        const AccountSettings account = accountSettings();
        std::vector<std::pair<std::string, CloudServiceCommandPtr>> conflicts;
        std::vector<std::pair<std::string, CloudServiceCommandPtr>> replaceable;
        std::vector<std::string> failed;
        for (const auto& item : sources) {
            auto command = makeTransferCommand(kind, destFolder, item.uk, item.displayname, accessFlg, account);
            const std::int32_t result = runCommand(command);
            if (result == ResultWriteConflict)
                conflicts.emplace_back(item.displayname, command);
            else if (result != ResultSuccess && result != ResultCancelled)
                failed.push_back(item.displayname);
        }

        if (!conflicts.empty()) {
            const FileInfoList listing = listFolder(destFolder);
            for (auto& conflict : conflicts) {
                auto existing = findByName(listing, conflict.first);
                if (existing && mayReplace(*existing))
                    replaceable.push_back(std::move(conflict));
                else
                    failed.push_back(conflict.first);
            }
        }

        if (!replaceable.empty()) {
            std::vector<std::string> names;
            for (const auto& item : replaceable)
                names.push_back(item.first);
            if (askToReplace(joinLines(names))) {
                for (const auto& [name, command] : replaceable) {
                    const std::int32_t result = runOverwriting(command);
                    if (result != ResultSuccess && result != ResultCancelled)
                        failed.push_back(name);
                }
            }
        }

        if (!failed.empty())
            showAlert("FileCopyNomalErrorMessage", "", joinLines(failed));
        finish(comple, ResultSuccess);
    });
}

// The alerts of a rename and of a file deletion, which differ in three places.
void renameOrDeleteAlert(std::int32_t result, bool deletion)
{
    const char* fallback = deletion ? "delete_file_failed" : "share_file_failed";
    switch (result) {
    case ResultSuccess:
    case ResultCancelled:
        break;
    case ResultUnreachable:
        showNetworkError();
        break;
    case ResultWriteConflict:
        if (deletion)
            showAlert("warning", fallback);
        else
            showAlert("message_have_file", "");
        break;
    case ResultNotFound:
        showAlert("alert", "file_not_exist");
        break;
    case ResultResourceChanged:
        showAlert("message_upload_failed_name_may_be_changed", "");
        break;
    case ResultIsCopySource:
        showAlert(deletion ? "message_copying_can_not_delete" : "message_copying_can_not_rename", "");
        break;
    case ResultIsCopyDest:
        showAlert("FileCopyDestErrorMessage", "");
        break;
    case ResultInvalidArgument:
        showAlert("message_error_bad_requst_400", "");
        break;
    case ResultBadRequest:
        showAlert("message_network_error_ex_css", "");
        break;
    default:
        showAlert("warning", fallback);
        break;
    }
}

// The alerts of the folder deletion; the folder creation shares them (it never makes 29).
void folderAlert(std::int32_t result)
{
    switch (result) {
    case ResultSuccess:
    case ResultCancelled:
        break;
    case ResultUnreachable:
        showNetworkError();
        break;
    case ResultWriteConflict:
        showAlert("message_folder_exist", "");
        break;
    case ResultResourceChanged:
        showAlert("message_upload_failed_name_may_be_changed", "");
        break;
    case ResultInvalidArgument:
        showAlert("message_error_bad_requst_400", "");
        break;
    case ResultBadRequest:
        showAlert("message_network_error_ex_css", "");
        break;
    case ResultNoPermission:
        showAlert("folder_no_permission_can_not_delete", "");
        break;
    default:
        showAlert("warning", "download_file_failed");
        break;
    }
}

// How many components NSString-style path splitting gives: the leading "/" counts as one.
std::size_t pathComponentCount(std::string_view path)
{
    std::size_t count = path.starts_with('/') ? 1 : 0;
    std::size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/')
            ++i;
        if (i == path.size())
            break;
        ++count;
        while (i < path.size() && path[i] != '/')
            ++i;
    }
    return count;
}

bool isTopLevelSharedFolder(const OperationEnvironment& environment, const fileInformation& entry)
{
    return entry.fileType != 0 && environment.isShareFile(entry)
        && pathComponentCount(entry.fullPath.value_or("")) == 2;
}

std::int32_t deleteByKey(const std::string& key)
{
    return runCommand(CommandFactory::makeRmCommand({}, Path::urlPathFromPath(key)));
}

// Only the area prefix changes: a folder named "FILE" further down keeps its name.
std::string lockPath(const std::string& key)
{
    if (key.starts_with("/FILE/"))
        return "/LOCKFILE/" + key.substr(6);
    if (key.starts_with("/SHAREFILE/"))
        return "/LOCKSHAREFILE/" + key.substr(11);
    return key;
}

FileLockError parseLockError(const std::string& body)
{
    FileLockError lock;
    auto document = GDataXMLDocument::initWithXMLString(body);
    GDataXMLElement* root = document ? document->rootElement() : nullptr;
    if (!root)
        return lock;
    for (GDataXMLNode* child : root->children()) {
        const GDataXMLElement* element = child ? child->asElement() : nullptr;
        if (!element)
            continue;
        const std::string_view name = element->localName();
        const std::string text = element->stringValue().value_or("");
        if (name == "Code") {
            if (text == "FileStatusError_locked")
                lock.type = 0;
            else if (text == "FileStatusError_updating")
                lock.type = 1;
        } else if (name == "UserName") {
            lock.lockingUserName = text;
        } else if (name == "UserId") {
            lock.lockingUserID = text;
        }
    }
    return lock;
}

void lockAlert(std::int32_t result, bool locking, const std::optional<FileLockError>& conflict)
{
    if (result == ResultSuccess)
        return;
    if (locking && result == ResultWriteConflict && conflict) {
        const std::string who = conflict->lockingUserName.value_or("");
        if (conflict->type == 0)
            showAlert(formatText("custom_person_locking", { who }), "");
        else if (conflict->type == 1)
            showAlert(formatText("custom_updating_try_again", { who }), "");
        return;
    }
    switch (result) {
    case ResultIsCopySource:
        showAlert(locking ? "message_can_not_lock_for_copying" : "message_can_not_unlock_for_copying", "");
        break;
    case ResultIsCopyDest:
        showAlert("FileCopyDestErrorMessage", "");
        break;
    case ResultInvalidArgument:
        showAlert("message_error_bad_requst_400", "");
        break;
    case ResultBadRequest:
        showAlert("message_network_error_ex_css", "");
        break;
    default:
        showAlert(locking ? "message_failed_to_lock" : "word_failed_to_unlock", "");
        break;
    }
}

void chmodAlert(const CloudServiceCommand& command)
{
    const std::int32_t result = command.commandRes;
    if (result == ResultSuccess)
        return;
    const bool notFound = command.commandErr && command.commandErr->domain == kCloudServiceErrorDomain
        && command.commandErr->code == CloudServiceErrorNotFound;
    if (notFound && result != ResultIsCopySource && result != ResultIsCopyDest) {
        showAlert("alert", "file_not_exist");
        return;
    }
    switch (result) {
    case ResultUnreachable:
        showNetworkError();
        break;
    case ResultCancelled:
        break;
    case ResultResourceChanged:
        showAlert("message_upload_failed_name_may_be_changed", "");
        break;
    case ResultIsCopySource:
        showAlert("message_copying_can_not_change_authority", "");
        break;
    case ResultIsCopyDest:
        showAlert("FileCopyDestErrorMessage", "");
        break;
    case ResultInvalidArgument:
        showAlert("message_error_bad_requst_400", "");
        break;
    case ResultBadRequest:
        showAlert("message_network_error_ex_css", "");
        break;
    default:
        showAlert("warning", "share_file_failed");
        break;
    }
}

std::optional<std::string> searchPath(const std::string& folder, const std::string& keyword, bool byFileName)
{
    std::string path;
    if (folder.starts_with("/FOLDER"))
        path = "/SEARCH" + folder.substr(7);
    else if (folder.starts_with("/SHAREFOLDER"))
        path = "/SHARESEARCH" + folder.substr(12);
    else
        return std::nullopt;
    // The keyword is a query value: the separators of a query are escaped in it too.
    return Path::urlPathFromPath(path) + (byFileName ? "?filename=" : "?authname=")
        + Path::urlPathFromPath(keyword, "&=+;");
}

} // namespace

void StorageServiceLogic::moveFile(const std::string& destFolder, const std::string& sourceFile,
    const std::string& displayName, std::int32_t accessFlg, ResultCallback comple)
{
    transferOne(Transfer::Move, destFolder, sourceFile, displayName, accessFlg, std::move(comple));
}

void StorageServiceLogic::copyFile(const std::string& destFolder, const std::string& sourceFile,
    const std::string& displayName, std::int32_t accessFlg, ResultCallback comple)
{
    transferOne(Transfer::Copy, destFolder, sourceFile, displayName, accessFlg, std::move(comple));
}

void StorageServiceLogic::moveFiles(const std::string& destFolder, const std::vector<SourceItem>& sources,
    std::int32_t accessFlg, ResultCallback comple)
{
    transferMany(Transfer::Move, destFolder, sources, accessFlg, std::move(comple));
}

void StorageServiceLogic::copyFiles(const std::string& destFolder, const std::vector<SourceItem>& sources,
    std::int32_t accessFlg, ResultCallback comple)
{
    transferMany(Transfer::Copy, destFolder, sources, accessFlg, std::move(comple));
}

void StorageServiceLogic::renameFile(
    const std::string& newPath, const std::string& sourcePath, bool isFolder, ResultCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        auto command = CommandFactory::makeMvCommand(sourcePath, correctPath(Path::urlPathFromPath(newPath)));
        command->applicationType = isFolder ? "folder" : "file";
        const AccountSettings account = accountSettings();
        command->inputParameter->cmdOption["authorname"] = account.fullName;
        command->inputParameter->cmdOption["author"] = account.userName;
        const std::int32_t result = runCommand(command);
        renameOrDeleteAlert(result, false);
        finish(comple, result);
    });
}

void StorageServiceLogic::deleteFile(const std::string& path, ResultCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        const std::int32_t result = deleteByKey(path);
        renameOrDeleteAlert(result, true);
        finish(comple, result);
    });
}

void StorageServiceLogic::deleteFolder(const fileInformation& folder, ResultCallback comple)
{
    runInBackground([folder, comple = std::move(comple)] {
        const std::int32_t result = deleteFolderContent(folder);
        folderAlert(result);
        finish(comple, result);
    });
}

std::int32_t StorageServiceLogic::deleteFolderContent(const fileInformation& folder)
{
    auto environment = OperationEnvironment::shared();
    if (!environment)
        return ResultFailed;

    auto listing = CommandFactory::makeLsCommand(Path::urlPathFromPath(folder.uk.value_or("")));
    const std::int32_t listed = runCommand(listing);
    // Without the whole listing the rights of the content are unknown; deleting the folder would
    // take that unseen content with it.
    if (listed != ResultSuccess)
        return listed;
    const FileInfoList children
        = listing->outputParameter->fileInfo ? *listing->outputParameter->fileInfo : FileInfoList {};
    for (const auto& child : children) {
        if (!child)
            continue;
        if (folder.isManager)
            child->isManager = true;
        if (folder.isReadOnly)
            child->isReadOnly = true;
        setFileType(*child);
    }

    // Every child is checked before anything of this level goes.
    for (const auto& child : children) {
        if (!child)
            continue;
        const bool needsManager = environment->isFileReadOnly(*child)
            || (child->fileType == 0 && !environment->isOwnerFile(*child)) || Path::isBackupFolder(*child);
        if (needsManager && !child->isManager)
            return ResultNoPermission;
        if (child->isManager && isTopLevelSharedFolder(*environment, *child))
            return ResultNoPermission;
    }

    for (const auto& child : children) {
        if (!child)
            continue;
        const std::int32_t result
            = child->fileType != 0 ? deleteFolderContent(*child) : deleteByKey(child->uk.value_or(""));
        // A child already gone counts as deleted; any other failure keeps this folder, which would
        // otherwise take the child along.
        if (result != ResultSuccess && result != ResultNotFound)
            return result;
    }
    return deleteByKey(folder.uk.value_or(""));
}

void StorageServiceLogic::makeFolder(const std::string& path, ResultCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        auto command = CommandFactory::makePutCommand({}, path, nullptr);
        command->inputParameter->displayName = path;
        command->applicationType = "folder";
        command->postOrPut = 1;
        command->inputParameter->cmdOption[kOptionCmdType] = kOptionValueMakeFolder;
        const std::int32_t result = runCommand(command);
        folderAlert(result);
        finish(comple, result);
    });
}

void StorageServiceLogic::lockFile(const fileInformation& entry, bool lockOrUnlock, LockCallback comple)
{
    const bool isFolder = entry.fileType == 1;
    const std::string key = entry.uk.value_or("");
    runInBackground([=, comple = std::move(comple)] {
        std::int32_t result = ResultFailed;
        std::optional<FileLockError> conflict;
        if (!isFolder) {
            auto command
                = CommandFactory::makePutCommand({}, Path::urlPathFromPath(lockPath(key)), std::make_shared<Bytes>());
            command->postOrPut = 0;
            command->applicationType = "file";
            command->userInfo = 10;
            const AccountSettings account = accountSettings();
            ValueMap& options = command->inputParameter->cmdOption;
            options["x-zel-lock-userid"] = account.userName;
            options["x-zel-lock-username"] = account.fullName;
            options["x-zel-lock-flg"] = lockOrUnlock ? "1" : "0";
            result = runCommand(command);
            if (result == ResultWriteConflict)
                conflict = parseLockError(command->commandRestringWhenErr);
            lockAlert(result, lockOrUnlock, conflict);
        }
        onMain([&] {
            if (comple)
                comple(result, conflict);
        });
    });
}

void StorageServiceLogic::chmodFile(const std::string& path, std::int32_t accessFlag, ResultCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        auto command = CommandFactory::makeChmodCommand(
            Path::urlPathFromPath(path), { { kOptionAccessFlag, Value(accessFlag) } });
        command->applicationType = "file";
        const std::int32_t result = runCommand(command);
        chmodAlert(*command);
        finish(comple, result);
    });
}

void StorageServiceLogic::searchFolder(
    const std::string& folderPath, const std::string& keyword, bool byFileName, SearchCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        std::int32_t result = ResultFailed;
        std::optional<FileInfoList> found;
        if (auto path = searchPath(folderPath, keyword, byFileName)) {
            auto command = CommandFactory::makeSearchCommand(*path);
            result = runCommand(command);
            if (result == ResultUnreachable)
                showNetworkError();
            if (result == ResultSuccess) {
                found.emplace();
                if (const auto& entries = command->outputParameter->fileInfo)
                    for (const auto& entry : *entries)
                        if (entry && filterFile(*entry)) {
                            setFileType(*entry);
                            found->push_back(entry);
                        }
                sortListing(*found);
            }
        } else {
            Log::line("Search refused: only folders of the personal and the shared area can be searched");
        }
        onMain([&] {
            if (comple)
                comple(result, found);
        });
    });
}

std::string StorageServiceLogic::correctPath(std::string_view path)
{
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        // The first character always stays, so a leading "//" survives.
        if (i > 0 && path[i] == '/' && out.size() >= 2 && out.back() == '/')
            continue;
        out += path[i];
    }
    return out;
}

} // namespace norvane
