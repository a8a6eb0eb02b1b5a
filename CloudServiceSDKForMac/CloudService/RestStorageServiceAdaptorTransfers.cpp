#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"

#include "formats/HttpDate.h"
#include "platform/AsciiText.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <mutex>
#include <thread>

namespace norvane {

namespace {

constexpr std::int32_t kInitialBackoffSeconds = 3;
constexpr std::int32_t kMaxBackoffSeconds = 1920;
// The status query reads no more than this of the server's answer.
constexpr std::uint64_t kPutStatusAnswerLength = 10240;

std::atomic<std::int32_t> backoffDelay { kInitialBackoffSeconds };

std::mutex sleeperMutex;
RestStorageServiceAdaptor::BackoffSleeper customSleeper;

// Sleeps in short steps so that stopping the upload does not have to wait out a half-hour delay;
// the stopped command's next request then gives up.
void defaultSleep(std::chrono::seconds delay)
{
    const auto end = std::chrono::steady_clock::now() + delay;
    while (!transfersMustStop()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(250)));
    }
}

void backoffSleep(std::chrono::seconds delay)
{
    RestStorageServiceAdaptor::BackoffSleeper sleeper;
    {
        std::lock_guard lock(sleeperMutex);
        sleeper = customSleeper;
    }
    if (sleeper)
        sleeper(delay);
    else
        defaultSleep(delay);
}

// The delay after an upload answer: doubled (12 becomes 60), capped, and back at the start for
// anything but a 416.
std::int32_t advanceBackoff(int status)
{
    if (status != 416) {
        backoffDelay.store(kInitialBackoffSeconds);
        return kInitialBackoffSeconds;
    }
    std::int32_t current = backoffDelay.load();
    std::int32_t next = 0;
    do {
        next = current >= kMaxBackoffSeconds / 2 ? kMaxBackoffSeconds : current * 2;
        if (next == 12)
            next = 60;
        next = std::clamp(next, kInitialBackoffSeconds, kMaxBackoffSeconds);
    } while (!backoffDelay.compare_exchange_weak(current, next));
    return next;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view needle)
{
    return text.find(needle) != std::string_view::npos;
}

bool isDocumentPath(std::string_view path)
{
    return startsWith(path, "/PDF/") || startsWith(path, "/SHAREPDF/");
}

// One page of a document as an image: the whole picture comes in one response, never in ranges.
bool isPageImagePath(std::string_view path)
{
    return isDocumentPath(path) && contains(path, "?pageno=");
}

