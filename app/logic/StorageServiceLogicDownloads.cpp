#include "app/logic/StorageServiceLogic.h"

#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "app/logic/CommandProgressList.h"
#include "app/logic/LocalFileName.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogicSupport.h"
#include "app/logic/UnsentEdits.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <algorithm>
#include <filesystem>
#include <mutex>

namespace norvane {

using namespace logic;

namespace {

constexpr const char* kProgressContext = "downloadFolder";
constexpr const char* kFileCacheCategory = "file_cache";

std::mutex& decoderMutex()
{
    static std::mutex m;
    return m;
}

StorageServiceLogic::ImageDecoder& decoderSlot()
{
    static StorageServiceLogic::ImageDecoder decoder;
    return decoder;
}

ThumbnailImage decodeImage(const Bytes& data)
{
    StorageServiceLogic::ImageDecoder decoder;
    {
        std::lock_guard lock(decoderMutex());
        decoder = decoderSlot();
    }
    if (!decoder || data.empty())
        return nullptr;
    return decoder(data);
}

DispatchQueue& thumbnailQueue()
{
    static DispatchQueue queue("thumbnail", 30);
    return queue;
}

// The request path of a thumbnail: the entry's path escaped twice (the server decodes it twice),
// then the query.
std::string thumbnailPath(const fileInformation& entry, long sizeOption)
{
    const std::string size = std::to_string(sizeOption);
    return Path::urlPathFromPath(Path::urlPathFromPath(entry.uk.value_or(""))) + "?thumbnail=" + size + "x" + size;
}

// A get command as every download builds it. `remote` is already escaped.
CloudServiceCommandPtr makeDownloadCommand(const std::string& localFile, const std::string& remote,
    std::shared_ptr<Bytes> data, std::uint64_t size, const std::optional<std::string>& timestamp)
{
    auto command
        = CommandFactory::makeGetCommand(localFile, remote, data ? std::move(data) : std::make_shared<Bytes>());
    command->applicationType = "file";
    command->totleFileSize = size;
    ValueMap& options = command->inputParameter->cmdOption;
    options[kOptionTotalSize] = Value(static_cast<std::int64_t>(size));
    if (timestamp && !timestamp->empty())
        options[kOptionTimestamp] = *timestamp;
    return command;
}

void downloadAlert(std::int32_t result, const std::string& filePath)
{
    switch (result) {
    case ResultUnreachable:
        showNetworkError();
        break;
    case ResultCancelled:
        break;
    case ResultConflict:
        // Page images are drawn while the file is still being converted: no alert for those.
        if (!Path::isPdfPath(filePath))
            showAlert("message_file_updating_please_try_again", "");
        break;
    case ResultNotFound:
        showAlert("alert", "file_not_exist");
        break;
    case ResultDeviceNotAuthorized:
        showAlert("", "message_device_failed");
        break;
    case ResultCacheMiss:
        showAlert("", "message_cache_file_not_exist");
        break;
    case ResultIsCopySource:
        showAlert("FileCopySourceErrorMessage", "");
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
        showAlert("warning", "download_file_failed");
        break;
    }
}

// The alert at the end of a tree download. What was left out is named first; it turns an
// otherwise complete download into a failure, since not everything arrived.
std::int32_t finishTree(std::int32_t result, const StorageServiceLogic::LeftOut& leftOut)
{
    if (!leftOut.badNames.empty())
        showAlert("warning", "message_download_name_refused", "\n" + joinLines(leftOut.badNames));
    if (!leftOut.unreadFolders.empty())
        showAlert("warning", "message_download_folder_unlisted", "\n" + joinLines(leftOut.unreadFolders));
    if (!leftOut.empty() && result == ResultSuccess)
        return ResultFailed;
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
    default:
        showAlert("warning", "download_file_failed");
        break;
    }
    return result;
}

// Runs the transfers in order; the first failure ends the run.
std::int32_t runTransfers(const std::vector<CloudServiceCommandPtr>& commands)
{
    for (const auto& command : commands) {
        const std::int32_t result = runCommand(command);
        if (result != ResultSuccess)
            return result;
    }
    return ResultSuccess;
}

void track(const CloudServiceCommandPtr& command, CommandProgressList* progress, CommandProgressObserver* observer)
{
    if (observer)
        observer->observeProgress(command, kProgressContext);
    if (progress)
        progress->append(command);
}

bool isNotedUnsent(const std::string& localPath)
{
    const auto noted = UnsentEdits::all();
    return std::any_of(noted.begin(), noted.end(), [&](const auto& record) { return record.localPath == localPath; });
}

// Something, even a dangling link, is at the path.
bool anythingAt(const std::string& path)
{
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    return !error && status.type() != std::filesystem::file_type::not_found;
}

// Where a server-named entry lands below `directory`, or none (and its name in `leftOut`).
std::optional<std::string> localTarget(const std::string& directory, const fileInformation& entry,
    const std::string& serverFolder, StorageServiceLogic::LeftOut* leftOut)
{
    const std::string name = entry.displayName.value_or("");
    LocalFileName::Result joined = LocalFileName::joinUnder(directory, name);
    if (joined.ok())
        return joined.path;
    Log::line("Download skips an entry: " + joined.error->description);
    if (leftOut)
        leftOut->badNames.push_back(serverFolder + "/" + printableName(name));
    return std::nullopt;
}

} // namespace

