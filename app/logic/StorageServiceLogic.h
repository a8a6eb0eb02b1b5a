#pragma once

#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"
#include "CloudServiceSDKForMac/CloudService/FileLockError.h"
#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "formats/Date.h"
#include "formats/GDataXMLElement.h"
#include "platform/Value.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

class CommandProgressList;
class CommandProgressObserver;

// Result code made by the folder deletion itself: a child needs rights the user lacks.
inline constexpr std::int32_t ResultNoPermission = 29;

// Domain of the refusals the operations make before anything is sent.
inline constexpr const char* kStorageServiceLogicErrorDomain = "NorvaneOperationErrorDomain";

enum StorageServiceLogicError : long {
    LogicErrorNoService = 1, // no environment, or it has no command service
    LogicErrorUnsafeName = 2, // a server-given name cannot be a local name
    LogicErrorNotAFile = 3, // a folder where only a file will do
    LogicErrorNoSearchPath = 4, // a folder outside the two areas that can be searched
    LogicErrorLocalFile = 5, // a local folder cannot be made
};

// The operations that the windows call. Stateless: every operation is a class-level function.
//
// An operation with a completion callback builds its commands, returns at once (with what it
// built, where the window wants to follow or cancel it) and runs them one after another on the
// shared background queue, each synchronously in the command service of the OperationEnvironment.
// Alerts go through the AlertPresenter by message key. The callback is invoked on the main queue,
// after the alerts, while the worker waits for it to return.
//
// Server paths given as an entry's key ("/FILE/a b.txt") are raw; the operations escape them for
// the request. Paths documented as "escaped" are used as given.
class StorageServiceLogic {
public:
    StorageServiceLogic() = delete;

    using ResultCallback = std::function<void(std::int32_t result)>;

    // --- session and listing (StorageServiceLogicSession.cpp) ---

    // Connect probe, then login with the settings' company, user, password and device. A failed
    // probe reports 3 when unreachable, else 13. On success the account values go to the settings,
    // the callback gets 1 and then the automatic-logout timer starts. No alert.
    static void commonLogin(bool autoLogin, ResultCallback comple);
    // Logout; after the callback the automatic-logout timer stops. No alert.
    static void commonLogout(ResultCallback comple);
    // Changes the password from the settings' oldPass to theNewPass, with its alerts.
    static void commonChangePassword(ResultCallback comple);
    // Lists the folder into its childrens: inherited manager and read-only marks, the display
    // filter, the favourites entry for "/FOLDER", folders first (the backup folder leading), then
    // by name. The new list is put in place on the main queue just before the callback, so a window
    // reading childrens there never sees it half built. Two listings of one entry never overlap.
    // Unless silent, a time-out shows "message_net_timeout". `option` holds the dialog switches
    // "isDisableDialog404"/"isDisableDialog410", for results that have no dialog of their own.
    static void getFolderInfo(
        const std::shared_ptr<fileInformation>& folder, bool silentFlag, const ValueMap& option, ResultCallback comple);
    // Folders before files; among folders "/FOLDER/BackupFolder" first; the rest by display name,
    // ignoring case.
    static void sortListing(FileInfoList& entries);

    // --- downloads (StorageServiceLogicDownloads.cpp) ---

    using LocalFileCallback = std::function<void(std::int32_t result, const std::string& localPath)>;
    using DataCallback = std::function<void(std::int32_t result, const std::shared_ptr<Bytes>& data)>;
    using ImageCallback = std::function<void(std::int32_t result, const ThumbnailImage& image)>;
    // Turns downloaded bytes into the window's picture; null when they are no picture. Runs on a
    // worker thread.
    using ImageDecoder = std::function<ThumbnailImage(const Bytes& data)>;

    // One file (raw server path) into `data` (a fresh buffer when null), or into `localFile` when
    // it is not empty: the bytes gather beside it and take its name only when complete. With
    // showError a failure shows its alert.
    static CloudServiceCommandPtr downloadFile(std::shared_ptr<Bytes> data, const std::string& filePath,
        std::uint64_t targetFileSize, const std::optional<std::string>& timestamp, const std::string& localFile,
        bool showError, ResultCallback comple);
    static CloudServiceCommandPtr downloadFile(std::shared_ptr<Bytes> data, const std::string& filePath,
        std::uint64_t targetFileSize, const std::optional<std::string>& timestamp, const std::string& localFile,
        ResultCallback comple);
    // Into the cache: tmp/file_cache/<folder id>/<display name>, replacing an earlier copy (but
    // never one that holds a change not yet sent: that is given back as it is, with an alert). Both
    // names come from the server and are refused (result 2, nothing written) when they are not a
    // single plain name; a link planted at the folder's place is refused too.
    static CloudServiceCommandPtr downloadFileToFile(const fileInformation& entry, LocalFileCallback comple);
    static CloudServiceCommandPtr downloadFileToData(const fileInformation& entry, DataCallback comple);
    // The entry's thumbnail with the given edge length; no alert. The second runs on the thumbnail
    // queue (at most 30 at once) instead of the background queue.
    static void downloadThumbnailImage(const fileInformation& entry, long sizeOption, ImageCallback comple);
    static void downloadThumbnailImageWithQueue(const fileInformation& entry, long sizeOption, ImageCallback comple);
    static void setImageDecoder(ImageDecoder decoder);