// The page information of a document, uploaded beside it.
bool isPageInfoUploadPath(std::string_view path)
{
    return isDocumentPath(path) && contains(path, "pdf?srcid=");
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

bool optionIsOne(const ValueMap& option, std::string_view key)
{
    return RestStorageServiceAdaptor::optionHeaderText(option, key) == "1";
}

// A whole decimal number without sign, blanks allowed around it; none for anything else and for
// values that do not fit.
std::optional<std::uint64_t> plainNumber(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return std::nullopt;
    text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    std::uint64_t value = 0;
    for (char c : text) {
        if (!ascii::isDigit(c))
            return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool timedOut(const ErrorValue& error)
{
    static constexpr std::string_view kTimedOut = "The request timed out";
    if (error.description == kTimedOut)
        return true;
    return std::any_of(error.userInfo.begin(), error.userInfo.end(), [](const auto& entry) {
        const std::string* text = entry.second.string();
        return text && *text == kTimedOut;
    });
}

// "Content-Range: bytes first-last/size" of an answer; first and last are absent in the
// "bytes */size" of a 416, size in "bytes first-last/*".
struct ContentRange {
    std::optional<std::uint64_t> first;
    std::optional<std::uint64_t> last;
    std::optional<std::uint64_t> size;
    friend bool operator==(const ContentRange&, const ContentRange&) = default;
};

std::optional<ContentRange> rangeOfAnswer(const ASIHTTPRequest& request)
{
    auto header = request.responseHeader("Content-Range");
    if (!header)
        return std::nullopt;
    std::string_view text(*header);
    if (!text.starts_with("bytes "))
        return std::nullopt;
    text.remove_prefix(6);
    const auto slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    ContentRange range;
    const std::string_view span = text.substr(0, slash);
    const std::string_view size = text.substr(slash + 1);
    if (size != "*") {
        range.size = plainNumber(size);
        if (!range.size)
            return std::nullopt;
    }
    if (span != "*") {
        const auto dash = span.find('-');
        if (dash == std::string_view::npos)
            return std::nullopt;
        range.first = plainNumber(span.substr(0, dash));
        range.last = plainNumber(span.substr(dash + 1));
        if (!range.first || !range.last || *range.last < *range.first)
            return std::nullopt;
    }
    return range;
}

// A plain file (no query: not a thumbnail, page image or search) whose size on the server is
// known must have the size it was listed with; another size means another file than the one the
// user chose, and its bytes would not make the file the listing promised.
bool matchesListedSize(std::string_view path, std::uint64_t listedSize, std::optional<std::uint64_t> serverSize)
{
    return listedSize == 0 || !serverSize || path.find('?') != std::string_view::npos || *serverSize == listedSize;
}

std::int32_t refuseListedSizeMismatch(StorageServiceAdaptor& adaptor, std::uint64_t listedSize)
{
    Log::line("Download refused: the file on the server is not " + std::to_string(listedSize) + " bytes");
    adaptor.setStorageDetailErr(ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorBadTransferAnswer,
        "The file on the server is not the size it was listed with", {} });
    return ResultFailed;
}

std::string bodyText(const ASIHTTPRequest& request)
{
    auto data = request.responseData();
    return data ? std::string(data->begin(), data->end()) : std::string();
}

// The start of a body that went to a file: refusals are short, and only their code is looked for.
std::string fileBodyText(const std::string& path)
{
    static constexpr std::size_t kRefusalBodyLimit = 64 * 1024;
    std::string text(kRefusalBodyLimit, '\0');
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const std::size_t read = file ? std::fread(text.data(), 1, text.size(), file) : 0;
    if (file)
        std::fclose(file);
    text.resize(read);
    return text;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Download

std::int32_t RestStorageServiceAdaptor::getChunk(const std::string& path, const std::string& applicationType,
    std::uint64_t startPosition, std::uint64_t dataLength, ASIProgressDelegate* progressDelegate,
    std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize, const ValueMap& option,
    const std::optional<Date>& lastGetDate, ChunkReply& reply, const std::string& bodyFile, ChunkSink* sink)
{
    reply = {};
    const bool pageImage = isPageImagePath(path);
    if (!pageImage
        && (dataLength == 0 || startPosition > std::numeric_limits<std::uint64_t>::max() - (dataLength - 1))) {
        Log::line("Download of " + std::to_string(dataLength) + " bytes at " + std::to_string(startPosition)
            + " not sent: no such range");
        return ResultFailed;
    }

    // Files of the shared-folder tree are served under their own root.
    auto request = makeStorageRequest(replaceAll(path, "FILE/SHAREFOLDER", "SHAREFILE"), "GET");
    if (!request)
        return ResultFailed;
    if (auto timestamp = optionHeaderText(option, kOptionTimestamp))
        request->addRequestHeader("x-zel-timestamp", *timestamp);
    if (auto requestType = optionHeaderText(option, "x-zel-request-type"))
        request->addRequestHeader("x-zel-request-type", *requestType);
    makeHeader(*request, applicationType);
    if (!pageImage) {
        request->addRequestHeader(
            "range", "bytes=" + std::to_string(startPosition) + "-" + std::to_string(startPosition + dataLength - 1));
    }
    request->setDownloadProgressDelegate(progressDelegate);
    if (!bodyFile.empty())
        request->setDownloadDestinationPath(bodyFile);
    request->setOffset(totalFinishedSize);
    request->setTotalSize(targetTotalSize);
    if (lastGetDate) {
        // The first page of a document may be asked for afresh whatever the cache holds.
        const bool firstPage = isDocumentPath(path) && path.ends_with("pageno=1");
        if (!(firstPage && optionIsOne(option, "isNotUseCacheForPDFFirst")))
            request->addRequestHeader("If-Modified-Since", rfc1123String(*lastGetDate));
    }
    if (startsWith(path, "/SEARCH") || startsWith(path, "/SHARESEARCH"))
        request->addRequestHeader("x-zel-css-version", "4.0.0");

    // Bytes handed to the sink are taken back unless the answer passes every check below.
    struct Undo {
        ChunkSink* sink = nullptr;
        bool used = false;
        bool kept = false;
        ~Undo()
        {
            if (sink && used && !kept)
                sink->rollback();
        }
    } undo { sink };
    if (sink) {
        std::uint64_t sunk = 0;
        request->setBodySink(
            [startPosition, pageImage](const ASIHTTPRequest& answer) {
                if (pageImage || answer.responseStatusCode() != 206 || answer.isResponseCompressed())
                    return false;
                const auto range = rangeOfAnswer(answer);
                return range && range->first == startPosition;
            },
            [sink, &undo, sunk, dataLength](std::span<const std::uint8_t> bytes) mutable {
                if (bytes.size() > dataLength - sunk)
                    return false; // more than the range asked for
                sunk += bytes.size();
                undo.used = true;
                return sink->write(bytes);
            });
    }
    std::int32_t mapped = runRequest(*request, kLongWaitSlice);
    if (sink)
        request->setBodySink({}, {});
    const int status = request->responseStatusCode();
    const auto& error = request->error();
    // A body that went to a file is not in the request: where its text decides (the code of a
    // refusal), it is read back from there.
    const bool refusal = status == 400 || status == 401 || status == 403;
    if (!bodyFile.empty() && refusal && !error)
        mapped = checkResponseStatusCode(status, std::optional<std::string>(fileBodyText(bodyFile)));
    if (mapped != ResultNone)
        return mapped;

    if (status == 409) {
        auto code = errorCodeOfBody(bodyFile.empty() ? bodyText(*request) : fileBodyText(bodyFile));
        if (code == "FileStatusError_isCopySource")
            return ResultIsCopySource;
        if (code == "FileStatusError_isCopyDest")
            return ResultIsCopyDest;
        return ResultConflict;
    }
    if (status == 0 || error)
        return error && timedOut(*error) ? ResultTimedOut : ResultFailed;

    const bool ranged = !pageImage;
    if (ranged && status == 416 && startPosition > 0
        && rangeOfAnswer(*request) == ContentRange { std::nullopt, std::nullopt, startPosition }) {
        // Nothing lies at or after the start: the resource ended exactly at a chunk boundary. Its
        // error body is no part of the resource.
        reply.pastEnd = true;
    } else if (status == 206 && ranged) {
        // Bytes are only taken when they are the ones asked for: a range that starts elsewhere,
        // or a body that is not as long as its range (as it came over the wire, into memory or
        // into the body file), would shift or cut the file.
        const auto range = rangeOfAnswer(*request);
        const std::uint64_t askedLast = startPosition + dataLength - 1;
        if (!range || range->first != startPosition || !range->last || *range->last < startPosition
            || *range->last > askedLast || request->totalBytesRead() != *range->last - startPosition + 1
            || (range->size && *range->last + 1 < std::min(*range->size, askedLast + 1))) {
            Log::line("Download at " + std::to_string(startPosition) + " answered with another range");
            setStorageDetailErr(ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorBadTransferAnswer,
                "The server sent another part of the file than the one asked for", {} });
            return ResultFailed;
        }
        reply.intoSink = undo.used;
        if (reply.intoSink) {
            reply.sunkBytes = request->totalBytesRead();
        } else {
            if (auto data = request->responseData())
                reply.body = std::move(*data);
        }
        if (!matchesListedSize(path, targetTotalSize, range->size))
            return refuseListedSizeMismatch(*this, targetTotalSize);
    } else if (status == 200) {
        if (auto data = request->responseData())
            reply.body = std::move(*data);
        reply.wholeResource = ranged;
        if (ranged && !matchesListedSize(path, targetTotalSize, reply.body.size()))
            return refuseListedSizeMismatch(*this, targetTotalSize);
    } else {
        // Success is what a download answer means, nothing else: an error page is no file.
        setStorageDetailErr(statusError(*request));
        return ResultFailed;
    }
    postNotification(request->responseHeaders());
    undo.kept = true;
    return ResultSuccess;
}

namespace {

// The asked-for part of a chunk's body: a server that ignores ranges sends everything each time,
// and only the asked-for part may be kept, or every chunk would repeat the file from its start.
std::span<const std::uint8_t> askedPart(
    const RestStorageServiceAdaptor::ChunkReply& reply, std::uint64_t startPosition, std::uint64_t dataLength)
{
    if (!reply.wholeResource)
        return reply.body;
    const std::uint64_t size = reply.body.size();
    const std::uint64_t from = std::min(startPosition, size);
    return std::span(reply.body)
        .subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(std::min(dataLength, size - from)));
}

} // namespace

std::int32_t RestStorageServiceAdaptor::getInto(const std::string& path, ChunkSink& sink, std::uint64_t& received,
    const std::string& applicationType, std::uint64_t startPosition, std::uint64_t dataLength,
    ASIProgressDelegate* progressDelegate, std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize,
    const ValueMap& option, const std::optional<Date>& lastGetDate)
{
    received = 0;
    ChunkReply reply;
    std::int32_t result = getChunk(path, applicationType, startPosition, dataLength, progressDelegate, targetTotalSize,
        totalFinishedSize, option, lastGetDate, reply, {}, &sink);
    if (result != ResultSuccess)
        return result;
    if (reply.intoSink) {
        received = reply.sunkBytes;
        return ResultSuccess;
    }
    const auto part = askedPart(reply, startPosition, dataLength);
    if (!part.empty() && !sink.write(part)) {
        sink.rollback();
        return ResultFailed;
    }
    received = part.size();
    return ResultSuccess;
}

std::int32_t RestStorageServiceAdaptor::get(const std::string& path, Bytes& dataMemory,
    const std::string& applicationType, std::uint64_t startPosition, std::uint64_t dataLength,
    ASIProgressDelegate* progressDelegate, std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize,
    const ValueMap& option, const std::optional<Date>& lastGetDate)
{
    ChunkReply reply;
    std::int32_t result = getChunk(path, applicationType, startPosition, dataLength, progressDelegate, targetTotalSize,
        totalFinishedSize, option, lastGetDate, reply);
    if (result != ResultSuccess)
        return result;
    if (dataMemory.empty() && !reply.wholeResource) {
        dataMemory = std::move(reply.body);
        return ResultSuccess;
    }
    const auto part = askedPart(reply, startPosition, dataLength);
    dataMemory.insert(dataMemory.end(), part.begin(), part.end());
    return ResultSuccess;
}

// ---------------------------------------------------------------------------------------------
// Upload status

std::int32_t RestStorageServiceAdaptor::getCurrentPutStatus(const std::string& path, std::uint64_t fileTotalLength,
    const std::string& fileMD5Info, const std::string& applicationType, std::int32_t, std::uint64_t& uploadedDataSize)
{
    if (applicationType != "file") {
        uploadedDataSize = 0;
        return ResultSuccess;
    }
    Bytes answer;
    std::int32_t result = get(
        path + "?md5=" + fileMD5Info, answer, "folder", 0, kPutStatusAnswerLength, nullptr, 0, 0, {}, std::nullopt);
    if (result != ResultSuccess)
        return result;

    const std::string text(answer.begin(), answer.end());
    auto offsetText = beginEnd2Str(text, "<offset>", "</offset>");
    if (!offsetText || offsetText->empty()) {
        uploadedDataSize = 0;
        return ResultSuccess;
    }
    // Resuming at an offset that is not a byte of this file would send a corrupt upload.
    auto offset = plainNumber(*offsetText);
    if (!offset || *offset > fileTotalLength) {
        Log::line("Upload status of " + std::to_string(fileTotalLength) + " bytes names an unusable offset");
        return ResultFailed;
    }
    uploadedDataSize = *offset;
    return ResultSuccess;
}

// ---------------------------------------------------------------------------------------------
// Upload

std::int32_t RestStorageServiceAdaptor::put(const std::string& path, std::uint64_t& uploadedDataLength,
    std::uint64_t fileTotalLength, const std::string& fileMD5Info, std::span<const std::uint8_t> dataMemory,
    const std::string& applicationType, std::int32_t postOrPut, ASIProgressDelegate* progressDelegate,
    const ValueMap& option)
{
    const bool pageInfo = isPageInfoUploadPath(path);
    auto url = storageUrl(path);
    if (!url)
        return refuseKey("the key of an upload");
    if (applicationType == "file" && !pageInfo)
        *url += "?md5=" + fileMD5Info + "&size=" + std::to_string(fileTotalLength);

    const bool post = postOrPut == 1 || pageInfo;
    auto request = makeRequest(*url, post ? "POST" : "PUT");
    request->setOffset(uploadedDataLength);
    request->setTotalSize(fileTotalLength);
    if (post)
        request->addRequestHeader("x-zel-uptype", pageInfo ? (config_.isForceUploadPDFInfo ? "0" : "1") : "2");
    if (fileTotalLength > 0 && !dataMemory.empty()) {
        request->addRequestHeader("x-zel-file-write-range",
            std::to_string(uploadedDataLength) + "-" + std::to_string(uploadedDataLength + dataMemory.size() - 1));
    }

    // Entry attributes and lock requests travel as options of the upload.
    struct OptionHeader {
        const char* option;
        const char* header;
        bool escaped;
    };
    static constexpr OptionHeader kOptionHeaders[] = {
        { "ownername", "x-zel-ownername", true },
        { "creationdate", "x-zel-creationdate", false },
        { "owner", "x-zel-owner", false },
        { "author", "x-zel-author", false },
        { "authorname", "x-zel-authorname", true },
        { "timestamp", "x-zel-timestamp", false },
        { "uptype", "x-zel-uptype", false },
        { "x-zel-lock-userid", "x-zel-lock-userid", false },
        { "x-zel-lock-username", "x-zel-lock-username", true },
        { "x-zel-lock-flg", "x-zel-lock-flg", false },
    };
    for (const auto& entry : kOptionHeaders) {
        if (auto value = optionHeaderText(option, entry.option))
            request->addRequestHeader(entry.header, entry.escaped ? percentEscapeForHeader(*value) : *value);
    }
    request->addRequestHeader("x-zel-modifydate",
        optionHeaderText(option, "modifydate").value_or(rfc1123String(std::chrono::system_clock::now())));
    auto permission = option.find("editpermission");
    if (permission == option.end() || !permission->second.isString())
        request->addRequestHeader("x-zel-editpermission", "0");
    else if (*permission->second.string() == "0" || *permission->second.string() == "1")
        request->addRequestHeader("x-zel-editpermission", *permission->second.string());
    makeHeader(*request, applicationType);
    request->appendPostData(dataMemory);
    request->setUploadProgressDelegate(progressDelegate);

    // An upload from the main thread, and the offline log, run to their end whatever the user stops.
    RequestCycleOptions cycle;
    cycle.honourStopFlag = !MainQueue::shared()->isMainThread() && !optionIsOne(option, "isUploadOfflineLog");
    std::int32_t mapped = runRequest(*request, kShortWaitSlice, cycle);
    if (mapped != ResultNone)
        return mapped;

    const int status = request->responseStatusCode();
    const std::int32_t delay = advanceBackoff(status);
    // Only a 2xx says the chunk was stored; anything else (a 429, a redirect that was not
    // followed, ...) leaves it unsent.
    if (answeredWith2xx(*request)) {
        postNotification(request->responseHeaders());
        return ResultSuccess;
    }
    if (status == 416) {
        // The server holds a different part of the file than this chunk assumed. An offset that is
        // missing, not a number or beyond the file would make the next chunk start at a byte the
        // file does not have.
        auto header = request->responseHeader("X-Zel-Offset-In-Database");
        auto offset = header ? plainNumber(*header) : std::nullopt;
        if (!offset || *offset > fileTotalLength) {
            Log::line(
                "Upload answered 416 without a usable offset within " + std::to_string(fileTotalLength) + " bytes");
            return ResultFailed;
        }
        uploadedDataLength = *offset;
        backoffSleep(std::chrono::seconds(delay));
        return ResultResumeAtOffset;
    }
    if (status == 409) {
        std::string body = bodyText(*request);
        if (contains(body, "</LockFileResult>")) {
            setErrResponseString(std::move(body));
            return ResultWriteConflict;
        }
        auto code = errorCodeOfBody(body);
        if (code == "ResourceChanged")
            return ResultResourceChanged;
        if (code == "FileStatusError_isCopySource")
            return ResultIsCopySource;
        if (code == "FileStatusError_isCopyDest")
            return ResultIsCopyDest;
        return ResultWriteConflict;
    }
    if (status == 406)
        return ResultNotAcceptable;
    if (status != 0 && !request->error())
        setStorageDetailErr(statusError(*request));
    return ResultFailed;
}

// ---------------------------------------------------------------------------------------------
// Option headers and back-off

std::optional<std::string> RestStorageServiceAdaptor::optionHeaderText(const ValueMap& option, std::string_view key)
{
    auto it = option.find(key);
    if (it == option.end())
        return std::nullopt;
    const Value& value = it->second;
    if (const std::string* text = value.string())
        return *text;
    if (value.isInteger() || value.isBool())
        return std::to_string(value.toInt64());
    return std::nullopt;
}

std::int32_t RestStorageServiceAdaptor::uploadBackoffDelay()
{
    return backoffDelay.load();
}

void RestStorageServiceAdaptor::resetUploadBackoffDelay()
{
    backoffDelay.store(kInitialBackoffSeconds);
}

void RestStorageServiceAdaptor::setBackoffSleeper(BackoffSleeper sleeper)
{
    std::lock_guard lock(sleeperMutex);
    customSleeper = std::move(sleeper);
}

} // namespace norvane
