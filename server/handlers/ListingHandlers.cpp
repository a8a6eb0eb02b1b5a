#include "server/handlers/ListingHandlers.h"

#include "server/handlers/HandlerSupport.h"
#include "server/http/ResponseText.h"

namespace norvane::server {

namespace {

std::string flag(bool value)
{
    return value ? "1" : "0";
}

std::string resourceNameOf(const Entry& entry)
{
    return entryKeyText(entry.area.area, entry.isFolder, entry.path);
}

// The rights and emptiness of each entry, for the user of the exchange.
StoreResult<std::vector<ListedEntry>> listed(Exchange& exchange, std::vector<Entry> entries)
{
    std::vector<ListedEntry> rows;
    rows.reserve(entries.size());
    for (auto& entry : entries) {
        ListedEntry row;
        row.rights = exchange.store.rightsOf(*exchange.user, entry);
        if (entry.area.area == Area::Personal)
            row.rights.isOwner = true; // everything in a personal area is its user's
        if (entry.isFolder) {
            auto empty = exchange.store.isEmptyFolder(entry);
            if (!empty)
                return empty.failure();
            row.isEmpty = empty.value();
        }
        row.entry = std::move(entry);
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace

std::string listingDocument(std::string_view folderName, const std::vector<ListedEntry>& children)
{
    XmlWriter xml;
    xml.open("ListBucketResult", "xmlns", kStorageNamespace).element("Name", folderName);
    for (const auto& row : children) {
        const Entry& entry = row.entry;
        xml.open("Contents")
            .element("Name", entry.name)
            .element("resourcename", resourceNameOf(entry))
            .element("folderid", entry.id)
            .element("fatherid", entry.parentId)
            .element("author", entry.author)
            .element("deviceid", entry.deviceId)
            .element("Type", entry.isFolder ? "folder" : "file")
            .element("Size", entry.size)
            .element("LastModified", httpDate(entry.modifiedAt))
            .element("isEmpty", flag(entry.isFolder && row.isEmpty))
            .element("isowner", flag(row.rights.isOwner))
            .element("editpermission", entry.editPermission)
            .element("timestamp", entry.timestamp)
            .element("fullpath", fullPathText(entry.path))
            .element("ownername", entry.ownerName)
            .element("creationdate", entry.creationDate)
            .element("owner", entry.owner)
            .element("authorname", entry.authorName)
            .element("offlineflg", "0")
            .element("expiretime", "0")
            .element("isReadOnly", flag(entry.readOnly))
            .element("lockUserId", entry.lockUserId)
            .element("lockUserName", entry.lockUserName)
            .element("lockStartTime", entry.lockStartTime)
            .element("actionType", entry.actionType)
            .element("actionFileType", entry.actionFileType)
            .element("actionProgress", entry.actionProgress)
            .element("actionSrc", entry.actionSrc)
            .element("actionDest", entry.actionDest)
            .element("isManager", flag(row.rights.isManager))
            .close("Contents");
    }
    xml.close("ListBucketResult");
    return xml.take();
}

std::string searchDocument(const std::vector<ListedEntry>& matches)
{
    std::string csv;
    for (const auto& row : matches) {
        const Entry& entry = row.entry;
        appendCsvRecord(csv,
            {
                std::to_string(entry.editPermission),
                httpDate(entry.modifiedAt),
                entry.name,
                std::to_string(entry.size),
                entry.isFolder ? "folder" : "file",
                entry.author,
                entry.authorName,
                entry.creationDate,
                fullPathText(entry.path),
                entry.owner,
                entry.ownerName,
                entry.timestamp,
                resourceNameOf(entry),
                flag(entry.isFolder && row.isEmpty),
                entry.deviceId,
                entry.lockUserId,
                entry.lockUserName,
                entry.lockStartTime,
                entry.actionType,
                entry.actionProgress,
                entry.actionFileType,
                entry.actionSrc,
                entry.actionDest,
            });
    }
    return csv;
}

void handleFolderRead(Exchange& exchange)
{
    auto folder = exchange.store.lookup(exchange.area(), exchange.target.path);
    if (!folder)
        return readFailure(exchange, exchange.target.path, folder.failure());
    if (!folder->isFolder)
        return exchange.storeFailure(storeFailure(StoreError::NotAFolder, "The entry is not a folder"));
    handleListing(exchange, folder.value());
}

void handleListing(Exchange& exchange, const Entry& folder)
{
    if (refuseWhileCopying(exchange, folder, false))
        return;
    // A client reads a long listing range by range: every range after the first comes from the
    // rendering the first one made, for as long as nothing in the store changes.
    const auto key = [&](std::uint64_t generation) {
        return "listing " + std::to_string(exchange.user->id) + " " + std::to_string(folder.id) + " "
            + std::to_string(generation);
    };
    auto document = exchange.service.renderedBodies.find(key(exchange.store.contentGeneration()));
    if (!document) {
        auto listing = exchange.store.listing(*exchange.user, folder);
        if (!listing)
            return exchange.storeFailure(listing.failure());
        for (auto& row : listing->rows)
            if (row.entry.area.area == Area::Personal)
                row.rights.isOwner = true; // everything in a personal area is its user's
        document = std::make_shared<const std::string>(listingDocument(folder.name, listing->rows));
        exchange.service.renderedBodies.keep(key(listing->generation), document);
    }
    exchange.sendSharedBody(std::move(document), "application/xml", true);
}

void handleSearch(Exchange& exchange)
{
    const bool byAuthor = exchange.target.queryValue("authname") != nullptr;
    if (!byAuthor && !exchange.target.queryValue("filename"))
        return exchange.invalidArgument("A search needs filename= or authname=");
    auto folder = exchange.store.lookup(exchange.area(), exchange.target.path);
    if (!folder)
        return readFailure(exchange, exchange.target.path, folder.failure());
    if (!folder->isFolder)
        return exchange.storeFailure(storeFailure(StoreError::NotAFolder, "The entry is not a folder"));
    if (refuseWhileCopying(exchange, folder.value(), false))
        return;
    // The keyword is everything after the first "=": it may hold "&" of its own. The ranges of one
    // search come from one rendering, as those of a listing do.
    const std::string& keyword = exchange.target.queryValueText;
    const std::uint64_t generation = exchange.store.contentGeneration();
    const std::string key = std::string("search ") + (byAuthor ? "author " : "name ")
        + std::to_string(exchange.user->id) + " " + std::to_string(folder->id) + " " + std::to_string(generation) + " "
        + keyword;
    auto document = exchange.service.renderedBodies.find(key);
    if (!document) {
        auto matches = exchange.store.search(folder.value(), keyword, byAuthor);
        if (!matches)
            return exchange.storeFailure(matches.failure());
        auto rows = listed(exchange, std::move(matches.value()));
        if (!rows)
            return exchange.storeFailure(rows.failure());
        document = std::make_shared<const std::string>(searchDocument(rows.value()));
        // The matches and their rights are read in separate steps: kept only when nothing changed
        // in between.
        if (exchange.store.contentGeneration() == generation)
            exchange.service.renderedBodies.keep(key, document);
    }
    exchange.sendSharedBody(std::move(document), "text/csv; charset=utf-8", true);
}

} // namespace norvane::server
