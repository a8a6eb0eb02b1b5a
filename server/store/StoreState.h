#pragma once

// Internals shared by the files that implement ServerStore. Nothing outside server/store includes
// this header.

#include "platform/Log.h"
#include "server/store/BlobStore.h"
#include "server/store/Database.h"
#include "server/store/EntryNames.h"
#include "server/store/PrintableText.h"
#include "server/store/ServerStore.h"

#include <openssl/evp.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace norvane::server {

// A refusal raised deep inside a store call; the public call returns its failure.
struct Refusal {
    StoreFailure failure;
};
[[noreturn]] void refuse(StoreError error, std::string detail = {});

// Runs the body of a public call: a refusal becomes its failure, any other exception (the
// database, the file system) an Io failure that is also logged.
template <typename T, typename Body> StoreResult<T> guarded(const char* what, Body&& body)
{
    try {
        return body();
    } catch (const Refusal& refusal) {
        return refusal.failure;
    } catch (const std::exception& error) {
        Log::line(std::string("store: ") + what + " failed: " + error.what());
        return storeFailure(StoreError::Io, error.what());
    }
}

std::int64_t nowSeconds();
std::int64_t nowMilliseconds();

// What the copy of a running background copy refers to. The destination folder carries the
// action fields; the bytes still to be copied count against the copying user's quota.
struct RunningCopy {
    std::int64_t sourceId = 0;
    std::int64_t destId = 0;
    std::int64_t userId = 0;
    std::int64_t pendingBytes = 0;
};

// An entry with the ids behind its owner and lock texts, which decide rights.
struct Node {
    Entry entry;
    std::int64_t ownerId = 0; // 0: nobody (top-level shared folders)
    std::int64_t lockOwnerId = 0;

    std::int64_t id() const { return entry.id; }
    bool isRoot() const { return entry.parentId == 0; }
    bool isLocked() const { return lockOwnerId != 0 || !entry.lockUserId.empty(); }
    bool isLockedByOther(std::int64_t userId) const { return isLocked() && lockOwnerId != userId; }
};

// The entry's own id and its ancestors' up to the root, and what they imply.
struct Lineage {
    std::vector<std::int64_t> ids; // the entry first, the root last
    std::int64_t topFolderId = 0; // the ancestor (or the entry) right below the root; 0 for a root
    bool readOnly = false; // the entry or an ancestor is read-only
};

// The running MD5 of an upload session's part file up to `covers`, so that completing the upload
// does not read the whole file again.
struct PartDigest {
    std::int64_t covers = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx { nullptr, &EVP_MD_CTX_free };
};

// Where an upload lands: the folder, and the file it replaces if there is one.
struct UploadTarget {
    Node parent;
    std::optional<Node> existing;
};

struct ServerStore::State {
    std::filesystem::path dataDir;
    StoreLimits limits;
    std::unique_ptr<Database> db;
    std::unique_ptr<BlobStore> blobs;
    StoreClock clock = [] { return std::chrono::system_clock::now(); };
    std::chrono::seconds clockShift { 0 };
    std::thread pruner;
    bool pruneNow = false; // the clock jumped: the pruner looks without waiting

    // Guards the database and everything below. Held only for short steps: never while bytes
    // of an upload arrive, never across the whole of a background copy.
    std::mutex mutex;
    std::condition_variable changed; // a background copy ended, or the store is stopping
    bool stopping = false;
    std::int64_t lastStamp = 0;
    std::vector<std::shared_ptr<RunningCopy>> copies;
    std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> copyWorkers; // thread, finished
    std::set<std::string> busyUploads; // sessions whose chunk is being written right now
    std::map<std::string, PartDigest> partDigests; // by session, between its chunks

    std::atomic<std::size_t> copyInBackgroundAbove { 64 };
    std::atomic<int> copyStepDelayMs { 0 };

    // --- everything below expects `mutex` to be held ---

    // A version stamp (milliseconds) later than every one handed out before.
    std::int64_t nextStamp();
    // The clock of the time rules, in unix seconds and milliseconds.
    std::int64_t ruleSeconds();
    std::int64_t ruleMilliseconds();

