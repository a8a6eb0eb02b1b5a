// Trees, copies and moves, deletion rights, locks, permissions and search: the operations and
// their alerts against the server's real answers.

#include "e2e/OperationsTestFixture.h"

#include <set>

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

using OperationsFilesTest = OperationsTest;

std::string text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

TEST_P(OperationsFilesTest, FolderTreeGoesUpAndComesBackByteIdenticalWithoutHiddenEntries)
{
    const auto accounts = newCompany("tree", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);

    const fs::path source = home_ / "local" / "Tree";
    fs::create_directories(source / "sub" / "deeper");
    fs::create_directories(source / "sub" / ".secret");
    fs::create_directories(source / "empty");
    ASSERT_TRUE(FileSystem::writeFileAtomically(source / "a.txt", randomBytes(3000, 1)));
    ASSERT_TRUE(FileSystem::writeFileAtomically(source / "sub" / "b.bin", randomBytes(kMiB + 4321, 2)));
    ASSERT_TRUE(FileSystem::writeFileAtomically(source / "sub" / "deeper" / "c d.txt", randomBytes(17, 3)));
    ASSERT_TRUE(FileSystem::writeFileAtomically(source / "sub" / "deeper" / "zero", Bytes()));
    ASSERT_TRUE(FileSystem::writeFileAtomically(source / ".hidden", randomBytes(10, 4)));
    ASSERT_TRUE(FileSystem::writeFileAtomically(source / "sub" / ".secret" / "d.txt", randomBytes(10, 5)));

    const std::vector<StorageServiceLogic::UploadItem> items { { source.string(), "/FOLDER", std::nullopt } };
    EXPECT_EQ(
        await([&](auto done) { StorageServiceLogic::uploadFolders(items, Value(), std::move(done)); }), ResultSuccess);

    // Hidden local entries never left the machine.
    const auto top = listing(loggedIn(accounts[0]), "/FOLDER/Tree");
    EXPECT_FALSE(top.contains(".hidden"));
    EXPECT_TRUE(top.contains("empty"));
    EXPECT_FALSE(listing(loggedIn(accounts[0]), "/FOLDER/Tree/sub").contains(".secret"));

    // A hidden entry that exists on the server is not shown, and so not downloaded either.
    Client& other = loggedIn(accounts[0]);
    EXPECT_EQ(other.run(putMemory(randomBytes(9, 6), "/FILE/Tree/sub/.note"))->commandRes, ResultSuccess);

    const fs::path target = home_ / "back" / "Tree";
    fs::create_directories(target.parent_path());
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::downloadFolderToPath(target.string(), "/FOLDER/Tree", nullptr, nullptr, std::move(done));
    }),
        ResultSuccess);

    auto expected = treeContent(source);
    expected.erase(".hidden");
    expected.erase("sub/.secret/d.txt");
    EXPECT_EQ(treeContent(target), expected);
    EXPECT_TRUE(fs::is_directory(target / "empty"));
    EXPECT_FALSE(fs::exists(target / "sub" / ".note"));
    EXPECT_TRUE(shown().empty()) << shown().front().titleKey << " " << shown().front().messageKey;
}

class OperationsOverwriteTest : public OperationsTest {
protected:
    // One member with "/FOLDER/src/doc.txt" and "/FOLDER/dst/doc.txt" of different content, and a
    // shared folder where the second member's "locked.txt" may not be edited by the first.
    void prepare()
    {
        accounts_ = newCompany("ovw", 2);
        expectControlOk(server().createSharedFolder(accounts_[0].company, "Team", {}), "shared folder");
        ASSERT_EQ(signInAs(accounts_[1]), ResultSuccess);
        ASSERT_EQ(
            uploadInto("/SHAREFOLDER/Team", "doc.txt", bytesOf("theirs"), Value(std::string("0"))), ResultSuccess);
        ASSERT_EQ(signInAs(accounts_[0]), ResultSuccess);
        for (const char* folder : { "/FOLDER/src", "/FOLDER/dst" })
            ASSERT_EQ(
                await([&](auto done) { StorageServiceLogic::makeFolder(folder, std::move(done)); }), ResultSuccess);
        ASSERT_EQ(uploadInto("/FOLDER/src", "doc.txt", bytesOf("new content")), ResultSuccess);
        ASSERT_EQ(uploadInto("/FOLDER/dst", "doc.txt", bytesOf("old")), ResultSuccess);
        alerts->clear();
    }

