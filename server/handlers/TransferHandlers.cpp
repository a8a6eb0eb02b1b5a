#include "server/handlers/TransferHandlers.h"

#include "platform/AsciiText.h"
#include "platform/Log.h"
#include "server/handlers/HandlerSupport.h"
#include "server/handlers/ListingHandlers.h"
#include "server/http/ByteRange.h"
#include "server/http/RandomText.h"
#include "server/http/ResponseText.h"
#include "server/media/PdfPage.h"
#include "server/media/Thumbnail.h"

#include <cstring>
#include <fstream>
#include <system_error>

namespace norvane::server {

namespace {

bool isMd5Text(std::string_view text)
{
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) { return ascii::hexValue(c) >= 0; });
}

bool isPlainHex(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return ascii::hexValue(c) >= 0; });
}

std::string offsetDocument(std::int64_t offset)
{
    XmlWriter document;
    document.element("offset", offset);
    return document.take();
}

// "WxH" with both edges in 1..kMaxEdge.
std::optional<std::pair<int, int>> thumbnailBox(std::string_view text)
{
    const auto x = text.find_first_of("xX");
    if (x == std::string_view::npos)
        return std::nullopt;
    auto width = parseDecimal(text.substr(0, x));
    auto height = parseDecimal(text.substr(x + 1));
    if (!width || !height || *width < 1 || *height < 1 || *width > Thumbnail::kMaxEdge || *height > Thumbnail::kMaxEdge)
        return std::nullopt;
    return std::make_pair(static_cast<int>(*width), static_cast<int>(*height));
}

void mediaFailureAnswer(Exchange& exchange, const MediaFailure& failure, bool page)
{
    switch (failure.error) {
    case MediaError::NotAnImage:
    case MediaError::NotAPdf:
    case MediaError::Encrypted:
        return exchange.error(404, "NoSuchKey", "There is no picture of this file");
    case MediaError::BadSize:
        if (page)
            return exchange.error(404, "NoSuchKey", "The document has no such page");
        return exchange.invalidArgument("The picture size is out of range");
    case MediaError::TooLarge:
        return exchange.error(413, "EntityTooLarge", "The picture is too large to preview");
    case MediaError::Unreadable:
    case MediaError::RenderFailed:
    case MediaError::EncodeFailed:
        break;
    }
    Log::line("Preview failed: " + failure.detail);
    exchange.error(500, "InternalError", "The picture could not be made");
}

// A rendered picture is kept under DIR/cache by the blob it was made of (blobs never change), so
// that the next request streams it from disk.
std::filesystem::path cachePathOf(const Exchange& exchange, const Entry& file, const std::string& variant)
{
    if (!isPlainHex(file.blobId))
        return {};
    return exchange.store.dataDir() / "cache" / (file.blobId + "-" + variant + ".jpg");
}

void keepInCache(const std::filesystem::path& path, const std::string& bytes)
{
    if (path.empty())
        return;
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    const auto temporary = path.string() + ".tmp" + secureRandomHex(4);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            out.close();
            std::filesystem::remove(temporary, error);
            return;
        }
    }
    std::filesystem::rename(temporary, path, error);
    if (error)
        std::filesystem::remove(temporary, error);
}

// Serves the cached picture, or makes it with `render`, keeps it and serves it.
template <typename Render>
void sendPicture(Exchange& exchange, const Entry& file, const std::string& variant, bool page, Render render)
{
    exchange.res.set_header("Last-Modified", httpDate(file.modifiedAt));
    const auto cached = cachePathOf(exchange, file, variant);
    std::error_code error;
    if (!cached.empty() && std::filesystem::is_regular_file(cached, error)) {
        const auto size = std::filesystem::file_size(cached, error);
        if (!error)
            return exchange.sendFile(cached, size, "image/jpeg", true);
    }
    auto picture = render(exchange.store.blobPath(file.blobId));
    if (!picture)
        return mediaFailureAnswer(exchange, picture.failure(), page);
    keepInCache(cached, picture->bytes);
    exchange.sendBody(std::move(picture->bytes), "image/jpeg", true);
}

StoreResult<Entry> fileOfTarget(Exchange& exchange)
{
    auto entry = exchange.store.lookup(exchange.area(), exchange.target.path);
    if (!entry)
        return entry.failure();
    if (entry->isFolder)
        return storeFailure(StoreError::NotAFile, "The entry is a folder");
    return entry;
}

