#pragma once

#include "platform/FileEventStream.h"
#include "platform/Value.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

class MainQueue;
class NotificationCenter;

// Posted on the main thread after an edited file went back to the server; the user info holds
// the watch entry (WatchEntry::toValueMap) under kWatchInfoKey.
inline constexpr const char* kNotificationWatchFileUploaded = "NOTIFICATION_WATCH_FILE_UPLOADED";
inline constexpr const char* kWatchInfoKey = "watchInfo";

// A file the user opened from the server, kept in the cache folder and watched for edits.
struct WatchEntry {
    std::string uk; // the server key of the file
    std::string serverPath; // its last component is the name the file is uploaded with
    std::string localPath; // the local copy
    std::optional<std::string> timestamp; // server time stamp of the version downloaded
    std::filesystem::file_time_type lastModified; // of the local copy, when registered or last looked at
    Value editpermission; // passed through to the upload

    // "uk", "serverPath", "localPath", "timestamp" (when known), "lastModified" (seconds since
    // 1970) and "editpermission".
    ValueMap toValueMap() const;
};

// The locally opened files whose edits are uploaded again, fed with the event batches of the
// stream over the cache folder.
//
// One save gives one upload, whatever way the editor saves: a batch is looked at per watched
// file, not per event; a file still open for writing (created or written, not yet closed) is
// looked at again once its writer has closed it, or after the settle time; an editor that writes
// a new file and renames it over the old one is seen by the local path, not by the temporary
// name. A save that leaves the content as it was last uploaded (same size and MD5) uploads
// nothing. Content checks run in order off the main thread.
//
// A change is unsent from the moment it is seen until its upload succeeds. A failed upload is
// told to the user (an alert naming the file) and the change is sent again with the next one, or
// when retryUnsent asks; until then the copy is the only place the change exists, which is what
// unsentEntries tells logout and quit (and, with noteUnsent, what keeps every clearing of the
// temporary folder away from the copy, in this process and any other).
class WatchedFiles {
public:
    // Called once per upload with its result code (1 = success), on the main thread.
    using UploadDone = std::function<void(std::int32_t result)>;
    // Uploads entry.localPath over the server file of the entry.
    using Uploader = std::function<void(const WatchEntry& entry, UploadDone done)>;
    // Runs the content checks one after another; empty: a serial queue of its own.
    using Executor = std::function<void(std::function<void()>)>;

    struct Options {
        std::shared_ptr<MainQueue> mainQueue; // null: MainQueue::shared()
        Executor checks;
        NotificationCenter* center = nullptr; // null: the default centre
        double settleSeconds = 1.0;
        // Notes copies with unsent changes in UnsentEdits (and takes a noted copy that is
        // registered again as unsent).
        bool noteUnsent = false;
    };

    explicit WatchedFiles(Uploader uploader);
    WatchedFiles(Uploader uploader, Options options);
    ~WatchedFiles();
    WatchedFiles(const WatchedFiles&) = delete;
    WatchedFiles& operator=(const WatchedFiles&) = delete;

    // Registers the file, replacing an entry with the same uk. False, with nothing registered,
    // when the local file has no modification date (it is missing).
    bool add(const std::string& uk, const std::string& serverPath, const std::string& localPath,
        const std::optional<std::string>& timestamp, const Value& editpermission);
    void remove(std::string_view uk);
    // The first entry whose uk ends with the component `name`.
    std::optional<WatchEntry> getWatchInfoByUk(std::string_view name) const;
    // That entry's local copy has a modification date other than the one last seen.
    bool isModified(std::string_view name) const;
    std::vector<WatchEntry> entries() const;
    // The files whose last change has not reached the server.
    std::vector<WatchEntry> unsentEntries() const;
    // Sends the unsent changes again (each only if its content still differs from what the server
    // was last sent).
    void retryUnsent();

    // One batch of the event stream; on the main thread.
    void handleEvents(const std::vector<FileEvent>& events);

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

} // namespace norvane