    static Bytes bytesOf(std::string_view t) { return Bytes(t.begin(), t.end()); }

    std::vector<Account> accounts_;
};

TEST_P(OperationsOverwriteTest, CopyOverAnEditableFileAsksAndReplacesOnYes)
{
    prepare();
    alerts->scriptAnswers({ 0 });
    EXPECT_EQ(await([](auto done) {
        StorageServiceLogic::copyFile("/FOLDER/dst", "/FILE/src/doc.txt", "doc.txt", 1, std::move(done));
    }),
        ResultSuccess);
    const auto records = alerts->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].alert.kind, Alert::Kind::Ask);
    EXPECT_EQ(records[0].alert.messageKey, "message_question_file_exist_update");
    EXPECT_EQ(text(fetch("/FOLDER/dst", "doc.txt")), "new content");
    EXPECT_EQ(text(fetch("/FOLDER/src", "doc.txt")), "new content");
}

TEST_P(OperationsOverwriteTest, MoveOverAnEditableFileAsksAndReplacesOnYes)
{
    prepare();
    alerts->scriptAnswers({ 0 });
    EXPECT_EQ(await([](auto done) {
        StorageServiceLogic::moveFile("/FOLDER/dst", "/FILE/src/doc.txt", "doc.txt", 1, std::move(done));
    }),
        ResultSuccess);
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0].messageKey, "message_question_file_exist_update");
    EXPECT_EQ(text(fetch("/FOLDER/dst", "doc.txt")), "new content");
    EXPECT_FALSE(listed("/FOLDER/src").contains("doc.txt"));
}

TEST_P(OperationsOverwriteTest, CopyAndMoveRefusedByTheUserKeepTheTarget)
{
    prepare();
    alerts->scriptAnswers({ 1, 1 });
    EXPECT_EQ(await([](auto done) {
        StorageServiceLogic::copyFile("/FOLDER/dst", "/FILE/src/doc.txt", "doc.txt", 1, std::move(done));
    }),
        ResultWriteConflict);
    EXPECT_EQ(await([](auto done) {
        StorageServiceLogic::moveFile("/FOLDER/dst", "/FILE/src/doc.txt", "doc.txt", 1, std::move(done));
    }),
        ResultWriteConflict);
    const auto records = alerts->records();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_EQ(record.alert.messageKey, "message_question_file_exist_update");
        EXPECT_EQ(record.answer, 1u);
    }
    EXPECT_EQ(text(fetch("/FOLDER/dst", "doc.txt")), "old");
    EXPECT_EQ(text(fetch("/FOLDER/src", "doc.txt")), "new content");
}

TEST_P(OperationsOverwriteTest, CopyAndMoveOverAFileThatMayNotBeEditedAskNothing)
{
    prepare();
    alerts->setDefaultAnswer(0); // a question would be answered yes
    EXPECT_EQ(await([](auto done) {
        StorageServiceLogic::copyFile("/SHAREFOLDER/Team", "/FILE/src/doc.txt", "doc.txt", 1, std::move(done));
    }),
        ResultWriteConflict);
    EXPECT_EQ(await([](auto done) {
        StorageServiceLogic::moveFile("/SHAREFOLDER/Team", "/FILE/src/doc.txt", "doc.txt", 1, std::move(done));
    }),
        ResultWriteConflict);
    const Alert refused { Alert::Kind::Show, "alert", "message_can_not_update_for_can_not_edit", "doc.txt", {} };
    EXPECT_EQ(shown(), (std::vector<Alert> { refused, refused }));
    EXPECT_EQ(text(fetch("/SHAREFOLDER/Team", "doc.txt")), "theirs");
    EXPECT_TRUE(listed("/FOLDER/src").contains("doc.txt"));
}

