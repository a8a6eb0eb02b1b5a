#pragma once

#include "formats/Date.h"
#include "formats/KeyedArchive.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace norvane {

// One entry of the response cache: an earlier download of a remote path, kept so that a repeated
// download can be answered "not modified" and served from here.
//
// Archived under "url", "date", "size" (64-bit), "fileName" and "attachFileName" (absent for a
// download to memory); isUsing is not archived. Entries are shared between the index and the
// download that is refreshing them; isUsing is read and written only under the index's monitor.
class CmdCache {
public:
    std::string url; // remote path of the download; the lookup key
    std::optional<Date> date; // date of the cached copy, sent as If-Modified-Since
    std::uint64_t size = 0; // bytes charged to the cache: archived command plus attached file
    std::string fileName; // the archived download command
    std::string attachFileName; // the downloaded file in the cache folder; empty for memory downloads
    bool isUsing = false; // a running download holds it: it is not evicted

    void encodeWithCoder(KeyedArchiver& coder) const;
    // Missing keys read as defaults; never null.
    static std::shared_ptr<CmdCache> initWithCoder(const KeyedUnarchiver& coder);

    // True when the path begins "/PDF/" or "/SHAREPDF/" (a page-image form of a document).
    static bool isPdfPath(const std::string& remotePath);
    // True for one page image of a document: a PDF path holding "?pageno=".
    static bool isPdfPageImage(const std::string& remotePath);

    // Where the cache keeps the file of a download of remotePath that arrived at localFile: a new
    // folder with a random name in the "CacheFile" category holding the local file's name; for a
    // page image, "<document path>_p<page - 1>.<local extension>" below "CacheFile", with the
    // document path taken without its "/PDF" or "/SHAREPDF" prefix. A page-image name that would
    // leave the cache folder (a ".." component) or has no usable page number gets a random folder
    // like any other file.
    static std::string cacheFilePathFor(const std::string& remotePath, const std::string& localFile);

    // The folder all cache files live in.
    static std::string cacheFolder();
};

} // namespace norvane
