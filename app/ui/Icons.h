#pragma once

#include <QIcon>
#include <QString>

namespace norvane {

// The pictures of the windows. The desktop's icon theme is asked first (by freedesktop name);
// offscreen and on bare X servers there is none, so every icon has a fallback of our own, drawn
// as vector shapes at whatever size and scale is asked, so it stays sharp at 2x.
class Icons {
public:
    enum class Name {
        Application,
        FolderGray, // "folder_gray_closed.png": My folder
        FolderGreen, // "folder_green_closed.png": the shared area
        FolderBlue, // "folder_blue_closed.png": the backup folder
        FolderFavorite, // "folder_favorite_closed.png"
        FolderRed, // "folder_red_closed.png": a read-only top-level shared folder
        FolderYellow, // "folder_yellow_closed.png": every other folder
        Logout,
        Settings,
        File, // a generic document
        FileText,
        FileImage,
        FileVideo,
        FileAudio,
        FilePdf,
        FileDocument,
        FileSpreadsheet,
        FilePresentation,
        FileArchive,
        Caution,
        Lock,
        GoToPath,
        Refresh,
        Open,
        Download,
        NewFolder,
        Delete,
        WebShare,
        Print,
    };

    static QIcon icon(Name name);
    // Our own drawing only, never the theme's (the side bar's coloured folders mean something).
    static QIcon bundled(Name name);
    // A file's icon by its name: the theme's icon for its MIME type, then for the type's generic
    // kind, then our own drawing of that kind. Kept per extension: a folder of thousands of rows
    // asks the MIME database once per kind of file, not once per row.
    static QIcon forFileName(const QString& fileName);
    // Our drawing for a MIME type's generic icon name ("image-x-generic").
    static Name bundledKind(const QString& mimeName, const QString& genericIconName);
};

} // namespace norvane