TEST_P(OperationsFilesTest, MultipleCopyAsksOnceForTheEditableConflictsAndNamesTheOthers)
{
    const auto accounts = newCompany("multi", 2);
    expectControlOk(server().createSharedFolder(accounts[0].company, "Team", {}), "shared folder");
    ASSERT_EQ(signInAs(accounts[1]), ResultSuccess);
    ASSERT_EQ(uploadInto("/SHAREFOLDER/Team", "open.txt", randomBytes(5, 1), Value(std::string("1"))), ResultSuccess);
    ASSERT_EQ(uploadInto("/SHAREFOLDER/Team", "closed.txt", randomBytes(5, 2), Value(std::string("0"))), ResultSuccess);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    const Bytes mine = randomBytes(40, 3);
    for (const char* name : { "open.txt", "closed.txt", "fresh.txt" })
        ASSERT_EQ(uploadInto("/FOLDER", name, mine), ResultSuccess);
    {
        const auto team = listed("/SHAREFOLDER/Team");
        EXPECT_EQ(team.at("open.txt")->editpermission, 1);
        EXPECT_EQ(team.at("closed.txt")->editpermission, 0);
    }
    alerts->clear();
    alerts->scriptAnswers({ 0 });

    const std::vector<StorageServiceLogic::SourceItem> sources { { "/FILE/open.txt", "open.txt" },
        { "/FILE/closed.txt", "closed.txt" }, { "/FILE/fresh.txt", "fresh.txt" } };
    EXPECT_EQ(
        await([&](auto done) { StorageServiceLogic::copyFiles("/SHAREFOLDER/Team", sources, 1, std::move(done)); }),
        ResultSuccess);

    const auto records = alerts->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].alert.kind, Alert::Kind::Ask);
    EXPECT_EQ(records[0].alert.messageKey, "message_question_file_exist_update");
    EXPECT_EQ(records[0].alert.detail, "open.txt");
    EXPECT_EQ(records[1].alert, (Alert { Alert::Kind::Show, "FileCopyNomalErrorMessage", "", "closed.txt", {} }));
    EXPECT_EQ(fetch("/SHAREFOLDER/Team", "open.txt"), mine);
    EXPECT_EQ(fetch("/SHAREFOLDER/Team", "fresh.txt"), mine);
    EXPECT_EQ(fetch("/SHAREFOLDER/Team", "closed.txt"), randomBytes(5, 2));
}

TEST_P(OperationsFilesTest, FolderWithAReadOnlyMemberIsNotDeleted)
{
    const auto accounts = newCompany("del", 1);
    expectControlOk(server().createSharedFolder(accounts[0].company, "Team", {}), "shared folder");
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    ASSERT_EQ(await([](auto done) { StorageServiceLogic::makeFolder("/SHAREFOLDER/Team/Sub", std::move(done)); }),
        ResultSuccess);
    ASSERT_EQ(uploadInto("/SHAREFOLDER/Team/Sub", "mine.txt", randomBytes(8, 1)), ResultSuccess);
    ASSERT_EQ(uploadInto("/SHAREFOLDER/Team/Sub", "fixed.txt", randomBytes(8, 2)), ResultSuccess);
    expectControlOk(server().setReadOnly(accounts[0].company, "/SHAREFILE/Team/Sub/fixed.txt"), "read-only");
    alerts->clear();

    auto team = listed("/SHAREFOLDER/Team");
    ASSERT_TRUE(team.contains("Sub"));
    const fileInformation sub = *team["Sub"];
    EXPECT_EQ(await([&](auto done) { StorageServiceLogic::deleteFolder(sub, std::move(done)); }), ResultNoPermission);
    EXPECT_EQ(
        shown(), (std::vector<Alert> { { Alert::Kind::Show, "folder_no_permission_can_not_delete", "", "", {} } }));
    // Nothing of the folder went: its rights were checked before anything was deleted.
    const auto left = listed("/SHAREFOLDER/Team/Sub");
    EXPECT_TRUE(left.contains("mine.txt"));
    EXPECT_TRUE(left.contains("fixed.txt"));
}

