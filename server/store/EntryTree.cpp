// The entry trees: lookups, listings, search, folders, moves, removal, permissions and locks.

#include "server/store/StoreState.h"

#include <algorithm>
#include <ctime>

namespace norvane::server {

namespace {

void requireValidPath(const std::vector<std::string>& path)
{
    if (!isValidEntryPath(path))
        refuse(StoreError::Invalid, "unacceptable name in " + pathText(path));
}

bool isTopSharedFolder(const Node& node, const Lineage& lineage)
{
    return node.entry.area.area == Area::Shared && lineage.ids.size() == 2;
}

bool contains(const std::vector<std::int64_t>& ids, std::int64_t id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::string lockTime()
{
    const std::time_t now = static_cast<std::time_t>(nowSeconds());
    std::tm parts {};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

} // namespace

StoreResult<Entry> ServerStore::lookup(const AreaRef& area, const std::vector<std::string>& path)
{
    return guarded<Entry>("lookup", [&] {
        requireValidPath(path);
        std::lock_guard lock(state_->mutex);
        return state_->require(area, path).entry;
    });
}

StoreResult<Entry> ServerStore::entryById(std::int64_t id)
{
    return guarded<Entry>("entryById", [&] {
        std::lock_guard lock(state_->mutex);
        auto node = state_->nodeById(id);
        if (!node)
            refuse(StoreError::NotFound, "no entry " + std::to_string(id));
        return node->entry;
    });
}

StoreResult<std::vector<Entry>> ServerStore::children(const Entry& folder)
{
    return guarded<std::vector<Entry>>("children", [&] {
        std::lock_guard lock(state_->mutex);
        auto node = state_->nodeById(folder.id);
        if (!node)
            refuse(StoreError::NotFound, "the folder is gone");
        if (!node->entry.isFolder)
            refuse(StoreError::NotAFolder, pathText(node->entry.path) + " is not a folder");
        std::vector<Entry> entries;
        for (auto& child : state_->childrenOf(*node))
            entries.push_back(std::move(child.entry));
        return entries;
    });
}

StoreResult<bool> ServerStore::isEmptyFolder(const Entry& folder)
{
    return guarded<bool>("isEmptyFolder", [&] {
        std::lock_guard lock(state_->mutex);
        return state_->db->scalar("SELECT 1 FROM entries WHERE parent_id = ?1 LIMIT 1", 0, folder.id) == 0;
    });
}

EntryRights ServerStore::rightsOf(const User& user, const Entry& entry)
{
    try {
        std::lock_guard lock(state_->mutex);
        auto node = state_->rowById(entry.id);
        return node ? state_->rights(user, *node) : EntryRights {};
    } catch (const std::exception& error) {
        Log::line(std::string("store: rightsOf failed: ") + error.what());
        return {};
    }
}

StoreResult<ServerStore::FolderListing> ServerStore::listing(const User& user, const Entry& folder)
{
    return guarded<FolderListing>("listing", [&] {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        FolderListing result;
        result.generation = s.db->contentGeneration();
        auto node = s.nodeById(folder.id);
        if (!node)
            refuse(StoreError::NotFound, "the folder is gone");
        if (!node->entry.isFolder)
            refuse(StoreError::NotAFolder, pathText(node->entry.path) + " is not a folder");

        // What the children's rights depend on is the same for all of them: the folder's lineage
        // and the top folders the user manages (each child is a top folder of its own when the
        // folder is the shared root).
        const AreaRef& area = node->entry.area;
        const bool sharedOfUser = area.area == Area::Shared && area.ownerId == user.companyId;
        const Lineage line = s.lineage(node->id());
        std::set<std::int64_t> managed;
        if (sharedOfUser) {
            auto stmt = s.db->prepare("SELECT folder_id FROM managers WHERE user_id = ?1");
            stmt.with(user.id);
            while (stmt.step())
                managed.insert(stmt.int64(0));
        }
        std::set<std::int64_t> filled;
        auto full = s.db->prepare(R"sql(
            SELECT DISTINCT e.parent_id FROM entries e
            WHERE e.parent_id IN (SELECT id FROM entries WHERE parent_id = ?1 AND is_folder <> 0))sql");
        full.with(node->id());
        while (full.step())
            filled.insert(full.int64(0));

        for (auto& child : s.childrenOf(*node)) {
            ListedEntry row;
            if (area.area == Area::Personal) {
                if (area.ownerId == user.id)
                    row.rights = { true, false, true, true };
            } else if (sharedOfUser) {
                const std::int64_t top = node->isRoot() ? child.id() : line.topFolderId;
                row.rights
                    = State::sharedRights(user, child, line.readOnly || child.entry.readOnly, managed.contains(top));
            }
            row.isEmpty = child.entry.isFolder && !filled.contains(child.id());
            row.entry = std::move(child.entry);
            result.rows.push_back(std::move(row));
        }
        return result;
    });
}

std::uint64_t ServerStore::contentGeneration() const
{
    return state_->db->contentGeneration();
}

StoreResult<std::vector<Entry>> ServerStore::search(const Entry& folder, const std::string& text, bool byAuthor)
{
    return guarded<std::vector<Entry>>("search", [&] {
        std::lock_guard lock(state_->mutex);
        auto node = state_->nodeById(folder.id);
        if (!node)
            refuse(StoreError::NotFound, "the folder is gone");
        if (!node->entry.isFolder)
            refuse(StoreError::NotAFolder, pathText(node->entry.path) + " is not a folder");
        const std::string needle = foldCase(text);
        auto has = [&](const std::string& haystack) { return foldCase(haystack).find(needle) != std::string::npos; };
        std::vector<Entry> found;
        for (auto& item : state_->descendants(*node)) {
            const Entry& e = item.entry;
            if (byAuthor ? (has(e.author) || has(e.authorName)) : has(e.name))
                found.push_back(std::move(item.entry));
        }
        std::sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) { return a.path < b.path; });
        return found;
    });
}

StoreResult<Entry> ServerStore::createSharedFolder(
    std::int64_t companyId, const std::string& name, const std::vector<std::int64_t>& managerIds)
{
    return guarded<Entry>("createSharedFolder", [&] {
        if (!isValidEntryName(name))
            refuse(StoreError::Invalid, "unacceptable folder name");
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        auto root = s.rootOf({ Area::Shared, companyId });
        if (!root)
            refuse(StoreError::NotFound, "no company " + std::to_string(companyId));
        if (s.childOf(*root, name))
            refuse(StoreError::Exists, name + " exists already");
        for (std::int64_t id : managerIds) {
            auto manager = s.loadUser(id);
            if (!manager || manager->companyId != companyId)
                refuse(StoreError::NotFound, "no user " + std::to_string(id) + " in the company");
        }
        Transaction tx(*s.db);
        Node folder;
        Entry& e = folder.entry;
        e.parentId = root->id();
        e.area = root->entry.area;
        e.name = name;
        e.isFolder = true;
        e.createdAt = e.modifiedAt = nowSeconds();
        e.timestamp = std::to_string(s.nextStamp());
        // Every member may add to a new shared folder; a manager closes it with the permission
        // or the read-only mark.
        e.editPermission = 1;
        const std::int64_t id = s.insertNode(folder);
        for (std::int64_t manager : managerIds)
            s.db->prepare("INSERT OR IGNORE INTO managers (folder_id, user_id) VALUES (?1, ?2)")
                .with(id, manager)
                .run();
        tx.commit();
        return s.nodeById(id)->entry;
    });
}

StoreResult<Entry> ServerStore::createFolder(
    const User& user, const AreaRef& area, const std::vector<std::string>& path, const EntryMeta& meta)
{
    return guarded<Entry>("createFolder", [&] {
        requireValidPath(path);
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        s.requireArea(user, area);
        Node parent = s.requireParent(area, path);
        s.requireNotCopying(parent, false);
        if (!s.mayCreateIn(user, parent))
            refuse(StoreError::Forbidden, "no right to create in " + pathText(parent.entry.path));
        if (s.childOf(parent, path.back()))
            refuse(StoreError::Exists, pathText(path) + " exists already");
        Transaction tx(*s.db);
        Node folder = newNodeFor(user, parent, path.back(), true, meta, s.nextStamp());
        folder.entry.id = s.insertNode(folder);
        tx.commit();
        return folder.entry;
    });
}

StoreResult<Entry> ServerStore::move(const User& user, const AreaRef& fromArea, const std::vector<std::string>& from,
    const AreaRef& toArea, const std::vector<std::string>& to, bool overwrite, const EntryMeta& meta)
{
    return guarded<Entry>("move", [&] {
        requireValidPath(from);
        requireValidPath(to);
        if (from.empty() || to.empty())
            refuse(StoreError::Invalid, "the root cannot move");
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        // The rights are read in the transaction that acts on them: nothing changes in between.
        Transaction tx(*s.db);
        s.requireArea(user, fromArea);
        s.requireArea(user, toArea);
        Node source = s.require(fromArea, from);
        const Lineage sourceLine = s.lineage(source.id());
        if (isTopSharedFolder(source, sourceLine))
            refuse(StoreError::Forbidden, "top-level shared folders are not moved or renamed");
        s.requireNotCopying(source, true);
        s.requireUnlocked(user, source, true);
        s.requireChangeTree(user, source);

        Node parent = s.requireParent(toArea, to);
        s.requireNotCopying(parent, false);
        const std::string& name = to.back();
        if (parent.id() == source.entry.parentId && name == source.entry.name)
            return source.entry;
        if (source.entry.isFolder && contains(s.lineage(parent.id()).ids, source.id()))
            refuse(StoreError::Invalid, "a folder cannot move into itself");
        if (parent.id() != source.entry.parentId && !s.mayCreateIn(user, parent))
            refuse(StoreError::Forbidden, "no right to create in " + pathText(parent.entry.path));

        std::vector<std::string> freed;
        if (auto existing = s.childOf(parent, name)) {
            if (!overwrite || existing->entry.isFolder != source.entry.isFolder)
                refuse(StoreError::Exists, pathText(to) + " exists already");
            if (contains(sourceLine.ids, existing->id()))
                refuse(StoreError::Invalid, "an entry cannot replace a folder that holds it");
            s.requireNotCopying(*existing, true);
            s.requireUnlocked(user, *existing, true);
            s.requireChangeTree(user, *existing);
            s.deleteTree(*existing, freed);
        }
        if (fromArea != toArea) {
            // A move changes where entries are, not whose they are.
            s.requireQuotaForMove(user, source, toArea);
            s.db->prepare(R"sql(
                WITH RECURSIVE sub(id) AS (
                    SELECT ?1 UNION ALL SELECT e.id FROM entries e JOIN sub ON e.parent_id = sub.id)
                UPDATE entries SET area_kind = ?2, area_owner = ?3 WHERE id IN sub)sql")
                .with(source.id(), toArea.area == Area::Personal ? 0 : 1, toArea.ownerId)
                .run();
        }
        s.db->prepare("UPDATE entries SET parent_id = ?2, name = ?3 WHERE id = ?1")
            .with(source.id(), parent.id(), name)
            .run();
        if (meta.editPermission && s.rights(user, source).canChmod)
            s.db->prepare("UPDATE entries SET edit_permission = ?2 WHERE id = ?1")
                .with(source.id(), *meta.editPermission == 1 ? 1 : 0)
                .run();
        tx.commit();
        s.releaseBlobs(freed);
        return s.nodeById(source.id())->entry;
    });
}

StoreStatus ServerStore::remove(const User& user, const AreaRef& area, const std::vector<std::string>& path)
{
    return guarded<Done>("remove", [&] {
        requireValidPath(path);
        if (path.empty())
            refuse(StoreError::Forbidden, "the root cannot be removed");
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        Transaction tx(*s.db);
        s.requireArea(user, area);
        Node node = s.require(area, path);
        if (isTopSharedFolder(node, s.lineage(node.id())))
            refuse(StoreError::Forbidden, "top-level shared folders are not removed here");
        s.requireNotCopying(node, true);
        s.requireUnlocked(user, node, true);
        s.requireChangeTree(user, node);
        std::vector<std::string> freed;
        s.deleteTree(node, freed);
        tx.commit();
        s.releaseBlobs(freed);
        return Done {};
    });
}

StoreStatus ServerStore::setEditPermission(
    const User& user, const AreaRef& area, const std::vector<std::string>& path, int editPermission)
{
    return guarded<Done>("setEditPermission", [&] {
        requireValidPath(path);
        if (editPermission != 0 && editPermission != 1)
            refuse(StoreError::Invalid, "the edit permission is 0 or 1");
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        s.requireArea(user, area);
        Node node = s.require(area, path);
        s.requireNotCopying(node, false);
        if (node.isRoot() || !s.rights(user, node).canChmod)
            refuse(StoreError::Forbidden, "only the owner or a manager sets the permission");
        s.db->prepare("UPDATE entries SET edit_permission = ?2 WHERE id = ?1").with(node.id(), editPermission).run();
        return Done {};
    });
}

StoreStatus ServerStore::setReadOnly(const AreaRef& area, const std::vector<std::string>& path, bool readOnly)
{
    return guarded<Done>("setReadOnly", [&] {
        requireValidPath(path);
        std::lock_guard lock(state_->mutex);
        Node node = state_->require(area, path);
        state_->db->prepare("UPDATE entries SET read_only = ?2 WHERE id = ?1").with(node.id(), readOnly).run();
        return Done {};
    });
}

StoreStatus ServerStore::setLock(const User& user, const AreaRef& area, const std::vector<std::string>& path, bool lock)
{
    return guarded<Done>("setLock", [&] {
        requireValidPath(path);
        State& s = *state_;
        std::lock_guard guard(s.mutex);
        s.requireArea(user, area);
        Node node = s.require(area, path);
        if (node.entry.isFolder)
            refuse(StoreError::NotAFile, "only files are locked");
        s.requireNotCopying(node, false);
        if (lock) {
            s.requireUnlocked(user, node, false);
            s.requireChange(user, node);
            const bool renewal = node.isLocked();
            s.db->prepare("UPDATE entries SET lock_owner = ?2, lock_user_id = ?3, lock_user_name = ?4, "
                          "lock_start_time = ?5 WHERE id = ?1")
                .with(node.id(), user.id, user.login, user.fullName, renewal ? node.entry.lockStartTime : lockTime())
                .run();
            return Done {};
        }
        if (!node.isLocked())
            return Done {};
        // A manager may lift anyone's lock (a holder who left for good); others only their own.
        if (node.isLockedByOther(user.id) && !s.rights(user, node).isManager)
            s.requireUnlocked(user, node, false);
        s.db->prepare("UPDATE entries SET lock_owner = NULL, lock_user_id = '', lock_user_name = '', "
                      "lock_start_time = '' WHERE id = ?1")
            .with(node.id())
            .run();
        return Done {};
    });
}

std::optional<StoreError> ServerStore::copyStateOf(const Entry& entry)
{
    try {
        std::lock_guard lock(state_->mutex);
        return state_->copyStateOf(entry.id);
    } catch (const std::exception& error) {
        Log::line(std::string("store: copyStateOf failed: ") + error.what());
        return std::nullopt;
    }
}

} // namespace norvane::server
