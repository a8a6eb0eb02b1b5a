#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane {

class fileInformation;

// A dragged item as the file window's drag record carries it.
struct DraggedItem {
    std::string uk;
    std::string fullpath;
};

// What the signed-in user may do with an entry of a listing: edit it, move it, and whether a
// drag copies or moves. Pure rules over the entry and the user's name; a folder is any entry
// whose fileType is not 0.
class PermissionRules {
public:
    PermissionRules() = delete;

    // Modifier bits of a drop: Alt (the copy key) and Ctrl (the move key).
    static constexpr std::uint64_t kAlternateKeyMask = std::uint64_t { 1 } << 19;
    static constexpr std::uint64_t kCommandKeyMask = std::uint64_t { 1 } << 20;

    // A folder below "/SHAREFOLDER" or a file below "/SHAREFILE".
    static bool isShareFile(const fileInformation& entry);
    // Not shared, or shared and owned by the user or managed by them.
    static bool isOwnerFile(const fileInformation& entry, std::string_view userName);
    // In this order: offline or backup-folder entries are read-only; unshared ones writable; a
    // shared entry locked by someone else, a top-level shared folder and the shared root are
    // read-only; a manager may write; an entry marked read-only is; a shared file the user does
    // not own is read-only unless it may be edited; the rest is writable.
    static bool isFileReadOnly(const fileInformation& entry, std::string_view userName);
    // In this order: offline or backup-folder entries stay; unshared ones move; a manager moves
    // anything; a top-level shared folder stays; so does an entry marked read-only or not owned;
    // a locked one moves only when the user holds the lock; the rest moves.
    static bool canMove(const fileInformation& entry, std::string_view userName);
    // A drop of `source` onto the folder `target` copies (true) or moves (false). Within the
    // personal area, or within one top-level shared folder, it moves unless Alt is held;
    // anywhere else it copies unless Ctrl is held.
    static bool needCopyBySrc(const DraggedItem& source, const fileInformation& target, std::uint64_t keyFlag);

    // A shared folder directly below the shared root: its full path is "/" and one name.
    static bool isTopLevelFolder(const fileInformation& entry);
};

} // namespace norvane
