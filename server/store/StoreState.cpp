#include "server/store/StoreState.h"

#include <algorithm>
#include <chrono>

namespace norvane::server {

namespace {

// Every query that reads whole entries selects these, from `entries` named e.
constexpr const char* kNodeColumns
    = "e.id, e.parent_id, e.area_kind, e.area_owner, e.name, e.is_folder, e.size, e.blob_id, e.md5, e.created_at, "
      "e.modified_at, e.stamp, e.owner_id, e.owner, e.owner_name, e.author, e.author_name, e.creation_date, "
      "e.device_id, e.edit_permission, e.read_only, e.lock_owner, e.lock_user_id, e.lock_user_name, "
      "e.lock_start_time, e.action_type, e.action_file_type, e.action_progress, e.action_src, e.action_dest";

std::string select(const std::string& rest)
{
    return std::string("SELECT ") + kNodeColumns + " FROM entries e " + rest;
}

Node readNode(const Statement& row, int first = 0)
{
    int c = first;
    Node node;
    Entry& e = node.entry;
    e.id = row.int64(c++);
    e.parentId = row.isNull(c) ? 0 : row.int64(c);
    ++c;
    e.area.area = row.int64(c++) == 0 ? Area::Personal : Area::Shared;
    e.area.ownerId = row.int64(c++);
    e.name = row.text(c++);
    e.isFolder = row.int64(c++) != 0;
    e.size = row.int64(c++);
    e.blobId = row.text(c++);
    e.md5 = row.text(c++);
    e.createdAt = row.int64(c++);
    e.modifiedAt = row.int64(c++);
    e.timestamp = std::to_string(row.int64(c++));
    node.ownerId = row.isNull(c) ? 0 : row.int64(c);
    ++c;
    e.owner = row.text(c++);
    e.ownerName = row.text(c++);
    e.author = row.text(c++);
    e.authorName = row.text(c++);
    e.creationDate = row.text(c++);
    e.deviceId = row.text(c++);
    e.editPermission = static_cast<int>(row.int64(c++));
    e.readOnly = row.int64(c++) != 0;
    node.lockOwnerId = row.isNull(c) ? 0 : row.int64(c);
    ++c;
    e.lockUserId = row.text(c++);
    e.lockUserName = row.text(c++);
    e.lockStartTime = row.text(c++);
    e.actionType = row.text(c++);
    e.actionFileType = row.text(c++);
    e.actionProgress = row.text(c++);
    e.actionSrc = row.text(c++);
    e.actionDest = row.text(c++);
    return node;
}

std::optional<std::int64_t> nullableId(std::int64_t id)
{
    return id == 0 ? std::nullopt : std::optional<std::int64_t>(id);
}

// The entry and its ancestors, nearest first: id, name, read-only flag.
struct Ancestor {
    std::int64_t id;
    std::string name;
    bool readOnly;
};

std::vector<Ancestor> ancestry(Database& db, std::int64_t id)
{
    auto stmt = db.prepare(R"sql(
        WITH RECURSIVE up(id, parent_id, name, read_only, depth) AS (
            SELECT id, parent_id, name, read_only, 0 FROM entries WHERE id = ?1
            UNION ALL
            SELECT e.id, e.parent_id, e.name, e.read_only, up.depth + 1 FROM entries e JOIN up ON e.id = up.parent_id)
        SELECT id, name, read_only FROM up ORDER BY depth)sql");
    stmt.with(id);
    std::vector<Ancestor> chain;
    while (stmt.step())
        chain.push_back({ stmt.int64(0), stmt.text(1), stmt.int64(2) != 0 });
    return chain;
}

} // namespace

void refuse(StoreError error, std::string detail)
{
    throw Refusal { storeFailure(error, std::move(detail)) };
}

std::int64_t nowSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t nowMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t ServerStore::State::ruleMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>((clock() + clockShift).time_since_epoch()).count();
}

