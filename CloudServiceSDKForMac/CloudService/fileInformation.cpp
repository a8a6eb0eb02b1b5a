#include "CloudServiceSDKForMac/CloudService/fileInformation.h"

#include "CloudServiceSDKForMac/CloudService/ArchiveFields.h"
#include "formats/DescriptionBuilder.h"

#include <string_view>

namespace norvane {

using namespace archive_fields;

namespace {

constexpr std::string_view kFolderShortcutSuffix = ".folder.fvrt";
constexpr std::string_view kShortcutSuffix = ".fvrt";

bool endsWith(const std::optional<std::string>& text, std::string_view suffix)
{
    return text && std::string_view(*text).ends_with(suffix);
}

} // namespace

std::int32_t fileInformation::accessType() const
{
    if (canEdit == 1)
        return FileAccessOwner;
    if (editpermission == 1)
        return FileAccessEditable;
    return FileAccessReadOnly;
}

bool fileInformation::isShortCutOfFolder() const
{
    return endsWith(displayName, kFolderShortcutSuffix);
}

bool fileInformation::isShortCutOfFile() const
{
    return endsWith(displayName, kShortcutSuffix) && !endsWith(displayName, kFolderShortcutSuffix);
}

bool fileInformation::compareFileInformation(const fileInformation& other) const
{
    // std::optional's equality is exactly the rule wanted for texts: both absent, or both present
    // and equal.
    return fileId == other.fileId && fileType == other.fileType && fileSize == other.fileSize
        && displayName == other.displayName && lastModifiedTime == other.lastModifiedTime
        && accessiBility == other.accessiBility && fullPath == other.fullPath && isEmpty == other.isEmpty
        && fileExt == other.fileExt && uk == other.uk && folderid == other.folderid && fatherid == other.fatherid
        && author == other.author && deviceid == other.deviceid && cryptoFileName == other.cryptoFileName
        && canEdit == other.canEdit && editpermission == other.editpermission && timestamp == other.timestamp
        && ownername == other.ownername && creationdate == other.creationdate && owner == other.owner
        && authorname == other.authorname && offlineflg == other.offlineflg && expiretime == other.expiretime
        && isOffLineMode == other.isOffLineMode && lockUserId == other.lockUserId && lockUserName == other.lockUserName
        && lockStartTime == other.lockStartTime && actionType == other.actionType
        && actionFileType == other.actionFileType && actionProgress == other.actionProgress
        && actionSrc == other.actionSrc && actionDest == other.actionDest;
}

std::shared_ptr<fileInformation> fileInformation::copy() const
{
    auto out = std::make_shared<fileInformation>();
    out->fileId = fileId;
    out->fileType = fileType;
    out->fileSize = fileSize;
    out->displayName = displayName;
    out->lastModifiedTime = lastModifiedTime;
    out->accessiBility = accessiBility;
    out->fullPath = fullPath;
    out->isEmpty = isEmpty;
    out->fileExt = fileExt;
    out->uk = uk;
    out->folderid = folderid;
    out->fatherid = fatherid;
    out->deviceid = deviceid;
    out->author = author;
    out->cryptoFileName = cryptoFileName;
    out->canEdit = canEdit;
    out->editpermission = editpermission;
    out->timestamp = timestamp;
    out->ownername = ownername;
    out->creationdate = creationdate;
    out->owner = owner;
    out->authorname = authorname;
    out->offlineflg = offlineflg;
    out->expiretime = expiretime;
    out->isReadOnly = isReadOnly;
    out->isOffLineMode = isOffLineMode;
    out->lockUserId = lockUserId;
    out->lockUserName = lockUserName;
    out->lockStartTime = lockStartTime;
    out->actionType = actionType;
    out->actionFileType = actionFileType;
    out->actionProgress = actionProgress;
    out->actionSrc = actionSrc;
    out->actionDest = actionDest;
    out->isManager = isManager;
    return out;
}

std::string fileInformation::description() const
{
    std::string children = "(";
    for (const auto& child : childrens) {
        children += "\n";
        children += child ? child->description() : "(null)";
        children += ",";
    }
    if (!childrens.empty())
        children.back() = '\n';
    children += ")";

    DescriptionBuilder builder("fileInformation", this);
    builder.text("fileId", fileId)
        .uint64("fileType", fileType)
        .uint64("fileSize", fileSize)
        .text("displayName", displayName)
        .text("lastModifiedTime", lastModifiedTime)
        .text("accessiBility", accessiBility)
        .text("fullPath", fullPath)
        .flag("isEmpty", isEmpty)
        .int64("fileExt", fileExt)
        .text("uk", uk)
        .text("folderid", folderid)
        .text("fatherid", fatherid)
        .text("deviceid", deviceid)
        .text("author", author)
        .text("cryptoFileName", cryptoFileName)
        .int64("canEdit", canEdit)
        .int64("editpermission", editpermission)
        .text("timestamp", timestamp)
        .text("ownername", ownername)
        .text("creationdate", creationdate)
        .text("owner", owner)
        .text("authorname", authorname)
        .flag("isStartDownloadThumbnail", isStartDownloadThumbnail)
        .flag("copyFromOtherApp", copyFromOtherApp)
        .text("url", url)
        .flag("isSearchResult", isSearchResult)
        .int32("offlineflg", offlineflg)
        .int32("expiretime", expiretime)
        .flag("isReadOnly", isReadOnly)
        .flag("isOffLineMode", isOffLineMode)
        .text("lockUserId", lockUserId)
        .text("lockUserName", lockUserName)
        .text("lockStartTime", lockStartTime)
        .text("actionType", actionType)
        .text("actionFileType", actionFileType)
        .text("actionProgress", actionProgress)
        .text("actionSrc", actionSrc)
        .text("actionDest", actionDest)
        .object("childrens", children);
    if (thumb)
        builder.opaqueObject("thumb", "ThumbnailImage", thumb.get());
    else
        builder.object("thumb", std::nullopt);
    builder.flag("isManager", isManager);
    return builder.str();
}

void fileInformation::encodeWithCoder(KeyedArchiver& coder) const
{
    coder.encodeString("fileId", fileId);
    encodeWideUnsigned(coder, "fileType", fileType);
    encodeWideUnsigned(coder, "fileSize", fileSize);
    coder.encodeString("displayName", displayName);
    coder.encodeString("lastModifiedTime", lastModifiedTime);
    coder.encodeString("accessiBility", accessiBility);
    coder.encodeString("fullPath", fullPath);
    coder.encodeBool("isEmpty", isEmpty);
    encodeWideSigned(coder, "fileExt", fileExt);
    coder.encodeString("uk", uk);
    coder.encodeString("folderid", folderid);
    coder.encodeString("fatherid", fatherid);
    coder.encodeString("deviceid", deviceid);
    coder.encodeString("author", author);
    coder.encodeString("cryptoFileName", cryptoFileName);
    encodeWideSigned(coder, "canEdit", canEdit);
    encodeWideSigned(coder, "editpermission", editpermission);
    coder.encodeString("timestamp", timestamp);
    coder.encodeString("ownername", ownername);
    coder.encodeString("creationdate", creationdate);
    coder.encodeString("owner", owner);
    coder.encodeString("authorname", authorname);
    coder.encodeInt32("offlineflg", offlineflg);
    coder.encodeInt32("expiretime", expiretime);
    coder.encodeBool("isOffLineMode", isOffLineMode);
    coder.encodeString("lockUserId", lockUserId);
    coder.encodeString("lockUserName", lockUserName);
    coder.encodeString("lockStartTime", lockStartTime);
    coder.encodeString("actionType", actionType);
    coder.encodeString("actionFileType", actionFileType);
    coder.encodeString("actionProgress", actionProgress);
    coder.encodeString("actionSrc", actionSrc);
    coder.encodeString("actionDest", actionDest);
    coder.encodeBool("isManager", isManager);
}

std::shared_ptr<fileInformation> fileInformation::initWithCoder(const KeyedUnarchiver& coder)
{
    auto out = std::make_shared<fileInformation>();
    out->fileId = coder.decodeString("fileId");
    out->fileType = decodeWideUnsigned(coder, "fileType");
    out->fileSize = decodeWideUnsigned(coder, "fileSize");
    out->displayName = coder.decodeString("displayName");
    out->lastModifiedTime = coder.decodeString("lastModifiedTime");
    out->accessiBility = coder.decodeString("accessiBility");
    out->fullPath = coder.decodeString("fullPath");
    out->isEmpty = coder.decodeBool("isEmpty");
    out->fileExt = decodeWideSigned(coder, "fileExt");
    out->uk = coder.decodeString("uk");
    out->folderid = coder.decodeString("folderid");
    out->fatherid = coder.decodeString("fatherid");
    out->deviceid = coder.decodeString("deviceid");
    out->author = coder.decodeString("author");
    out->cryptoFileName = coder.decodeString("cryptoFileName");
    out->canEdit = decodeWideSigned(coder, "canEdit");
    out->editpermission = decodeWideSigned(coder, "editpermission");
    out->timestamp = coder.decodeString("timestamp");
    out->ownername = coder.decodeString("ownername");
    out->creationdate = coder.decodeString("creationdate");
    out->owner = coder.decodeString("owner");
    out->authorname = coder.decodeString("authorname");
    // A record archived without these flags keeps the "not sent by the server" default.
    if (coder.decodeValue("offlineflg").isNumber())
        out->offlineflg = coder.decodeInt32("offlineflg");
    if (coder.decodeValue("expiretime").isNumber())
        out->expiretime = coder.decodeInt32("expiretime");
    out->isOffLineMode = coder.decodeBool("isOffLineMode");
    out->lockUserId = coder.decodeString("lockUserId");
    out->lockUserName = coder.decodeString("lockUserName");
    out->lockStartTime = coder.decodeString("lockStartTime");
    out->actionType = coder.decodeString("actionType");
    out->actionFileType = coder.decodeString("actionFileType");
    out->actionProgress = coder.decodeString("actionProgress");
    out->actionSrc = coder.decodeString("actionSrc");
    out->actionDest = coder.decodeString("actionDest");
    out->isManager = coder.decodeBool("isManager");
    return out;
}

} // namespace norvane
