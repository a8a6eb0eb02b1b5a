// Resumable uploads: sessions in the database, their bytes in DIR/uploads/<session>.part. A chunk
// is synced to the part file before it is acknowledged; its new offset is recorded without a sync
// of its own (one disk flush per chunk, not two), and at the next open the part file's length is
// taken again, so that after a crash or a power cut every acknowledged byte still counts.

#include "platform/WriteGatherer.h"
#include "server/store/Random.h"
#include "server/store/StoreState.h"

#include <openssl/evp.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace norvane::server {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunkBuffer = 256 * 1024;
// A chunk's body arrives in pieces of 4 KiB that start anywhere in a page; it goes to the part
// file in writes that end on this grid of the file, and writing back to the disk is started after
// each. (Here larger writes than the client's take less of the server's time.)
constexpr std::size_t kWriteStep = 256 * 1024;

[[noreturn]] void failIo(const std::string& what, const fs::path& path)
{
    throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

// An open file descriptor that closes itself.
class FileHandle {
public:
    FileHandle(const fs::path& path, int flags, mode_t mode = 0600)
        : path_(path)
        , fd_(::open(path.c_str(), flags | O_CLOEXEC, mode))
    {
        if (fd_ < 0)
            failIo("cannot open", path);
    }
    ~FileHandle() { ::close(fd_); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int fd() const { return fd_; }
    void truncate(std::int64_t size)
    {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
            failIo("cannot truncate", path_);
    }
    void sync()
    {
        if (::fdatasync(fd_) != 0)
            failIo("cannot sync", path_);
    }
    void writeAll(const char* data, std::size_t size, std::int64_t at)
    {
        while (size > 0) {
            const ssize_t written = ::pwrite(fd_, data, size, static_cast<off_t>(at));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                failIo("cannot write", path_);
            data += written;
            size -= static_cast<std::size_t>(written);
            at += written;
        }
    }

private:
    fs::path path_;
    int fd_;
};

bool isMd5Text(const std::string& text)
{
    if (text.size() != 32)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::string hexOf(const unsigned char* bytes, unsigned size)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0f];
    }
    return text;
}

std::string finalHex(PartDigest& digest)
{
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (EVP_DigestFinal_ex(digest.ctx.get(), bytes, &size) != 1)
        throw std::runtime_error("MD5 failed");
    return hexOf(bytes, size);
}

// MD5 of a whole file, lowercase hex.
std::string md5OfFile(const fs::path& path)
{
    FileHandle file(path, O_RDONLY);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 unavailable");
    std::vector<char> buffer(kChunkBuffer);
    for (;;) {
        const ssize_t got = ::read(file.fd(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            failIo("cannot read", path);
        if (got == 0)
            break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(got));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1)
        throw std::runtime_error("MD5 failed");
    return hexOf(digest, size);
}

std::string md5OfText(std::string_view text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 failed");
    return hexOf(digest, size);
}

} // namespace

UploadTarget ServerStore::State::examineUpload(
    const User& user, const AreaRef& area, const std::vector<std::string>& path, std::int64_t size, bool mustExist)
{
    State& s = *this;
    if (path.empty() || !isValidEntryPath(path))
        refuse(StoreError::Invalid, "unacceptable upload target " + pathText(path));
    if (size < 0)
        refuse(StoreError::Invalid, "negative size");
    s.requireArea(user, area);
    UploadTarget target { s.requireParent(area, path), std::nullopt };
    target.existing = s.childOf(target.parent, path.back());
    if (!target.existing && mustExist)
        refuse(StoreError::NotFound, pathText(path) + " does not exist");
    std::int64_t charged = user.id;
    std::int64_t previousSize = 0;
    if (target.existing) {
        const Node& existing = *target.existing;
        if (existing.entry.isFolder)
            refuse(StoreError::NotAFile, pathText(path) + " is a folder");
        s.requireNotCopying(existing, false);
        s.requireUnlocked(user, existing, false);
        s.requireChange(user, existing);
        charged = s.chargedUser(area, existing.ownerId);
        previousSize = existing.entry.size;
    } else {
        s.requireNotCopying(target.parent, false);
        if (!s.mayCreateIn(user, target.parent))
            refuse(StoreError::Forbidden, "no right to create in " + pathText(target.parent.entry.path));
    }
    auto company = s.loadCompany(user.companyId);
    if (!company)
        refuse(StoreError::NotFound, "the user's company is gone");
    if (company->maxFileSize > 0 && size > company->maxFileSize)
        refuse(StoreError::TooLarge, "above the file size limit");
    s.requireQuota(user.companyId, charged, size - previousSize);
    return target;
}