std::int64_t ServerStore::State::ruleSeconds()
{
    return ruleMilliseconds() / 1000;
}

std::string storedText(std::string_view text)
{
    return printableText(text);
}

std::int64_t ServerStore::State::nextStamp()
{
    lastStamp = std::max(nowMilliseconds(), lastStamp + 1);
    return lastStamp;
}

// --- reading the tree ---------------------------------------------------------------------------

std::optional<Node> ServerStore::State::rowById(std::int64_t id)
{
    auto stmt = db->prepare(select("WHERE e.id = ?1"));
    stmt.with(id);
    if (!stmt.step())
        return std::nullopt;
    return readNode(stmt);
}

std::optional<Node> ServerStore::State::nodeById(std::int64_t id)
{
    auto found = rowById(id);
    if (!found)
        return std::nullopt;
    Node node = std::move(*found);
    const auto chain = ancestry(*db, id);
    // The root's name is empty and not part of the path.
    for (auto it = chain.rbegin() + (chain.empty() ? 0 : 1); it != chain.rend(); ++it)
        node.entry.path.push_back(it->name);
    return node;
}

std::optional<Node> ServerStore::State::rootOf(const AreaRef& area)
{
    auto stmt = db->prepare(select("WHERE e.parent_id IS NULL AND e.area_kind = ?1 AND e.area_owner = ?2"));
    stmt.with(area.area == Area::Personal ? 0 : 1, area.ownerId);
    if (!stmt.step())
        return std::nullopt;
    return readNode(stmt);
}

std::optional<Node> ServerStore::State::childOf(const Node& folder, const std::string& name)
{
    auto stmt = db->prepare(select("WHERE e.parent_id = ?1 AND e.name = ?2"));
    stmt.with(folder.id(), name);
    if (!stmt.step())
        return std::nullopt;
    Node node = readNode(stmt);
    node.entry.path = folder.entry.path;
    node.entry.path.push_back(name);
    return node;
}

std::optional<Node> ServerStore::State::find(const AreaRef& area, const std::vector<std::string>& path)
{
    auto node = rootOf(area);
    for (const auto& name : path) {
        if (!node || !node->entry.isFolder)
            return std::nullopt;
        node = childOf(*node, name);
    }
    return node;
}

Node ServerStore::State::require(const AreaRef& area, const std::vector<std::string>& path)
{
    auto node = find(area, path);
    if (!node)
        refuse(StoreError::NotFound, pathText(path) + " does not exist");
    return std::move(*node);
}

Node ServerStore::State::requireParent(const AreaRef& area, const std::vector<std::string>& path)
{
    if (path.empty())
        refuse(StoreError::Invalid, "the root has no parent");
    Node parent = require(area, std::vector<std::string>(path.begin(), path.end() - 1));
    if (!parent.entry.isFolder)
        refuse(StoreError::NotAFolder, pathText(parent.entry.path) + " is not a folder");
    return parent;
}

std::vector<Node> ServerStore::State::childrenOf(const Node& folder)
{
    auto stmt = db->prepare(select("WHERE e.parent_id = ?1 ORDER BY e.is_folder DESC, e.name"));
    stmt.with(folder.id());
    std::vector<Node> nodes;
    while (stmt.step()) {
        nodes.push_back(readNode(stmt));
        nodes.back().entry.path = folder.entry.path;
        nodes.back().entry.path.push_back(nodes.back().entry.name);
    }
    return nodes;
}

