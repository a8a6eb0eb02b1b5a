#include "app/logic/StorageServiceLogic.h"

#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogicSupport.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

#include <filesystem>

namespace norvane {

using namespace logic;

namespace {

constexpr std::uint64_t kFolderCommandSize = 100;
constexpr std::string_view kFolderArea = "/FOLDER";
constexpr std::string_view kShareFolderArea = "/SHAREFOLDER";

DispatchQueue& watchFileQueue()
{
    static DispatchQueue queue("uploadWatchFileQueue", 1);
    return queue;
}

// The last component of a local path, trailing slashes ignored.
std::string lastComponent(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1));
}

CloudServiceCommandPtr makeFileCommand(
    const std::string& localPath, const std::string& remote, const std::string& displayName, std::int32_t postOrPut)
{
    auto command = CommandFactory::makePutCommand(localPath, remote, nullptr);
    command->inputParameter->displayName = displayName;
    command->applicationType = "file";
    command->postOrPut = postOrPut;
    return command;
}

// The owner and author of a new file: the signed-in account.
void setNewFileOptions(ValueMap& options, const AccountSettings& account)
{
    options[kOptionOwnername] = account.fullName;
    options[kOptionOwner] = account.userName;
    options["authorname"] = account.fullName;
    options["author"] = account.userName;
}

void setEditPermission(ValueMap& options, const Value& editpermission)
{
    if (!editpermission.isNull())
        options["editpermission"] = editpermission;
}

// The name a new file or folder may not have on the server, or none.
bool isRefusedName(const std::string& name)
{
    return Path::fileNameMessageKey(name).has_value();
}

// Runs an upload list in order. The first failure ends the run and is the result; commands that
// never ran are marked cancelled, so that every command ends with a result of its own. A name
// that breaks the rules refuses the whole list before anything is sent: a tree half made would
// stand in the way of the next try, since trees are never merged into.
void runUploadList(const std::vector<CloudServiceCommandPtr>& commands, StorageServiceLogic::LeftOut leftOut,
    StorageServiceLogic::ResultCallback comple)
{
    runInBackground([commands, leftOut = std::move(leftOut), comple = std::move(comple)] {
        std::int32_t result = ResultSuccess;
        if (!leftOut.badNames.empty()) {
            for (const auto& command : commands)
                failWithoutRequest(*command, LogicErrorUnsafeName, "A name of the upload cannot be used on the server");
            showAlert("warning", "message_upload_name_refused", "\n" + joinLines(leftOut.badNames));
            result = ResultFailed;
        } else {
            for (const auto& command : commands) {
                result = runCommand(command);
                if (result != ResultSuccess)
                    break;
            }
            if (result != ResultSuccess)
                for (const auto& command : commands)
                    if (command->commandRes == ResultNone)
                        command->commandRes = ResultCancelled;
            if (!leftOut.unreadFolders.empty()) {
                showAlert("warning", "message_upload_folder_unreadable", "\n" + joinLines(leftOut.unreadFolders));
                if (result == ResultSuccess)
                    result = ResultFailed;
            }
            if (!leftOut.links.empty())
                showAlert("warning", "message_upload_links_skipped", "\n" + joinLines(leftOut.links));
        }
        onMain([&] {
            if (comple)
                comple(result);
        });
    });
}

// Walks a local tree as makeUploadCmds does, gathering the names that would be refused.
void collectRefusedNames(const std::string& localDirectory, std::vector<std::string>& refused)
{
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::directory_iterator it(localDirectory, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with('.'))
            continue;
        std::error_code statusError;
        const fs::file_status own = fs::symlink_status(it->path(), statusError);
        if (statusError || fs::is_symlink(own))
            continue;
        if (isRefusedName(name))
            refused.push_back(printableName(it->path().string()));
        else if (fs::is_directory(own))
            collectRefusedNames(it->path().string(), refused);
    }
}

} // namespace

CloudServiceCommandPtr StorageServiceLogic::uploadFileByFile(const std::string& localPath,
    const std::string& serverPath, std::int32_t uploadType, const std::string& displayName, bool newFlag,
    const std::optional<std::string>& timestamp, const std::optional<Date>& createDate, const Value& editpermission,
    ResultCallback comple)
{
    auto command = makeFileCommand(localPath, serverPath, displayName, newFlag ? 1 : 0);
    command->userInfo = uploadType;
    ValueMap& options = command->inputParameter->cmdOption;
    const AccountSettings account = accountSettings();
    if (newFlag) {
        setNewFileOptions(options, account);
        options[kOptionCreationdate] = nowRfc1123();
    } else {
        // Replacing a file keeps its owner: only the author changes.
        options["authorname"] = account.fullName;
        options["author"] = account.userName;
    }
    if (timestamp)
        options[kOptionTimestamp] = *timestamp;
    if (createDate) {
        options[kOptionCreationdate] = rfc1123(*createDate);
        options["modifydate"] = rfc1123(*createDate);
    }
    setEditPermission(options, editpermission);

    watchFileQueue().async([command, comple = std::move(comple)] {
        const std::int32_t result = runCommand(command);
        onMain([&] {
            if (comple)
                comple(result);
        });
    });
    return command;
}

CloudServiceCommandPtr StorageServiceLogic::uploadFileByFile(
    const std::string& localPath, const std::string& serverFolderPath, ResultCallback comple)
{
    const std::string name = lastComponent(localPath);
    return uploadFileByFile(localPath, Path::urlPathFromPath(serverFolderPath + "/" + name), 0, name, true,
        std::nullopt, std::chrono::system_clock::now(), Value(), std::move(comple));
}

