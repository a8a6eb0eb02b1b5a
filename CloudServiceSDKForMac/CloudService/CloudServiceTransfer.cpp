// The transfers of CloudService: chunked, resumable uploads; chunked downloads into memory or
// into a file that appears under its name only when complete; the response cache around them.

#include "CloudServiceSDKForMac/ASIHTTP/ASIHTTPRequest.h"
#include "CloudServiceSDKForMac/CloudService/CloudService.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "CloudServiceSDKForMac/CloudService/PartialDownload.h"
#include "formats/MD5DigestString.h"
#include "platform/AlertPresenter.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <system_error>
#include <unistd.h>

namespace norvane {

namespace {

// The chunk size when the configuration gives none: a zero-byte chunk would never finish.
constexpr std::uint64_t kDefaultChunkSize = std::uint64_t { 1 } << 20;
// Resume answers one upload takes before it gives up. A server that keeps moving the offset
// back (accepting a chunk, then asking for it again) must not keep the client going round.
constexpr int kMaxResumeAnswers = 8;
// Resume answers in a row that name the offset the chunk was sent from: the server is still
// committing what came before. The adaptor waits its growing back-off before each (6, 60, 120,
// 240, 480, 960, 1920 and 1920 seconds); after the last of those the upload gives up.
constexpr int kMaxSameOffsetAnswers = 8;
// What a download into the offline store writes in front of the content.
constexpr std::size_t kOffLineFillerSize = 100;
constexpr const char* kPageNumberMarker = "?pageno=";

// Feeds a request's progress into the command it belongs to.
class CommandProgress final : public ASIProgressDelegate {
public:
    explicit CommandProgress(CloudServiceCommand& command)
        : command_(command)
    { }
    void setProgress(float fraction) override { command_.progress.store(fraction); }
    bool needsMainThread() const override { return false; } // an atomic, read by whoever shows it

private:
    CloudServiceCommand& command_;
};

ErrorValue badTransferAnswer(const std::string& what)
{
    return ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorBadTransferAnswer, what, {} };
}

ErrorValue posixError(int code, const std::string& what)
{
    return ErrorValue { kPosixErrorDomain, code, what + ": " + std::strerror(code), {} };
}

std::uint64_t chunkSizeOr(std::uint64_t configured)
{
    return configured ? configured : kDefaultChunkSize;
}

// A page image of a document is fetched whole, in one request without a range.
bool isPageImage(const std::string& remote)
{
    return CmdCache::isPdfPath(remote) && remote.find(kPageNumberMarker) != std::string::npos;
}

bool isPdfFirstPage(const std::string& remote)
{
    return CmdCache::isPdfPath(remote) && remote.ends_with("pageno=1");
}

bool isOffLineTarget(const std::string& localFile)
{
    return localFile.find("OffLineData/FILE") != std::string::npos
        || localFile.find("OffLineData/SHAREFILE") != std::string::npos;
}

// Filler without meaning: a number below 1000 repeated to the filler's length.
std::string offLineFiller()
{
    thread_local std::mt19937 generator { std::random_device {}() };
    const std::string piece = std::to_string(std::uniform_int_distribution<int>(0, 999)(generator));
    std::string filler;
    while (filler.size() < kOffLineFillerSize)
        filler += piece;
    filler.resize(kOffLineFillerSize);
    return filler;
}

std::uint64_t expectedSize(const ValueMap& options)
{
    const auto found = options.find(kOptionTotalSize);
    if (found == options.end())
        return 0;
    const std::int64_t value = found->second.toInt64();
    return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

// Moves a file, across file systems too; the destination's folder is created.
bool moveFile(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (to.empty() || !FileSystem::createDirectories(to.parent_path()))
        return false;
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (!error)
        return true;
    if (error != std::errc::cross_device_link)
        return false;
    if (!std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error))
        return false;
    std::filesystem::remove(from, error);
    return true;
}

// Reads [offset, offset + length) of an upload's source; nothing when it cannot be read whole.
using ChunkReader = std::function<std::optional<std::span<const std::uint8_t>>(std::uint64_t, std::uint64_t)>;

struct UploadOutcome {
    std::int32_t result = ResultSuccess; // the last answer of the adaptor
    std::uint64_t unsent = 0; // bytes not yet accepted by the server
    std::optional<ErrorValue> ownError; // the service refused to go on (bad answer, unreadable source)
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Uploads

namespace {

// Sends [uploaded, total) in chunks. A resume answer moves the offset to what the server holds;
// one that points outside the file or does not move, or one too many, ends the upload, so that a
// confused server can neither make the client send bytes past the end nor keep it going round
// for ever.
UploadOutcome uploadChunks(StorageServiceAdaptor& storage, CloudServiceCommand& command, const std::string& md5,
    std::uint64_t total, std::uint64_t uploaded, const ChunkReader& read)
{
    UploadOutcome outcome;
    if (uploaded > total) {
        outcome.result = ResultFailed;
        outcome.unsent = total;
        outcome.ownError = badTransferAnswer("The server holds more of the upload than the file has.");
        return outcome;
    }
    const auto& input = *command.inputParameter;
    const std::uint64_t chunkLimit = chunkSizeOr(storage.config().maxUploadSize);
    CommandProgress progress(command);
    std::uint64_t remaining = total - uploaded;
    int resumes = 0;
    int sameOffsetAnswers = 0;
    do {
        const std::uint64_t chunk = std::min(remaining, chunkLimit);
        const auto bytes = read(uploaded, chunk);
        if (!bytes) {
            outcome.result = ResultFailed;
            outcome.unsent = remaining;
            outcome.ownError = posixError(EIO, "The file to upload could not be read");
            return outcome;
        }
        std::uint64_t offset = uploaded;
        outcome.result = storage.put(input.remoteFileName, offset, total, md5, *bytes, command.applicationType,
            command.postOrPut, &progress, input.cmdOption);
        if (outcome.result == ResultSuccess) {
            uploaded += chunk;
            remaining -= chunk;
            command.uploadedSize = uploaded;
            sameOffsetAnswers = 0;
        } else if (outcome.result == ResultResumeAtOffset) {
            const bool unusable = offset > total
                || (offset == uploaded ? ++sameOffsetAnswers >= kMaxSameOffsetAnswers : ++resumes > kMaxResumeAnswers);
            if (unusable) {
                outcome.result = ResultFailed;
                outcome.unsent = remaining;
                outcome.ownError = badTransferAnswer("The server's resume offset cannot be used.");
                return outcome;
            }
            if (offset != uploaded)
                sameOffsetAnswers = 0;
            uploaded = offset;
            remaining = total - uploaded;
            command.uploadedSize = uploaded;
        } else if (outcome.result == ResultCancelled) {
            // Stopped mid-chunk: keep the progress with the stored command so that a later run
            // resumes (from the offset the server reports, which is always asked first).
            uploaded += chunk;
            command.uploadedSize = uploaded;
            command.write2FileLocalPath();
            outcome.unsent = remaining - chunk;
            return outcome;
        } else {
            outcome.unsent = remaining;
            return outcome;
        }
    } while (remaining != 0);
    outcome.unsent = 0;
    return outcome;
}

// The code the caller sees: a resume answer that left nothing to send means the server has it all.
std::int32_t finalUploadResult(const UploadOutcome& outcome)
{
    if (outcome.ownError)
        return ResultFailed;
    if (outcome.unsent == 0 && outcome.result == ResultResumeAtOffset)
        return ResultSuccess;
    return outcome.result;
}

void alertForUpload(std::int32_t result, bool folderCreation)
{
    if (result == ResultTooLarge)
        AlertPresenter::shared()->show("message_upload_size_too_big", "");
    else if (result == ResultNoSpace && !folderCreation)
        AlertPresenter::shared()->show("message_space_not_enough", "");
}

} // namespace

void CloudService::putByMemory(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    const auto& input = *command.inputParameter;
    static const Bytes kNothing;
    const Bytes& data = input.memoryData ? *input.memoryData : kNothing;
    const auto md5 = MD5DigestString(std::span<const std::uint8_t>(data));
    if (!md5) {
        command.commandRes = ResultFailed;
        return;
    }
    const std::uint64_t total = data.size();
    std::uint64_t uploaded = command.uploadedSize;
    const std::int32_t status = storage_->getCurrentPutStatus(
        input.remoteFileName, total, *md5, command.applicationType, command.postOrPut, uploaded);
    if (status != ResultSuccess) {
        command.commandRes = checkPutFailedResult(status);
        return;
    }

    const UploadOutcome outcome = uploadChunks(*storage_, command, *md5, total, uploaded,
        [&data](std::uint64_t offset, std::uint64_t length) -> std::optional<std::span<const std::uint8_t>> {
            if (offset > data.size() || length > data.size() - offset)
                return std::nullopt;
            return std::span<const std::uint8_t>(data).subspan(offset, length);
        });

    endFileOperation();
    command.commandRestringWhenErr = storage_->errResponseString();
    command.commandErr = outcome.ownError ? outcome.ownError : storage_->storageDetailErr();
    command.commandRes = finalUploadResult(outcome);
    const auto type = input.cmdOption.find(kOptionCmdType);
    const bool folderCreation
        = type != input.cmdOption.end() && type->second.string() && *type->second.string() == kOptionValueMakeFolder;
    alertForUpload(command.commandRes, folderCreation);
}

void CloudService::putByFile(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    const auto& input = *command.inputParameter;
    const std::string& path = input.localFileName;
    std::error_code sizeError;
    const std::uint64_t total = std::filesystem::file_size(path, sizeError);
    if (sizeError) {
        command.commandErr = posixError(sizeError.value(), "The size of " + path + " cannot be read");
        command.commandRes = ResultFailed;
        return;
    }
    const auto md5 = fileMD5(path);
    if (!md5) {
        command.commandRes = ResultFailed;
        return;
    }
    std::uint64_t uploaded = command.uploadedSize;
    const std::int32_t status = storage_->getCurrentPutStatus(
        input.remoteFileName, total, *md5, command.applicationType, command.postOrPut, uploaded);
    if (status != ResultSuccess) {
        command.commandRes = checkPutFailedResult(status);
        return;
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    const int openError = errno;
    UploadOutcome outcome;
    if (!file) {
        outcome.result = ResultFailed;
        outcome.ownError = posixError(openError, "The file to upload cannot be opened");
    } else {
        Bytes buffer;
        outcome = uploadChunks(*storage_, command, *md5, total, uploaded,
            [&](std::uint64_t offset, std::uint64_t length) -> std::optional<std::span<const std::uint8_t>> {
                // The file is read where the server wants it: a resume answer moves the position.
                if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())
                    || ::fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
                    return std::nullopt;
                buffer.resize(length);
                if (length != 0 && std::fread(buffer.data(), 1, length, file.get()) != length)
                    return std::nullopt; // the file shrank: do not send a short chunk as a whole one
                return std::span<const std::uint8_t>(buffer);
            });
    }

    endFileOperation();
    const std::int32_t result = finalUploadResult(outcome);
    if (result == ResultSuccess) {
        command.commandErr.reset();
    } else {
        command.commandErr = outcome.ownError ? outcome.ownError : storage_->storageDetailErr();
        // Who holds the lock that refused the file, as for an upload from memory.
        command.commandRestringWhenErr = storage_->errResponseString();
    }
    command.commandRes = result;
    alertForUpload(result, false);
}

// ---------------------------------------------------------------------------------------------
// Downloads

std::int32_t CloudService::downloadChunksToMemory(CloudServiceCommand& command, std::optional<ErrorValue>& ownError)
{
    const auto& input = *command.inputParameter;
    const std::string& remote = input.remoteFileName;
    auto& output = command.outputParameter;
    if (!output->memoryData)
        output->memoryData = std::make_shared<Bytes>();
    const std::uint64_t chunkSize = chunkSizeOr(storage_->config().maxDownloadSize);
    const std::uint64_t expected = std::min<std::uint64_t>(expectedSize(input.cmdOption), INT32_MAX);
    CommandProgress progress(command);
    std::uint64_t offset = 0;
    for (;;) {
        Bytes chunk;
        const std::int32_t result = storage_->get(remote, chunk, command.applicationType, offset, chunkSize, &progress,
            expected, offset, input.cmdOption, command.lastExecuteTime);
        if (result != ResultSuccess)
            return result;
        output->memoryData->insert(output->memoryData->end(), chunk.begin(), chunk.end());
        if (CmdCache::isPdfPath(remote) || chunk.size() < chunkSize)
            return ResultSuccess;
        if (chunk.size() > chunkSize) {
            ownError = badTransferAnswer("The server sent more than the range asked for.");
            return ResultFailed;
        }
        if (expected != 0 && offset + chunk.size() >= expected)
            return ResultSuccess;
        offset += chunkSize;
    }
}

std::int32_t CloudService::downloadChunksToFile(
    CloudServiceCommand& command, const std::string& localFile, std::optional<ErrorValue>& ownError)
{
    const auto& input = *command.inputParameter;
    const std::string& remote = input.remoteFileName;
    const std::uint64_t chunkSize = chunkSizeOr(storage_->config().maxDownloadSize);
    const std::uint64_t expected = expectedSize(input.cmdOption);
    const bool offLine = isOffLineTarget(localFile);

    // The chunks gather in a file beside the target, which takes the target's name only once the
    // last one is in: a failed or stopped download leaves what was there before untouched. What a
    // killed run of the same download gathered is taken over when it is of the same version.
    const auto timestamp = input.cmdOption.find(kOptionTimestamp);
    PartialDownload partial(localFile,
        PartialDownload::sourceOf(remote, expected,
            timestamp != input.cmdOption.end() && timestamp->second.string() ? *timestamp->second.string() : ""));
    const std::uint64_t filler = offLine ? kOffLineFillerSize : 0;
    const std::uint64_t held = partial.resume(filler, filler + expected);
    bool started = held > 0;
    const auto fail = [&](ErrorValue error) {
        ownError = std::move(error);
        return ResultFailed;
    };

    CommandProgress progress(command);
    std::uint64_t offset = held > filler ? held - filler : 0;
    // Bytes of the file's content gathered so far, those taken over included.
    std::uint64_t received = offset;
    // Each chunk goes from the connection into the gathering file; one that is not taken after all
    // is cut off again.
    struct IntoPartial final : ChunkSink {
        PartialDownload& partial;
        std::uint64_t chunkStart = 0;
        std::optional<ErrorValue> error;
        explicit IntoPartial(PartialDownload& file)
            : partial(file)
        { }
        bool write(std::span<const std::uint8_t> bytes) override
        {
            error = partial.append(bytes);
            return !error;
        }
        void rollback() override
        {
            if (auto failed = partial.truncate(chunkStart); failed && !error)
                error = std::move(failed);
        }
    } sink(partial);
    std::int32_t result = ResultSuccess;
    for (;;) {
        if (!started && offLine) {
            // The filler goes first; a download that fails is discarded as a whole.
            const std::string text = offLineFiller();
            if (auto error
                = partial.append(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))) {
                result = fail(std::move(*error));
                break;
            }
        }
        started = true;
        sink.chunkStart = partial.size();
        std::uint64_t got = 0;
        result = storage_->getInto(remote, sink, got, command.applicationType, offset, chunkSize, &progress, expected,
            offset, input.cmdOption, command.lastExecuteTime);
        if (sink.error) {
            result = fail(std::move(*sink.error));
            break;
        }
        if (result != ResultSuccess)
            break;
        const bool wholePage = isPageImage(remote);
        if (!wholePage && got > chunkSize) {
            result = fail(badTransferAnswer("The server sent more than the range asked for."));
            break;
        }
        received += got;
        if (got < chunkSize || wholePage)
            break;
        offset += chunkSize;
        if (expected != 0 && offset >= expected)
            break;
    }

