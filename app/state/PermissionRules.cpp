#include "app/state/PermissionRules.h"

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "app/logic/Path.h"

#include <vector>

namespace norvane {

namespace {

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// "/" for an absolute path, then every name; empty names (doubled or trailing slashes) do not
// count, so "/Team/" is as top-level as "/Team".
std::vector<std::string_view> pathComponents(std::string_view path)
{
    std::vector<std::string_view> components;
    if (startsWith(path, "/"))
        components.emplace_back("/");
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos)
            slash = path.size();
        if (slash > start)
            components.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return components;
}

bool isFolder(const fileInformation& entry)
{
    return entry.fileType != 0;
}

bool isLocked(const fileInformation& entry)
{
    return entry.lockUserId && !entry.lockUserId->empty();
}

bool isOfflineOrBackup(const fileInformation& entry)
{
    return entry.isOffLineMode || Path::isBackupFolder(entry);
}

} // namespace

bool PermissionRules::isShareFile(const fileInformation& entry)
{
    const std::string_view uk = entry.uk ? std::string_view(*entry.uk) : std::string_view();
    return startsWith(uk, isFolder(entry) ? "/SHAREFOLDER" : "/SHAREFILE");
}

bool PermissionRules::isOwnerFile(const fileInformation& entry, std::string_view userName)
{
    if (!isShareFile(entry))
        return true;
    return (entry.owner && *entry.owner == userName) || entry.isManager;
}

bool PermissionRules::isTopLevelFolder(const fileInformation& entry)
{
    if (!isFolder(entry) || !entry.fullPath)
        return false;
    const auto components = pathComponents(*entry.fullPath);
    return components.size() == 2 && components.front() == "/";
}

bool PermissionRules::isFileReadOnly(const fileInformation& entry, std::string_view userName)
{
    if (isOfflineOrBackup(entry))
        return true;
    if (!isShareFile(entry))
        return false;
    if (isLocked(entry) && *entry.lockUserId != userName)
        return true;
    if (isTopLevelFolder(entry))
        return true;
    if (isFolder(entry) && entry.uk == "/SHAREFOLDER")
        return true;
    if (entry.isManager)
        return false;
    if (entry.isReadOnly)
        return true;
    if (!isFolder(entry) && !isOwnerFile(entry, userName) && entry.canEdit != 1 && entry.editpermission != 1)
        return true;
    return false;
}

bool PermissionRules::canMove(const fileInformation& entry, std::string_view userName)
{
    if (isOfflineOrBackup(entry))
        return false;
    if (!isShareFile(entry))
        return true;
    if (entry.isManager)
        return true;
    if (isTopLevelFolder(entry))
        return false;
    if (entry.isReadOnly || !isOwnerFile(entry, userName))
        return false;
    if (isLocked(entry))
        return *entry.lockUserId == userName;
    return true;
}

bool PermissionRules::needCopyBySrc(const DraggedItem& source, const fileInformation& target, std::uint64_t keyFlag)
{
    const bool alternate = (keyFlag & kAlternateKeyMask) != 0;
    const bool command = (keyFlag & kCommandKeyMask) != 0;
    const bool targetShared = isShareFile(target);
    if (startsWith(source.uk, "/FILE/") && !targetShared)
        return alternate;
    if (startsWith(source.uk, "/SHAREFILE/") && targetShared) {
        const auto from = pathComponents(source.fullpath);
        const auto to = pathComponents(target.fullPath ? std::string_view(*target.fullPath) : std::string_view());
        if (from.size() >= 2 && to.size() >= 2 && from[1] == to[1])
            return alternate;
    }
    return !command;
}

} // namespace norvane
