#pragma once

#include "server/store/Records.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane::server {

// What a request target names, after decoding and checking. Names in the tree never become file
// system paths, but a name still must not smuggle in a separator, a control character or a step
// out of its folder: every component is checked here, once, before any handler sees it.
enum class TargetForm {
    Version, // /Version
    Login, // /Storage9/QORPrivateStorage/account/<user>
    ChangePassword, // /Storage9/QORPrivateStorage/changepassword/<userKey>
    Information, // /Storage9/QORPrivateStorage/information/<seq>
    Folder, // /FOLDER[/p...], /SHAREFOLDER[/p...]
    File, // /FILE/p..., /SHAREFILE/p... (also a folder where a folder is meant)
    PdfPage, // /PDF/FILE/p..., /SHAREPDF/SHAREFILE/p...
    Search, // /SEARCH[/p...], /SHARESEARCH[/p...]
    Lock, // /LOCKFILE/p..., /LOCKSHAREFILE/p...
    MakeUrl, // /MAKEURL
    NetPrint, // /NETPRINT[/<key>]
    PublicLink, // /s/<key>
    Control, // /_control/<name>
};

struct RequestTarget {
    TargetForm form = TargetForm::Version;
    Area area = Area::Personal; // tree forms only
    // Tree forms: the components below the area root. Other forms: their argument (one component)
    // when they take one.
    std::vector<std::string> path;
    // The decoded path without the query ("/FILE/a b/c.txt"): what fault rules match against.
    std::string decodedPath;
    // Decoded query parameters (the first value of a name counts).
    std::map<std::string, std::string, std::less<>> query;
    // The text after the first "=" of the query, decoded once: a search keyword may hold "&".
    std::string queryValueText;
    bool thumbnail = false; // "?thumbnail=" on a file form: its path was decoded twice

    const std::string* queryValue(std::string_view name) const
    {
        auto it = query.find(name);
        return it == query.end() ? nullptr : &it->second;
    }
};

struct RequestTargetParse {
    std::optional<RequestTarget> target;
    bool unknownForm = false; // well-formed, but no form of this server (404)
    std::string error; // why the target was refused (400), for the error message
};

// Parses the raw request target (as it came on the request line, still percent-encoded). Refused:
// a target that is not an absolute path; a malformed %-escape; an encoded "/" or "\" inside a
// component; a component that is no acceptable entry name (see EntryNames.h: empty, "." or "..",
// control characters, invalid UTF-8, too long); a query value that is no printable text. A
// thumbnail's path is decoded and checked twice.
RequestTargetParse parseRequestTarget(std::string_view rawTarget);

// %XX decoding ("+" stays "+"). Nothing for a malformed escape.
std::optional<std::string> percentDecode(std::string_view text);

// An entry key as clients send it in headers ("/FILE/a/b.txt", "/SHAREFOLDER/x"), raw or
// percent-encoded. Each reading that is well-formed is returned, the raw one first; a reading is
// only made of acceptable components.
struct EntryKey {
    Area area = Area::Personal;
    bool folderForm = false; // FOLDER / SHAREFOLDER
    std::vector<std::string> path;
};
std::vector<EntryKey> readEntryKey(std::string_view text);

// "/FOLDER/a/b", "/SHAREFILE/a/b.txt": the key of an entry as listings show it.
std::string entryKeyText(Area area, bool folder, const std::vector<std::string>& path);
// "/a/b": the path below the area root.
std::string fullPathText(const std::vector<std::string>& path);

} // namespace norvane::server