void handleThumbnail(Exchange& exchange)
{
    auto box = thumbnailBox(*exchange.target.queryValue("thumbnail"));
    if (!box)
        return exchange.invalidArgument("thumbnail=WxH with edges of 1 to 2048");
    auto file = fileOfTarget(exchange);
    if (!file)
        return readFailure(exchange, exchange.target.path, file.failure());
    if (refuseWhileCopying(exchange, file.value(), false) || answerNotModified(exchange, file.value()))
        return;
    if (file->size == 0)
        return exchange.error(404, "NoSuchKey", "There is no picture of this file");
    const auto [width, height] = *box;
    sendPicture(exchange, file.value(), "t" + std::to_string(width) + "x" + std::to_string(height), false,
        [&](const std::filesystem::path& blob) { return Thumbnail::fromFile(blob, width, height); });
}

void handleUploadStatus(Exchange& exchange)
{
    std::string md5 = ascii::lowered(*exchange.target.queryValue("md5"));
    if (!isMd5Text(md5))
        return exchange.invalidArgument("md5 must be 32 hexadecimal digits");
    const auto offset = exchange.store.uploadOffset(exchange.user->id, exchange.target.decodedPath, md5);
    exchange.sendBody(offsetDocument(offset), "application/xml", true);
}

// A file that is not there refuses a PUT with 410 when its folder is there, else with 404.
void missingUploadTarget(Exchange& exchange, const StoreFailure& failure)
{
    const auto& path = exchange.target.path;
    const std::vector<std::string> parentPath(path.begin(), path.end() - 1);
    auto parent = exchange.store.lookup(exchange.area(), parentPath);
    if (parent && parent->isFolder)
        return exchange.error(410, "NoSuchKey", "The file to write over is gone");
    exchange.storeFailure(failure, FailureUse::Upload);
}

} // namespace

void handleFileRead(Exchange& exchange)
{
    const auto& target = exchange.target;
    if (target.thumbnail)
        return handleThumbnail(exchange);
    if (target.queryValue("md5") && !target.queryValue("size"))
        return handleUploadStatus(exchange);
    auto entry = exchange.store.lookup(exchange.area(), target.path);
    if (!entry)
        return readFailure(exchange, target.path, entry.failure());
    if (entry->isFolder)
        return handleListing(exchange, entry.value());
    if (refuseWhileCopying(exchange, entry.value(), false) || answerNotModified(exchange, entry.value()))
        return;
    exchange.res.set_header("Last-Modified", httpDate(entry->modifiedAt));
    const std::string type = contentTypeOf(entry->name);
    if (entry->size == 0)
        return exchange.sendBody(std::string(), type, true);
    exchange.sendFile(exchange.store.blobPath(entry->blobId), static_cast<std::uint64_t>(entry->size), type, true);
}

void handlePdfPage(Exchange& exchange)
{
    const std::string* pageText = exchange.target.queryValue("pageno");
    auto page = pageText ? parseDecimal(*pageText) : std::nullopt;
    if (!page || *page < 1 || *page > 100000)
        return exchange.invalidArgument("pageno must be a page number");
    auto file = fileOfTarget(exchange);
    if (!file)
        return readFailure(exchange, exchange.target.path, file.failure());
    if (refuseWhileCopying(exchange, file.value(), false) || answerNotModified(exchange, file.value()))
        return;
    if (file->size == 0)
        return exchange.error(404, "NoSuchKey", "There is no picture of this file");
    const int number = static_cast<int>(*page);
    sendPicture(exchange, file.value(), "p" + std::to_string(number), true,
        [&](const std::filesystem::path& blob) { return PdfPage::render(blob, number); });
}

