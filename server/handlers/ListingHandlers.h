#pragma once

#include "server/http/Exchange.h"

#include <string>
#include <string_view>
#include <vector>

namespace norvane::server {

// The listing document of a folder: ListBucketResult in the storage namespace with its Name and
// one Contents element per child, each with every field the client reads.
std::string listingDocument(std::string_view folderName, const std::vector<ListedEntry>& children);
// The search result: one CSV record of 23 quoted fields per entry, CRLF line ends.
std::string searchDocument(const std::vector<ListedEntry>& matches);

// GET of a folder form.
void handleFolderRead(Exchange& exchange);
// The listing of a folder, ranged (also for a file form that names a folder).
void handleListing(Exchange& exchange, const Entry& folder);
// GET /SEARCH[/p]?filename=K or ?authname=K (and the shared forms): the search result, ranged.
void handleSearch(Exchange& exchange);

} // namespace norvane::server
