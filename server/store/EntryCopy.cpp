// Copying a file or a folder tree into a folder; large trees go to a background copy.

#include "server/store/StoreState.h"

#include <algorithm>
#include <map>

namespace norvane::server {

namespace {

bool contains(const std::vector<std::int64_t>& ids, std::int64_t id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The copy the user asked for is the user's making; what the request says about it replaces
// what the original said about itself. Entries below it keep their authors.
void describe(Node& node, const User& user, const EntryMeta& meta)
{
    Entry& e = node.entry;
    e.author = user.login;
    e.authorName = user.fullName;
    if (meta.creationDate)
        e.creationDate = storedText(*meta.creationDate);
    if (meta.modifiedAt)
        e.modifiedAt = *meta.modifiedAt;
    if (meta.editPermission)
        e.editPermission = *meta.editPermission == 1 ? 1 : 0;
    if (!meta.deviceId.empty())
        e.deviceId = storedText(meta.deviceId);
}

} // namespace

StoreResult<Entry> ServerStore::copy(const User& user, const AreaRef& fromArea, const std::vector<std::string>& from,
    const AreaRef& toArea, const std::vector<std::string>& toFolder, bool overwrite, const EntryMeta& meta)
{
    return guarded<Entry>("copy", [&] {
        if (!isValidEntryPath(from) || !isValidEntryPath(toFolder))
            refuse(StoreError::Invalid, "unacceptable name in the copy");
        if (from.empty())
            refuse(StoreError::Invalid, "the root cannot be copied");
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        Transaction tx(*s.db);
        s.requireArea(user, fromArea);
        s.requireArea(user, toArea);
        Node source = s.require(fromArea, from);
        // Reading the source of a running copy is fine; its unfinished destination is not.
        if (s.copyStateOf(source.id()) == StoreError::CopyDest)
            refuse(StoreError::CopyDest, pathText(from) + " is still being copied");
        Node folder = s.require(toArea, toFolder);
        if (!folder.entry.isFolder)
            refuse(StoreError::NotAFolder, pathText(toFolder) + " is not a folder");
        s.requireNotCopying(folder, false);
        if (!s.mayCreateIn(user, folder))
            refuse(StoreError::Forbidden, "no right to create in " + pathText(toFolder));
        if (source.entry.isFolder && contains(s.lineage(folder.id()).ids, source.id()))
            refuse(StoreError::Invalid, "a folder cannot be copied into itself");

        auto existing = s.childOf(folder, source.entry.name);
        if (existing) {
            if (!overwrite || existing->id() == source.id() || existing->entry.isFolder != source.entry.isFolder)
                refuse(StoreError::Exists, pathText(existing->entry.path) + " exists already");
            if (contains(s.lineage(source.id()).ids, existing->id()))
                refuse(StoreError::Invalid, "a copy cannot replace a folder that holds its source");
            s.requireNotCopying(*existing, true);
            s.requireUnlocked(user, *existing, true);
            s.requireChangeTree(user, *existing);
        }

        const std::vector<Node> tree = source.entry.isFolder ? s.descendants(source) : std::vector<Node> {};
        std::int64_t bytes = source.entry.isFolder ? 0 : source.entry.size;
        for (const auto& node : tree)
            bytes += node.entry.isFolder ? 0 : node.entry.size;

        std::vector<std::string> freed;
        if (existing)
            s.deleteTree(*existing, freed);
        s.requireQuota(user.companyId, user.id, bytes);

        Node top = cloneFor(user, source, folder, s.nextStamp());
        describe(top, user, meta);
        const bool background = source.entry.isFolder && tree.size() + 1 > s.copyInBackgroundAbove.load();
        if (background) {
            top.entry.actionType = "COPY";
            top.entry.actionFileType = "1"; // the client shows the progress of a copy target marked "1"
            top.entry.actionProgress = "0";
            top.entry.actionSrc = pathText(source.entry.path);
            top.entry.actionDest = pathText(top.entry.path);
        }
        top.entry.id = s.insertNode(top);
        if (!background) {
            std::map<std::int64_t, Node> copied { { source.id(), top } };
            for (const auto& node : tree) {
                const Node& parent = copied.at(node.entry.parentId);
                Node clone = cloneFor(user, node, parent, s.nextStamp());
                clone.entry.id = s.insertNode(clone);
                if (clone.entry.isFolder)
                    copied.emplace(node.id(), std::move(clone));
            }
        }
        tx.commit();
        s.releaseBlobs(freed);
        if (background) {
            try {
                s.startBackgroundCopy(user, source, top, static_cast<std::int64_t>(tree.size()) + 1, bytes);
            } catch (...) {
                // No worker: the empty destination must not stay marked as copying.
                std::erase_if(s.copies, [&](const auto& copy) { return copy->destId == top.id(); });
                Transaction undo(*s.db);
                std::vector<std::string> none;
                s.deleteTree(top, none);
                undo.commit();
                throw;
            }
        }
        return top.entry;
    });
}

} // namespace norvane::server