    // A file that ends short of (or runs past) the size it was listed with is not that file:
    // it never takes the place of the one there.
    if (result == ResultSuccess && expected != 0 && received != expected && remote.find('?') == std::string::npos)
        result = fail(badTransferAnswer("The download is not the size the file was listed with."));
    if (result == ResultSuccess) {
        if (auto error = partial.commit())
            result = fail(std::move(*error));
    }
    if (result != ResultSuccess)
        partial.discard();
    return result;
}

void CloudService::getToMemory(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    std::optional<ErrorValue> ownError;
    const std::int32_t result = downloadChunksToMemory(command, ownError);
    endFileOperation();
    command.commandErr = ownError ? ownError : storage_->storageDetailErr();
    command.commandRes = result;
}

void CloudService::getToFile(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    std::optional<ErrorValue> ownError;
    const std::int32_t result = downloadChunksToFile(command, command.inputParameter->localFileName, ownError);
    endFileOperation();
    command.commandErr = ownError ? ownError : storage_->storageDetailErr();
    command.commandRes = result;
}

// ---------------------------------------------------------------------------------------------
// Response cache

void CloudService::getThroughCache(CloudServiceCommand& command, bool toFile)
{
    HistoryBuffer::Entry entry;
    {
        std::lock_guard lock(historyBuffer_.monitor());
        entry = historyBuffer_.searchByRemoteFileName(command.inputParameter->remoteFileName);
        if (entry) {
            command.lastExecuteTime = entry->date;
            entry->isUsing = true;
        }
    }
    if (toFile)
        getToFile(command);
    else
        getToMemory(command);

    if (command.commandRes == ResultNotModified) {
        command.commandRes = answerFromCache(command, toFile, entry);
        if (command.commandRes == ResultSuccess)
            command.commandErr.reset();
    } else if (command.commandRes == ResultSuccess) {
        cacheFreshDownload(command, toFile, entry);
    }
}

std::int32_t CloudService::answerFromCache(CloudServiceCommand& command, bool toFile, const HistoryBuffer::Entry& entry)
{
    if (!entry)
        return ResultCacheMiss;
    std::string archivePath;
    std::string attached;
    {
        std::lock_guard lock(historyBuffer_.monitor());
        archivePath = entry->fileName;
        attached = entry->attachFileName;
    }
    const auto archived = CloudServiceCommand::read2Cmd(archivePath);
    std::error_code error;
    if (!archived || (!attached.empty() && !std::filesystem::is_regular_file(attached, error))) {
        // The copy is gone: forget it, so that the download made again without the cache is
        // the one remembered next time.
        historyBuffer_.removeCmdCacheAndAttachedFiles(entry);
        return ResultCacheMiss;
    }
    const auto& cached = archived->outputParameter->memoryData;
    auto& output = command.outputParameter;
    const auto release = [&] {
        std::lock_guard lock(historyBuffer_.monitor());
        entry->isUsing = false;
    };

    if (toFile) {
        if (cached && !cached->empty()) {
            if (!output->memoryData)
                output->memoryData = std::make_shared<Bytes>();
            output->memoryData->insert(output->memoryData->end(), cached->begin(), cached->end());
        }
        const std::string& remote = command.inputParameter->remoteFileName;
        if (isPdfFirstPage(remote) && !archived->outputParameter->cmdOption.empty()) {
            NotificationCenter::defaultCenter().post(
                kNotificationPdfImageViewerPageCount, nullptr, archived->outputParameter->cmdOption);
        }
        if (!attached.empty()) {
            output->cmdOption[kOptionLocalFileMoved] = attached;
        } else {
            const Bytes bytes = cached ? *cached : Bytes();
            if (!FileSystem::writeFileAtomically(command.inputParameter->localFileName, bytes)) {
                release();
                return ResultCacheMiss;
            }
        }
        release();
        return ResultSuccess;
    }

    if (!output->memoryData)
        output->memoryData = std::make_shared<Bytes>();
    if (cached && !cached->empty()) {
        output->memoryData->insert(output->memoryData->end(), cached->begin(), cached->end());
    } else if (!attached.empty()) {
        const auto content = FileSystem::readFile(attached);
        if (!content) {
            historyBuffer_.removeCmdCacheAndAttachedFiles(entry);
            return ResultCacheMiss;
        }
        output->memoryData->insert(output->memoryData->end(), content->begin(), content->end());
    }
    release();
    return ResultSuccess;
}

void CloudService::cacheFreshDownload(CloudServiceCommand& command, bool toFile, const HistoryBuffer::Entry& entry)
{
    const std::string remote = command.inputParameter->remoteFileName;
    const std::string local = command.inputParameter->localFileName;
    const std::uint64_t newSize = toFile
        ? FileSystem::fileSize(local).value_or(0)
        : (command.outputParameter->memoryData ? command.outputParameter->memoryData->size() : 0);

    std::string oldArchive;
    std::string oldAttached;
    {
        std::lock_guard lock(historyBuffer_.monitor());
        historyBuffer_.clearBufferSize(newSize, entry);
        if (entry) {
            oldArchive = entry->fileName;
            oldAttached = entry->attachFileName;
        }
    }
    // What the renewed entry pointed at is replaced below; left behind it would only fill the disk.
    const auto dropOldFiles = [&](const std::string& keepArchive, const std::string& keepAttached) {
        if (!oldArchive.empty() && oldArchive != keepArchive)
            HistoryBuffer::deleteOwnedFile(oldArchive);
        if (!oldAttached.empty() && oldAttached != keepAttached)
            HistoryBuffer::deleteOwnedFile(oldAttached);
    };

    const auto archive = command.write2File(false);
    if (!archive) {
        Log::line("CloudService: cannot archive a download for the cache");
        dropOldFiles({}, {});
        return;
    }
    const std::uint64_t archiveSize = FileSystem::fileSize(*archive).value_or(0);

    std::string cachePath;
    std::uint64_t cachedSize = 0;
    if (toFile) {
        cachePath = CmdCache::cacheFilePathFor(remote, local);
        if (!moveFile(local, cachePath)) {
            Log::line("CloudService: cannot move a download into the cache folder");
            HistoryBuffer::deleteOwnedFile(*archive);
            dropOldFiles({}, {});
            return;
        }
        command.outputParameter->cmdOption[kOptionLocalFileMoved] = cachePath;
        cachedSize = FileSystem::fileSize(cachePath).value_or(0);
    }

    const HistoryBuffer::Entry target = entry ? entry : std::make_shared<CmdCache>();
    const Date date = accessTime(command);
    {
        std::lock_guard lock(historyBuffer_.monitor());
        target->url = remote;
        target->date = date;
        target->size = cachedSize + archiveSize;
        target->fileName = *archive;
        target->attachFileName = cachePath;
        historyBuffer_.addCmdCache(target);
    }
    dropOldFiles(*archive, cachePath);
}

} // namespace norvane
