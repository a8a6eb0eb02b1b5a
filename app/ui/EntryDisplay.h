#pragma once

#include "app/ui/Icons.h"

#include <QColor>
#include <QString>

#include <string_view>

class QPalette;

namespace norvane {

class fileInformation;

// How an entry of the browser reads: its name, the picture of a folder and the colour of its text.
// Pure rules over the entry; the cell and the preview draw what these say.
namespace EntryDisplay {

// A favourite's shortcut shows the name of what it points at: "Plans.folder.fvrt" reads "Plans",
// "Plan.txt.fvrt" reads "Plan.txt". Other names are as given.
QString withoutShortcutSuffix(std::string_view name);

// The server copies a folder tree into this entry right now.
bool isCopyTarget(const fileInformation& entry);

// The colour classes of a row's text, in the order they win over each other.
enum class Tone {
    Locked, // red: someone holds the lock, even while a copy runs
    Copying, // grey, with the copy's progress after the name
    ReadOnly, // orange: a file the user may only read
    Normal, // the palette's text colour (black)
};
Tone tone(const fileInformation& entry, bool readOnlyForUser);
QColor colour(Tone tone, const QPalette& palette);

// The row's text: the name without a shortcut's suffix, and "(42%)" after a copy target's.
QString rowText(const fileInformation& entry);

// A folder's picture: the backup folder blue, favourites with a star, a read-only top-level
// shared folder red, every other folder yellow.
Icons::Name folderImage(const fileInformation& entry);

} // namespace EntryDisplay

} // namespace norvane