CloudServiceCommandPtr StorageServiceLogic::downloadFile(std::shared_ptr<Bytes> data, const std::string& filePath,
    std::uint64_t targetFileSize, const std::optional<std::string>& timestamp, const std::string& localFile,
    bool showError, ResultCallback comple)
{
    auto command
        = makeDownloadCommand(localFile, Path::urlPathFromPath(filePath), std::move(data), targetFileSize, timestamp);
    runInBackground([command, filePath, showError, comple = std::move(comple)] {
        const std::int32_t result = runCommand(command);
        if (result != ResultSuccess && showError)
            downloadAlert(result, filePath);
        onMain([&] {
            if (comple)
                comple(result);
        });
    });
    return command;
}

CloudServiceCommandPtr StorageServiceLogic::downloadFile(std::shared_ptr<Bytes> data, const std::string& filePath,
    std::uint64_t targetFileSize, const std::optional<std::string>& timestamp, const std::string& localFile,
    ResultCallback comple)
{
    return downloadFile(std::move(data), filePath, targetFileSize, timestamp, localFile, true, std::move(comple));
}

CloudServiceCommandPtr StorageServiceLogic::downloadFileToFile(const fileInformation& entry, LocalFileCallback comple)
{
    // Both parts of the cache path are the server's words: each must stay one plain name, and the
    // folder must be a real folder, not a link planted to lead the copy elsewhere.
    const std::string cacheRoot = Path::temporaryDirectory() + "/" + kFileCacheCategory;
    LocalFileName::Result file { {}, ErrorValue { kPosixErrorDomain, 0, "The cache folder cannot be made", {} } };
    bool nameRefused = false;
    if (Path::createIfNotExistDir(cacheRoot)) {
        // Search results carry no folder id: their copies share the folder "(null)".
        const std::string folderId = entry.folderid.value_or("");
        LocalFileName::Result folder
            = LocalFileName::createDirectoryIn(cacheRoot, folderId.empty() ? "(null)" : folderId);
        file = folder.ok() ? LocalFileName::joinUnder(folder.path, entry.displayName.value_or("")) : std::move(folder);
        nameRefused
            = !file.ok() && file.error->domain == kLocalNameErrorDomain && file.error->code <= LocalNameOutsideTarget;
    }

    if (!file.ok()) {
        auto command = makeDownloadCommand(
            {}, Path::urlPathFromPath(entry.uk.value_or("")), nullptr, entry.fileSize, entry.timestamp);
        failWithoutRequest(*command, nameRefused ? LogicErrorUnsafeName : LogicErrorLocalFile, file.error->description);
        const std::string name = printableName(entry.displayName.value_or(""));
        runInBackground([command, name, nameRefused, comple = std::move(comple)] {
            if (nameRefused)
                showAlert("warning", "message_download_name_refused", "\n" + name);
            else
                showAlert("warning", "download_file_failed");
            onMain([&] {
                if (comple)
                    comple(command->commandRes, std::string());
            });
        });
        return command;
    }

    const std::string target = file.path;
    if (isNotedUnsent(target)) {
        // The copy holds a change the server never got: it is opened as it is, never replaced.
        auto command = makeDownloadCommand(
            target, Path::urlPathFromPath(entry.uk.value_or("")), nullptr, entry.fileSize, entry.timestamp);
        command->commandRes = ResultSuccess;
        const std::string name = printableName(entry.displayName.value_or(""));
        runInBackground([target, name, comple = std::move(comple)] {
            showAlert("", "message_unsent_copy_opened", "\n" + name);
            onMain([&] {
                if (comple)
                    comple(ResultSuccess, target);
            });
        });
        return command;
    }
    Path::deleteFile(target);
    return downloadFile(nullptr, entry.uk.value_or(""), entry.fileSize, entry.timestamp, target, true,
        [target, comple = std::move(comple)](std::int32_t result) {
            if (comple)
                comple(result, target);
        });
}

CloudServiceCommandPtr StorageServiceLogic::downloadFileToData(const fileInformation& entry, DataCallback comple)
{
    auto data = std::make_shared<Bytes>();
    return downloadFile(data, entry.uk.value_or(""), entry.fileSize, entry.timestamp, {}, true,
        [data, comple = std::move(comple)](std::int32_t result) {
            if (comple)
                comple(result, data);
        });
}

void StorageServiceLogic::downloadThumbnailImage(const fileInformation& entry, long sizeOption, ImageCallback comple)
{
    auto data = std::make_shared<Bytes>();
    // The decoding runs on the worker, before the hop to the main queue.
    auto command = makeDownloadCommand({}, thumbnailPath(entry, sizeOption), data, entry.fileSize, entry.timestamp);
    runInBackground([command, data, comple = std::move(comple)] {
        const std::int32_t result = runCommand(command);
        ThumbnailImage image = decodeImage(*data);
        onMain([&] {
            if (comple)
                comple(result, image);
        });
    });
}

