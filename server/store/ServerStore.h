#pragma once

#include "platform/WriteGatherer.h"
#include "server/store/Records.h"
#include "server/store/StoreLimits.h"
#include "server/store/StoreResult.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane::server {

class UploadChunk;

// Everything the server keeps: companies, users, devices, sessions, the entry trees, content,
// upload sessions, share links and print jobs, in one SQLite database (WAL) plus content files
// under the data folder. Thread-safe: every call may come from any worker thread of the HTTP
// front end. Every change is one transaction; what a call acknowledged survives kill -9.
class ServerStore {
public:
    // Opens (creating when needed) DIR/norvane.db, DIR/blobs, DIR/uploads; removes blobs that no
    // entry refers to and trims upload part files to the offset that the database recorded.
    // Starts the background prune of ended sessions (see StoreLimits).
    static StoreResult<std::unique_ptr<ServerStore>> open(
        const std::filesystem::path& dataDir, const StoreLimits& limits = {});
    ~ServerStore();
    ServerStore(const ServerStore&) = delete;
    ServerStore& operator=(const ServerStore&) = delete;

    const std::filesystem::path& dataDir() const;
    const StoreLimits& limits() const;

    // --- the clock of the time rules ---------------------------------------------------------
    void setClock(StoreClock clock);
    // Moves the clock forward (the control endpoint's way of letting hours pass); the prune
    // looks at once.
    void advanceClock(std::chrono::seconds by);
    std::chrono::system_clock::time_point now();

    // --- companies, users, devices -------------------------------------------------------
    StoreResult<Company> createCompany(const Company& company);
    StoreResult<Company> companyByCode(const std::string& code);
    StoreResult<Company> companyById(std::int64_t id);
    StoreStatus updateCompany(const Company& company);
    // Also creates the personal area with the folders Photos, Memo, Recorder and ".Favorite.".
    StoreResult<User> createUser(std::int64_t companyId, const std::string& login, const std::string& fullName,
        const std::string& password, bool suspended = false);
    StoreResult<User> userByLogin(std::int64_t companyId, const std::string& login);
    StoreResult<User> userById(std::int64_t id);
    StoreResult<User> userByKey(const std::string& userKey);
    bool checkPassword(const User& user, const std::string& password);
    // Sets the password and ends every session of the user, except the newest one of `keepDevice`
    // (the device that asked for the change goes on working).
    StoreStatus setPassword(std::int64_t userId, const std::string& password, const std::string& keepDevice = {});
    StoreStatus setSuspended(std::int64_t userId, bool suspended);
    // A device id seen at login: registered ones pass where the company requires registration.
    StoreStatus rememberDevice(std::int64_t userId, const std::string& deviceId);
    StoreStatus registerDevice(std::int64_t userId, const std::string& deviceId, bool registered = true);
    bool isDeviceRegistered(std::int64_t userId, const std::string& deviceId);

    // --- sessions ---------------------------------------------------------------------------
    StoreResult<Session> createSession(std::int64_t userId, const std::string& deviceId);
    // The session named by an authorization value "qor:var:companyId:userKey", if it is live: not
    // idle for longer, nor older, than the limits allow. Each use counts, to the minute.
    StoreResult<Session> sessionByAuthorization(const std::string& authorization);
    // Removes ended sessions and forgotten login failures; the number of rows removed. The
    // background prune calls it every StoreLimits::pruneEvery.
    StoreResult<std::int64_t> pruneExpired();

    // --- failed logins and password checks (see LoginThrottleLimits) -------------------------
    // How long the attempt must still wait; nothing when it may go ahead.
    std::optional<std::chrono::seconds> loginWait(const LoginAttempt& attempt);
    void loginFailed(const LoginAttempt& attempt);
    void loginSucceeded(const LoginAttempt& attempt);

