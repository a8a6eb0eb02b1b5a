#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "platform/ErrorValue.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// One vocabulary for the three kinds of path the client deals in: server paths ("/FILE/...",
// "/FOLDER/...", "/PDF/..."), folder keys (a fileInformation's uk), and where the client keeps
// its own files below the application data directory. Also the rules a new file or folder name
// must follow. Stateless; nothing here throws.
class Path {
public:
    Path() = delete;

    // --- server paths ---

    // The path for a request URL: letters, digits and ";/:@&=+$,-_.!~*'()" stay as they are,
    // every other byte of the UTF-8 text becomes %XX (upper-case hexadecimal): "?", "#", "\",
    // "%", blanks and control characters among them, so any name reaches the server whole (it
    // decodes them). A query is appended after escaping, never passed through here.
    static std::string urlPathFromPath(std::string_view path);
    // The same, escaping also every character of legalURLCharactersToBeEscaped.
    static std::string urlPathFromPath(std::string_view path, std::string_view legalURLCharactersToBeEscaped);
    // A page-image path: begins "/PDF/" or "/SHAREPDF/".
    static bool isPdfPath(std::string_view path);
    // The backup folder of the personal area or anything inside it.
    static bool isBackupFolder(const fileInformation& entry);
    // The favourites folder ("/FOLDER/.Favorite." or its key "UK_FVRTFOLDER") or anything inside it.
    static bool isFavoriteFolder(std::string_view pathOrKey);

    // --- names of new files and folders ---

    // True when `name` may be given to a new or renamed file or folder. Otherwise a modal alert
    // titled "alert" says why (fileNameMessageKey) and the answer is false.
    static bool checkFileName(std::string_view name);
    // The message key of the first rule the name breaks, in the order: empty, a forbidden
    // character, a point or space at the end, a reserved device name; none for a good name.
    static std::optional<std::string> fileNameMessageKey(std::string_view name);
    // Any of \ / : | * ? < > " (names with them cannot be opened on every system the files
    // travel to), or a control character (NUL cuts a name short; the rest cannot be typed
    // or shown).
    static bool hasIllegalCharacter(std::string_view name);
    // Ends with a point or a space.
    static bool hasIllegalSuffix(std::string_view name);
    // A reserved device name, compared without regard to case: AUX, CLOCK$, CON, CONFIG$, NUL,
    // PRN, COM1-COM10, LPT1-LPT10.
    static bool isSpecialFileName(std::string_view name);
    // Begins with a reserved device name followed by a point ("con.txt", "LPT3.log").
    static bool hasSpecialPrefix(std::string_view name);
    // text begins with prefix, ignoring the case of ASCII letters.
    static bool stringHasPrefix(std::string_view text, std::string_view prefix);

    // --- local files ---

    // The application data directory; "tmp" inside it holds the temporary categories.
    static std::string documentDirectory();
    static std::string temporaryDirectory();
    // <tmp>/<category>/<name>; an empty category means the name's extension, or "other". The
    // category folder is created when missing.
    static std::string fullPathOfTempFile(const std::string& name, const std::string& category);
    // Where the settings record `entityName` (+ ".xml") is saved: the "do_not_delete_config"
    // category. Loading reads it from there when it exists, else from the application data
    // directory, where older versions kept it.
    static std::string pathOfConfigEntity(const std::string& entityName, bool forSave);
    // 32 lowercase hexadecimal digits, different on every call.
    static std::string randomName();
    // "CacheFile" category / a fresh folder with a random name / the last component of `path`,
    // so that a cached copy keeps its file name. The fresh folder is made here. None when that
    // last component is no usable file name ("..", a control character) or the folder cannot be made.
    static std::optional<std::string> randomFileNameBasedOnInCacheFolder(const std::string& path);
    // "CacheFile" category / name + "." + extension. The name may hold folders ("/FILE/a.pdf_p0"
    // lands at CacheFile/FILE/a.pdf_p0.<extension>); none when it names nothing, when a part is
    // "." or "..", or when a part or the extension holds a control character or the extension a "/".
    static std::optional<std::string> pdf2JPGFileNameBasedOnInCacheFolder(
        const std::string& name, const std::string& pathExtension);
    // The offline copy of a server path: <data>/OffLineData + the path, with "." + extension
    // when one is given. None for an empty path or one that could lead outside OffLineData.
    static std::optional<std::string> getOffLineLocalPath(const std::string& serverPath);
    static std::optional<std::string> getOffLineLocalPath(const std::string& serverPath, const std::string& extension);
    // Creates the folder with its parents when nothing is at the path; true when a folder is there.
    static bool createIfNotExistDir(const std::string& path);
    // Moves a file or folder, making the destination's parent first. False at once for an empty
    // destination, and false when something is at the destination already: a move never
    // replaces anything. Works across file systems (copy, then removal of the source).
    static bool move(const std::string& from, const std::string& to);
    // Something is at the path (a symbolic link counts by what it points at).
    static bool fileExistsAtPath(const std::string& path);
    // Size in bytes; 0 when it cannot be read, the reason then going to *error when given.
    static std::uint64_t sizeOfFile(const std::string& path);
    static std::uint64_t sizeOfFile(const std::string& path, std::optional<ErrorValue>* error);
    // Removes a file, or a folder with everything in it (a symbolic link is removed, not
    // followed). Failures are ignored: the caller only wants it gone if possible.
    static void deleteFile(const std::string& path);
    // Removes the PDF viewer's settings record "PDFEditorInfo", wherever it is kept.
    static void deletePDFXmlInfoFile();

    // --- dates ---

    // The current moment in the local time zone, by a date pattern: "yyyyMMddHHmmss",
    // "yyyy/MM/dd HH:mm:ss.SSS", "'at' h a". Letters: y M d D E a H h K k m s S Z z G;
    // text in single quotes is literal ('' is a quote); other letters are copied as they are.
    static std::string dateStringWithFormat(std::string_view format);
    static std::string dateStringWithFormat(std::string_view format, std::chrono::system_clock::time_point when);
};

} // namespace norvane