namespace {

[[noreturn]] void refuseOffset(std::int64_t offset)
{
    Refusal refusal { storeFailure(StoreError::OffsetMismatch, "the upload continues at " + std::to_string(offset)) };
    refusal.failure.offset = offset;
    throw refusal;
}

} // namespace

// --- state helpers ------------------------------------------------------------------------------

fs::path ServerStore::State::partPath(const std::string& sessionId) const
{
    return dataDir / "uploads" / (sessionId + ".part");
}

void ServerStore::State::dropUpload(const std::string& sessionId)
{
    partDigests.erase(sessionId);
    db->prepare("DELETE FROM uploads WHERE id = ?1").with(sessionId).run();
    std::error_code ec;
    fs::remove(partPath(sessionId), ec);
}

void ServerStore::State::trimUploadParts()
{
    std::set<std::string> known;
    struct Held {
        std::string id;
        std::int64_t size;
        std::int64_t received;
    };
    std::vector<Held> sessions;
    auto stmt = db->prepare("SELECT id, size, received FROM uploads");
    while (stmt.step())
        sessions.push_back({ stmt.text(0), stmt.int64(1), stmt.int64(2) });
    for (const auto& [id, size, received] : sessions) {
        const fs::path part = partPath(id);
        std::error_code ec;
        const auto held = static_cast<std::int64_t>(fs::file_size(part, ec));
        if (ec) {
            // The part file is gone: the session starts again from nothing.
            FileHandle(part, O_WRONLY | O_CREAT | O_TRUNC).sync();
            db->prepare("UPDATE uploads SET received = 0 WHERE id = ?1").with(id).run();
            known.insert(id + ".part");
            continue;
        }
        if (held < size) {
            // Every acknowledged chunk was written (a killed process keeps it; a power cut may
            // not), and its record may not have reached the disk: what the file holds counts. (Bytes of a chunk that
            // broke off are the client's own bytes for their place; the digest checks the whole at the end.)
            if (held != received)
                db->prepare("UPDATE uploads SET received = ?2 WHERE id = ?1").with(id, held).run();
            known.insert(id + ".part");
        } else if (received < size) {
            // The last chunk's bytes are all there but it never completed: back to the recorded
            // offset, so that the client sends that chunk again.
            FileHandle file(part, O_WRONLY);
            file.truncate(received);
            file.sync();
            known.insert(id + ".part");
        } else {
            // Complete but never committed (the process ended in between): no chunk can finish it
            // any more, so the client starts again from nothing.
            dropUpload(id);
        }
    }
    for (const auto& item : fs::directory_iterator(dataDir / "uploads")) {
        if (!known.count(item.path().filename().string())) {
            std::error_code ec;
            fs::remove_all(item.path(), ec);
        }
    }
}

PartDigest ServerStore::State::takePartDigest(const std::string& sessionId, std::int64_t offset)
{
    PartDigest digest;
    if (auto it = partDigests.find(sessionId); it != partDigests.end()) {
        if (it->second.covers == offset)
            digest = std::move(it->second);
        partDigests.erase(it);
    } else if (offset == 0) {
        digest.ctx.reset(EVP_MD_CTX_new());
        if (digest.ctx && EVP_DigestInit_ex(digest.ctx.get(), EVP_md5(), nullptr) != 1)
            digest.ctx.reset();
    }
    return digest;
}

