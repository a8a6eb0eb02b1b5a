#include "server/handlers/PublishingHandlers.h"

#include "formats/HttpDate.h"
#include "platform/AsciiText.h"
#include "server/handlers/HandlerSupport.h"
#include "server/http/ByteRange.h"
#include "server/http/RandomText.h"
#include "server/http/ResponseText.h"

#include <algorithm>
#include <chrono>

namespace norvane::server {

namespace {

constexpr std::int64_t kDefaultValidDays = 7;
constexpr std::int64_t kMostValidDays = 365;
constexpr std::size_t kMaxFormBody = 4096;
constexpr std::int64_t kMegabyte = 1024 * 1024;
constexpr std::string_view kLinkDisabled
    = "This download link has been disabled after too many wrong passwords. Ask for a new one.";
// A policy value of the company by its header name, in any case.
std::optional<std::int64_t> policyNumber(const Company& company, std::string_view name)
{
    for (const auto& [header, value] : company.policyHeaders) {
        if (ascii::equalsIgnoringCase(header, name))
            return parseDecimal(ascii::trimBlanks(value));
    }
    return std::nullopt;
}

std::optional<std::int64_t> headerNumber(const Exchange& exchange, std::string_view name)
{
    if (!exchange.hasHeader(name))
        return std::nullopt;
    return parseDecimal(ascii::trimBlanks(exchange.header(name)));
}

// Content-Disposition for a name: a plain ASCII fallback and the UTF-8 name percent-encoded.
std::string attachmentOf(std::string_view name)
{
    std::string plain;
    std::string encoded;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool safe = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')
            || std::string_view("-._~").find(c) != std::string_view::npos;
        plain += u >= 0x20 && u < 0x7f && c != '"' && c != '\\' ? c : '_';
        if (safe) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[u >> 4];
            encoded += kHex[u & 0x0f];
        }
    }
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

std::string page(std::string_view title, std::string_view body)
{
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";
    html += xmlText(title);
    html += "</title><style>body{font-family:sans-serif;margin:3em auto;max-width:36em;color:#222}"
            "h1{font-size:1.3em}input,button{font-size:1em;padding:.3em .6em}</style></head><body>\n";
    html += body;
    html += "\n</body></html>\n";
    return html;
}

void sendPage(Exchange& exchange, int status, std::string_view title, std::string_view body)
{
    exchange.sendBody(page(title, body), "text/html; charset=utf-8", false);
    exchange.res.status = status;
}

void goneOrMissingPage(Exchange& exchange, int status, std::string_view message)
{
    sendPage(exchange, status, "Download link", "<h1>" + xmlText(message) + "</h1>");
}

void passwordPage(Exchange& exchange, int status, const std::string& fileName, bool needsPassword, bool wrong)
{
    std::string body = "<h1>" + xmlText(fileName) + "</h1>\n";
    if (wrong)
        body += "<p><strong>The password is wrong.</strong></p>\n";
    body += "<form method=\"post\">\n";
    if (needsPassword)
        body += "<p><label>Password <input type=\"password\" name=\"password\" autocomplete=\"off\"></label></p>\n";
    else
        body += "<input type=\"hidden\" name=\"password\" value=\"\">\n";
    body += "<p><button type=\"submit\">Download</button></p>\n</form>";
    sendPage(exchange, status, fileName, body);
}

// The "password" field of an urlencoded form.
std::optional<std::string> formPassword(const std::string& body)
{
    std::size_t start = 0;
    while (start <= body.size()) {
        auto end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string_view pair = std::string_view(body).substr(start, end - start);
        const auto equals = pair.find('=');
        if (pair.substr(0, equals) == "password") {
            std::string value(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
            std::replace(value.begin(), value.end(), '+', ' ');
            return percentDecode(value);
        }
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace

void handleMakeUrl(Exchange& exchange)
{
    const Company& company = *exchange.company;
    auto disabled = policyNumber(company, "x-zel-disableWebDownload");
    if (disabled && *disabled != 0)
        return exchange.error(403, "AccessDenied", "Web download is turned off for this company");
    auto file = entryOfKey(exchange, exchange.header("x-zel-makeurl-file"));
    if (!file)
        return exchange.storeFailure(file.failure());
    if (file->entry.isFolder)
        return exchange.invalidArgument("Only a file can be published");
    if (refuseWhileCopying(exchange, file->entry, false))
        return;
    // The policy's limit is in MB, as the client shows it.
    if (auto maxMegabytes = policyNumber(company, "x-zel-file-web-publish-max-file-size"); maxMegabytes
        && *maxMegabytes > 0 && file->entry.size / kMegabyte >= *maxMegabytes
        && file->entry.size > *maxMegabytes * kMegabyte)
        return exchange.error(403, "AccessDenied", "The file is larger than web publishing allows");

    const std::int64_t mostDays = std::clamp<std::int64_t>(
        policyNumber(company, "x-zel-file-web-publish-max-day").value_or(kMostValidDays), 1, kMostValidDays);
    std::int64_t days
        = headerNumber(exchange, "x-zel-makeurl-valid-day")
              .value_or(policyNumber(company, "x-zel-file-web-publish-init-day").value_or(kDefaultValidDays));
    days = std::clamp<std::int64_t>(days, 1, mostDays);
    const auto mostCount = policyNumber(company, "x-zel-file-web-publish-max-count");
    std::int64_t limit = headerNumber(exchange, "x-zel-makeurl-download-limit")
                             .value_or(policyNumber(company, "x-zel-file-web-publish-init-count").value_or(0));
    if (mostCount && *mostCount > 0)
        limit = std::clamp<std::int64_t>(limit, 1, *mostCount);
    const std::string needPassword = exchange.header("x-zel-makeurl-needpass");
    const bool withPassword = needPassword == "1" || ascii::equalsIgnoringCase(needPassword, "true");

    auto link
        = exchange.store.createShareLink(*exchange.user, file->entry, static_cast<int>(days), limit, withPassword);
    if (!link)
        return exchange.storeFailure(link.failure());
    XmlWriter document;
    document
        .open("MakeUrlResult")
        // The client puts its own address of this server in front of the key and reads the end of
        // the validity as an HTTP date.
        .element("valid-day", rfc1123String(std::chrono::system_clock::from_time_t(link->validUntil)))
        .element("download-key", "/s/" + link->key)
        .element("download-password", link->password)
        .close("MakeUrlResult");
    exchange.xml(document.take());
}

void handlePublicLink(Exchange& exchange)
{
    auto& store = exchange.store;
    const std::string& key = exchange.target.path.front();
    auto link = store.shareLink(key);
    if (!link) {
        if (link.failure().error == StoreError::Io)
            return exchange.storeFailure(link.failure());
        return goneOrMissingPage(exchange, 404, "This download link does not exist.");
    }
    auto file = store.entryById(link->entryId);
    if (!file || file->isFolder)
        return goneOrMissingPage(exchange, 410, "The file of this link is no longer there.");
    const bool expired = link->validUntil < unixSecondsNow();
    const bool used = link->downloadLimit > 0 && link->downloadCount >= link->downloadLimit;
    if (expired || used)
        return goneOrMissingPage(exchange, 410, "This download link has expired.");
    if (link->disabled)
        return goneOrMissingPage(exchange, 410, kLinkDisabled);

    std::optional<std::string> given;
    if (exchange.req.method == "POST") {
        auto body = exchange.readSmallBody(kMaxFormBody);
        if (!body)
            return exchange.invalidArgument("The form is too large");
        given = formPassword(*body).value_or(std::string());
    } else if (const std::string* password = exchange.target.queryValue("password")) {
        given = *password;
    }
    const bool needsPassword = !link->password.empty();
    if (!given || exchange.req.method == "HEAD")
        return passwordPage(exchange, 200, file->name, needsPassword, false);
    if (needsPassword) {
        auto unlocked = store.unlockShareLink(key, *given);
        if (!unlocked) {
            switch (unlocked.failure().error) {
            case StoreError::Invalid:
                return passwordPage(exchange, 200, file->name, true, true);
            case StoreError::Forbidden:
                return goneOrMissingPage(exchange, 410, kLinkDisabled);
            case StoreError::NotFound:
                return goneOrMissingPage(exchange, 404, "This download link does not exist.");
            default:
                return exchange.storeFailure(unlocked.failure());
            }
        }
    }
    auto counted = store.countShareDownload(key);
    if (!counted) {
        if (counted.failure().error == StoreError::Io)
            return exchange.storeFailure(counted.failure());
        return goneOrMissingPage(exchange, 410, "This download link has expired.");
    }
    exchange.res.set_header("Content-Disposition", attachmentOf(file->name));
    exchange.res.set_header("Cache-Control", "no-store");
    if (file->size == 0)
        return exchange.sendBody(std::string(), "application/octet-stream", false);
    exchange.sendFile(
        store.blobPath(file->blobId), static_cast<std::uint64_t>(file->size), "application/octet-stream", false);
}

} // namespace norvane::server
