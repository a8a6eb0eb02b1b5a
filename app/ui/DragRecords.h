#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace norvane {

class fileInformation;

// What a drag of browser rows carries, and what a drop of it may do. Pure rules; the browser's
// drag and drop (BrowserDragDrop) puts them to work.
namespace DragRecords {

// The private type the rows travel under: one record per row, one record a line.
inline constexpr const char* kMimeType = "application/x-norvane-browser-rows";

// One dragged row.
struct Row {
    std::string uk;
    std::string displayName;
    std::int64_t sourceColumn = 0;
    std::uint64_t fileType = 0; // 0 a file
    std::string fullPath;
    bool canMove = false;

    friend bool operator==(const Row&, const Row&) = default;
};

// "uk#ABBA#name#ABBA#column#ABBA#fileType#ABBA#fullpath#ABBA#canmove". A name may hold "#ABBA#"
// itself: in the texts "#" is written "%23", "%" "%25" and a line break "%0A".
std::string record(const Row& row);
// A record of six fields with numbers where numbers belong; none otherwise.
std::optional<Row> parse(const std::string& record);

// The records as the drag's data, one a line, and back (lines that are no record are skipped).
std::string encode(const std::vector<Row>& rows);
std::vector<Row> decode(const std::string& data);

// What a drop onto a folder does.
enum class Operation { Refused, Copy, Move };

// Whether the folder takes dropped entries at all: no folder marked read-only, not the
// favourites folder, not the shared area's root, not the backup folder.
bool acceptsDrops(const fileInformation& target);

// The drop of browser rows onto the target folder. Only files travel between folders: the
// folders among the rows are left out, and rows with no file, a row of the favourites folder,
// a target that takes no drops, or a target that is the folder the rows came from (a move there
// changes nothing, a copy there would ask to replace the file with itself) refuse the drop.
// Copy or move follows the first file and the modifier keys (PermissionRules::needCopyBySrc); a
// move of one file that may not move is refused.
struct Decision {
    Operation operation = Operation::Refused;
    std::vector<Row> files;
};
Decision decide(const std::vector<Row>& rows, const fileInformation& target, std::uint64_t modifierFlags);

// "/FOLDER/a" -> "/FILE/a", "/SHAREFOLDER/a" -> "/SHAREFILE/a": where dropped files are named;
// none for a folder of neither area.
std::optional<std::string> fileFormOfFolder(const std::string& folderKey);

} // namespace DragRecords

} // namespace norvane