    // --- the trees -------------------------------------------------------------------------
    AreaRef personalArea(const User& user) const { return { Area::Personal, user.id }; }
    AreaRef sharedArea(const User& user) const { return { Area::Shared, user.companyId }; }
    // Top-level folder of the shared area, with the users who manage it.
    StoreResult<Entry> createSharedFolder(
        std::int64_t companyId, const std::string& name, const std::vector<std::int64_t>& managerIds);

    StoreResult<Entry> lookup(const AreaRef& area, const std::vector<std::string>& path);
    StoreResult<std::vector<Entry>> children(const Entry& folder); // folders first, then by name
    // True when the folder has no children (cheaper than listing them).
    StoreResult<bool> isEmptyFolder(const Entry& folder);
    EntryRights rightsOf(const User& user, const Entry& entry);
    // The folder's children as the user sees them (rights, and for folders whether they are
    // empty), read in one step with a few statements however many there are; `generation` is the
    // content generation they were read at.
    struct FolderListing {
        std::vector<ListedEntry> rows;
        std::uint64_t generation = 0;
    };
    StoreResult<FolderListing> listing(const User& user, const Entry& folder);
    // Changes whenever an entry, a user, a company or a manager changes (not with sessions or
    // upload offsets): what was read at one value reads the same while it stays.
    std::uint64_t contentGeneration() const;
    // Files and folders below the folder (not the folder itself) whose name, or author login or
    // author name, contains the text ignoring case.
    StoreResult<std::vector<Entry>> search(const Entry& folder, const std::string& text, bool byAuthor);

    StoreResult<Entry> createFolder(
        const User& user, const AreaRef& area, const std::vector<std::string>& path, const EntryMeta& meta);
    // Moves or renames the entry to the path (which names the new entry, not its parent). A tree
    // moves only when the user may change every entry in it; owners stay what they were.
    StoreResult<Entry> move(const User& user, const AreaRef& fromArea, const std::vector<std::string>& from,
        const AreaRef& toArea, const std::vector<std::string>& to, bool overwrite, const EntryMeta& meta);
    // Copies the entry (file or folder tree) into the folder under its own name. A tree of more
    // than copyInBackgroundAbove entries is copied by a background thread; the destination and
    // source trees carry the action fields until it ends.
    StoreResult<Entry> copy(const User& user, const AreaRef& fromArea, const std::vector<std::string>& from,
        const AreaRef& toArea, const std::vector<std::string>& toFolder, bool overwrite, const EntryMeta& meta);
    // Removes the entry with everything below it, only when the user may change every entry.
    StoreStatus remove(const User& user, const AreaRef& area, const std::vector<std::string>& path);
    StoreStatus setEditPermission(
        const User& user, const AreaRef& area, const std::vector<std::string>& path, int editPermission);
    StoreStatus setReadOnly(const AreaRef& area, const std::vector<std::string>& path, bool readOnly);
    // Lock or unlock a file for the user, who is named as its holder.
    StoreStatus setLock(const User& user, const AreaRef& area, const std::vector<std::string>& path, bool lock);
    void setCopyInBackgroundAbove(std::size_t entries);
    void setCopyStepDelayMs(int milliseconds); // slows background copies down for tests
    // Blocks until no background copy runs (tests and shutdown).
    void waitForBackgroundCopies();
    // The state of a reading or a change of the entry while a copy runs: CopySource or CopyDest
    // when it is part of one, else nothing.
    std::optional<StoreError> copyStateOf(const Entry& entry);

    // --- content ---------------------------------------------------------------------------
    std::filesystem::path blobPath(const std::string& blobId) const;
    std::int64_t usedBytes(std::int64_t userId);

