#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// The class of a listed entry, kept in fileInformation::fileExt: it picks the icon and the label.
enum FileExtType : std::int64_t {
    FileExtUnknown = 0,
    FileExtEvent = 1,
    FileExtPhoto = 2,
    FileExtVideo = 3,
    FileExtCall = 4,
    FileExtMemo = 5,
    FileExtRecording = 6,
    FileExtWord = 7,
    FileExtPdf = 8,
    FileExtSpreadsheet = 9,
    FileExtRtf = 10,
    FileExtXps = 11,
    FileExtXbd = 12,
    FileExtXdw = 13,
    FileExtPresentation = 14,
    FileExtFolder = 15,
    FileExtSending = 16,
    FileExtShortcut = 21,
    FileExtHtml = 22,
    FileExtEhtml = 23,
    FileExtCsv = 24,
};

// The operations that the windows call. Stateless: every operation is a class-level function.
class StorageServiceLogic {
public:
    StorageServiceLogic() = delete;

    // --- file types and the display filter (StorageServiceLogicFileTypes.cpp) ---

    // The class of a file by the extension of its name (after the last point of the last
    // component), compared without regard to case; FileExtUnknown when nothing matches.
    static std::int64_t getFileTypeByFileName(std::string_view name);
    // fileExt = FileExtFolder for a folder, else the class of its display name.
    static void setFileType(fileInformation& entry);
    // Whether a listed entry is shown: hidden are dot names (the backup folder's ".SyncCtrl"
    // among them), folders inside the favourites folder, and anything in the favourites area
    // that is not a ".fvrt" shortcut.
    static bool filterFile(const fileInformation& entry);
    // The name a print-job folder is shown with: its display name; none for no entry.
    static std::optional<std::string> convertJobFolderName(const fileInformation* entry);
};

} // namespace norvane