    // What a tree transfer left out, and why: server paths for downloads, local paths for uploads.
    struct LeftOut {
        std::vector<std::string> badNames; // names that cannot be used at the other end
        std::vector<std::string> unreadFolders; // folders whose content could not be listed
        std::vector<std::string> links; // symbolic links of a local tree, never followed

        bool empty() const { return badNames.empty() && unreadFolders.empty() && links.empty(); }
    };

    // Downloads the entries (files, and folders with their trees) into localPath, then shows the
    // tree alert. Every command built is appended to `progress` and shown to `observer` (both may
    // be null). Transfers run in order; the first failure ends the download. An entry whose name
    // cannot be a local name ("/", NUL, control characters, "." or "..") is skipped with its
    // content, and so is a folder whose listing fails; the rest goes on, and at the end an alert
    // names what was left out and the result is 2 unless something else failed first.
    static void downloadItemsToPath(const FileInfoList& items, const std::string& localPath,
        std::shared_ptr<CommandProgressList> progress, std::shared_ptr<CommandProgressObserver> observer,
        ResultCallback comple);
    // The server folder (raw path) into the new local directory localPath; as above.
    static void downloadFolderToPath(const std::string& localPath, const std::string& serverPath,
        std::shared_ptr<CommandProgressList> progress, std::shared_ptr<CommandProgressObserver> observer,
        ResultCallback comple);
    // Synchronous scan: creates localPath (5 when anything is there already, 2 when it cannot be
    // made), lists the server folder and appends a get command per file to `commands`, recursing
    // into sub-folders (one that exists locally is skipped). 4 when a listing was cancelled, else 1.
    // Entries with unusable names and folders whose listing failed are skipped and named in
    // *leftOut.
    static std::int32_t downloadFolderContent(const std::string& localPath, const std::string& serverPath,
        CommandProgressList* progress, std::vector<CloudServiceCommandPtr>& commands, CommandProgressObserver* observer,
        LeftOut* leftOut = nullptr);

    // --- uploads (StorageServiceLogicUploads.cpp) ---

    // One file of a drop: its local path, the server folder it goes to ("/FOLDER..." or
    // "/SHAREFOLDER..." for folder trees) and the server time stamp it had when fetched.
    struct UploadItem {
        std::string filePath;
        std::string serverPath;
        std::optional<std::string> timestamp;
    };

    // One local file to serverPath (escaped, used as given), new or replacing; runs on the serial
    // queue "uploadWatchFileQueue" so such uploads keep their order. No alert. A null
    // editpermission is not sent.
    static CloudServiceCommandPtr uploadFileByFile(const std::string& localPath, const std::string& serverPath,
        std::int32_t uploadType, const std::string& displayName, bool newFlag,
        const std::optional<std::string>& timestamp, const std::optional<Date>& createDate, const Value& editpermission,
        ResultCallback comple);
    // A new file named as the local one, into the server folder (raw path).
    static CloudServiceCommandPtr uploadFileByFile(
        const std::string& localPath, const std::string& serverFolderPath, ResultCallback comple);
    // Dropped files, run in order; the first failure stops the run and is reported, and every
    // command not run then holds 4. Before anything is sent every name is checked by the rules of
    // new names (fileNameMessageKey): one that breaks them refuses the whole drop (result 2, every
    // command failed unsent) with an alert naming the bad ones, so that nothing is half done. No
    // other alert.
    static std::vector<CloudServiceCommandPtr> uploadFiles(
        const std::vector<UploadItem>& items, const Value& editpermission, ResultCallback comple);
    // Dropped directories as one list of folder creations and file uploads, run as uploadFiles
    // (names of the whole trees checked first). Symbolic links inside the trees are never
    // followed: they are left out and named in an alert. A folder that cannot be read is left out
    // too, named in an alert, and the result is 2 unless something else failed first; what did
    // go up stays.
    static std::vector<CloudServiceCommandPtr> uploadFolders(
        const std::vector<UploadItem>& items, const Value& editpermission, ResultCallback comple);
    // The commands for one local directory below the server folder serverPath: its folder
    // creation, then per entry (hidden names skipped) a file upload or, for a sub-directory, its
    // own list. Symbolic links are not followed, unreadable folders not listed, names not fit for
    // the server not uploaded: each goes to *leftOut. Files below a server folder that is neither
    // "/FOLDER..." nor "/SHAREFOLDER..." end the directory's list.
    static std::vector<CloudServiceCommandPtr> makeUploadCmds(const std::string& localDirectory,
        const Value& editpermission, const std::string& serverPath, LeftOut* leftOut = nullptr);
    // The local paths among these (files, or directories with everything in them but hidden
    // entries and links) whose names break the rules of new names: what uploadFiles and
    // uploadFolders would refuse. A caller that starts several uploads checks them all first.
    static std::vector<std::string> uploadNamesRefused(const std::vector<std::string>& localPaths);

