#include "server/StoreFixture.h"

#include <algorithm>
#include <utility>

using namespace norvane::server;
using namespace norvane::server::testing;

namespace {

using ServerStoreTree = StoreFixture;

std::vector<std::string> names(const StoreResult<std::vector<Entry>>& entries)
{
    std::vector<std::string> result;
    if (entries.ok()) {
        for (const auto& entry : entries.value())
            result.push_back(entry.name);
    }
    return result;
}

} // namespace

TEST_F(ServerStoreTree, NamesThatCouldEscapeOrConfuseAreRefused)
{
    for (const char* bad : { "", ".", "..", "a/b", "a\\b", "tab\there", "del\x7f" }) {
        EXPECT_EQ(store->createFolder(alice, mine(alice), { bad }, {}).failure().error, StoreError::Invalid) << bad;
        EXPECT_EQ(store->lookup(mine(alice), { "Memo", bad }).failure().error, StoreError::Invalid) << bad;
    }
    EXPECT_EQ(
        store->createFolder(alice, mine(alice), { std::string("nul\0x", 5) }, {}).failure().error, StoreError::Invalid);
    EXPECT_EQ(
        store->createFolder(alice, mine(alice), { std::string(256, 'n') }, {}).failure().error, StoreError::Invalid);
    EXPECT_EQ(store->move(alice, mine(alice), { "Memo" }, mine(alice), { "..", "x" }, false, {}).failure().error,
        StoreError::Invalid);
    EXPECT_EQ(store->putFile(alice, mine(alice), { "Memo", "../x" }, "x").failure().error, StoreError::Invalid);
    // Unusual but harmless names are fine.
    EXPECT_TRUE(store->createFolder(alice, mine(alice), { "..." }, {}));
    EXPECT_TRUE(store->createFolder(alice, mine(alice), { "日本語 フォルダ" }, {}));
}

TEST_F(ServerStoreTree, FoldersListInOrderAndRefuseDuplicatesAndMissingParents)
{
    ASSERT_TRUE(store->createFolder(alice, mine(alice), { "Memo", "b" }, {}));
    put(alice, mine(alice), { "Memo", "a.txt" }, "A");
    ASSERT_TRUE(store->createFolder(alice, mine(alice), { "Memo", "c" }, {}));
    EXPECT_EQ(names(store->children(get(mine(alice), { "Memo" }))), (std::vector<std::string> { "b", "c", "a.txt" }));
    EXPECT_EQ(store->createFolder(alice, mine(alice), { "Memo", "b" }, {}).failure().error, StoreError::Exists);
    EXPECT_EQ(store->createFolder(alice, mine(alice), { "Nope", "x" }, {}).failure().error, StoreError::NotFound);
    EXPECT_EQ(
        store->createFolder(alice, mine(alice), { "Memo", "a.txt", "x" }, {}).failure().error, StoreError::NotAFolder);
    EXPECT_EQ(store->createFolder(bob, mine(alice), { "Memo", "d" }, {}).failure().error, StoreError::Forbidden);
    EXPECT_TRUE(store->isEmptyFolder(get(mine(alice), { "Memo", "b" })).value());
    EXPECT_FALSE(store->isEmptyFolder(get(mine(alice), { "Memo" })).value());

    const Entry file = get(mine(alice), { "Memo", "a.txt" });
    EXPECT_EQ(file.path, (std::vector<std::string> { "Memo", "a.txt" }));
    EXPECT_EQ(store->entryById(file.id)->path, file.path);
    EXPECT_EQ(file.owner, "alice");
}

