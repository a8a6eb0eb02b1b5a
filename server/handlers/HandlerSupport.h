#pragma once

#include "server/http/Exchange.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvane::server {

// What the handler families share: reading entry attributes and keys from headers, conditional
// reads and the copy-in-progress refusals.

// The descriptive headers of an upload, copy, move or folder creation ("x-zel-creationdate",
// "x-zel-modifydate", "x-zel-editpermission") and the device. The owner and author headers
// ("x-zel-owner", "x-zel-ownername", "x-zel-author", "x-zel-authorname") are accepted but not
// read: who owns and who wrote an entry is the account of the session.
EntryMeta entryMetaOf(const Exchange& exchange);

// An entry named by a key in a header ("/FILE/a/b", raw or percent-encoded) in the user's trees.
struct KeyedEntry {
    AreaRef area;
    std::vector<std::string> path;
    Entry entry;
};
// The first reading of the key that names an existing entry; NotFound when none does, Invalid when
// the text is no key at all.
StoreResult<KeyedEntry> entryOfKey(Exchange& exchange, std::string_view keyText);

// Answers 304 when "If-Modified-Since" is not before the entry's modified second.
bool answerNotModified(Exchange& exchange, const Entry& entry);

// Answers 409 when the entry takes part in a copy still running: any change of its source or
// destination tree, and reads of the destination tree. (The store refuses changes by itself; reads
// are checked here.)
bool refuseWhileCopying(Exchange& exchange, const Entry& entry, bool change);

// The answer to a read whose entry could not be looked up: an entry that the destination tree of
// a running copy has still to receive is refused as part of that tree (409), not as missing.
void readFailure(Exchange& exchange, const std::vector<std::string>& path, const StoreFailure& failure);

// A content type from the name's extension ("application/octet-stream" for unknown ones).
std::string contentTypeOf(std::string_view name);

// Unix seconds as local time: "yyyy/MM/dd", and "yyyy/MM/dd HH:mm" with the time.
std::string localDateText(std::int64_t unixSeconds, bool withTime = false);

// Unix seconds now.
std::int64_t unixSecondsNow();

} // namespace norvane::server
