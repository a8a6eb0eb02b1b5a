#pragma once

#include "app/logic/StorageServiceLogic.h"
#include "platform/Value.h"

#include <QStringList>

#include <functional>
#include <memory>
#include <string>

namespace norvane {

class ProgressSheet;

// Local files and folders dropped from the desktop, uploaded into a server folder: the files as
// one upload, the folders (with everything in them) as another, both under the progress sheet.
// The local trees are read and their commands made on a worker, so that a drop of tens of
// thousands of files never holds up the window; nothing is sent when a name anywhere in the drop
// cannot be used on the server (the operations say which). When an upload fails, an alert names
// what did not arrive.
namespace DesktopDropUpload {

struct Request {
    QStringList localPaths;
    std::string folderKey; // "/FOLDER/..." or "/SHAREFOLDER/..."
    Value editpermission; // "1", or none
};

struct Hooks {
    std::function<void(bool busy)> busy;
    std::function<void()> arrived; // an upload succeeded: list the target again
};

// False (and nothing done) for a folder of neither area.
bool start(ProgressSheet* sheet, Request request, Hooks hooks);

// What the failure alert names: the local path of a file that did not arrive, the server path of
// a folder that was not made.
std::string notArrivedName(const CloudServiceCommand& command);

} // namespace DesktopDropUpload

} // namespace norvane