TEST_F(ServerStoreTree, RightsFollowOwnerManagerEditPermissionAndReadOnly)
{
    const AreaRef team = shared();
    EXPECT_EQ(store->createFolder(carol, team, { "Top" }, {}).failure().error, StoreError::Forbidden);
    const Entry file = put(alice, team, { "Team", "plan.txt" }, "v1");
    auto rights = [&](const User& user) { return store->rightsOf(user, get(team, { "Team", "plan.txt" })); };

    EXPECT_TRUE(rights(alice).isOwner);
    EXPECT_TRUE(rights(alice).canChange);
    EXPECT_TRUE(rights(alice).canChmod);
    EXPECT_FALSE(rights(alice).isManager);
    EXPECT_FALSE(rights(bob).canChange);
    EXPECT_FALSE(rights(bob).canChmod);
    EXPECT_TRUE(rights(carol).isManager);
    EXPECT_TRUE(rights(carol).canChange);
    EXPECT_TRUE(rights(carol).canChmod);
    EXPECT_FALSE(store->rightsOf(bob, get(mine(alice), { "Memo" })).canChange);

    EXPECT_EQ(store->putFile(bob, team, { "Team", "plan.txt" }, "bob").failure().error, StoreError::Forbidden);
    EXPECT_EQ(store->setEditPermission(bob, team, { "Team", "plan.txt" }, 1).failure().error, StoreError::Forbidden);
    ASSERT_TRUE(store->setEditPermission(alice, team, { "Team", "plan.txt" }, 1));
    EXPECT_TRUE(rights(bob).canChange);
    EXPECT_FALSE(rights(bob).canChmod);
    EXPECT_TRUE(store->putFile(bob, team, { "Team", "plan.txt" }, "bob's"));
    EXPECT_EQ(store->setEditPermission(alice, team, { "Team", "plan.txt" }, 2).failure().error, StoreError::Invalid);

    // Read-only binds everyone but the managers, also below a read-only folder.
    ASSERT_TRUE(store->setReadOnly(team, { "Team", "plan.txt" }, true));
    EXPECT_FALSE(rights(alice).canChange);
    EXPECT_FALSE(rights(bob).canChange);
    EXPECT_TRUE(rights(carol).canChange);
    ASSERT_TRUE(store->setReadOnly(team, { "Team", "plan.txt" }, false));
    ASSERT_TRUE(store->setReadOnly(team, { "Team" }, true));
    EXPECT_FALSE(rights(alice).canChange);
    EXPECT_EQ(store->createFolder(alice, team, { "Team", "new" }, {}).failure().error, StoreError::Forbidden);
    EXPECT_TRUE(store->createFolder(carol, team, { "Team", "new" }, {}));
    ASSERT_TRUE(store->setReadOnly(team, { "Team" }, false));

    // A member's folder without edit permission takes nothing from others.
    ASSERT_TRUE(store->createFolder(alice, team, { "Team", "alices" }, {}));
    EXPECT_EQ(store->putFile(bob, team, { "Team", "alices", "x" }, "x").failure().error, StoreError::Forbidden);
    EXPECT_TRUE(store->putFile(carol, team, { "Team", "alices", "x" }, "x"));

    // A manager, and only a manager, may close a shared folder to the members.
    EXPECT_EQ(store->setEditPermission(alice, team, { "Team" }, 0).failure().error, StoreError::Forbidden);
    ASSERT_TRUE(store->setEditPermission(carol, team, { "Team" }, 0));
    EXPECT_EQ(store->createFolder(bob, team, { "Team", "closed" }, {}).failure().error, StoreError::Forbidden);
    EXPECT_TRUE(store->createFolder(carol, team, { "Team", "closed" }, {}));

    // Top-level shared folders stay where the control endpoint put them.
    EXPECT_EQ(store->remove(carol, team, { "Team" }).failure().error, StoreError::Forbidden);
    EXPECT_EQ(
        store->move(carol, team, { "Team" }, team, { "Renamed" }, false, {}).failure().error, StoreError::Forbidden);

    // Another company's user sees nothing of this shared area.
    const User mallory = outsider();
    EXPECT_FALSE(store->rightsOf(mallory, file).canChange);
    EXPECT_EQ(store->remove(mallory, team, { "Team", "plan.txt" }).failure().error, StoreError::Forbidden);
}