void StorageServiceLogic::downloadThumbnailImageWithQueue(
    const fileInformation& entry, long sizeOption, ImageCallback comple)
{
    auto data = std::make_shared<Bytes>();
    auto command = makeDownloadCommand({}, thumbnailPath(entry, sizeOption), data, entry.fileSize, entry.timestamp);
    thumbnailQueue().async([command, data, comple = std::move(comple)] {
        const std::int32_t result = runCommand(command);
        ThumbnailImage image = decodeImage(*data);
        onMain([&] {
            if (comple)
                comple(result, image);
        });
    });
}

void StorageServiceLogic::setImageDecoder(ImageDecoder decoder)
{
    std::lock_guard lock(decoderMutex());
    decoderSlot() = std::move(decoder);
}

void StorageServiceLogic::downloadItemsToPath(const FileInfoList& items, const std::string& localPath,
    std::shared_ptr<CommandProgressList> progress, std::shared_ptr<CommandProgressObserver> observer,
    ResultCallback comple)
{
    runInBackground([items, localPath, progress, observer, comple = std::move(comple)] {
        std::vector<CloudServiceCommandPtr> commands;
        LeftOut leftOut;
        std::int32_t result = ResultSuccess;
        for (const auto& item : items) {
            if (!item)
                continue;
            auto target = localTarget(localPath, *item, "", &leftOut);
            if (!target)
                continue;
            if (item->fileType != 0) {
                result = downloadFolderContent(
                    *target, item->uk.value_or(""), progress.get(), commands, observer.get(), &leftOut);
                if (result != ResultSuccess)
                    break;
            } else {
                auto command = makeDownloadCommand(
                    *target, Path::urlPathFromPath(item->uk.value_or("")), nullptr, item->fileSize, item->timestamp);
                track(command, progress.get(), observer.get());
                commands.push_back(command);
            }
        }
        if (result == ResultSuccess)
            result = runTransfers(commands);
        result = finishTree(result, leftOut);
        onMain([&] {
            if (comple)
                comple(result);
        });
    });
}

void StorageServiceLogic::downloadFolderToPath(const std::string& localPath, const std::string& serverPath,
    std::shared_ptr<CommandProgressList> progress, std::shared_ptr<CommandProgressObserver> observer,
    ResultCallback comple)
{
    runInBackground([localPath, serverPath, progress, observer, comple = std::move(comple)] {
        std::vector<CloudServiceCommandPtr> commands;
        LeftOut leftOut;
        std::int32_t result
            = downloadFolderContent(localPath, serverPath, progress.get(), commands, observer.get(), &leftOut);
        if (result == ResultSuccess)
            result = runTransfers(commands);
        result = finishTree(result, leftOut);
        onMain([&] {
            if (comple)
                comple(result);
        });
    });
}

std::int32_t StorageServiceLogic::downloadFolderContent(const std::string& localPath, const std::string& serverPath,
    CommandProgressList* progress, std::vector<CloudServiceCommandPtr>& commands, CommandProgressObserver* observer,
    LeftOut* leftOut)
{
    // A folder is never merged into: whatever is at the name (a link included) stops here.
    if (localPath.empty() || anythingAt(localPath))
        return ResultWriteConflict;
    std::error_code error;
    std::filesystem::create_directories(localPath, error);
    if (error || std::filesystem::symlink_status(localPath, error).type() != std::filesystem::file_type::directory)
        return ResultFailed;

    auto listing = CommandFactory::makeLsCommand(Path::urlPathFromPath(serverPath));
    track(listing, progress, observer);
    const std::int32_t listed = runCommand(listing);

    FileInfoList kept;
    if (const auto& entries = listing->outputParameter->fileInfo) {
        for (const auto& entry : *entries) {
            if (entry && filterFile(*entry)) {
                setFileType(*entry);
                kept.push_back(entry);
            }
        }
    }
    // Only a stop ends the scan. A folder whose listing failed is left out and named at the end;
    // the rest of the tree still arrives.
    if (listed == ResultCancelled)
        return ResultCancelled;
    if (listed != ResultSuccess) {
        Log::line("Download leaves out a folder whose listing failed with " + std::to_string(listed));
        if (leftOut)
            leftOut->unreadFolders.push_back(printableName(serverPath));
        return ResultSuccess;
    }

    for (const auto& entry : kept) {
        auto target = localTarget(localPath, *entry, serverPath, leftOut);
        if (!target)
            continue;
        if (entry->fileType != 0) {
            const std::int32_t sub = downloadFolderContent(
                *target, serverPath + "/" + *entry->displayName, progress, commands, observer, leftOut);
            if (sub == ResultCancelled)
                return ResultCancelled;
        } else {
            auto command = makeDownloadCommand(
                *target, Path::urlPathFromPath(entry->uk.value_or("")), nullptr, entry->fileSize, entry->timestamp);
            track(command, progress, observer);
            commands.push_back(command);
        }
    }
    return ResultSuccess;
}

} // namespace norvane
