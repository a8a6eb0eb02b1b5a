// The tree against the real server: listing, folder creation, search by name and by author, copy,
// move, rename, delete and permission changes, and in the shared area the rules between members:
// locks, read-only entries, managers.

#include "e2e/ContractTest.h"

#include <algorithm>
#include <thread>

namespace norvane::testing {
namespace {

class FileManagementContractTest : public ContractTest {
protected:
    static CloudServiceCommandPtr copy(
        const std::string& source, const std::string& folder, const std::string& type, bool overwrite = false)
    {
        ValueMap options;
        if (overwrite)
            options[kOptionOverwrite] = kOptionValueYes;
        auto command = CommandFactory::makeCpCommand(source, folder, options);
        command->applicationType = type;
        return command;
    }
    static CloudServiceCommandPtr move(
        const std::string& source, const std::string& destination, const std::string& type)
    {
        auto command = CommandFactory::makeMvCommand(source, destination);
        command->applicationType = type;
        return command;
    }
    static CloudServiceCommandPtr remove(const std::string& path, const std::string& type)
    {
        auto command = CommandFactory::makeRmCommand("", path);
        command->applicationType = type;
        return command;
    }
    static CloudServiceCommandPtr chmod(const std::string& path, int flag)
    {
        auto command = CommandFactory::makeChmodCommand(path, ValueMap { { kOptionAccessFlag, flag } });
        command->applicationType = "file";
        return command;
    }
    // Lock (true) or unlock through an empty upload to the lock form of the file's path.
    static CloudServiceCommandPtr lock(const Account& who, const std::string& lockPath, bool on)
    {
        auto command = putMemory({}, lockPath, /*create=*/false);
        auto& options = command->inputParameter->cmdOption;
        options["x-zel-lock-flg"] = on ? "1" : "0";
        options["x-zel-lock-userid"] = who.user;
        options["x-zel-lock-username"] = who.fullName;
        return command;
    }
    // A company of two members and a shared folder that the first one manages.
    std::pair<Account, Account> managerAndMember(const std::string& tag, const std::string& folder)
    {
        const auto accounts = newCompany(tag, 2);
        expectControlOk(server().createSharedFolder(accounts[0].company, folder, { accounts[0].user }), folder);
        return { accounts[0], accounts[1] };
    }
    static std::vector<std::string> searchNames(const Client& client, const std::string& path)
    {
        auto search = client.run(CommandFactory::makeSearchCommand(path));
        EXPECT_EQ(search->commandRes, ResultSuccess) << path;
        std::vector<std::string> names;
        for (const auto& entry : *search->outputParameter->fileInfo)
            names.push_back(entry->displayName.value_or("") + "@" + entry->uk.value_or(""));
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_P(FileManagementContractTest, ListingShowsWhatIsMadeWithEveryField)
{
    const auto accounts = newCompany("listing", 1);
    const Account& sora = accounts[0];
    Client& client = loggedIn(sora);

    ASSERT_EQ(client.run(makeFolder("/FOLDER/docs"))->commandRes, ResultSuccess);
    EXPECT_EQ(client.run(makeFolder("/FOLDER/docs"))->commandRes, ResultWriteConflict) << "the name exists";
    ASSERT_EQ(client.run(makeFolder("/FOLDER/docs/empty"))->commandRes, ResultSuccess);
    auto report = putMemory(randomBytes(100), "/FILE/docs/report.txt");
    report->inputParameter->cmdOption["creationdate"] = "2024-05-01 10:20:30";
    ASSERT_EQ(client.run(report)->commandRes, ResultSuccess);
    ASSERT_EQ(client.run(putMemory(randomBytes(5), "/FILE/docs/a.txt"))->commandRes, ResultSuccess);

    auto ls = client.run(CommandFactory::makeLsCommand("/FOLDER/docs"));
    ASSERT_EQ(ls->commandRes, ResultSuccess);
    const auto& entries = *ls->outputParameter->fileInfo;
    ASSERT_EQ(entries.size(), 3u);
    // Folders first, then files by name.
    EXPECT_EQ(entries[0]->displayName.value_or(""), "empty");
    EXPECT_EQ(entries[1]->displayName.value_or(""), "a.txt");
    EXPECT_EQ(entries[2]->displayName.value_or(""), "report.txt");

    const fileInformation& folder = *entries[0];
    EXPECT_EQ(folder.fileType, 1u);
    EXPECT_TRUE(folder.isEmpty);
    EXPECT_EQ(folder.uk.value_or(""), "/FOLDER/docs/empty");
    EXPECT_EQ(folder.fullPath.value_or(""), "/docs/empty");

    const fileInformation& file = *entries[2];
    EXPECT_EQ(file.fileType, 0u);
    EXPECT_EQ(file.fileSize, 100u);
    EXPECT_EQ(file.uk.value_or(""), "/FILE/docs/report.txt");
    EXPECT_EQ(file.fullPath.value_or(""), "/docs/report.txt");
    EXPECT_EQ(file.owner.value_or(""), sora.user);
    EXPECT_EQ(file.ownername.value_or(""), sora.fullName);
    EXPECT_EQ(file.creationdate.value_or(""), "2024-05-01 10:20:30");
    EXPECT_EQ(file.canEdit, 1) << "everything in the personal area is the user's";
    EXPECT_FALSE(file.timestamp.value_or("").empty());
    EXPECT_NE(file.lastModifiedTime.value_or("").find("GMT"), std::string::npos) << file.lastModifiedTime.value_or("");
    EXPECT_TRUE(file.lockUserId.value_or("").empty());

    EXPECT_FALSE(listing(client, "/FOLDER")["docs"].isEmpty);
    auto missing = client.run(CommandFactory::makeLsCommand("/FOLDER/nothing-here"));
    EXPECT_EQ(missing->commandRes, ResultNotFound);
}

TEST_P(FileManagementContractTest, SearchFindsByNameAndByAuthorBelowTheFolderOnly)
{
    const auto accounts = newCompany("search", 2);
    const Account& hanako = accounts[1];
    expectControlOk(server().createSharedFolder(hanako.company, "Team", {}), "shared folder");
    Client& client = loggedIn(accounts[0]);
    Client& colleague = loggedIn(hanako);
    for (const char* folder : { "/FOLDER/docs", "/FOLDER/docs/sub", "/FOLDER/other" })
        ASSERT_EQ(client.run(makeFolder(folder))->commandRes, ResultSuccess);
    for (const char* file : { "/FILE/docs/Report-2024.txt", "/FILE/docs/sub/old-report.txt", "/FILE/other/report.txt",
             "/SHAREFILE/Team/mine.txt" })
        ASSERT_EQ(client.run(putMemory(randomBytes(10), file))->commandRes, ResultSuccess);
    ASSERT_EQ(colleague.run(makeFolder("/SHAREFOLDER/Team/docs"))->commandRes, ResultSuccess);
    ASSERT_EQ(colleague.run(putMemory(randomBytes(12), "/SHAREFILE/Team/docs/notes.txt"))->commandRes, ResultSuccess);

    EXPECT_EQ(searchNames(client, "/SEARCH/docs?filename=REPORT"),
        (std::vector<std::string> {
            "Report-2024.txt@/FILE/docs/Report-2024.txt", "old-report.txt@/FILE/docs/sub/old-report.txt" }));
    EXPECT_EQ(searchNames(client, "/SHARESEARCH/Team/docs?authname=" + hanako.user),
        (std::vector<std::string> { "notes.txt@/SHAREFILE/Team/docs/notes.txt" }));
    EXPECT_EQ(searchNames(client, "/SHARESEARCH?authname=" + hanako.fullName.substr(hanako.fullName.rfind(' ') - 6)),
        (std::vector<std::string> { "docs@/SHAREFOLDER/Team/docs", "notes.txt@/SHAREFILE/Team/docs/notes.txt" }))
        << "the author's full name counts too, and the whole area is searched from the root";
    EXPECT_TRUE(searchNames(client, "/SEARCH/docs?filename=nothing-like-it").empty());

    auto search = client.run(CommandFactory::makeSearchCommand("/SHARESEARCH/Team/docs?authname=" + hanako.user));
    ASSERT_EQ(search->outputParameter->fileInfo->size(), 1u);
    const fileInformation& found = *search->outputParameter->fileInfo->front();
    EXPECT_EQ(found.fileSize, 12u);
    EXPECT_EQ(found.authorname.value_or(""), hanako.fullName);
    EXPECT_EQ(found.fullPath.value_or(""), "/Team/docs/notes.txt");
}

TEST_P(FileManagementContractTest, CopyMoveRenameAndDeleteChangeTheTreeAsAsked)
{
    const auto accounts = newCompany("tree", 1);
    Client& client = loggedIn(accounts[0]);
    const Bytes a = randomBytes(kMiB + 3, 31);
    const Bytes b = randomBytes(700, 32);
    ASSERT_EQ(client.run(makeFolder("/FOLDER/docs"))->commandRes, ResultSuccess);
    ASSERT_EQ(client.run(makeFolder("/FOLDER/backup"))->commandRes, ResultSuccess);
    ASSERT_EQ(client.run(putMemory(a, "/FILE/docs/a.txt"))->commandRes, ResultSuccess);
    ASSERT_EQ(client.run(putMemory(b, "/FILE/backup/a.txt"))->commandRes, ResultSuccess);

    // A copy onto an existing name is refused unless it is asked to overwrite.
    EXPECT_EQ(client.run(copy("/FILE/docs/a.txt", "/FOLDER/backup", "file"))->commandRes, ResultWriteConflict);
    EXPECT_EQ(download(client, "/FILE/backup/a.txt"), b);
    EXPECT_EQ(client.run(copy("/FILE/docs/a.txt", "/FOLDER/backup", "file", true))->commandRes, ResultSuccess);
    EXPECT_EQ(download(client, "/FILE/backup/a.txt"), a);

    // A folder copies with its content.
    EXPECT_EQ(client.run(copy("/FOLDER/docs", "/FOLDER/backup", "folder"))->commandRes, ResultSuccess);
    EXPECT_EQ(download(client, "/FILE/backup/docs/a.txt"), a);

    // Move within a folder (a rename), refused onto an existing name.
    ASSERT_EQ(client.run(putMemory(b, "/FILE/docs/b.txt"))->commandRes, ResultSuccess);
    EXPECT_EQ(client.run(move("/FILE/docs/a.txt", "/FILE/docs/b.txt", "file"))->commandRes, ResultWriteConflict);
    EXPECT_EQ(client.run(move("/FILE/docs/a.txt", "/FILE/docs/moved.txt", "file"))->commandRes, ResultSuccess);
    auto docs = listing(client, "/FOLDER/docs");
    EXPECT_FALSE(docs.count("a.txt"));
    EXPECT_EQ(docs["moved.txt"].fileSize, a.size());
    EXPECT_EQ(download(client, "/FILE/docs/moved.txt"), a);

    // And into another folder.
    EXPECT_EQ(client.run(move("/FILE/docs/b.txt", "/FILE/Memo/b.txt", "file"))->commandRes, ResultSuccess);
    EXPECT_EQ(download(client, "/FILE/Memo/b.txt"), b);
    EXPECT_FALSE(listing(client, "/FOLDER/docs").count("b.txt"));

    // A folder rename carries the tree below it.
    EXPECT_EQ(client.run(move("/FOLDER/backup", "/FOLDER/archive", "folder"))->commandRes, ResultSuccess);
    auto root = listing(client, "/FOLDER");
    EXPECT_FALSE(root.count("backup"));
    ASSERT_TRUE(root.count("archive"));
    EXPECT_EQ(download(client, "/FILE/archive/docs/a.txt"), a);

    EXPECT_EQ(client.run(remove("/FILE/docs/moved.txt", "file"))->commandRes, ResultSuccess);
    EXPECT_TRUE(listing(client, "/FOLDER/docs").empty());
    EXPECT_EQ(client.run(remove("/FOLDER/archive", "folder"))->commandRes, ResultSuccess);
    EXPECT_FALSE(listing(client, "/FOLDER").count("archive"));
    EXPECT_EQ(client.run(getMemory("/FILE/archive/docs/a.txt"))->commandRes, ResultNotFound);
    EXPECT_EQ(client.run(remove("/FILE/docs/never-was.txt", "file"))->commandRes, ResultNotFound);
}

TEST_P(FileManagementContractTest, LockHoldsOffOtherMembersUntilItsHolderUnlocks)
{
    const auto accounts = newCompany("lock", 2);
    const Account& aki = accounts[0];
    const Account& ben = accounts[1];
    expectControlOk(server().createSharedFolder(aki.company, "Team", {}), "shared folder");
    Client& holder = loggedIn(aki);
    Client& other = loggedIn(ben);
    const Bytes original = randomBytes(300, 41);
    auto upload = putMemory(original, "/SHAREFILE/Team/plan.txt");
    upload->inputParameter->cmdOption["editpermission"] = "1";
    ASSERT_EQ(holder.run(upload)->commandRes, ResultSuccess);

    ASSERT_EQ(holder.run(lock(aki, "/LOCKSHAREFILE/Team/plan.txt", true))->commandRes, ResultSuccess);
    auto seen = listing(other, "/SHAREFOLDER/Team")["plan.txt"];
    EXPECT_EQ(seen.lockUserId.value_or(""), aki.user);
    EXPECT_EQ(seen.lockUserName.value_or(""), aki.fullName);
    EXPECT_FALSE(seen.lockStartTime.value_or("").empty());
    EXPECT_EQ(seen.canEdit, 0) << "the file is not the other member's";
    EXPECT_EQ(seen.editpermission, 1);

    // The other member's upload is refused with the holder named in the answer.
    auto overwrite = putMemory(randomBytes(50, 42), "/SHAREFILE/Team/plan.txt", /*create=*/false);
    EXPECT_EQ(other.run(overwrite)->commandRes, ResultWriteConflict);
    const std::string& body = overwrite->commandRestringWhenErr;
    EXPECT_NE(body.find("<LockFileResult>"), std::string::npos) << body;
    EXPECT_NE(body.find("<Code>FileStatusError_locked</Code>"), std::string::npos) << body;
    EXPECT_NE(body.find("<UserId>" + aki.user + "</UserId>"), std::string::npos) << body;
    EXPECT_NE(body.find("<UserName>" + aki.fullName + "</UserName>"), std::string::npos) << body;
    EXPECT_EQ(other.run(lock(ben, "/LOCKSHAREFILE/Team/plan.txt", true))->commandRes, ResultWriteConflict);
    EXPECT_EQ(other.run(lock(ben, "/LOCKSHAREFILE/Team/plan.txt", false))->commandRes, ResultWriteConflict)
        << "nobody else lifts the lock";
    EXPECT_EQ(other.run(move("/SHAREFILE/Team/plan.txt", "/SHAREFILE/Team/moved.txt", "file"))->commandRes,
        ResultWriteConflict);
    EXPECT_EQ(other.run(remove("/SHAREFILE/Team/plan.txt", "file"))->commandRes, ResultWriteConflict)
        << "a refused delete is never reported as done";
    EXPECT_EQ(download(other, "/SHAREFILE/Team/plan.txt"), original) << "a locked file survives a delete";

    ASSERT_EQ(holder.run(lock(aki, "/LOCKSHAREFILE/Team/plan.txt", false))->commandRes, ResultSuccess);
    EXPECT_TRUE(listing(other, "/SHAREFOLDER/Team")["plan.txt"].lockUserId.value_or("").empty());
    const Bytes replaced = randomBytes(70, 43);
    EXPECT_EQ(other.run(putMemory(replaced, "/SHAREFILE/Team/plan.txt", /*create=*/false))->commandRes, ResultSuccess);
    EXPECT_EQ(download(holder, "/SHAREFILE/Team/plan.txt"), replaced);
}

TEST_P(FileManagementContractTest, MembersCannotChangeWhatTheyMayOnlyReadAndManagersCan)
{
    const auto accounts = newCompany("rights", 3);
    const Account& owner = accounts[0];
    const Account& member = accounts[1];
    const Account& manager = accounts[2];
    expectControlOk(server().createSharedFolder(owner.company, "Docs", { manager.user }), "shared folder");
    Client& owns = loggedIn(owner);
    Client& reads = loggedIn(member);
    Client& manages = loggedIn(manager);
    const Bytes content = randomBytes(64, 51);
    ASSERT_EQ(owns.run(putMemory(content, "/SHAREFILE/Docs/fixed.txt"))->commandRes, ResultSuccess);

    // Readable by every member, changeable by none of them.
    EXPECT_EQ(download(reads, "/SHAREFILE/Docs/fixed.txt"), content);
    EXPECT_EQ(reads.run(remove("/SHAREFILE/Docs/fixed.txt", "file"))->commandRes, ResultBadRequest);
    EXPECT_EQ(reads.run(chmod("/SHAREFILE/Docs/fixed.txt", 1))->commandRes, ResultBadRequest);
    EXPECT_EQ(reads.run(putMemory(randomBytes(8), "/SHAREFILE/Docs/fixed.txt", false))->commandRes, ResultBadRequest);
    EXPECT_EQ(reads.run(move("/SHAREFILE/Docs/fixed.txt", "/SHAREFILE/Docs/taken.txt", "file"))->commandRes,
        ResultBadRequest);
    EXPECT_EQ(download(owns, "/SHAREFILE/Docs/fixed.txt"), content);
    auto asSeen = listing(reads, "/SHAREFOLDER/Docs")["fixed.txt"];
    EXPECT_EQ(asSeen.canEdit, 0);
    EXPECT_FALSE(asSeen.isManager);
    EXPECT_TRUE(listing(manages, "/SHAREFOLDER/Docs")["fixed.txt"].isManager);

    // The manager opens it up; then members may change it, but chmod stays owner's or manager's.
    EXPECT_EQ(manages.run(chmod("/SHAREFILE/Docs/fixed.txt", 1))->commandRes, ResultSuccess);
    EXPECT_EQ(listing(reads, "/SHAREFOLDER/Docs")["fixed.txt"].editpermission, 1);
    const Bytes edited = randomBytes(9, 52);
    EXPECT_EQ(reads.run(putMemory(edited, "/SHAREFILE/Docs/fixed.txt", false))->commandRes, ResultSuccess);
    EXPECT_EQ(download(owns, "/SHAREFILE/Docs/fixed.txt"), edited);
    EXPECT_EQ(reads.run(chmod("/SHAREFILE/Docs/fixed.txt", 0))->commandRes, ResultBadRequest);
    EXPECT_EQ(owns.run(chmod("/SHAREFILE/Docs/fixed.txt", 0))->commandRes, ResultSuccess);
    EXPECT_EQ(reads.run(remove("/SHAREFILE/Docs/fixed.txt", "file"))->commandRes, ResultBadRequest);

    // A read-only entry is closed even to its owner and to members it was opened for; its manager
    // still may.
    EXPECT_EQ(owns.run(chmod("/SHAREFILE/Docs/fixed.txt", 1))->commandRes, ResultSuccess);
    expectControlOk(server().setReadOnly(owner.company, "/SHAREFILE/Docs/fixed.txt"), "read-only");
    EXPECT_TRUE(listing(reads, "/SHAREFOLDER/Docs")["fixed.txt"].isReadOnly);
    EXPECT_EQ(reads.run(putMemory(randomBytes(8), "/SHAREFILE/Docs/fixed.txt", false))->commandRes, ResultBadRequest);
    EXPECT_EQ(owns.run(remove("/SHAREFILE/Docs/fixed.txt", "file"))->commandRes, ResultBadRequest);
    EXPECT_EQ(download(reads, "/SHAREFILE/Docs/fixed.txt"), edited);

    // Top-level shared folders belong to the control endpoint, not even to their managers.
    EXPECT_EQ(manages.run(remove("/SHAREFOLDER/Docs", "folder"))->commandRes, ResultBadRequest);
    EXPECT_EQ(manages.run(makeFolder("/SHAREFOLDER/Another"))->commandRes, ResultBadRequest);
    EXPECT_EQ(manages.run(remove("/SHAREFILE/Docs/fixed.txt", "file"))->commandRes, ResultSuccess);
    EXPECT_FALSE(listing(owns, "/SHAREFOLDER/Docs").count("fixed.txt"));

    // Each personal area is its user's alone.
    ASSERT_EQ(owns.run(putMemory(content, "/FILE/Memo/mine.txt"))->commandRes, ResultSuccess);
    EXPECT_EQ(reads.run(getMemory("/FILE/Memo/mine.txt"))->commandRes, ResultNotFound);
}

TEST_P(FileManagementContractTest, BackgroundCopyIsListedAndGuardsBothTreesUntilItEnds)
{
    const auto accounts = newCompany("bgcopy", 1);
    Client& client = loggedIn(accounts[0]);
    ASSERT_EQ(client.run(makeFolder("/FOLDER/src"))->commandRes, ResultSuccess);
    ASSERT_EQ(client.run(makeFolder("/FOLDER/dst"))->commandRes, ResultSuccess);
    std::vector<Bytes> contents;
    for (int i = 0; i < 4; ++i) {
        contents.push_back(randomBytes(100 + i, 80 + i));
        ASSERT_EQ(client.run(putMemory(contents.back(), "/FILE/src/f" + std::to_string(i)))->commandRes, ResultSuccess);
    }
    // Trees above two entries go to the background, slowly enough to be seen at work.
    expectControlOk(server().setCopySettings(2, 150), "copy settings");
    struct Restore {
        ServerProcess& target;
        ~Restore() { target.setCopySettings(64, 0); }
    } restore { server() };

    ASSERT_EQ(client.run(copy("/FOLDER/src", "/FOLDER/dst", "folder"))->commandRes, ResultSuccess);
    auto running = listing(client, "/FOLDER/dst")["src"];
    EXPECT_EQ(running.actionType.value_or(""), "COPY");
    EXPECT_EQ(running.actionFileType.value_or(""), "1");
    EXPECT_FALSE(running.actionProgress.value_or("").empty());
    EXPECT_EQ(client.run(remove("/FILE/src/f0", "file"))->commandRes, ResultIsCopySource);
    EXPECT_EQ(client.run(CommandFactory::makeLsCommand("/FOLDER/dst/src"))->commandRes, ResultIsCopyDest);
    EXPECT_EQ(client.run(getMemory("/FILE/dst/src/f3"))->commandRes, ResultIsCopyDest);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!listing(client, "/FOLDER/dst")["src"].actionType.value_or("").empty()
        && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(listing(client, "/FOLDER/dst")["src"].actionType.value_or("").empty()) << "the copy never ended";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(download(client, "/FILE/dst/src/f" + std::to_string(i)), contents[static_cast<std::size_t>(i)]);
    EXPECT_EQ(client.run(remove("/FILE/src/f0", "file"))->commandRes, ResultSuccess);
}

TEST_P(FileManagementContractTest, PermissionChangeOfAnOwnFileIsListed)
{
    const auto accounts = newCompany("chmod", 1);
    Client& client = loggedIn(accounts[0]);
    ASSERT_EQ(client.run(putMemory(randomBytes(3), "/FILE/Memo/p.txt"))->commandRes, ResultSuccess);
    EXPECT_EQ(listing(client, "/FOLDER/Memo")["p.txt"].editpermission, 0);
    EXPECT_EQ(client.run(chmod("/FILE/Memo/p.txt", 1))->commandRes, ResultSuccess);
    EXPECT_EQ(listing(client, "/FOLDER/Memo")["p.txt"].editpermission, 1);
    EXPECT_EQ(client.run(chmod("/FILE/Memo/none.txt", 1))->commandRes, ResultNotFound);
}

TEST_P(FileManagementContractTest, ATreeIsDeletedOrMovedOnlyByWhoMayChangeEverythingInIt)
{
    const auto [boss, member] = managerAndMember("trees", "Projects");
    Client& manages = loggedIn(boss);
    Client& works = loggedIn(member);
    // The design folder is open to every member; the brochure in it is the manager's alone.
    ASSERT_EQ(manages.run(makeFolder("/SHAREFOLDER/Projects/Design"))->commandRes, ResultSuccess);
    ASSERT_EQ(manages.run(chmod("/SHAREFOLDER/Projects/Design", 1))->commandRes, ResultSuccess);
    const Bytes brochure = randomBytes(5000, 91);
    const Bytes cover = randomBytes(3000, 92);
    ASSERT_EQ(manages.run(putMemory(brochure, "/SHAREFILE/Projects/Design/Brochure.pdf"))->commandRes, ResultSuccess);
    auto open = putMemory(cover, "/SHAREFILE/Projects/Design/Cover.jpg");
    open->inputParameter->cmdOption["editpermission"] = "1";
    ASSERT_EQ(works.run(open)->commandRes, ResultSuccess);

    auto unchanged = [&](const std::string& why) {
        auto design = listing(works, "/SHAREFOLDER/Projects/Design");
        EXPECT_EQ(design.size(), 2u) << why;
        EXPECT_EQ(design["Brochure.pdf"].owner.value_or(""), boss.user) << why;
        EXPECT_EQ(download(works, "/SHAREFILE/Projects/Design/Brochure.pdf"), brochure) << why;
        EXPECT_EQ(download(works, "/SHAREFILE/Projects/Design/Cover.jpg"), cover) << why;
        EXPECT_FALSE(listing(works, "/FOLDER").count("Design")) << why;
    };
    EXPECT_EQ(works.run(remove("/SHAREFILE/Projects/Design/Brochure.pdf", "file"))->commandRes, ResultBadRequest);
    EXPECT_EQ(works.run(remove("/SHAREFOLDER/Projects/Design", "folder"))->commandRes, ResultBadRequest);
    unchanged("a delete of the folder takes the manager's file with it");
    EXPECT_EQ(
        works.run(move("/SHAREFOLDER/Projects/Design", "/FOLDER/Design", "folder"))->commandRes, ResultBadRequest);
    unchanged("a move into the member's own area");
    EXPECT_EQ(works.run(move("/SHAREFOLDER/Projects/Design", "/SHAREFOLDER/Projects/Drafts", "folder"))->commandRes,
        ResultBadRequest);
    unchanged("a rename moves what lies below too");

    // Once every entry is open to the member, the move goes through and keeps who owns what.
    ASSERT_EQ(manages.run(chmod("/SHAREFILE/Projects/Design/Brochure.pdf", 1))->commandRes, ResultSuccess);
    ASSERT_EQ(works.run(move("/SHAREFOLDER/Projects/Design", "/FOLDER/Design", "folder"))->commandRes, ResultSuccess);
    auto moved = listing(works, "/FOLDER/Design");
    EXPECT_EQ(moved["Brochure.pdf"].owner.value_or(""), boss.user);
    EXPECT_EQ(moved["Brochure.pdf"].ownername.value_or(""), boss.fullName);
    EXPECT_EQ(moved["Cover.jpg"].owner.value_or(""), member.user);
    EXPECT_EQ(download(works, "/FILE/Design/Brochure.pdf"), brochure);
}

TEST_P(FileManagementContractTest, OwnerAuthorAndLockNamesComeFromTheSessionsAccount)
{
    const auto [boss, member] = managerAndMember("names", "Team");
    Client& manages = loggedIn(boss);
    Client& works = loggedIn(member);

    // Every name the member's requests claim is the manager's.
    auto forged = putMemory(randomBytes(40, 93), "/SHAREFILE/Team/forged.txt");
    auto& claims = forged->inputParameter->cmdOption;
    claims["owner"] = boss.user;
    claims["ownername"] = boss.fullName;
    claims["author"] = boss.user;
    claims["authorname"] = boss.fullName;
    claims["editpermission"] = "1";
    ASSERT_EQ(works.run(forged)->commandRes, ResultSuccess);
    EXPECT_EQ(raw(works, "POST", "/SHAREFOLDER/Team/folder",
                  { { "x-zel-app-type", "folder" }, { "x-zel-owner", boss.user }, { "x-zel-ownername", boss.fullName },
                      { "x-zel-author", boss.user } })
                  .status,
        200);
    EXPECT_EQ(raw(works, "PUT", "/SHAREFOLDER/Team/folder",
                  { { "x-zel-copy-src", "/SHAREFILE/Team/forged.txt" }, { "x-zel-author", boss.user },
                      { "x-zel-authorname", boss.fullName }, { "x-zel-ownername", boss.fullName } })
                  .status,
        200);
    ASSERT_EQ(works.run(lock(boss, "/LOCKSHAREFILE/Team/forged.txt", true))->commandRes, ResultSuccess);

    auto team = listing(manages, "/SHAREFOLDER/Team");
    const std::vector<fileInformation> made { team["forged.txt"], team["folder"],
        listing(manages, "/SHAREFOLDER/Team/folder")["forged.txt"] };
    for (const fileInformation& entry : made) {
        const std::string name = entry.uk.value_or("");
        EXPECT_EQ(entry.owner.value_or(""), member.user) << name;
        EXPECT_EQ(entry.ownername.value_or(""), member.fullName) << name;
        EXPECT_EQ(entry.author.value_or(""), member.user) << name;
        EXPECT_EQ(entry.authorname.value_or(""), member.fullName) << name;
        EXPECT_EQ(entry.canEdit, 0) << name << " is not the manager's";
    }
    EXPECT_EQ(team["forged.txt"].lockUserId.value_or(""), member.user);
    EXPECT_EQ(team["forged.txt"].lockUserName.value_or(""), member.fullName);
    auto refused = putMemory(randomBytes(8, 94), "/SHAREFILE/Team/forged.txt", /*create=*/false);
    EXPECT_EQ(manages.run(refused)->commandRes, ResultWriteConflict);
    EXPECT_NE(refused->commandRestringWhenErr.find("<UserId>" + member.user + "</UserId>"), std::string::npos)
        << refused->commandRestringWhenErr;
}

// True when the text holds a C0 or C1 control character or a line or paragraph separator, line
// breaks excepted.
bool holdsControlCharacters(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if ((c < 0x20 && c != '\r' && c != '\n') || c == 0x7f || (c == 0xc2 && next >= 0x80 && next <= 0x9f)
            || (c == 0xe2 && next == 0x80 && i + 2 < text.size() && (text[i + 2] == '\xa8' || text[i + 2] == '\xa9')))
            return true;
    }
    return false;
}

TEST_P(FileManagementContractTest, ControlCharactersNeverReachAnotherMembersListingOrSearch)
{
    const auto accounts = newCompany("ctl", 1);
    Account mallory = accounts[0];
    mallory.user = "mallory";
    mallory.fullName = "Mal\x1b]0;owned\x07ory \xc2\x9b"
                       "31m";
    expectControlOk(server().createUser(mallory.company, mallory.user, mallory.password, mallory.fullName), "user");
    expectControlOk(server().createSharedFolder(mallory.company, "Team", {}), "shared folder");
    Client& client = loggedIn(mallory);

    // Sent as the client escapes names; refused like any other unacceptable name.
    auto escaped = [](const std::string& name) {
        std::string text;
        for (unsigned char c : name) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            text += std::isalnum(c) || c == '.' ? std::string(1, static_cast<char>(c))
                                                : std::string { '%', kHex[c >> 4], kHex[c & 15] };
        }
        return text;
    };
    const std::string md5 = "e2fc714c4727ee9395f324cd2e7f331f"; // of "abcd"
    for (const std::string name : { "esc\x1b[2J.txt", "bell\x07.txt", "del\x7f.txt",
             "csi\xc2\x9b"
             "1m.txt",
             "nel\xc2\x85.txt", "line\xe2\x80\xa8.txt", "para\xe2\x80\xa9.txt", "tab\t.txt" }) {
        const HttpReply upload = raw(client, "POST", "/SHAREFILE/Team/" + escaped(name) + "?md5=" + md5 + "&size=4",
            { { "x-zel-file-write-range", "0-3" } }, "abcd");
        EXPECT_EQ(upload.status, 400) << name;
        EXPECT_NE(upload.body.find("<Code>InvalidArgument</Code>"), std::string::npos) << name;
        EXPECT_EQ(
            raw(client, "POST", "/SHAREFOLDER/Team/" + escaped(name), { { "x-zel-app-type", "folder" } }).status, 400)
            << name;
    }
    auto good = putMemory(randomBytes(4), "/SHAREFILE/Team/plain.txt");
    good->inputParameter->cmdOption["creationdate"] = "2024-01-01\x1b[8m";
    ASSERT_EQ(client.run(good)->commandRes, ResultSuccess);
    EXPECT_EQ(raw(client, "PUT", "/SHAREFILE/Team/" + escaped("re\xc2\x9bnamed.txt"),
                  { { "x-zel-move-src", "%2FSHAREFILE%2FTeam%2Fplain.txt" } })
                  .status,
        400);
    EXPECT_EQ(raw(client, "POST", "/SHAREFOLDER/Team/made-from-device",
                  { { "x-zel-app-type", "folder" }, { "X-Device-Id", "dev\x1b[5m" } })
                  .status,
        200);
    ASSERT_EQ(client.run(lock(mallory, "/LOCKSHAREFILE/Team/plain.txt", true))->commandRes, ResultSuccess);