TEST_F(ServerStoreTree, LocksOfOneUserHoldOffTheOthers)
{
    const AreaRef team = shared();
    put(alice, team, { "Team", "doc.txt" }, "v1");
    ASSERT_TRUE(store->setEditPermission(alice, team, { "Team", "doc.txt" }, 1));
    ASSERT_TRUE(store->setLock(alice, team, { "Team", "doc.txt" }, true));
    EXPECT_EQ(get(team, { "Team", "doc.txt" }).lockUserId, "alice");
    EXPECT_FALSE(get(team, { "Team", "doc.txt" }).lockStartTime.empty());

    auto upload = store->checkUpload(bob, team, { "Team", "doc.txt" }, 3, true);
    ASSERT_FALSE(upload);
    EXPECT_EQ(upload.failure().error, StoreError::Locked);
    EXPECT_EQ(upload.failure().lockUserId, "alice");
    EXPECT_EQ(upload.failure().lockUserName, "Alice A");
    EXPECT_EQ(store->putFile(bob, team, { "Team", "doc.txt" }, "v2").failure().error, StoreError::Locked);
    EXPECT_EQ(store->remove(bob, team, { "Team", "doc.txt" }).failure().error, StoreError::Locked);
    EXPECT_EQ(store->move(bob, team, { "Team", "doc.txt" }, team, { "Team", "d.txt" }, false, {}).failure().error,
        StoreError::Locked);
    EXPECT_EQ(store->setLock(bob, team, { "Team", "doc.txt" }, true).failure().error, StoreError::Locked);
    EXPECT_EQ(store->setLock(bob, team, { "Team", "doc.txt" }, false).failure().error, StoreError::Locked);
    // The holder goes on working; a manager cannot delete it either, nor its folder.
    EXPECT_TRUE(store->putFile(alice, team, { "Team", "doc.txt" }, "v2"));
    ASSERT_TRUE(store->createFolder(alice, team, { "Team", "sub" }, {}));
    EXPECT_EQ(
        store->move(carol, team, { "Team", "doc.txt" }, team, { "Team", "sub", "doc.txt" }, false, {}).failure().error,
        StoreError::Locked);
    EXPECT_EQ(store->remove(carol, team, { "Team", "doc.txt" }).failure().error, StoreError::Locked);

    // A manager may lift the lock; then the others may change the file.
    ASSERT_TRUE(store->setLock(carol, team, { "Team", "doc.txt" }, false));
    EXPECT_TRUE(get(team, { "Team", "doc.txt" }).lockUserId.empty());
    EXPECT_TRUE(store->putFile(bob, team, { "Team", "doc.txt" }, "v3"));

    // Removing a folder takes the locks of everything inside into account.
    put(alice, team, { "Team", "sub", "inner.txt" }, "x");
    ASSERT_TRUE(store->setLock(alice, team, { "Team", "sub", "inner.txt" }, true));
    EXPECT_EQ(store->remove(carol, team, { "Team", "sub" }).failure().error, StoreError::Locked);
    EXPECT_EQ(store->setLock(alice, team, { "Team", "sub" }, true).failure().error, StoreError::NotAFile);
}