void ServerStore::State::keepPartDigest(const std::string& sessionId, std::int64_t covers, PartDigest digest)
{
    // Sessions that were given up keep theirs until this many are held; a session that finds none
    // reads its part file at the end instead.
    constexpr std::size_t kMostHeld = 1024;
    if (partDigests.size() >= kMostHeld)
        partDigests.erase(partDigests.begin());
    digest.covers = covers;
    partDigests[sessionId] = std::move(digest);
}

std::int64_t ServerStore::State::chargedUser(const AreaRef& area, std::int64_t ownerId) const
{
    return area.area == Area::Personal ? area.ownerId : ownerId;
}

std::int64_t ServerStore::State::usedBytes(std::int64_t userId)
{
    auto user = loadUser(userId);
    if (!user)
        return 0;
    std::int64_t used = db->scalar(R"sql(
        SELECT SUM(bytes) FROM usage
            WHERE (area_kind = 0 AND area_owner = ?1 AND user_id = ?1) OR (area_kind = 1 AND area_owner = ?2 AND user_id = ?1))sql",
        0, userId, user->companyId);
    // Files that a running background copy has still to write count already.
    for (const auto& copy : copies) {
        if (copy->userId == userId)
            used += copy->pendingBytes;
    }
    return used;
}

void ServerStore::State::requireQuota(std::int64_t companyId, std::int64_t userId, std::int64_t extraBytes)
{
    if (extraBytes <= 0)
        return;
    auto company = loadCompany(companyId);
    if (company && company->quota > 0 && usedBytes(userId) + extraBytes > company->quota)
        refuse(StoreError::QuotaExceeded, "above the quota");
}

void ServerStore::State::requireQuotaForMove(const User& user, const Node& tree, const AreaRef& toArea)
{
    // A personal area counts everything in it for its user, the shared area each file for its
    // owner: who is charged anew is whoever was not charged for a file before.
    constexpr const char* kTree = R"sql(
        WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT e.id FROM entries e JOIN sub ON e.parent_id = sub.id) )sql";
    if (toArea.area == Area::Personal) {
        const std::int64_t added = db->scalar(std::string(kTree)
                + "SELECT SUM(size) FROM entries WHERE id IN sub AND is_folder = 0 AND owner_id IS NOT ?2",
            0, tree.id(), toArea.ownerId);
        requireQuota(user.companyId, toArea.ownerId, added);
        return;
    }
    auto added = db->prepare(std::string(kTree)
        + "SELECT owner_id, SUM(size) FROM entries WHERE id IN sub AND is_folder = 0 AND owner_id IS NOT NULL "
          "AND owner_id <> ?2 GROUP BY owner_id");
    added.with(tree.id(), tree.entry.area.ownerId);
    std::vector<std::pair<std::int64_t, std::int64_t>> charges;
    while (added.step())
        charges.emplace_back(added.int64(0), added.int64(1));
    for (const auto& [owner, bytes] : charges)
        requireQuota(user.companyId, owner, bytes);
}

// --- public calls -------------------------------------------------------------------------------

std::int64_t ServerStore::usedBytes(std::int64_t userId)
{
    try {
        std::lock_guard lock(state_->mutex);
        return state_->usedBytes(userId);
    } catch (const std::exception& error) {
        Log::line(std::string("store: usedBytes failed: ") + error.what());
        return 0;
    }
}

std::int64_t ServerStore::uploadOffset(std::int64_t userId, const std::string& path, const std::string& md5)
{
    try {
        std::lock_guard lock(state_->mutex);
        return state_->db->scalar("SELECT received FROM uploads WHERE user_id = ?1 AND path = ?2 AND md5 = ?3", 0,
            userId, path, foldCase(md5));
    } catch (const std::exception& error) {
        Log::line(std::string("store: uploadOffset failed: ") + error.what());
        return 0;
    }
}

StoreStatus ServerStore::checkUpload(
    const User& user, const AreaRef& area, const std::vector<std::string>& path, std::int64_t size, bool mustExist)
{
    return guarded<Done>("checkUpload", [&] {
        std::lock_guard lock(state_->mutex);
        state_->examineUpload(user, area, path, size, mustExist);
        return Done {};
    });
}