void handleUpload(Exchange& exchange)
{
    const auto& target = exchange.target;
    if (target.path.empty())
        return exchange.invalidArgument("An upload needs a file name");
    const std::string* md5Text = target.queryValue("md5");
    const std::string* sizeText = target.queryValue("size");
    if (!md5Text || !sizeText)
        return exchange.invalidArgument("An upload needs md5= and size=");
    const std::string md5 = ascii::lowered(*md5Text);
    if (!isMd5Text(md5))
        return exchange.invalidArgument("md5 must be 32 hexadecimal digits");
    auto size = parseDecimal(*sizeText);
    if (!size)
        return exchange.invalidArgument("size must be a whole number");

    WriteRange range;
    std::uint64_t expected = 0;
    if (*size > 0) {
        auto written = parseWriteRange(exchange.header("x-zel-file-write-range"));
        if (!written)
            return exchange.invalidArgument("x-zel-file-write-range must be a-b");
        if (written->last >= static_cast<std::uint64_t>(*size))
            return exchange.invalidArgument("The write range goes beyond the file");
        range = *written;
        expected = written->length();
    }
    const auto length = exchange.contentLength();
    if ((length && *length != expected) || (!exchange.hasBody() && expected > 0))
        return exchange.invalidArgument("The body does not match the write range");

    auto& store = exchange.store;
    const User& user = *exchange.user;
    const AreaRef area = exchange.area();
    const bool mustExist = exchange.req.method == "PUT";
    if (auto checked = store.checkUpload(user, area, target.path, *size, mustExist); !checked) {
        if (checked.failure().error == StoreError::NotFound && mustExist)
            return missingUploadTarget(exchange, checked.failure());
        return exchange.storeFailure(checked.failure(), FailureUse::Upload);
    }
    const std::int64_t offset = store.uploadOffset(user.id, target.decodedPath, md5);
    if (static_cast<std::uint64_t>(offset) != range.first) {
        StoreFailure failure = storeFailure(StoreError::OffsetMismatch, "The chunk does not continue the upload");
        failure.offset = offset;
        return exchange.storeFailure(failure, FailureUse::Upload);
    }

    // The body goes straight from the connection into the part file, on this thread.
    auto chunk = store.beginChunk(user, area, target.path, target.decodedPath, md5, *size,
        static_cast<std::int64_t>(range.first), entryMetaOf(exchange));
    if (!chunk)
        return exchange.storeFailure(chunk.failure(), FailureUse::Upload);
    // Exactly the announced bytes: a short or a long body is no chunk of this range.
    std::uint64_t received = 0;
    bool tooLong = false;
    const bool whole = exchange.readBody([&](const char* data, std::size_t n) {
        if (n > expected - received) {
            tooLong = true;
            return false;
        }
        received += n;
        return chunk.value()->write(data, n);
    });
    if (exchange.bodyWasCut())
        return; // a fault rule cut the request: no answer at all
    if (const auto refused = chunk.value()->failure())
        return exchange.storeFailure(*refused, FailureUse::Upload);
    // A chunk that did not arrive whole is not recorded: the session stays at its offset.
    if (!whole || received != expected)
        return exchange.invalidArgument("The chunk did not arrive whole");
    auto outcome = chunk.value()->finish();
    if (!outcome)
        return exchange.storeFailure(outcome.failure(), FailureUse::Upload);
    exchange.status(200);
}

void handleCreateFolder(Exchange& exchange)
{
    if (exchange.target.path.empty())
        return exchange.error(409, "FileExists", "The folder exists");
    if (exchange.hasBody())
        return exchange.invalidArgument("A folder is created with an empty body");
    auto folder
        = exchange.store.createFolder(*exchange.user, exchange.area(), exchange.target.path, entryMetaOf(exchange));
    if (!folder)
        return exchange.storeFailure(folder.failure());
    exchange.status(200);
}

void handleLock(Exchange& exchange)
{
    if (exchange.isRead())
        return exchange.sendBody(offsetDocument(0), "application/xml", true);
    if (exchange.target.path.empty())
        return exchange.invalidArgument("A lock needs a file");
    const std::string flag = exchange.header("x-zel-lock-flg");
    if (flag != "0" && flag != "1")
        return exchange.invalidArgument("x-zel-lock-flg must be 0 or 1");
    // "x-zel-lock-userid" and "x-zel-lock-username" name the holder as the client sees it; the
    // holder is the session's account whatever they say.
    auto locked = exchange.store.setLock(*exchange.user, exchange.area(), exchange.target.path, flag == "1");
    if (!locked)
        return exchange.storeFailure(locked.failure(), FailureUse::Lock);
    exchange.status(200);
}

} // namespace norvane::server