TEST_F(ServerStoreTree, CopyLandsUnderItsOwnNameAndSharesContent)
{
    const AreaRef area = mine(alice);
    const Entry original = put(alice, area, { "Memo", "a.txt" }, "alpha");
    ASSERT_TRUE(store->createFolder(alice, area, { "Memo", "dir" }, {}));
    put(alice, area, { "Memo", "dir", "b.txt" }, "beta");

    auto copied = store->copy(alice, area, { "Memo", "a.txt" }, area, { "Photos" }, false, {});
    ASSERT_TRUE(copied) << copied.failure().detail;
    EXPECT_EQ(copied->path, (std::vector<std::string> { "Photos", "a.txt" }));
    EXPECT_EQ(copied->blobId, original.blobId);
    EXPECT_NE(copied->id, original.id);
    EXPECT_EQ(store->copy(alice, area, { "Memo", "a.txt" }, area, { "Photos" }, false, {}).failure().error,
        StoreError::Exists);

    // Overwrite replaces the content; a file never replaces a folder nor the reverse.
    put(alice, area, { "Recorder", "a.txt" }, "older");
    ASSERT_TRUE(store->copy(alice, area, { "Memo", "a.txt" }, area, { "Recorder" }, true, {}));
    EXPECT_EQ(content(get(area, { "Recorder", "a.txt" })), "alpha");
    ASSERT_TRUE(store->createFolder(alice, area, { "Recorder", "dir" }, {}));
    EXPECT_EQ(store->copy(alice, area, { "Memo", "dir" }, area, { "Recorder" }, false, {}).failure().error,
        StoreError::Exists);
    ASSERT_TRUE(store->createFolder(alice, area, { "Photos", "x" }, {}));
    put(alice, area, { "Photos", "x", "dir" }, "file named dir");
    EXPECT_EQ(store->copy(alice, area, { "Memo", "dir" }, area, { "Photos", "x" }, true, {}).failure().error,
        StoreError::Exists);

    // A folder tree comes whole; never into itself.
    ASSERT_TRUE(store->copy(alice, area, { "Memo", "dir" }, area, { "Recorder" }, true, {}));
    EXPECT_EQ(content(get(area, { "Recorder", "dir", "b.txt" })), "beta");
    EXPECT_EQ(store->copy(alice, area, { "Memo", "dir" }, area, { "Memo", "dir" }, false, {}).failure().error,
        StoreError::Invalid);
    ASSERT_TRUE(store->createFolder(alice, area, { "Memo", "dir", "deep" }, {}));
    EXPECT_EQ(store->copy(alice, area, { "Memo", "dir" }, area, { "Memo", "dir", "deep" }, false, {}).failure().error,
        StoreError::Invalid);
    EXPECT_EQ(
        store->copy(alice, area, { "Memo", "a.txt" }, area, { "Memo" }, true, {}).failure().error, StoreError::Exists);

    // A copy belongs to the copier, who made it, whoever made the original.
    put(bob, shared(), { "Team", "bobs.txt" }, "bob");
    auto fromShared = store->copy(alice, shared(), { "Team", "bobs.txt" }, area, { "Memo" }, false, {});
    ASSERT_TRUE(fromShared);
    EXPECT_EQ(fromShared->owner, "alice");
    EXPECT_EQ(fromShared->author, "alice");

    // Shared content outlives the entry it came with, and goes with the last one.
    const fs::path blob = store->blobPath(original.blobId);
    ASSERT_TRUE(store->remove(alice, area, { "Memo", "a.txt" }));
    ASSERT_TRUE(store->remove(alice, area, { "Photos", "a.txt" }));
    EXPECT_TRUE(fs::exists(blob));
    ASSERT_TRUE(store->remove(alice, area, { "Recorder" }));
    EXPECT_FALSE(fs::exists(blob));
    EXPECT_EQ(store->lookup(area, { "Recorder", "dir", "b.txt" }).failure().error, StoreError::NotFound);
}

TEST_F(ServerStoreTree, MoveRenamesReplacesAndNeverEntersItsOwnTree)
{
    const AreaRef area = mine(alice);
    ASSERT_TRUE(store->createFolder(alice, area, { "Memo", "dir" }, {}));
    const Entry moved = put(alice, area, { "Memo", "dir", "a.txt" }, "alpha");
    const Entry before = get(area, { "Memo", "dir" });

    auto renamed = store->move(alice, area, { "Memo", "dir" }, area, { "Photos", "renamed" }, false, {});
    ASSERT_TRUE(renamed) << renamed.failure().detail;
    EXPECT_EQ(renamed->id, before.id);
    EXPECT_EQ(get(area, { "Photos", "renamed", "a.txt" }).id, moved.id);
    EXPECT_EQ(store->lookup(area, { "Memo", "dir" }).failure().error, StoreError::NotFound);

    EXPECT_EQ(store->move(alice, area, { "Photos", "renamed" }, area, { "Photos", "renamed", "in" }, false, {})
                  .failure()
                  .error,
        StoreError::Invalid);
    EXPECT_EQ(store->move(alice, area, { "Photos", "missing" }, area, { "Memo", "x" }, false, {}).failure().error,
        StoreError::NotFound);

    const Entry older = put(alice, area, { "Memo", "a.txt" }, "older");
    EXPECT_EQ(store->move(alice, area, { "Photos", "renamed", "a.txt" }, area, { "Memo", "a.txt" }, false, {})
                  .failure()
                  .error,
        StoreError::Exists);
    ASSERT_TRUE(store->move(alice, area, { "Photos", "renamed", "a.txt" }, area, { "Memo", "a.txt" }, true, {}));
    EXPECT_EQ(content(get(area, { "Memo", "a.txt" })), "alpha");
    EXPECT_FALSE(fs::exists(store->blobPath(older.blobId)));

    // A file that moves from the shared area into a personal one keeps its owner and counts for
    // the area's user; moved back, it counts for its owner again.
    put(bob, shared(), { "Team", "t.txt" }, "0123456789");
    ASSERT_TRUE(store->setEditPermission(bob, shared(), { "Team", "t.txt" }, 1));
    const std::int64_t aliceBefore = store->usedBytes(alice.id);
    ASSERT_TRUE(store->move(alice, shared(), { "Team", "t.txt" }, area, { "Memo", "t.txt" }, false, {}));
    EXPECT_EQ(store->usedBytes(alice.id), aliceBefore + 10);
    EXPECT_EQ(store->usedBytes(bob.id), 0);
    EXPECT_EQ(get(area, { "Memo", "t.txt" }).owner, "bob");
    Company tight = company;
    tight.quota = 5;
    ASSERT_TRUE(store->updateCompany(tight));
    EXPECT_EQ(store->move(alice, area, { "Memo", "t.txt" }, shared(), { "Team", "t.txt" }, false, {}).failure().error,
        StoreError::QuotaExceeded)
        << "the owner's quota has no room for it";
    tight.quota = 0;
    ASSERT_TRUE(store->updateCompany(tight));
    ASSERT_TRUE(store->move(alice, area, { "Memo", "t.txt" }, shared(), { "Team", "t.txt" }, false, {}));
    EXPECT_EQ(store->usedBytes(bob.id), 10);
}

