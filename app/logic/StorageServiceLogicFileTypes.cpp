#include "app/logic/StorageServiceLogic.h"

#include "platform/AsciiText.h"

#include <array>
#include <utility>

namespace norvane {

namespace {

constexpr std::string_view kBackupFolderPrefix = "/BackupFolder/";
constexpr std::string_view kSyncControlName = ".SyncCtrl";
constexpr std::string_view kFavoriteKeyPrefix = "/FOLDER/.Favorite./";
constexpr std::string_view kFavoritePathPrefix = "/.Favorite.";
constexpr std::string_view kShortcutSuffix = ".fvrt";

// Looked up in this order; the first match wins.
constexpr std::array<std::pair<std::string_view, FileExtType>, 33> kExtensions { {
    { "jpg", FileExtPhoto },
    { "jpeg", FileExtPhoto },
    { "jpe", FileExtPhoto },
    { "png", FileExtPhoto },
    { "gif", FileExtPhoto },
    { "bmp", FileExtPhoto },
    { "tif", FileExtPhoto },
    { "tiff", FileExtPhoto },
    // The sound formats "wav" and "m4a" belong to the video class; only "caf" and "mp3" are
    // recordings.
    { "mov", FileExtVideo },
    { "3gp", FileExtVideo },
    { "mp4", FileExtVideo },
    { "m4v", FileExtVideo },
    { "wav", FileExtVideo },
    { "m4a", FileExtVideo },
    { "qt", FileExtVideo },
    { "txt", FileExtMemo },
    { "caf", FileExtRecording },
    { "mp3", FileExtRecording },
    { "doc", FileExtWord },
    { "docx", FileExtWord },
    { "pdf", FileExtPdf },
    { "xls", FileExtSpreadsheet },
    { "xlsx", FileExtSpreadsheet },
    { "rtf", FileExtRtf },
    { "xps", FileExtXps },
    { "xbd", FileExtXbd },
    { "xdw", FileExtXdw },
    { "ppt", FileExtPresentation },
    { "pptx", FileExtPresentation },
    { "htm", FileExtHtml },
    { "html", FileExtHtml },
    { "ehtml", FileExtEhtml },
    { "csv", FileExtCsv },
} };

std::string_view pathExtension(std::string_view name)
{
    while (!name.empty() && name.back() == '/')
        name.remove_suffix(1);
    if (auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    auto point = name.rfind('.');
    return point == std::string_view::npos ? std::string_view {} : name.substr(point + 1);
}

bool startsWith(const std::optional<std::string>& text, std::string_view prefix)
{
    return text && text->starts_with(prefix);
}

} // namespace

std::int64_t StorageServiceLogic::getFileTypeByFileName(std::string_view name)
{
    const std::string_view extension = pathExtension(name);
    if (extension.empty())
        return FileExtUnknown;
    for (const auto& [known, type] : kExtensions)
        if (ascii::equalsIgnoringCase(extension, known))
            return type;
    return FileExtUnknown;
}

void StorageServiceLogic::setFileType(fileInformation& entry)
{
    entry.fileExt = !entry.isFile() ? FileExtFolder
        : entry.displayName         ? getFileTypeByFileName(*entry.displayName)
                                    : FileExtUnknown;
}

bool StorageServiceLogic::filterFile(const fileInformation& entry)
{
    const std::string_view name = entry.displayName ? std::string_view(*entry.displayName) : std::string_view {};
    if (startsWith(entry.fullPath, kBackupFolderPrefix) && name == kSyncControlName)
        return false;
    if (name.starts_with('.'))
        return false;
    // Inside the favourites folder only the shortcut files are shown, never a folder.
    if (!entry.isFile() && startsWith(entry.uk, kFavoriteKeyPrefix))
        return false;
    if (startsWith(entry.fullPath, kFavoritePathPrefix))
        return name.ends_with(kShortcutSuffix);
    return true;
}

std::optional<std::string> StorageServiceLogic::convertJobFolderName(const fileInformation* entry)
{
    if (!entry)
        return std::nullopt;
    return entry->displayName;
}

} // namespace norvane