    // --- file management (StorageServiceLogicFileManagement.cpp) ---

    // One entry of a multiple move or copy.
    struct SourceItem {
        std::string uk;
        std::string displayname;
    };
    using LockCallback = std::function<void(std::int32_t result, const std::optional<FileLockError>& lockError)>;
    using SearchCallback = std::function<void(std::int32_t result, const std::optional<FileInfoList>& found)>;

    // Moves sourceFile into destFolder under displayName, or copies it into destFolder. A name
    // already there is replaced only after the user agreed, and only when it may be edited.
    static void moveFile(const std::string& destFolder, const std::string& sourceFile, const std::string& displayName,
        std::int32_t accessFlg, ResultCallback comple);
    static void copyFile(const std::string& destFolder, const std::string& sourceFile, const std::string& displayName,
        std::int32_t accessFlg, ResultCallback comple);
    // Several at once: one question for all replaceable names, one alert for all failures; the
    // callback always gets 1.
    static void moveFiles(const std::string& destFolder, const std::vector<SourceItem>& sources, std::int32_t accessFlg,
        ResultCallback comple);
    static void copyFiles(const std::string& destFolder, const std::vector<SourceItem>& sources, std::int32_t accessFlg,
        ResultCallback comple);
    // Renames sourcePath to newPath (both raw server paths).
    static void renameFile(
        const std::string& newPath, const std::string& sourcePath, bool isFolder, ResultCallback comple);
    // Deletes the file with the raw server path.
    static void deleteFile(const std::string& path, ResultCallback comple);
    // Deletes the folder with its content (deleteFolderContent), then alerts.
    static void deleteFolder(const fileInformation& folder, ResultCallback comple);
    // Synchronous. Checks every child's rights before deleting anything of a level (29 when one
    // needs rights the user lacks), deletes files and sub-folders, then the folder. A level whose
    // listing or content could not be dealt with is not deleted: its folder stays and its result
    // is returned, so nothing the checks did not see goes with it.
    static std::int32_t deleteFolderContent(const fileInformation& folder);
    // Creates the folder; `path` is escaped, used as given.
    static void makeFolder(const std::string& path, ResultCallback comple);
    // Locks or unlocks a file; a folder gets 2 without a request. On 5 the callback receives who
    // holds the lock, as the server's answer says.
    static void lockFile(const fileInformation& entry, bool lockOrUnlock, LockCallback comple);
    // Sets the access permission of the raw server path.
    static void chmodFile(const std::string& path, std::int32_t accessFlag, ResultCallback comple);
    // Searches below a "/FOLDER..." or "/SHAREFOLDER..." folder by file name or by author; found
    // entries are filtered, typed and sorted. Other folders give 2 without a request.
    static void searchFolder(
        const std::string& folderPath, const std::string& keyword, bool byFileName, SearchCallback comple);
    // Collapses runs of "/" after the first character.
    static std::string correctPath(std::string_view path);

    // --- sharing and printing (StorageServiceLogicSharing.cpp) ---

    // "validDay", "downloadUrl", "downloadPassword" and, after a publish, "period".
    using PublishResult = std::map<std::string, std::string>;
    using PublishCallback = std::function<void(std::int32_t result, const PublishResult& link)>;

    // A web download link for the file, valid `period` days for `times` downloads.
    static void publishFile(const std::string& path, int period, int times, int needPassword, PublishCallback comple);
    // The link from a publish answer; an element that is missing (or a body that is no XML) leaves
    // its key out.
    static PublishResult parsePublishXMLData(std::span<const std::uint8_t> data);
    // Registers the file for printing, then shows the outcome.
    static void netPrint(
        const std::string& path, const std::string& password, const std::string& day, ResultCallback comple);
    // The alert message of a print registration's status: a message key, or (empty key) literal
    // text in .second.
    static std::pair<std::string, std::string> netPrintStatusMessage(
        std::string_view status, std::string_view serverMessage);
    // The registered print jobs, one Record (made by its xmlElement2Entity) per "FileInfo" element
    // of the server's list; none unless the result is 1.
    template <class Record>
    static void getNetPrintInfo(std::function<void(std::int32_t, std::optional<std::vector<Record>>)> comple)
    {
        auto records = std::make_shared<std::vector<Record>>();
        fetchNetPrintElements(
            [records](const GDataXMLElement& element) {
                Record record;
                record.xmlElement2Entity(element);
                records->push_back(std::move(record));
            },
            [records, comple = std::move(comple)](std::int32_t result) {
                if (!comple)
                    return;
                if (result == 1)
                    comple(result, std::move(*records));
                else
                    comple(result, std::nullopt);
            });
    }
    // What getNetPrintInfo runs: eachElement gets a copy of every "FileInfo" element, in document
    // order, on the worker thread; then comple gets the result on the main queue.
    static void fetchNetPrintElements(std::function<void(const GDataXMLElement&)> eachElement, ResultCallback comple);

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