TEST_F(ServerStoreTree, SearchFindsByNameOrAuthorBelowTheFolder)
{
    const AreaRef team = shared();
    EntryMeta open;
    open.editPermission = 1;
    ASSERT_TRUE(store->createFolder(alice, team, { "Team", "Reports" }, open));
    put(alice, team, { "Team", "Reports", "Q1-REPORT.pdf" }, "1");
    put(bob, team, { "Team", "Reports", "notes.txt" }, "2");
    put(bob, team, { "Team", "report-draft.txt" }, "3");
    put(alice, mine(alice), { "Memo", "report.txt" }, "elsewhere");

    const Entry top = get(team, { "Team" });
    EXPECT_EQ(names(store->search(top, "report", false)),
        (std::vector<std::string> { "Reports", "Q1-REPORT.pdf", "report-draft.txt" }));
    EXPECT_EQ(names(store->search(get(team, { "Team", "Reports" }), "REPORT", false)),
        (std::vector<std::string> { "Q1-REPORT.pdf" }));
    auto byBob = store->search(top, "BOB B", true);
    EXPECT_EQ(names(byBob), (std::vector<std::string> { "notes.txt", "report-draft.txt" }));
    EXPECT_EQ(names(store->search(top, "ali", true)), (std::vector<std::string> { "Reports", "Q1-REPORT.pdf" }));
    ASSERT_TRUE(byBob);
    EXPECT_EQ(byBob->at(0).path, (std::vector<std::string> { "Team", "Reports", "notes.txt" }));
}

TEST_F(ServerStoreTree, TimestampsGrowWithEveryContentChange)
{
    const AreaRef area = mine(alice);
    std::int64_t last = 0;
    for (int i = 0; i < 5; ++i) {
        const Entry entry = put(alice, area, { "Memo", "v.txt" }, "version " + std::to_string(i));
        const std::int64_t stamp = std::stoll(entry.timestamp);
        EXPECT_GT(stamp, last);
        last = stamp;
    }
    reopen();
    EXPECT_GT(std::stoll(put(alice, area, { "Memo", "v.txt" }, "after restart").timestamp), last);
}