// One chunk between its checks and its commit: the part file open at the chunk's start, and the
// digest of the bytes before it when it is known.
struct UploadChunk::Impl {
    ServerStore::State& s;
    User user;
    AreaRef area;
    std::vector<std::string> path;
    EntryMeta meta;
    UploadSession session;
    std::optional<FileHandle> file;
    std::int64_t end = 0; // the part file's end as written so far
    WriteGatherer gathered { kWriteStep }; // the bytes after `end`
    PartDigest digest; // of [0, end) when `digest.ctx` is set
    std::optional<StoreFailure> failure;
    bool busy = true; // the session is marked busy for this chunk
};

UploadChunk::UploadChunk(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl))
{ }

UploadChunk::~UploadChunk()
{
    if (impl_ && impl_->busy) {
        std::lock_guard lock(impl_->s.mutex);
        impl_->s.busyUploads.erase(impl_->session.id);
    }
}

WriteGatherer::Write UploadChunk::toPartFile()
{
    return [&c = *impl_](std::span<const std::uint8_t> bytes) {
        const auto* data = reinterpret_cast<const char*>(bytes.data());
        c.file->writeAll(data, bytes.size(), c.end);
        if (c.digest.ctx)
            EVP_DigestUpdate(c.digest.ctx.get(), data, bytes.size());
        // The disk starts on what has arrived while the rest comes over the network, so that the
        // sync at the end waits only for the last bytes.
        ::sync_file_range(c.file->fd(), c.end, static_cast<off_t>(bytes.size()), SYNC_FILE_RANGE_WRITE);
        c.end += static_cast<std::int64_t>(bytes.size());
        return true; // a failed write throws
    };
}

bool UploadChunk::write(const char* data, std::size_t size)
{
    Impl& c = *impl_;
    if (c.failure)
        return false;
    try {
        if (static_cast<std::int64_t>(size) > c.session.size - c.end - static_cast<std::int64_t>(c.gathered.size()))
            refuse(StoreError::Invalid, "the chunk runs past the announced size");
        c.gathered.add(static_cast<std::uint64_t>(c.end), std::span(reinterpret_cast<const std::uint8_t*>(data), size),
            toPartFile());
        return true;
    } catch (const Refusal& refusal) {
        c.failure = refusal.failure;
    } catch (const std::exception& error) {
        Log::line(std::string("store: an upload chunk failed: ") + error.what());
        c.failure = storeFailure(StoreError::Io, error.what());
    }
    return false;
}

std::optional<StoreFailure> UploadChunk::failure() const
{
    return impl_->failure;
}

