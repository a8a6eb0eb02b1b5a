#include "app/logic/StorageServiceLogic.h"

#include <gtest/gtest.h>

using namespace norvane;

namespace {

fileInformation entry(const char* name, const char* fullPath, const char* uk, bool folder = false)
{
    fileInformation info;
    info.displayName = name;
    info.fullPath = fullPath;
    info.uk = uk;
    info.fileType = folder ? 1 : 0;
    return info;
}

} // namespace

TEST(FileTypeTest, ClassByExtensionIgnoringCase)
{
    const std::pair<const char*, std::int64_t> cases[] = {
        { "Photo.JPG", FileExtPhoto },
        { "scan.TIFF", FileExtPhoto },
        { "clip.M4A", FileExtVideo },
        { "sound.wav", FileExtVideo },
        { "voice.mp3", FileExtRecording },
        { "a.caf", FileExtRecording },
        { "notes.txt", FileExtMemo },
        { "book.XLSX", FileExtSpreadsheet },
        { "slides.pptx", FileExtPresentation },
        { "page.htm", FileExtHtml },
        { "page.ehtml", FileExtEhtml },
        { "t.csv", FileExtCsv },
        { "dir.pdf/a.doc", FileExtWord },
        { "README", FileExtUnknown },
        { "archive.tar.gz", FileExtUnknown },
        { "name.", FileExtUnknown },
        { "x.jpgx", FileExtUnknown },
        { "", FileExtUnknown },
    };
    for (const auto& [name, type] : cases)
        EXPECT_EQ(StorageServiceLogic::getFileTypeByFileName(name), type) << name;

    fileInformation folder = entry("pictures.jpg", "/pictures.jpg", "/FOLDER/pictures.jpg", true);
    StorageServiceLogic::setFileType(folder);
    EXPECT_EQ(folder.fileExt, FileExtFolder);
    fileInformation file = entry("a.PDF", "/a.PDF", "/FILE/a.PDF");
    StorageServiceLogic::setFileType(file);
    EXPECT_EQ(file.fileExt, FileExtPdf);
    file.displayName.reset();
    StorageServiceLogic::setFileType(file);
    EXPECT_EQ(file.fileExt, FileExtUnknown);
}

TEST(FileTypeTest, DisplayFilter)
{
    EXPECT_TRUE(StorageServiceLogic::filterFile(entry("a.txt", "/a.txt", "/FILE/a.txt")));
    EXPECT_TRUE(StorageServiceLogic::filterFile(entry("Docs", "/Docs", "/FOLDER/Docs", true)));
    EXPECT_FALSE(StorageServiceLogic::filterFile(entry(".DS_Store", "/x/.DS_Store", "/FILE/x/.DS_Store")));
    EXPECT_FALSE(StorageServiceLogic::filterFile(entry(".SyncCtrl", "/BackupFolder/.SyncCtrl", "/FILE/b")));
    EXPECT_FALSE(StorageServiceLogic::filterFile(entry(".SyncCtrl", "/BackupFolder/pc/d/.SyncCtrl", "/FILE/b")));
    EXPECT_TRUE(StorageServiceLogic::filterFile(entry("SyncCtrl", "/BackupFolder/SyncCtrl", "/FILE/b")));

    // Favourites: only shortcut files, never a folder, not even one named like a shortcut.
    EXPECT_TRUE(StorageServiceLogic::filterFile(entry("link.fvrt", "/.Favorite./link.fvrt", "/FILE/.Favorite./l")));
    EXPECT_FALSE(StorageServiceLogic::filterFile(entry("notes.txt", "/.Favorite./notes.txt", "/FILE/.Favorite./n")));
    EXPECT_FALSE(StorageServiceLogic::filterFile(
        entry("sub.fvrt", "/.Favorite./sub.fvrt", "/FOLDER/.Favorite./sub.fvrt", true)));
    fileInformation unnamed = entry("", "/.Favorite./x", "/FILE/.Favorite./x");
    unnamed.displayName.reset();
    EXPECT_FALSE(StorageServiceLogic::filterFile(unnamed));

    const fileInformation job = entry("Job 1", "/j", "/FOLDER/j", true);
    EXPECT_EQ(StorageServiceLogic::convertJobFolderName(&job), "Job 1");
    EXPECT_EQ(StorageServiceLogic::convertJobFolderName(nullptr), std::nullopt);
}