TEST_F(ServerStoreTree, LargeTreesCopyInTheBackgroundAndFreezeBothTrees)
{
    const AreaRef area = mine(alice);
    ASSERT_TRUE(store->createFolder(alice, area, { "Memo", "src" }, {}));
    ASSERT_TRUE(store->createFolder(alice, area, { "Memo", "src", "inner" }, {}));
    for (int i = 0; i < 4; ++i)
        put(alice, area, { "Memo", "src", "inner", "f" + std::to_string(i) }, "content " + std::to_string(i));
    put(alice, area, { "Memo", "src", "top.txt" }, "top");
    store->setCopyInBackgroundAbove(3);
    // Each step waits a minute unless the delay is lowered: nothing ends before the test says so.
    store->setCopyStepDelayMs(60000);

    auto dest = store->copy(alice, area, { "Memo", "src" }, area, { "Photos" }, false, {});
    ASSERT_TRUE(dest) << dest.failure().detail;
    const Entry listed = get(area, { "Photos", "src" });
    EXPECT_EQ(listed.actionType, "COPY");
    EXPECT_EQ(listed.actionFileType, "1");
    EXPECT_EQ(listed.actionSrc, "/Memo/src");
    EXPECT_EQ(listed.actionDest, "/Photos/src");
    const int progress = std::stoi(listed.actionProgress);
    EXPECT_GE(progress, 0);
    EXPECT_LT(progress, 100);

    EXPECT_EQ(store->copyStateOf(get(area, { "Memo", "src", "top.txt" })), StoreError::CopySource);
    EXPECT_EQ(store->copyStateOf(listed), StoreError::CopyDest);
    EXPECT_EQ(store->copyStateOf(get(area, { "Memo" })), std::nullopt);
    EXPECT_EQ(store->remove(alice, area, { "Memo", "src", "top.txt" }).failure().error, StoreError::CopySource);
    EXPECT_EQ(store->putFile(alice, area, { "Memo", "src", "new" }, "x").failure().error, StoreError::CopySource);
    EXPECT_EQ(store->remove(alice, area, { "Memo" }).failure().error, StoreError::CopySource);
    EXPECT_EQ(store->createFolder(alice, area, { "Photos", "src", "x" }, {}).failure().error, StoreError::CopyDest);
    EXPECT_EQ(store->setLock(alice, area, { "Memo", "src", "top.txt" }, true).failure().error, StoreError::CopySource);
    EXPECT_EQ(store->copy(alice, area, { "Photos", "src" }, area, { "Recorder" }, false, {}).failure().error,
        StoreError::CopyDest);
    // Reading the source is fine, and the rest of the area works as usual.
    EXPECT_TRUE(store->copy(alice, area, { "Memo", "src", "top.txt" }, area, { "Recorder" }, false, {}));

    store->setCopyStepDelayMs(0);
    store->waitForBackgroundCopies();
    const Entry done = get(area, { "Photos", "src" });
    EXPECT_TRUE(done.actionType.empty());
    EXPECT_TRUE(done.actionProgress.empty());
    EXPECT_TRUE(done.actionSrc.empty());
    EXPECT_EQ(store->copyStateOf(done), std::nullopt);
    EXPECT_EQ(content(get(area, { "Photos", "src", "inner", "f3" })), "content 3");
    EXPECT_EQ(store->search(done, "", false)->size(), 6u);
    EXPECT_TRUE(store->remove(alice, area, { "Memo", "src", "top.txt" }));
}

TEST_F(ServerStoreTree, AnInterruptedBackgroundCopyIsDiscardedAtTheNextOpen)
{
    const AreaRef area = mine(alice);
    ASSERT_TRUE(store->createFolder(alice, area, { "Memo", "src" }, {}));
    for (int i = 0; i < 5; ++i)
        put(alice, area, { "Memo", "src", "f" + std::to_string(i) }, "content " + std::to_string(i));
    store->setCopyInBackgroundAbove(2);
    store->setCopyStepDelayMs(60000);
    ASSERT_TRUE(store->copy(alice, area, { "Memo", "src" }, area, { "Photos" }, false, {}));
    reopen();
    EXPECT_EQ(store->lookup(area, { "Photos", "src" }).failure().error, StoreError::NotFound);
    EXPECT_EQ(store->children(get(area, { "Memo", "src" }))->size(), 5u);
    EXPECT_EQ(content(get(area, { "Memo", "src", "f4" })), "content 4");
}