StoreResult<UploadSession> UploadChunk::finish()
{
    Impl& c = *impl_;
    ServerStore::State& s = c.s;
    if (c.failure)
        return *c.failure;
    if (!c.file)
        return storeFailure(StoreError::Invalid, "the chunk has ended");
    auto release = [&] {
        std::lock_guard lock(s.mutex);
        s.busyUploads.erase(c.session.id);
        c.busy = false;
    };
    return guarded<UploadSession>("appendChunk", [&] {
        UploadSession& session = c.session;
        std::string digest;
        try {
            c.gathered.flush(toPartFile());
            // The chunk that completes the file puts it on the disk before it appears, against a
            // power cut too. The chunks before it need to outlive the process, which written bytes
            // do: a killed server keeps every acknowledged chunk, while after a power cut the part
            // file's length, read again at open, tells the client where to go on, and the digest
            // at the end refuses anything the disk lost inside it.
            if (c.end == session.size)
                c.file->sync();
            c.file.reset();
            {
                std::lock_guard lock(s.mutex);
                // The part file is what keeps the bytes: its length is read again at open
                // (trimUploadParts), so the record needs no sync of its own.
                s.db->unsynced([&] {
                    s.db->prepare("UPDATE uploads SET received = ?2 WHERE id = ?1").with(session.id, c.end).run();
                });
                session.received = c.end;
                if (c.end < session.size) {
                    if (c.digest.ctx)
                        s.keepPartDigest(session.id, c.end, std::move(c.digest));
                    s.busyUploads.erase(session.id);
                    c.busy = false;
                    return session;
                }
            }
            // A session whose earlier chunks came before a restart has no running digest: the
            // part file is read once instead.
            digest = c.digest.ctx ? finalHex(c.digest) : md5OfFile(s.partPath(session.id));
        } catch (...) {
            release();
            if (session.received == session.size) {
                // All bytes are in but the file cannot be checked: no chunk could complete the
                // session any more, so it goes and the upload starts again.
                std::lock_guard lock(s.mutex);
                s.dropUpload(session.id);
            }
            throw;
        }

        // Complete: the digest must match, then the file appears in one transaction.
        std::lock_guard lock(s.mutex);
        s.busyUploads.erase(session.id);
        c.busy = false;
        if (digest != session.md5) {
            s.dropUpload(session.id);
            refuse(StoreError::DigestMismatch, "the bytes do not have the announced MD5");
        }
        UploadTarget target;
        try {
            target = s.examineUpload(c.user, c.area, c.path, session.size, false);
        } catch (const Refusal&) {
            s.dropUpload(session.id);
            throw;
        }
        std::string blobId;
        std::vector<std::string> freed;
        try {
            blobId = s.blobs->adopt(s.partPath(session.id));
            Transaction tx(*s.db);
            const std::int64_t stamp = s.nextStamp();
            const User& user = c.user;
            const EntryMeta& meta = c.meta;
            if (target.existing) {
                const Node& existing = *target.existing;
                const Entry& e = existing.entry;
                freed.push_back(e.blobId);
                const bool chmod = meta.editPermission && s.rights(user, existing).canChmod;
                // The new content is the uploader's writing.
                s.db->prepare("UPDATE entries SET blob_id = ?2, size = ?3, md5 = ?4, modified_at = ?5, stamp = ?6, "
                              "author = ?7, author_name = ?8, device_id = ?9, edit_permission = ?10 WHERE id = ?1")
                    .with(e.id, blobId, session.size, session.md5, meta.modifiedAt.value_or(nowSeconds()), stamp,
                        user.login, user.fullName, meta.deviceId.empty() ? e.deviceId : storedText(meta.deviceId),
                        chmod ? (*meta.editPermission == 1 ? 1 : 0) : e.editPermission)
                    .run();
            } else {
                Node file = newNodeFor(user, target.parent, c.path.back(), false, meta, stamp);
                file.entry.size = session.size;
                file.entry.blobId = blobId;
                file.entry.md5 = session.md5;
                s.insertNode(file);
            }
            s.db->prepare("DELETE FROM uploads WHERE id = ?1").with(session.id).run();
            tx.commit();
        } catch (...) {
            if (!blobId.empty())
                s.blobs->remove(blobId);
            s.dropUpload(session.id);
            throw;
        }
        // After the commit: the new content is referenced now, whatever happens below.
        s.releaseBlobs(freed);
        return session;
    });
}

