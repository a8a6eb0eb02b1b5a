#include "app/ui/MenuVisibility.h"

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "app/logic/Path.h"
#include "app/state/PermissionRules.h"

namespace norvane::MenuVisibility {

namespace {

bool isLocked(const fileInformation& entry)
{
    return entry.lockUserId && !entry.lockUserId->empty();
}

// The rule of tags 12 and 13 before the access question: a shared file of the user's (owned or
// managed) that nobody else holds locked and that is not marked read-only.
bool ownSharedFile(const fileInformation& entry, const Account& account)
{
    if (!entry.isFile() || !PermissionRules::isShareFile(entry)
        || !PermissionRules::isOwnerFile(entry, account.userName))
        return false;
    if (isLocked(entry) && *entry.lockUserId != account.userName)
        return false;
    return !entry.isReadOnly;
}

} // namespace

bool isShown(int tag, const Click& click, const Account& account)
{
    if (tag == Always)
        return true;
    if (tag == PrintList)
        return account.netPrint;
    if (!click.entry)
        return false;
    const fileInformation& entry = *click.entry;
    const std::string uk = entry.uk.value_or("");
    if (entry.displayName.value_or("").ends_with(".fvrt") || uk == "/FOLDER/.Favorite." || uk == "UK_FVRTFOLDER")
        return false;

    const bool row = click.onRow;
    const bool fileRow = row && entry.isFile();
    const bool readOnly = PermissionRules::isFileReadOnly(entry, account.userName);
    const bool ownedOrFolder = PermissionRules::isOwnerFile(entry, account.userName) || !entry.isFile();
    const bool inBackup = Path::isBackupFolder(entry);
    const bool sharedFileRow = fileRow && PermissionRules::isShareFile(entry);
    switch (tag) {
    case OpenFile:
    case AnyFile:
        return fileRow;
    case Download:
        return row && account.localDownload;
    case Rename:
        return row && !readOnly && ownedOrFolder && !inBackup && !Path::isFavoriteFolder(uk);
    case Delete:
        // A manager's right over a row; the empty area of a column offers no delete, as there is
        // no row it could delete.
        return row
            && ((!readOnly && ownedOrFolder && !inBackup)
                || (entry.isManager && !PermissionRules::isTopLevelFolder(entry)));
    case WebShare:
        return fileRow && account.webPublish;
    case NetPrint:
        return fileRow && account.netPrint;
    case NewFolder:
        return !row && !entry.isFile() && !entry.isReadOnly && uk != "/SHAREFOLDER" && !inBackup;
    case Lock:
        return sharedFileRow && !readOnly && !isLocked(entry);
    case Unlock:
        return sharedFileRow && !readOnly && isLocked(entry);
    case AnyRow:
        return row;
    case EditPermissionOn:
        // Decided by the file's own edit flag: the owner's access type reads "owner" whatever the
        // flag says, so the item that opens a closed file again would never show.
        return fileRow && ownSharedFile(entry, account) && entry.editpermission != 1;
    case EditPermissionOff:
        return fileRow && ownSharedFile(entry, account) && entry.editpermission == 1;
    default:
        return false;
    }
}

} // namespace norvane::MenuVisibility