TEST_F(ServerStoreTree, AListingShowsEachChildsRightsAndEmptinessAsTheEntryAloneDoes)
{
    const AreaRef team = shared();
    auto other = store->createSharedFolder(company.id, "Board", { bob.id });
    ASSERT_TRUE(other);
    put(alice, team, { "Team", "alices.txt" }, "a");
    put(bob, team, { "Team", "bobs.txt" }, "b");
    ASSERT_TRUE(store->setEditPermission(bob, team, { "Team", "bobs.txt" }, 1));
    ASSERT_TRUE(store->createFolder(alice, team, { "Team", "empty" }, {}));
    ASSERT_TRUE(store->createFolder(alice, team, { "Team", "closed" }, {}));
    put(alice, team, { "Team", "closed", "inside.txt" }, "i");
    ASSERT_TRUE(store->setReadOnly(team, { "Team", "closed" }, true));
    put(bob, team, { "Board", "minutes.txt" }, "m");
    put(alice, mine(alice), { "Memo", "note.txt" }, "n");
    ASSERT_TRUE(store->createFolder(alice, mine(alice), { "Empty" }, {}));

    const User mallory = outsider();

    std::size_t compared = 0;
    for (const auto& [area, path] : std::vector<std::pair<AreaRef, std::vector<std::string>>> {
             { team, {} }, { team, { "Team" } }, { team, { "Team", "closed" } }, { mine(alice), {} } }) {
        const Entry folder = path.empty() ? store->lookup(area, {}).value() : get(area, path);
        for (const User& user : { alice, bob, carol, mallory }) {
            auto listing = store->listing(user, folder);
            ASSERT_TRUE(listing) << listing.failure().detail;
            EXPECT_EQ(listing->generation, store->contentGeneration());
            auto children = store->children(folder);
            ASSERT_TRUE(children);
            ASSERT_EQ(listing->rows.size(), children->size());
            for (std::size_t i = 0; i < children->size(); ++i) {
                const Entry& child = children.value()[i];
                const ListedEntry& row = listing->rows[i];
                const std::string where = user.login + " " + child.name;
                EXPECT_EQ(row.entry.id, child.id) << where;
                EXPECT_EQ(row.entry.path, child.path) << where;
                const EntryRights alone = store->rightsOf(user, child);
                EXPECT_EQ(row.rights.isOwner, alone.isOwner) << where;
                EXPECT_EQ(row.rights.isManager, alone.isManager) << where;
                EXPECT_EQ(row.rights.canChange, alone.canChange) << where;
                EXPECT_EQ(row.rights.canChmod, alone.canChmod) << where;
                EXPECT_EQ(row.isEmpty, child.isFolder && store->isEmptyFolder(child).value()) << where;
                ++compared;
            }
        }
    }
    // Four readers of the shared root (Team, Board), Team (two files and two folders), closed (one
    // file) and alice's root (her four starting folders and Empty).
    EXPECT_EQ(compared, 4u * (2 + 4 + 1 + 5));
}

TEST_F(ServerStoreTree, TheContentGenerationMovesWithContentAndRightsButNotWithSessionsOrUploadOffsets)
{
    const AreaRef team = shared();
    auto generation = store->contentGeneration();
    auto moved = [&] {
        const auto now = store->contentGeneration();
        return std::exchange(generation, now) != now;
    };
    ASSERT_TRUE(store->createSession(alice.id, "dc09DEVICE"));
    EXPECT_FALSE(moved()) << "a login";
    const std::string whole = "0123456789";
    const std::vector<std::string> path = { "Memo", "up.bin" };
    auto chunk
        = store->appendChunk(alice, mine(alice), path, "/FILE/Memo/up.bin", "0123456789abcdef0123456789abcdef", 10, 0,
            [&, done = false](char* buffer, std::size_t) mutable -> long {
                if (std::exchange(done, true))
                    return 0;
                std::copy_n(whole.data(), 4, buffer);
                return 4;
            },
            {});
    ASSERT_TRUE(chunk) << chunk.failure().detail;
    EXPECT_FALSE(moved()) << "an upload's first chunk";

    put(alice, team, { "Team", "plan.txt" }, "v1");
    EXPECT_TRUE(moved()) << "a new file";
    ASSERT_TRUE(store->setReadOnly(team, { "Team" }, true));
    EXPECT_TRUE(moved()) << "read-only";
    ASSERT_TRUE(store->setEditPermission(carol, team, { "Team" }, 0));
    EXPECT_TRUE(moved()) << "edit permission";
    ASSERT_TRUE(store->createSharedFolder(company.id, "Board", { bob.id }));
    EXPECT_TRUE(moved()) << "a top folder and its manager";
}