StoreResult<std::unique_ptr<UploadChunk>> ServerStore::beginChunk(const User& user, const AreaRef& area,
    const std::vector<std::string>& path, const std::string& pathText, const std::string& md5, std::int64_t size,
    std::int64_t offset, const EntryMeta& meta)
{
    State& s = *state_;
    return guarded<std::unique_ptr<UploadChunk>>("appendChunk", [&] {
        std::unique_ptr<UploadChunk::Impl> c(new UploadChunk::Impl {
            s, user, area, path, meta, {}, {}, offset, WriteGatherer { kWriteStep }, {}, std::nullopt, false });
        UploadSession& session = c->session;
        session.userId = user.id;
        session.path = pathText;
        session.md5 = foldCase(md5);
        session.size = size;
        if (!isMd5Text(session.md5))
            refuse(StoreError::Invalid, "not an MD5 digest");
        if (size < 0 || offset < 0 || offset > size)
            refuse(StoreError::Invalid, "offset or size out of range");

        // The target may take the file, and the chunk continues the session.
        std::lock_guard lock(s.mutex);
        s.examineUpload(user, area, path, size, false);
        auto stmt = s.db->prepare("SELECT id, size, received FROM uploads WHERE user_id = ?1 AND path = ?2 "
                                  "AND md5 = ?3");
        stmt.with(user.id, pathText, session.md5);
        if (stmt.step()) {
            session.id = stmt.text(0);
            session.received = stmt.int64(2);
            // A chunk of the same session is being written right now: this one cannot follow it.
            if (s.busyUploads.count(session.id))
                refuseOffset(session.received);
            if (stmt.int64(1) != size) {
                // Same digest, other length: the old bytes cannot be part of this file.
                s.db->prepare("UPDATE uploads SET size = ?2, received = 0 WHERE id = ?1").with(session.id, size).run();
                session.received = 0;
                s.partDigests.erase(session.id);
            }
            if (session.received != offset)
                refuseOffset(session.received);
        } else {
            if (offset != 0)
                refuseOffset(0);
            session.id = randomHex(32);
            // No sync of its own, neither for the file nor for its record: a power cut that takes
            // them leaves a session the client starts again (an orphaned part file goes at open).
            FileHandle(s.partPath(session.id), O_WRONLY | O_CREAT | O_TRUNC);
            s.db->unsynced([&] {
                s.db->prepare(
                        "INSERT INTO uploads (id, user_id, path, md5, size, received) VALUES (?1, ?2, ?3, ?4, ?5, 0)")
                    .with(session.id, user.id, pathText, session.md5, size)
                    .run();
            });
        }
        c->file.emplace(s.partPath(session.id), O_WRONLY);
        // Bytes past the recorded offset are the remains of a chunk that did not complete.
        c->file->truncate(offset);
        c->digest = s.takePartDigest(session.id, offset);
        s.busyUploads.insert(session.id);
        c->busy = true;
        return std::unique_ptr<UploadChunk>(new UploadChunk(std::move(c)));
    });
}

StoreResult<UploadSession> ServerStore::appendChunk(const User& user, const AreaRef& area,
    const std::vector<std::string>& path, const std::string& pathText, const std::string& md5, std::int64_t size,
    std::int64_t offset, const std::function<long(char* buffer, std::size_t capacity)>& source, const EntryMeta& meta)
{
    auto chunk = beginChunk(user, area, path, pathText, md5, size, offset, meta);
    if (!chunk)
        return chunk.failure();
    std::vector<char> buffer(kChunkBuffer);
    for (;;) {
        const long got = source(buffer.data(), buffer.size());
        if (got == 0)
            break;
        if (got < 0 || static_cast<std::size_t>(got) > buffer.size())
            return storeFailure(StoreError::Io, "the chunk did not arrive whole");
        if (!chunk.value()->write(buffer.data(), static_cast<std::size_t>(got)))
            break;
    }
    return chunk.value()->finish();
}

StoreResult<Entry> ServerStore::putFile(const User& user, const AreaRef& area, const std::vector<std::string>& path,
    std::string_view content, const EntryMeta& meta)
{
    return guarded<Entry>("putFile", [&] {
        // A session key that no client request can produce, so that a client's unfinished upload
        // of the same path is left alone.
        const std::string key
            = std::string("\n") + (area.area == Area::Personal ? "personal" : "shared") + pathText(path);
        {
            std::lock_guard lock(state_->mutex);
            auto stmt = state_->db->prepare("SELECT id FROM uploads WHERE user_id = ?1 AND path = ?2");
            stmt.with(user.id, key);
            std::vector<std::string> stale;
            while (stmt.step())
                stale.push_back(stmt.text(0));
            for (const auto& id : stale) {
                if (!state_->busyUploads.count(id))
                    state_->dropUpload(id);
            }
        }
        std::size_t position = 0;
        auto source = [&](char* buffer, std::size_t capacity) -> long {
            const std::size_t count = std::min(capacity, content.size() - position);
            std::copy_n(content.data() + position, count, buffer);
            position += count;
            return static_cast<long>(count);
        };
        auto result = appendChunk(
            user, area, path, key, md5OfText(content), static_cast<std::int64_t>(content.size()), 0, source, meta);
        if (!result)
            throw Refusal { result.failure() };
        std::lock_guard lock(state_->mutex);
        return state_->require(area, path).entry;
    });
}

} // namespace norvane::server
