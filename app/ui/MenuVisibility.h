#pragma once

#include <string>

namespace norvane {

class fileInformation;

// The print service is switched off in this program: its menu items, its toolbar item and the
// print list never appear. The print dialogs stay reachable from code (the tests open them).
inline constexpr bool kNetPrintEnabled = false;

// Which items of the file menu (context menu, toolbar and main menu alike) the person sees for
// what they clicked. Every item carries a tag; the rule of its tag must hold, or the item is
// hidden and disabled.
namespace MenuVisibility {

enum Tag : int {
    Always = 0, // settings, device ID: always there
    OpenFile = 1, // a file row
    Download = 2, // a row, and downloads to the local disk allowed
    Rename = 3, // a row the user may change, not in the backup folder
    Delete = 4, // a row the user may change, or one they manage that is no top-level shared folder
    WebShare = 5, // a file row, and web sharing allowed
    NetPrint = 6, // a file row, and the print service on
    NewFolder = 7, // the empty area of a column whose folder takes new entries
    Lock = 8, // a shared file the user may change, not locked
    Unlock = 9, // a shared file the user may change, locked (by the user)
    AnyRow = 10, // any row (copy path, copy name)
    AnyFile = 11, // a file row
    EditPermissionOn = 12, // a shared file of the user's, closed to others' edits
    EditPermissionOff = 13, // a shared file of the user's, open to others' edits
    PrintList = 14, // the print service on
};

// What was clicked: a row (`entry` is its entry), or the empty area of a column (`entry` is the
// column's folder), or nothing at all (no entry).
struct Click {
    const fileInformation* entry = nullptr;
    bool onRow = false;
};

// What the account and the server allow.
struct Account {
    std::string userName;
    bool localDownload = true; // settings enabledLoaclDownload
    bool webPublish = true; // settings webPublishEnable
    bool netPrint = kNetPrintEnabled;
};

// Whether an item of that tag is shown. Nothing tagged is shown for a favourite's shortcut, for
// the favourites folder itself or when nothing is under the click.
bool isShown(int tag, const Click& click, const Account& account);

} // namespace MenuVisibility

} // namespace norvane
