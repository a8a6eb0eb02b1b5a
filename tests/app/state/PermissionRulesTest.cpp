#include "app/state/PermissionRules.h"
#include "CloudServiceSDKForMac/CloudService/fileInformation.h"

#include <gtest/gtest.h>

using namespace norvane;

namespace {

constexpr const char* kUser = "alice";

// An entry owned by someone else; the setters change what a case needs.
struct Entry {
    fileInformation e;
    Entry(std::uint64_t fileType, const char* uk, const char* fullPath)
    {
        e.fileType = fileType;
        e.uk = uk;
        e.fullPath = fullPath;
        e.owner = "bob";
    }
    Entry& owned() { return e.owner = kUser, *this; }
    Entry& manager() { return e.isManager = true, *this; }
    Entry& readOnly() { return e.isReadOnly = true, *this; }
    Entry& offline() { return e.isOffLineMode = true, *this; }
    Entry& lockedBy(const char* user) { return e.lockUserId = user, *this; }
    Entry& canEdit() { return e.canEdit = 1, *this; }
    Entry& editPermission() { return e.editpermission = 1, *this; }
};

Entry teamFile()
{
    return Entry(0, "/SHAREFILE/Team/a", "/Team/a");
}

Entry teamFolder()
{
    return Entry(1, "/SHAREFOLDER/Team", "/Team");
}

struct Case {
    const char* name;
    Entry entry;
    bool shared, owner, readOnly, movable;
};

} // namespace

TEST(PermissionRules, RulesInTheirOrder)
{
    const Case cases[] = {
        { "personal file", Entry(0, "/FILE/a.txt", "/a.txt"), false, true, false, true },
        { "personal file offline", Entry(0, "/FILE/a.txt", "/a.txt").offline(), false, true, true, false },
        { "backup folder", Entry(1, "/FOLDER/BackupFolder/x", "/BackupFolder/x"), false, true, true, false },
        { "shared root", Entry(1, "/SHAREFOLDER", ""), true, false, true, false },
        { "top-level shared folder, even owned", teamFolder().owned(), true, true, true, false },
        { "top-level shared folder, trailing slash", Entry(1, "/SHAREFOLDER/Team", "/Team/"), true, false, true,
            false },
        { "top-level shared folder, manager", teamFolder().manager(), true, true, true, true },
        { "shared file of another", teamFile(), true, false, true, false },
        { "shared file of another, editable", teamFile().canEdit(), true, false, false, false },
        { "shared file of another, edit permission", teamFile().editPermission(), true, false, false, false },
        { "shared folder of another below the top", Entry(1, "/SHAREFOLDER/Team/sub", "/Team/sub"), true, false, false,
            false },
        { "own shared file", teamFile().owned(), true, true, false, true },
        { "own shared file marked read-only", teamFile().owned().readOnly(), true, true, true, false },
        { "manager's file marked read-only", teamFile().manager().readOnly(), true, true, false, true },
        { "own shared file locked by another", teamFile().owned().lockedBy("carol"), true, true, true, false },
        { "own shared file locked by the user", teamFile().owned().lockedBy(kUser), true, true, false, true },
        { "manager, locked by another", teamFile().manager().lockedBy("carol"), true, true, true, true },
        // A file is told by "/SHAREFILE", a folder by "/SHAREFOLDER": the other prefix is not shared.
        { "file under a folder key", Entry(0, "/SHAREFOLDER/Team/a", "/Team/a"), false, true, false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PermissionRules::isShareFile(c.entry.e), c.shared);
        EXPECT_EQ(PermissionRules::isOwnerFile(c.entry.e, kUser), c.owner);
        EXPECT_EQ(PermissionRules::isFileReadOnly(c.entry.e, kUser), c.readOnly);
        EXPECT_EQ(PermissionRules::canMove(c.entry.e, kUser), c.movable);
    }
}

TEST(PermissionRules, DropCopiesAcrossAreasAndMovesWithinOne)
{
    const auto alt = PermissionRules::kAlternateKeyMask;
    const auto ctrl = PermissionRules::kCommandKeyMask;
    const fileInformation personal = Entry(1, "/FOLDER/Docs", "/Docs").e;
    const fileInformation team = Entry(1, "/SHAREFOLDER/Team/sub", "/Team/sub").e;
    const fileInformation otherTeam = Entry(1, "/SHAREFOLDER/Other", "/Other").e;
    const DraggedItem myFile { "/FILE/a.txt", "/a.txt" };
    const DraggedItem teamFile { "/SHAREFILE/Team/a.txt", "/Team/a.txt" };

    EXPECT_FALSE(PermissionRules::needCopyBySrc(myFile, personal, 0));
    EXPECT_TRUE(PermissionRules::needCopyBySrc(myFile, personal, alt));
    EXPECT_FALSE(PermissionRules::needCopyBySrc(myFile, personal, ctrl));
    EXPECT_TRUE(PermissionRules::needCopyBySrc(myFile, team, 0));
    EXPECT_FALSE(PermissionRules::needCopyBySrc(myFile, team, ctrl));

    EXPECT_FALSE(PermissionRules::needCopyBySrc(teamFile, team, 0));
    EXPECT_TRUE(PermissionRules::needCopyBySrc(teamFile, team, alt));
    EXPECT_TRUE(PermissionRules::needCopyBySrc(teamFile, otherTeam, 0));
    EXPECT_FALSE(PermissionRules::needCopyBySrc(teamFile, otherTeam, ctrl));
    EXPECT_TRUE(PermissionRules::needCopyBySrc(teamFile, personal, alt | 1));
}