std::vector<Node> ServerStore::State::descendants(const Node& folder)
{
    // A recursive query works through its queue first in, first out: every folder comes out
    // before anything inside it. The relative path rides along ("/" never occurs in a name).
    auto stmt = db->prepare(std::string(R"sql(
        WITH RECURSIVE sub(id, rel) AS (
            SELECT id, name FROM entries WHERE parent_id = ?1
            UNION ALL
            SELECT e.id, sub.rel || '/' || e.name FROM entries e JOIN sub ON e.parent_id = sub.id)
        SELECT sub.rel, )sql")
        + kNodeColumns + " FROM sub JOIN entries e ON e.id = sub.id");
    stmt.with(folder.id());
    std::vector<Node> nodes;
    while (stmt.step()) {
        Node node = readNode(stmt, 1);
        node.entry.path = folder.entry.path;
        const std::string rel = stmt.text(0);
        std::size_t start = 0;
        while (start <= rel.size()) {
            const std::size_t slash = std::min(rel.find('/', start), rel.size());
            node.entry.path.push_back(rel.substr(start, slash - start));
            start = slash + 1;
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

Lineage ServerStore::State::lineage(std::int64_t id)
{
    Lineage lineage;
    for (const auto& ancestor : ancestry(*db, id)) {
        lineage.ids.push_back(ancestor.id);
        lineage.readOnly = lineage.readOnly || ancestor.readOnly;
    }
    if (lineage.ids.size() >= 2)
        lineage.topFolderId = lineage.ids[lineage.ids.size() - 2];
    return lineage;
}

std::int64_t ServerStore::State::insertNode(const Node& node)
{
    const Entry& e = node.entry;
    auto stmt = db->prepare(R"sql(
        INSERT INTO entries (parent_id, area_kind, area_owner, name, is_folder, size, blob_id, md5, created_at,
            modified_at, stamp, owner_id, owner, owner_name, author, author_name, creation_date, device_id,
            edit_permission, read_only, lock_owner, lock_user_id, lock_user_name, lock_start_time, action_type,
            action_file_type, action_progress, action_src, action_dest)
        VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22,
            ?23, ?24, ?25, ?26, ?27, ?28, ?29))sql");
    stmt.with(nullableId(e.parentId), e.area.area == Area::Personal ? 0 : 1, e.area.ownerId, e.name, e.isFolder, e.size,
        e.blobId.empty() ? std::nullopt : std::optional<std::string>(e.blobId), e.md5, e.createdAt, e.modifiedAt,
        static_cast<std::int64_t>(std::stoll(e.timestamp)), nullableId(node.ownerId), e.owner, e.ownerName, e.author,
        e.authorName, e.creationDate, e.deviceId, e.editPermission, e.readOnly, nullableId(node.lockOwnerId),
        e.lockUserId, e.lockUserName, e.lockStartTime, e.actionType, e.actionFileType, e.actionProgress, e.actionSrc,
        e.actionDest);
    stmt.run();
    return db->lastInsertId();
}

Node cloneFor(const User& user, const Node& source, const Node& parent, std::int64_t stamp)
{
    Node node = source;
    Entry& e = node.entry;
    e.id = 0;
    e.parentId = parent.id();
    e.area = parent.entry.area;
    e.path = parent.entry.path;
    e.path.push_back(e.name);
    e.createdAt = nowSeconds();
    e.timestamp = std::to_string(stamp);
    node.ownerId = user.id;
    e.owner = user.login;
    e.ownerName = user.fullName;
    // A copy is a new entry: the original's read-only mark, lock and running action stay behind.
    e.readOnly = false;
    node.lockOwnerId = 0;
    e.lockUserId.clear();
    e.lockUserName.clear();
    e.lockStartTime.clear();
    e.actionType.clear();
    e.actionFileType.clear();
    e.actionProgress.clear();
    e.actionSrc.clear();
    e.actionDest.clear();
    return node;
}

Node newNodeFor(const User& user, const Node& parent, const std::string& name, bool isFolder, const EntryMeta& meta,
    std::int64_t stamp)
{
    Node node;
    Entry& e = node.entry;
    e.parentId = parent.id();
    e.area = parent.entry.area;
    e.path = parent.entry.path;
    e.path.push_back(name);
    e.name = name;
    e.isFolder = isFolder;
    e.createdAt = nowSeconds();
    e.modifiedAt = meta.modifiedAt.value_or(e.createdAt);
    e.timestamp = std::to_string(stamp);
    // Whoever makes the entry owns it and wrote it: rights and quota follow the owner, and other
    // members read both names, so they come from the account, never from the request.
    node.ownerId = user.id;
    e.owner = e.author = user.login;
    e.ownerName = e.authorName = user.fullName;
    e.creationDate = storedText(meta.creationDate.value_or(""));
    e.deviceId = storedText(meta.deviceId);
    e.editPermission = meta.editPermission.value_or(0) == 1 ? 1 : 0;
    return node;
}

// --- rights -------------------------------------------------------------------------------------

EntryRights ServerStore::State::rights(const User& user, const Node& node)
{
    EntryRights rights;
    const AreaRef& area = node.entry.area;
    if (area.area == Area::Personal) {
        if (area.ownerId == user.id)
            rights = { true, false, true, true };
        return rights;
    }
    if (area.ownerId != user.companyId || node.isRoot())
        return rights;
    const Lineage line = lineage(node.id());
    const bool isManager
        = db->scalar("SELECT 1 FROM managers WHERE folder_id = ?1 AND user_id = ?2", 0, line.topFolderId, user.id) == 1;
    return sharedRights(user, node, line.readOnly, isManager);
}

EntryRights ServerStore::State::sharedRights(const User& user, const Node& node, bool lineReadOnly, bool isManager)
{
    EntryRights rights;
    rights.isOwner = node.ownerId != 0 && node.ownerId == user.id;
    rights.isManager = isManager;
    // Read-only reaches down: what lies in a read-only folder is read-only too.
    rights.canChange = rights.isManager || ((rights.isOwner || node.entry.editPermission == 1) && !lineReadOnly);
    rights.canChmod = rights.isOwner || rights.isManager;
    return rights;
}

bool ServerStore::State::mayCreateIn(const User& user, const Node& folder)
{
    if (!folder.entry.isFolder)
        return false;
    // The shared root takes only the top-level folders that the control endpoint makes.
    if (folder.entry.area.area == Area::Shared && folder.isRoot())
        return false;
    if (folder.entry.area.area == Area::Personal && folder.isRoot())
        return folder.entry.area.ownerId == user.id;
    return rights(user, folder).canChange;
}

void ServerStore::State::requireArea(const User& user, const AreaRef& area)
{
    const bool mine = area.area == Area::Personal ? area.ownerId == user.id : area.ownerId == user.companyId;
    if (!mine)
        refuse(StoreError::Forbidden, "the area belongs to someone else");
}

void ServerStore::State::requireChange(const User& user, const Node& node)
{
    if (!rights(user, node).canChange)
        refuse(StoreError::Forbidden, "no right to change " + pathText(node.entry.path));
}

void ServerStore::State::requireChangeTree(const User& user, const Node& node)
{
    const EntryRights own = rights(user, node);
    if (!own.canChange)
        refuse(StoreError::Forbidden, "no right to change " + pathText(node.entry.path));
    // In a personal area, and for a manager of the folder, what holds for the top holds below.
    if (!node.entry.isFolder || node.entry.area.area == Area::Personal || own.isManager)
        return;
    // Below, an entry closes the tree when it is read-only (which reaches everything under it)
    // or neither the user's nor open to every member.
    const std::int64_t closed = db->scalar(R"sql(
        WITH RECURSIVE sub(id) AS (
            SELECT id FROM entries WHERE parent_id = ?1
            UNION ALL
            SELECT e.id FROM entries e JOIN sub ON e.parent_id = sub.id)
        SELECT 1 FROM entries WHERE id IN sub
            AND (read_only <> 0 OR (edit_permission <> 1 AND owner_id IS NOT ?2)) LIMIT 1)sql",
        0, node.id(), user.id);
    if (closed == 1)
        refuse(StoreError::Forbidden, "no right to change everything in " + pathText(node.entry.path));
}

void ServerStore::State::requireUnlocked(const User& user, const Node& node, bool wholeTree)
{
    auto lockedBy = [](std::string userId, std::string userName) {
        Refusal refusal { storeFailure(StoreError::Locked, "locked by " + userId) };
        refusal.failure.lockUserId = std::move(userId);
        refusal.failure.lockUserName = std::move(userName);
        throw refusal;
    };
    if (node.isLockedByOther(user.id))
        lockedBy(node.entry.lockUserId, node.entry.lockUserName);
    if (!wholeTree || !node.entry.isFolder)
        return;
    auto stmt = db->prepare(R"sql(
        WITH RECURSIVE sub(id) AS (
            SELECT id FROM entries WHERE parent_id = ?1
            UNION ALL
            SELECT e.id FROM entries e JOIN sub ON e.parent_id = sub.id)
        SELECT lock_user_id, lock_user_name FROM entries
        WHERE id IN sub AND (lock_owner IS NOT NULL OR lock_user_id <> '') AND lock_owner IS NOT ?2
        LIMIT 1)sql");
    stmt.with(node.id(), user.id);
    if (stmt.step())
        lockedBy(stmt.text(0), stmt.text(1));
}

std::optional<StoreError> ServerStore::State::copyStateOf(std::int64_t id)
{
    if (copies.empty())
        return std::nullopt;
    const auto ids = lineage(id).ids;
    auto within = [&](std::int64_t root) { return std::find(ids.begin(), ids.end(), root) != ids.end(); };
    for (const auto& copy : copies) {
        if (within(copy->destId))
            return StoreError::CopyDest;
        if (within(copy->sourceId))
            return StoreError::CopySource;
    }
    return std::nullopt;
}

void ServerStore::State::requireNotCopying(const Node& node, bool wholeTree)
{
    if (auto state = copyStateOf(node.id()))
        refuse(*state, pathText(node.entry.path) + " takes part in a running copy");
    if (!wholeTree || !node.entry.isFolder)
        return;
    for (const auto& copy : copies) {
        for (auto [root, error] : { std::pair { copy->destId, StoreError::CopyDest },
                 std::pair { copy->sourceId, StoreError::CopySource } }) {
            const auto ids = lineage(root).ids;
            if (std::find(ids.begin(), ids.end(), node.id()) != ids.end())
                refuse(error, pathText(node.entry.path) + " holds a running copy");
        }
    }
}

// --- removal ------------------------------------------------------------------------------------

void ServerStore::State::deleteTree(const Node& node, std::vector<std::string>& freed)
{
    constexpr const char* kTree = R"sql(
        WITH RECURSIVE sub(id) AS (
            SELECT ?1
            UNION ALL
            SELECT e.id FROM entries e JOIN sub ON e.parent_id = sub.id) )sql";
    auto held = db->prepare(
        std::string(kTree) + "SELECT DISTINCT blob_id FROM entries WHERE id IN sub AND blob_id IS NOT NULL");
    held.with(node.id());
    while (held.step())
        freed.push_back(held.text(0));
    // One statement: the parent links are checked at its end, when the whole tree is gone.
    db->prepare(std::string(kTree) + "DELETE FROM entries WHERE id IN sub").with(node.id()).run();
}

void ServerStore::State::releaseBlobs(const std::vector<std::string>& ids)
{
    // Runs after a commit, which must not be reported as failed: a blob left behind here is an
    // orphan that the next open removes.
    try {
        for (const auto& id : ids) {
            if (db->scalar("SELECT 1 FROM entries WHERE blob_id = ?1 LIMIT 1", 0, id) == 0)
                blobs->remove(id);
        }
    } catch (const std::exception& error) {
        Log::line(std::string("store: content files left for the next start: ") + error.what());
    }
}

} // namespace norvane::server