    // Tree reading (StoreState.cpp). `path` of the results is filled.
    std::optional<Node> nodeById(std::int64_t id);
    std::optional<Node> rowById(std::int64_t id); // without `path`: cheaper where it is not needed
    std::optional<Node> rootOf(const AreaRef& area);
    std::optional<Node> childOf(const Node& folder, const std::string& name);
    std::optional<Node> find(const AreaRef& area, const std::vector<std::string>& path);
    Node require(const AreaRef& area, const std::vector<std::string>& path); // NotFound
    // The folder that will hold `path`: it must exist (NotFound) and be a folder (NotAFolder).
    Node requireParent(const AreaRef& area, const std::vector<std::string>& path);
    std::vector<Node> childrenOf(const Node& folder);
    // Everything below the folder, each folder before its content.
    std::vector<Node> descendants(const Node& folder);
    Lineage lineage(std::int64_t id);
    std::int64_t insertNode(const Node& node); // returns the new id

    // Rights.
    EntryRights rights(const User& user, const Node& node);
    // The rights on an entry of the user's company's shared area (not its root), given what its
    // lineage implies.
    static EntryRights sharedRights(const User& user, const Node& node, bool lineReadOnly, bool isManager);
    bool mayCreateIn(const User& user, const Node& folder);
    void requireArea(const User& user, const AreaRef& area); // Forbidden
    void requireChange(const User& user, const Node& node); // Forbidden
    // Forbidden unless the user may change the entry and everything below it.
    void requireChangeTree(const User& user, const Node& node);
    // Locked when the entry (or, with `wholeTree`, anything below it) is locked by another user.
    void requireUnlocked(const User& user, const Node& node, bool wholeTree);
    // CopySource / CopyDest when the entry is part of a running copy, or (with `wholeTree`)
    // when a running copy lies below it.
    void requireNotCopying(const Node& node, bool wholeTree);
    std::optional<StoreError> copyStateOf(std::int64_t id);

    // Removes the entry and everything below it; the blobs they held are added to `freed` for
    // releaseBlobs after the commit.
    void deleteTree(const Node& node, std::vector<std::string>& freed);
    // Deletes the files of blobs that no entry refers to any more.
    void releaseBlobs(const std::vector<std::string>& ids);

    // Sessions and the login throttle (Sessions.cpp, LoginThrottle.cpp).
    std::int64_t pruneSessions();
    std::int64_t pruneLoginFailures();
    void runPruner();

    // Accounts and content (Accounts.cpp, Uploads.cpp).
    std::optional<Company> loadCompany(std::int64_t id);
    std::optional<User> loadUser(std::int64_t id);
    std::int64_t usedBytes(std::int64_t userId);
    // QuotaExceeded when `extraBytes` more would take the user beyond the company's quota.
    void requireQuota(std::int64_t companyId, std::int64_t userId, std::int64_t extraBytes);
    // The quota of everyone for whom a tree moved from one area to the other counts anew.
    void requireQuotaForMove(const User& user, const Node& tree, const AreaRef& toArea);
    // The user charged for the files of a tree: the area's user for a personal area, else the
    // given one.
    std::int64_t chargedUser(const AreaRef& area, std::int64_t ownerId) const;

    // Background copies (BackgroundCopy.cpp).
    void startBackgroundCopy(
        const User& user, const Node& source, const Node& dest, std::int64_t entries, std::int64_t bytes);
    void runBackgroundCopy(const User& user, const std::shared_ptr<RunningCopy>& copy, std::int64_t total);
    // Removes destination trees left behind by copies that a stop or a crash interrupted.
    void discardInterruptedCopies();

    // Uploads (Uploads.cpp).
    // Everything that decides whether the file may be written: checked before a byte is kept
    // and again before it becomes visible.
    UploadTarget examineUpload(
        const User& user, const AreaRef& area, const std::vector<std::string>& path, std::int64_t size, bool mustExist);
    std::filesystem::path partPath(const std::string& sessionId) const;
    void trimUploadParts();
    void dropUpload(const std::string& sessionId);
    // The running digest of the session's first `offset` bytes (given up by the state); without
    // one, a fresh digest at offset 0, else none.
    PartDigest takePartDigest(const std::string& sessionId, std::int64_t offset);
    void keepPartDigest(const std::string& sessionId, std::int64_t covers, PartDigest digest);
};

// Descriptive text of a request as it is kept: one line of printable text.
std::string storedText(std::string_view text);

// Copies one entry's descriptive fields to a new entry of `user` below `parent`.
Node cloneFor(const User& user, const Node& source, const Node& parent, std::int64_t stamp);
// A new entry of `user` below `parent`, described by what came with the request.
Node newNodeFor(const User& user, const Node& parent, const std::string& name, bool isFolder, const EntryMeta& meta,
    std::int64_t stamp);

} // namespace norvane::server