    auto team = listing(client, "/SHAREFOLDER/Team");
    EXPECT_EQ(team.size(), 2u) << "only the two acceptable names were made";
    for (const auto& [name, entry] : team) {
        for (const auto& text : { entry.displayName, entry.owner, entry.ownername, entry.author, entry.authorname,
                 entry.creationdate, entry.deviceid, entry.lockUserName })
            EXPECT_FALSE(holdsControlCharacters(text.value_or(""))) << name << ": " << text.value_or("");
    }
    EXPECT_EQ(team["plain.txt"].ownername.value_or(""), "Mal]0;ownedory 31m");
    EXPECT_EQ(team["plain.txt"].creationdate.value_or(""), "2024-01-01[8m");
    const HttpReply rows = raw(client, "GET", "/SHARESEARCH/Team?authname=mal", { { "x-zel-css-version", "4.0.0" } });
    EXPECT_EQ(rows.status, 200) << rows.error;
    EXPECT_NE(rows.body.find("plain.txt"), std::string::npos) << rows.body;
    EXPECT_FALSE(holdsControlCharacters(rows.body)) << rows.body;

    expectControlOk(server().setInformation(mallory.company, "3", "Read me\x1b[6n\nsecond line"), "information");
    NotificationLog notices({ RestStorageServiceAdaptor::kNotificationNotificationChanged });
    listing(client, "/FOLDER");
    EXPECT_EQ(notices.last(RestStorageServiceAdaptor::kNotificationNotificationChanged, "Information"),
        "Read me[6n\nsecond line");
}

TEST_P(FileManagementContractTest, DemoProjectsIsTheManagersWithADesignFolderOpenToEveryone)
{
    ServerProcess::Options options;
    options.tls = GetParam() == Scheme::Https;
    options.demo = true;
    ServerProcess demo(options);
    ASSERT_TRUE(demo.start()) << demo.error();
    auto account = [&](const std::string& login) {
        for (const auto& seeded : demo.demoAccounts()) {
            if (seeded.user == login)
                return Account { seeded.company, seeded.user, seeded.password, deviceId("demo", 1), {} };
        }
        ADD_FAILURE() << "no demo account " << login;
        return Account {};
    };
    Client& member = loggedIn(account("member"), &demo);
    Client& manager = loggedIn(account("manager"), &demo);

    const auto top = listing(member, "/SHAREFOLDER");
    ASSERT_TRUE(top.count("Projects"));
    EXPECT_EQ(top.at("Projects").editpermission, 0);
    EXPECT_EQ(member.run(makeFolder("/SHAREFOLDER/Projects/Mine"))->commandRes, ResultBadRequest);
    EXPECT_EQ(member.run(putMemory(randomBytes(3), "/SHAREFILE/Projects/mine.txt"))->commandRes, ResultBadRequest);
    EXPECT_EQ(member.run(remove("/SHAREFILE/Projects/Budget.csv", "file"))->commandRes, ResultBadRequest);
    EXPECT_EQ(member.run(makeFolder("/SHAREFOLDER/Projects/Design/Mine"))->commandRes, ResultSuccess);
    EXPECT_EQ(member.run(remove("/SHAREFILE/Projects/Design/Brochure.pdf", "file"))->commandRes, ResultBadRequest);
    EXPECT_EQ(member.run(remove("/SHAREFOLDER/Projects/Design", "folder"))->commandRes, ResultBadRequest);
    EXPECT_EQ(
        member.run(move("/SHAREFOLDER/Projects/Design", "/FOLDER/Design", "folder"))->commandRes, ResultBadRequest);
    const auto projects = listing(manager, "/SHAREFOLDER/Projects");
    EXPECT_EQ(projects.size(), 3u) << "Design, the roadmap and the budget; nothing of the member's";
    EXPECT_EQ(listing(manager, "/SHAREFOLDER/Projects/Design").count("Brochure.pdf"), 1u);
    EXPECT_TRUE(listing(manager, "/SHAREFOLDER").at("Projects").isManager);
}

INSTANTIATE_TEST_SUITE_P(Wire, FileManagementContractTest, ::testing::Values(Scheme::Http, Scheme::Https), schemeName);

} // namespace
} // namespace norvane::testing
