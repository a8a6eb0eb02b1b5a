#include "server/handlers/HandlerSupport.h"

#include "formats/HttpDate.h"
#include "platform/AsciiText.h"

#include <chrono>
#include <ctime>

namespace norvane::server {

EntryMeta entryMetaOf(const Exchange& exchange)
{
    EntryMeta meta;
    auto text = [&](std::string_view name, bool encoded) -> std::optional<std::string> {
        if (!exchange.hasHeader(name))
            return std::nullopt;
        return encoded ? exchange.decodedHeader(name) : exchange.header(name);
    };
    meta.creationDate = text("x-zel-creationdate", false);
    if (auto modified = text("x-zel-modifydate", false)) {
        if (auto date = dateFromRFC1123(*modified))
            meta.modifiedAt = std::chrono::duration_cast<std::chrono::seconds>(date->time_since_epoch()).count();
    }
    if (auto permission = text("x-zel-editpermission", false)) {
        if (*permission == "0" || *permission == "1")
            meta.editPermission = *permission == "1" ? 1 : 0;
    }
    meta.deviceId = exchange.deviceId();
    return meta;
}

StoreResult<KeyedEntry> entryOfKey(Exchange& exchange, std::string_view keyText)
{
    auto readings = readEntryKey(keyText);
    if (readings.empty())
        return storeFailure(StoreError::Invalid, "not an entry key");
    for (const auto& reading : readings) {
        const AreaRef area = exchange.areaOf(reading.area);
        auto entry = exchange.store.lookup(area, reading.path);
        if (entry)
            return KeyedEntry { area, reading.path, std::move(entry.value()) };
        if (entry.failure().error != StoreError::NotFound)
            return entry.failure();
    }
    return storeFailure(StoreError::NotFound, "no such entry");
}

bool answerNotModified(Exchange& exchange, const Entry& entry)
{
    if (!exchange.hasHeader("If-Modified-Since"))
        return false;
    auto since = dateFromRFC1123(exchange.header("If-Modified-Since"));
    if (!since)
        return false;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since->time_since_epoch()).count();
    if (seconds < entry.modifiedAt)
        return false;
    exchange.res.set_header("Last-Modified", httpDate(entry.modifiedAt));
    exchange.status(304);
    return true;
}

bool refuseWhileCopying(Exchange& exchange, const Entry& entry, bool change)
{
    auto state = exchange.store.copyStateOf(entry);
    if (!state || (!change && *state != StoreError::CopyDest))
        return false;
    exchange.storeFailure(storeFailure(*state,
        *state == StoreError::CopyDest ? "The entry is the destination of a copy in progress"
                                       : "The entry is the source of a copy in progress"));
    return true;
}

void readFailure(Exchange& exchange, const std::vector<std::string>& path, const StoreFailure& failure)
{
    if (failure.error == StoreError::NotFound && !path.empty()) {
        std::vector<std::string> ancestor(path.begin(), path.end() - 1);
        while (true) {
            if (auto entry = exchange.store.lookup(exchange.area(), ancestor)) {
                if (refuseWhileCopying(exchange, entry.value(), false))
                    return;
                break;
            }
            if (ancestor.empty())
                break;
            ancestor.pop_back();
        }
    }
    exchange.storeFailure(failure);
}

std::string contentTypeOf(std::string_view name)
{
    struct Type {
        std::string_view extension;
        std::string_view type;
    };
    static constexpr Type kTypes[] = {
        { "jpg", "image/jpeg" },
        { "jpeg", "image/jpeg" },
        { "png", "image/png" },
        { "gif", "image/gif" },
        { "bmp", "image/bmp" },
        { "pdf", "application/pdf" },
        { "txt", "text/plain; charset=utf-8" },
        { "csv", "text/csv" },
        { "xml", "application/xml" },
        { "html", "text/html" },
        { "m4a", "audio/mp4" },
        { "mp3", "audio/mpeg" },
        { "wav", "audio/wav" },
        { "mp4", "video/mp4" },
        { "mov", "video/quicktime" },
        { "zip", "application/zip" },
    };
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return "application/octet-stream";
    const std::string extension = ascii::lowered(name.substr(dot + 1));
    for (const auto& type : kTypes) {
        if (type.extension == extension)
            return std::string(type.type);
    }
    return "application/octet-stream";
}

std::string localDateText(std::int64_t unixSeconds, bool withTime)
{
    const auto time = static_cast<std::time_t>(unixSeconds);
    std::tm parts {};
    if (!localtime_r(&time, &parts))
        return {};
    char text[64] = {};
    const std::size_t length = withTime ? std::strftime(text, sizeof text, "%Y/%m/%d %H:%M", &parts)
                                        : std::strftime(text, sizeof text, "%Y/%m/%d", &parts);
    return std::string(text, length);
}

std::int64_t unixSecondsNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace norvane::server
