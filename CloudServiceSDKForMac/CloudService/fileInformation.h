#pragma once

#include "formats/KeyedArchive.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvane {

class fileInformation;
using FileInfoList = std::vector<std::shared_ptr<fileInformation>>;

// A picture the file window attaches to an entry. The core never looks inside it; the UI decides
// what it holds (a decoded image, a pixmap) and casts it back.
using ThumbnailImage = std::shared_ptr<void>;

// Values of accessType().
enum FileAccessType : std::int32_t {
    FileAccessOwner = 1,
    FileAccessEditable = 2,
    FileAccessReadOnly = 3,
};

// One file or folder on the server, as a listing or a search describes it.
//
// Text fields are optional because the server may leave an element out, and an absent text is
// not the same as an empty one (compareFileInformation tells them apart).
//
// Archive keys are the field names. fileType, fileSize, fileExt, canEdit and editpermission are
// written under their name as a 32-bit integer (clamped into the int32 range) and, so that larger
// values survive, again under "<name>64" as a 64-bit integer; readers take the 64-bit twin when
// it is there and fall back to the 32-bit key for archives written before the twins existed.
class fileInformation {
public:
    std::optional<std::string> fileId;
    std::uint64_t fileType = 0; // 0 = file, 1 = folder
    std::uint64_t fileSize = 0;
    std::optional<std::string> displayName;
    std::optional<std::string> lastModifiedTime;
    std::optional<std::string> accessiBility;
    std::optional<std::string> fullPath;
    bool isEmpty = false;
    std::int64_t fileExt = 0;
    std::optional<std::string> uk;
    std::optional<std::string> folderid;
    std::optional<std::string> fatherid;
    std::optional<std::string> deviceid;
    std::optional<std::string> author;
    std::optional<std::string> cryptoFileName;
    std::int64_t canEdit = 0;
    std::int64_t editpermission = 0;
    std::optional<std::string> timestamp;
    std::optional<std::string> ownername;
    std::optional<std::string> creationdate;
    std::optional<std::string> owner;
    std::optional<std::string> authorname;
    bool isStartDownloadThumbnail = false;
    bool copyFromOtherApp = false;
    std::optional<std::string> url;
    bool isSearchResult = false;
    std::int32_t offlineflg = -1;
    std::int32_t expiretime = -1;
    bool isReadOnly = false;
    bool isOffLineMode = false;
    std::optional<std::string> lockUserId;
    std::optional<std::string> lockUserName;
    std::optional<std::string> lockStartTime;
    std::optional<std::string> actionType;
    std::optional<std::string> actionFileType;
    std::optional<std::string> actionProgress;
    std::optional<std::string> actionSrc;
    std::optional<std::string> actionDest;
    FileInfoList childrens; // filled by the application layer for tree views
    ThumbnailImage thumb;
    bool isManager = false;

    bool isFile() const { return fileType == 0; }
    bool isFolder() const { return fileType == 1; }
    // 1 owner, 2 may edit, 3 read only (FileAccessType).
    std::int32_t accessType() const;
    // Shared entries the user may only read are drawn with the read-only marker.
    bool isRedIconFileForPS() const { return accessType() == FileAccessReadOnly; }
    // Favourite shortcuts: "x.folder.fvrt" points at a folder, any other "x.fvrt" at a file.
    bool isShortCutOfFolder() const;
    bool isShortCutOfFile() const;

    // True when every field that identifies the entry's state agrees; the view-only state
    // (isManager, isReadOnly, isSearchResult, isStartDownloadThumbnail, copyFromOtherApp, url,
    // thumb, childrens) is ignored.
    bool compareFileInformation(const fileInformation& other) const;

    // The archived fields plus isReadOnly and isManager; no children, thumbnail or url, and the
    // remaining view flags cleared. (The C++ copy constructor, unlike this, copies everything.)
    std::shared_ptr<fileInformation> copy() const;

    std::string description() const;

    void encodeWithCoder(KeyedArchiver& coder) const;
    // Missing keys read as the defaults of a new record; never null.
    static std::shared_ptr<fileInformation> initWithCoder(const KeyedUnarchiver& coder);
};

} // namespace norvane