TEST_P(OperationsFilesTest, LockOfOneMemberIsNamedToTheNext)
{
    const auto accounts = newCompany("lock", 2);
    expectControlOk(server().createSharedFolder(accounts[0].company, "Team", {}), "shared folder");
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    ASSERT_EQ(uploadInto("/SHAREFOLDER/Team", "plan.txt", randomBytes(8, 1), Value(std::string("1"))), ResultSuccess);
    const fileInformation plan = *listed("/SHAREFOLDER/Team").at("plan.txt");
    auto [locked, none] = collect<std::int32_t, const std::optional<FileLockError>&>(
        [&](auto done) { StorageServiceLogic::lockFile(plan, true, std::move(done)); });
    EXPECT_EQ(locked, ResultSuccess);
    EXPECT_FALSE(none.has_value());
    EXPECT_EQ(listed("/SHAREFOLDER/Team").at("plan.txt")->lockUserName, accounts[0].fullName);

    ASSERT_EQ(signInAs(accounts[1]), ResultSuccess);
    alerts->clear();
    Strings::reload({ "en", {} });
    auto [refused, holder] = collect<std::int32_t, const std::optional<FileLockError>&>(
        [&](auto done) { StorageServiceLogic::lockFile(plan, true, std::move(done)); });
    EXPECT_EQ(refused, ResultWriteConflict);
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(holder->lockingUserName, accounts[0].fullName);
    const auto alertsShown = shown();
    ASSERT_EQ(alertsShown.size(), 1u);
    // The alert's title is the filled-in text itself.
    EXPECT_EQ(alertsShown[0].titleKey, accounts[0].fullName + " has locked this file.");
    EXPECT_EQ(alertsShown[0].messageKey, "");
}

TEST_P(OperationsFilesTest, ChmodSetsTheEditPermission)
{
    const auto accounts = newCompany("chmod", 1);
    expectControlOk(server().createSharedFolder(accounts[0].company, "Team", {}), "shared folder");
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    ASSERT_EQ(uploadInto("/SHAREFOLDER/Team", "rules.txt", randomBytes(8, 1), Value(std::string("0"))), ResultSuccess);
    EXPECT_EQ(listed("/SHAREFOLDER/Team").at("rules.txt")->editpermission, 0);

    EXPECT_EQ(await([](auto done) { StorageServiceLogic::chmodFile("/SHAREFILE/Team/rules.txt", 1, std::move(done)); }),
        ResultSuccess);
    EXPECT_EQ(listed("/SHAREFOLDER/Team").at("rules.txt")->editpermission, 1);
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::chmodFile("/SHAREFILE/Team/rules.txt", 0, std::move(done)); }),
        ResultSuccess);
    EXPECT_EQ(listed("/SHAREFOLDER/Team").at("rules.txt")->editpermission, 0);
    EXPECT_TRUE(shown().empty());
}

TEST_P(OperationsFilesTest, SearchFindsByNameAndByAuthor)
{
    const auto accounts = newCompany("find", 2);
    expectControlOk(server().createSharedFolder(accounts[0].company, "Team", {}), "shared folder");
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    ASSERT_EQ(uploadInto("/SHAREFOLDER/Team", "Budget 2026.xlsx", randomBytes(8, 1)), ResultSuccess);
    ASSERT_EQ(signInAs(accounts[1]), ResultSuccess);
    ASSERT_EQ(await([](auto done) { StorageServiceLogic::makeFolder("/SHAREFOLDER/Team/deep", std::move(done)); }),
        ResultSuccess);
    ASSERT_EQ(uploadInto("/SHAREFOLDER/Team/deep", "notes.txt", randomBytes(8, 2)), ResultSuccess);

    const auto names = [](const std::optional<FileInfoList>& found) {
        std::set<std::string> out;
        for (const auto& entry : found.value_or(FileInfoList {}))
            out.insert(entry->displayName.value_or(""));
        return out;
    };
    auto [byName, foundByName] = collect<std::int32_t, const std::optional<FileInfoList>&>(
        [](auto done) { StorageServiceLogic::searchFolder("/SHAREFOLDER/Team", "budget", true, std::move(done)); });
    EXPECT_EQ(byName, ResultSuccess);
    EXPECT_EQ(names(foundByName), (std::set<std::string> { "Budget 2026.xlsx" }));

    auto [byAuthor, foundByAuthor] = collect<std::int32_t, const std::optional<FileInfoList>&>([&](auto done) {
        StorageServiceLogic::searchFolder("/SHAREFOLDER/Team", accounts[1].user, false, std::move(done));
    });
    EXPECT_EQ(byAuthor, ResultSuccess);
    EXPECT_TRUE(names(foundByAuthor).contains("notes.txt"));
    EXPECT_FALSE(names(foundByAuthor).contains("Budget 2026.xlsx"));
    EXPECT_TRUE(shown().empty());
}

INSTANTIATE_TEST_SUITE_P(Operations, OperationsFilesTest, ::testing::Values(Scheme::Http), schemeName);
INSTANTIATE_TEST_SUITE_P(Operations, OperationsOverwriteTest, ::testing::Values(Scheme::Http), schemeName);

} // namespace