    // --- uploads ---------------------------------------------------------------------------
    // The offset held for (user, path, md5); 0 when there is no session.
    std::int64_t uploadOffset(std::int64_t userId, const std::string& path, const std::string& md5);
    // Checks the target and rights (parent folder exists, PUT needs an existing file
    // (NotFound -> the caller answers 410), locks, size limit, quota) before any byte is kept.
    StoreStatus checkUpload(
        const User& user, const AreaRef& area, const std::vector<std::string>& path, std::int64_t size, bool mustExist);
    // Begins one chunk that starts at `offset`: the target and the offset are checked, the session
    // is found or made, and no other chunk of it may begin until this one ends (UploadChunk).
    StoreResult<std::unique_ptr<UploadChunk>> beginChunk(const User& user, const AreaRef& area,
        const std::vector<std::string>& path, const std::string& pathText, const std::string& md5, std::int64_t size,
        std::int64_t offset, const EntryMeta& meta);
    // One whole chunk through beginChunk: the chunk source is called until it returns 0.
    StoreResult<UploadSession> appendChunk(const User& user, const AreaRef& area, const std::vector<std::string>& path,
        const std::string& pathText, const std::string& md5, std::int64_t size, std::int64_t offset,
        const std::function<long(char* buffer, std::size_t capacity)>& source, const EntryMeta& meta);
    // Writes a whole file at once through the same checks and commit as an upload (demo seeding,
    // tests). Replaces the content of an existing file.
    StoreResult<Entry> putFile(const User& user, const AreaRef& area, const std::vector<std::string>& path,
        std::string_view content, const EntryMeta& meta = {});
    // Adds `count` empty files named prefix + a seven-digit index (from 0) + suffix to the folder,
    // all in one transaction, sharing one blob (BulkFiles.cpp; benchmarks of big folders).
    StoreResult<std::int64_t> addEmptyFiles(const User& user, const AreaRef& area,
        const std::vector<std::string>& folder, const std::string& prefix, std::int64_t count,
        const std::string& suffix = {});
    static constexpr std::int64_t kMaxBulkFiles = 5'000'000;

    // --- share links and print jobs ----------------------------------------------------------
    StoreResult<ShareLink> createShareLink(
        const User& user, const Entry& file, int validDays, std::int64_t downloadLimit, bool needPassword);
    StoreResult<ShareLink> shareLink(const std::string& key);
    // Checks a password given for the link: the link when it is right; Invalid when it is wrong,
    // which counts against the link, and Forbidden once it is disabled by too many of them.
    StoreResult<ShareLink> unlockShareLink(const std::string& key, const std::string& password);
    // Counts one delivery; refuses (Forbidden) past the limit or the expiry.
    StoreResult<ShareLink> countShareDownload(const std::string& key);
    StoreResult<Entry> entryById(std::int64_t id);

    StoreResult<PrintJob> addPrintJob(const PrintJob& job);
    StoreResult<std::vector<PrintJob>> printJobs(std::int64_t userId);
    StoreStatus removePrintJob(std::int64_t userId, const std::string& key);

private:
    friend class UploadChunk;
    struct State;
    explicit ServerStore(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// One chunk of an upload, begun by ServerStore::beginChunk and fed the request body as it arrives.
// Its bytes are written and synced before the new offset is recorded; when the session reaches
// its size the MD5 is checked and the file becomes visible in one transaction (replacing the
// content of an existing entry), and the returned session has received == size. A chunk that
// ends without finish() leaves the session at the offset it had.
class UploadChunk {
public:
    ~UploadChunk();
    UploadChunk(const UploadChunk&) = delete;
    UploadChunk& operator=(const UploadChunk&) = delete;

    // False when the bytes are refused (they run past the announced size, or the disk failed):
    // finish() then tells why.
    bool write(const char* data, std::size_t size);
    // Why write() refused bytes; nothing while it has taken them all.
    std::optional<StoreFailure> failure() const;
    StoreResult<UploadSession> finish();

private:
    friend class ServerStore;
    struct Impl;
    explicit UploadChunk(std::unique_ptr<Impl> impl);
    WriteGatherer::Write toPartFile(); // writes at the part file's end, or throws
    std::unique_ptr<Impl> impl_;
};

} // namespace norvane::server