std::vector<CloudServiceCommandPtr> StorageServiceLogic::uploadFiles(
    const std::vector<UploadItem>& items, const Value& editpermission, ResultCallback comple)
{
    const AccountSettings account = accountSettings();
    std::vector<CloudServiceCommandPtr> commands;
    LeftOut leftOut;
    for (const UploadItem& item : items) {
        const std::string name = lastComponent(item.filePath);
        if (isRefusedName(name))
            leftOut.badNames.push_back(printableName(item.filePath));
        auto command = makeFileCommand(item.filePath, Path::urlPathFromPath(item.serverPath + "/" + name), name, 1);
        command->totleFileSize = Path::sizeOfFile(item.filePath);
        ValueMap& options = command->inputParameter->cmdOption;
        setNewFileOptions(options, account);
        if (item.timestamp)
            options[kOptionTimestamp] = *item.timestamp;
        const std::string now = nowRfc1123();
        options[kOptionCreationdate] = now;
        options["modifydate"] = now;
        setEditPermission(options, editpermission);
        commands.push_back(command);
    }
    runUploadList(commands, std::move(leftOut), std::move(comple));
    return commands;
}

std::vector<CloudServiceCommandPtr> StorageServiceLogic::uploadFolders(
    const std::vector<UploadItem>& items, const Value& editpermission, ResultCallback comple)
{
    std::vector<CloudServiceCommandPtr> commands;
    LeftOut leftOut;
    for (const UploadItem& item : items) {
        if (isRefusedName(lastComponent(item.filePath)))
            leftOut.badNames.push_back(printableName(item.filePath));
        auto part = makeUploadCmds(item.filePath, editpermission, item.serverPath, &leftOut);
        commands.insert(commands.end(), part.begin(), part.end());
    }
    runUploadList(commands, std::move(leftOut), std::move(comple));
    return commands;
}

std::vector<std::string> StorageServiceLogic::uploadNamesRefused(const std::vector<std::string>& localPaths)
{
    std::vector<std::string> refused;
    for (const std::string& path : localPaths) {
        if (isRefusedName(lastComponent(path)))
            refused.push_back(printableName(path));
        std::error_code error;
        if (std::filesystem::is_directory(path, error))
            collectRefusedNames(path, refused);
    }
    return refused;
}

std::vector<CloudServiceCommandPtr> StorageServiceLogic::makeUploadCmds(
    const std::string& localDirectory, const Value& editpermission, const std::string& serverPath, LeftOut* leftOut)
{
    namespace fs = std::filesystem;
    const std::string name = lastComponent(localDirectory);
    const std::string folderPath = serverPath + "/" + name;
    std::vector<CloudServiceCommandPtr> commands;

    const std::string escapedFolder = Path::urlPathFromPath(folderPath);
    auto folder = CommandFactory::makePutCommand({}, escapedFolder, nullptr);
    folder->inputParameter->displayName = escapedFolder;
    folder->applicationType = "folder";
    folder->postOrPut = 1;
    folder->totleFileSize = kFolderCommandSize;
    folder->inputParameter->cmdOption[kOptionCmdType] = kOptionValueMakeFolder;
    commands.push_back(folder);

    // Files are addressed in the file form of their area: "/FOLDER/x" holds "/FILE/x/<name>".
    std::string fileArea;
    std::string parentRest;
    if (serverPath.starts_with(kFolderArea)) {
        fileArea = "/FILE";
        parentRest = serverPath.substr(kFolderArea.size());
    } else if (serverPath.starts_with(kShareFolderArea)) {
        fileArea = "/SHAREFILE";
        parentRest = serverPath.substr(kShareFolderArea.size());
    }

    const AccountSettings account = accountSettings();
    std::error_code error;
    fs::directory_iterator it(localDirectory, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const fs::path& entryPath = it->path();
        const std::string entryName = entryPath.filename().string();
        if (entryName.starts_with('.'))
            continue;
        std::error_code statusError;
        const fs::file_status own = fs::symlink_status(entryPath, statusError);
        if (statusError || !fs::exists(own))
            continue;
        // A link is never followed: it may lead out of the tree (a file the user did not mean to
        // share) or back up into it (a tree without end).
        if (fs::is_symlink(own)) {
            if (leftOut)
                leftOut->links.push_back(printableName(entryPath.string()));
            continue;
        }
        if (isRefusedName(entryName)) {
            if (leftOut)
                leftOut->badNames.push_back(printableName(entryPath.string()));
            continue;
        }
        if (fs::is_directory(own)) {
            auto part = makeUploadCmds(entryPath.string(), editpermission, folderPath, leftOut);
            commands.insert(commands.end(), part.begin(), part.end());
            continue;
        }
        if (!fs::is_regular_file(own))
            continue; // a device, a pipe or a socket holds no file to upload
        if (fileArea.empty())
            return commands;
        const std::string remote = Path::urlPathFromPath(fileArea + parentRest + "/" + name + "/" + entryName);
        auto command = makeFileCommand(entryPath.string(), remote, entryName, 1);
        command->totleFileSize = Path::sizeOfFile(entryPath.string());
        ValueMap& options = command->inputParameter->cmdOption;
        setNewFileOptions(options, account);
        const std::string now = nowRfc1123();
        options[kOptionCreationdate] = now;
        options["modifydate"] = now;
        setEditPermission(options, editpermission);
        commands.push_back(command);
    }
    if (error) {
        // The folder itself is made on the server, but what it holds cannot be told.
        Log::line("Upload cannot read the folder " + printableName(localDirectory) + ": " + error.message());
        if (leftOut)
            leftOut->unreadFolders.push_back(printableName(localDirectory));
    }
    return commands;
}

} // namespace norvane
