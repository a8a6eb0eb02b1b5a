#include "LogicTestSupport.h"

#include "platform/Strings.h"

using namespace norvane;
using namespace norvane::testing;

namespace {

using FileManagementTest = LogicTest;

Alert show(std::string title, std::string message, std::string detail = {})
{
    return { Alert::Kind::Show, std::move(title), std::move(message), std::move(detail), {} };
}

Alert replaceQuestion(std::string names)
{
    return { Alert::Kind::Ask, "", "message_question_file_exist_update", std::move(names),
        { "alert_yes", "alert_no" } };
}

std::shared_ptr<fileInformation> editable(const std::string& name, const std::string& uk, bool canEdit)
{
    auto info = entry(name, uk);
    info->canEdit = canEdit ? 1 : 0;
    return info;
}

} // namespace

TEST_F(FileManagementTest, CopyOntoANameThatMayNotBeEditedRefusesWithoutAsking)
{
    adaptor_->script("cp *", { ResultWriteConflict });
    adaptor_->folders["/FOLDER/Dest%20Dir"] = { editable("a.txt", "/FILE/Dest Dir/a.txt", false) };
    EXPECT_EQ(
        await([](auto done) { StorageServiceLogic::copyFile("/FOLDER/Dest Dir", "/FILE/a.txt", "a.txt", 1, done); }),
        ResultWriteConflict);
    EXPECT_EQ(shown(), (std::vector<Alert> { show("alert", "message_can_not_update_for_can_not_edit", "a.txt") }));
    const auto copies = adaptor_->calls("cp");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].path, "/FOLDER/Dest%20Dir");
    EXPECT_EQ(copies[0].source, "/FILE/a.txt");
    EXPECT_EQ(copies[0].accessFlag, 1);
    EXPECT_EQ(copies[0].option.at("owner"), Value("user1"));
}

TEST_F(FileManagementTest, AgreedOverwriteRunsTheMoveAgainWithTheOverwriteFlag)
{
    adaptor_->script("mv *", { ResultWriteConflict, ResultSuccess });
    adaptor_->folders["/FOLDER/Dest"] = { editable("a.txt", "/FILE/Dest/a.txt", true) };
    alerts_->scriptAnswers({ 0 });
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::moveFile("/FOLDER//Dest", "/FILE/a.txt", "a.txt", 0, done); }),
        ResultSuccess);
    EXPECT_EQ(shown(), (std::vector<Alert> { replaceQuestion("") }));
    const auto moves = adaptor_->calls("mv");
    ASSERT_EQ(moves.size(), 2u);
    EXPECT_EQ(moves[0].path, "/FOLDER/Dest/a.txt") << "the doubled slash is corrected";
    EXPECT_FALSE(moves[0].overwrite);
    EXPECT_TRUE(moves[1].overwrite);
}

TEST_F(FileManagementTest, MultipleCopyAsksOnceAndListsTheRestAsFailed)
{
    adaptor_->script("cp *", { ResultSuccess, ResultWriteConflict, ResultWriteConflict, ResultNotFound });
    adaptor_->folders["/FOLDER/D"] = { editable("b", "/FILE/D/b", true), editable("c", "/FILE/D/c", false) };
    alerts_->scriptAnswers({ 0 });
    const std::vector<StorageServiceLogic::SourceItem> sources
        = { { "/FILE/a", "a" }, { "/FILE/b", "b" }, { "/FILE/c", "c" }, { "/FILE/d", "d" } };
    EXPECT_EQ(await([&](auto done) { StorageServiceLogic::copyFiles("/FOLDER/D", sources, 0, done); }), ResultSuccess);
    EXPECT_EQ(shown(), (std::vector<Alert> { replaceQuestion("b"), show("FileCopyNomalErrorMessage", "", "d\nc") }));
    const auto copies = adaptor_->calls("cp");
    ASSERT_EQ(copies.size(), 5u);
    EXPECT_EQ(copies[4].source, "/FILE/b");
    EXPECT_TRUE(copies[4].overwrite);
    EXPECT_EQ(adaptor_->calls("ls").size(), 1u) << "the destination is listed once";
}

TEST_F(FileManagementTest, LockConflictNamesTheHolderAndFoldersAreNeverLocked)
{
    adaptor_->lockConflictBody = "<LockFileResult><Code>FileStatusError_locked</Code><UserId>u9</UserId>"
                                 "<UserName>Hanako</UserName></LockFileResult>";
    adaptor_->script("put *", { ResultWriteConflict });
    using Lock = std::optional<FileLockError>;
    const auto lock = [&](const fileInformation& file, bool on) {
        return collect<std::int32_t, const Lock&>([&](auto done) { StorageServiceLogic::lockFile(file, on, done); });
    };
    const auto [result, conflict] = lock(*entry("a b.txt", "/FILE/FILE/a b.txt"), true);
    EXPECT_EQ(result, ResultWriteConflict);
    ASSERT_TRUE(conflict);
    EXPECT_EQ(conflict->type, 0);
    EXPECT_EQ(conflict->lockingUserID, "u9");
    ASSERT_NE(Strings::text("custom_person_locking"), "custom_person_locking") << "catalogue not found";
    std::string title = Strings::text("custom_person_locking");
    title.replace(title.find("%@"), 2, "Hanako");
    EXPECT_EQ(shown().at(0), show(title, ""));
    auto puts = adaptor_->calls("put");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].path, "/LOCKFILE/FILE/a%20b.txt") << "only the area prefix changes";
    EXPECT_EQ(puts[0].postOrPut, 0);
    EXPECT_EQ(puts[0].option.at("x-zel-lock-flg"), Value("1"));
    EXPECT_EQ(puts[0].option.at("x-zel-lock-userid"), Value("user1"));

    // Unlocking a shared file: a refusal with code 23 has its own text.
    adaptor_->script("put *", { ResultIsCopySource });
    const auto unlocked = lock(*entry("s", "/SHAREFILE/T/s"), false);
    EXPECT_EQ(std::get<0>(unlocked), ResultIsCopySource);
    EXPECT_FALSE(std::get<1>(unlocked));
    EXPECT_EQ(adaptor_->calls("put").at(1).path, "/LOCKSHAREFILE/T/s");
    EXPECT_EQ(shown().at(1), show("message_can_not_unlock_for_copying", ""));

    EXPECT_EQ(std::get<0>(lock(*entry("F", "/FOLDER/F", true), true)), ResultFailed);
    EXPECT_EQ(adaptor_->calls("put").size(), 2u);
    EXPECT_EQ(shown().size(), 2u);
}

TEST_F(FileManagementTest, FolderDeletionChecksRightsBeforeDeletingAnything)
{
    auto readOnly = entry("r.txt", "/SHAREFILE/T/D/r.txt");
    readOnly->isReadOnly = true;
    readOnly->owner = "user1";
    auto owned = entry("x.txt", "/SHAREFILE/T/D/x.txt");
    owned->owner = "user1";
    adaptor_->folders["/SHAREFOLDER/T/D"] = { owned, readOnly };
    auto folder = entry("D", "/SHAREFOLDER/T/D", true);
    EXPECT_EQ(await([&](auto done) { StorageServiceLogic::deleteFolder(*folder, done); }), ResultNoPermission);
    EXPECT_EQ(shown(), (std::vector<Alert> { show("folder_no_permission_can_not_delete", "") }));
    EXPECT_TRUE(adaptor_->calls("rm").empty());

    // A manager may; children go first, escaped, then the folder.
    folder->isManager = true;
    EXPECT_EQ(await([&](auto done) { StorageServiceLogic::deleteFolder(*folder, done); }), ResultSuccess);
    std::vector<std::string> removed;
    for (const auto& call : adaptor_->calls("rm"))
        removed.push_back(call.path);
    EXPECT_EQ(
        removed, (std::vector<std::string> { "/SHAREFILE/T/D/x.txt", "/SHAREFILE/T/D/r.txt", "/SHAREFOLDER/T/D" }));
}

TEST_F(FileManagementTest, FolderDeletionKeepsLevelsWhoseContentWasNotDealtWith)
{
    // A refusal below keeps the folders above it: deleting them would take the refused child along.
    auto locked = entry("l.txt", "/SHAREFILE/T/A/B/l.txt");
    locked->isReadOnly = true;
    auto owned = entry("f", "/SHAREFILE/T/A/f");
    owned->owner = "user1";
    adaptor_->folders["/SHAREFOLDER/T/A"] = { entry("B", "/SHAREFOLDER/T/A/B", true), owned };
    adaptor_->folders["/SHAREFOLDER/T/A/B"] = { locked };
    EXPECT_EQ(StorageServiceLogic::deleteFolderContent(*entry("A", "/SHAREFOLDER/T/A", true)), ResultNoPermission);
    EXPECT_TRUE(adaptor_->calls("rm").empty());

    // A listing that failed shows nothing to check: the folder stays.
    adaptor_->script("ls /FOLDER/X", { ResultServerError });
    EXPECT_EQ(StorageServiceLogic::deleteFolderContent(*entry("X", "/FOLDER/X", true)), ResultServerError);
    EXPECT_TRUE(adaptor_->calls("rm").empty());
}

TEST_F(FileManagementTest, SearchPathsOfBothAreasAndRefusalElsewhere)
{
    adaptor_->folders["/SEARCH/a%20b?filename=r%C3%A9sum%C3%A9"]
        = { entry("z.txt", "/FILE/a b/z.txt"), entry(".x", "/FILE/a b/.x"), entry("Sub", "/FOLDER/a b/Sub", true) };
    const auto search = [&](const std::string& folder, const std::string& keyword, bool byName) {
        return collect<std::int32_t, const std::optional<FileInfoList>&>(
            [&](auto done) { StorageServiceLogic::searchFolder(folder, keyword, byName, done); });
    };
    const auto [result, found] = search("/FOLDER/a b", "résumé", true);
    EXPECT_EQ(result, ResultSuccess);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), 2u);
    EXPECT_EQ((*found)[0]->displayName, "Sub");
    search("/SHAREFOLDER/T", "Sato", false);
    EXPECT_EQ(search("/FILE/x", "k", true), std::make_tuple(ResultFailed, std::optional<FileInfoList> {}));
    const auto searches = adaptor_->calls("search");
    ASSERT_EQ(searches.size(), 2u);
    EXPECT_EQ(searches[1].path, "/SHARESEARCH/T?authname=Sato");
}

TEST_F(FileManagementTest, RenameDeleteChmodAndCreateFolderAlertByTheirTables)
{
    adaptor_->script("mv *", { ResultWriteConflict });
    adaptor_->script("rm *", { ResultWriteConflict, ResultIsCopySource });
    adaptor_->script("chmod *", { ResultNotFound, ResultIsCopySource });
    adaptor_->errors["chmod /FILE/gone"] = { kCloudServiceErrorDomain, CloudServiceErrorNotFound, "", {} };
    adaptor_->script("put *", { ResultWriteConflict });
    await([](auto done) { StorageServiceLogic::renameFile("/FOLDER/new", "/FOLDER/old", true, done); });
    await([](auto done) { StorageServiceLogic::deleteFile("/FILE/100%.txt", done); });
    await([](auto done) { StorageServiceLogic::deleteFile("/FILE/b", done); });
    await([](auto done) { StorageServiceLogic::chmodFile("/FILE/gone", 1, done); });
    await([](auto done) { StorageServiceLogic::chmodFile("/FILE/c", 0, done); });
    await([](auto done) { StorageServiceLogic::makeFolder("/FOLDER/New%20Folder", done); });
    EXPECT_EQ(shown(),
        (std::vector<Alert> { show("message_have_file", ""), show("warning", "delete_file_failed"),
            show("message_copying_can_not_delete", ""), show("alert", "file_not_exist"),
            show("message_copying_can_not_change_authority", ""), show("message_folder_exist", "") }));
    EXPECT_EQ(adaptor_->calls("mv")[0].applicationType, "folder");
    EXPECT_EQ(adaptor_->calls("rm")[0].path, "/FILE/100%25.txt");
    const auto put = adaptor_->calls("put").at(0);
    EXPECT_EQ(put.path, "/FOLDER/New%20Folder");
    EXPECT_EQ(put.option.at("cmdType"), Value("makeFolder"));
}

TEST(CorrectPathTest, CollapsesSlashRunsAfterTheFirstCharacter)
{
    EXPECT_EQ(StorageServiceLogic::correctPath("a//b///c"), "a/b/c");
    EXPECT_EQ(StorageServiceLogic::correctPath("//a"), "//a");
    EXPECT_EQ(StorageServiceLogic::correctPath("///a//"), "//a/");
    EXPECT_EQ(StorageServiceLogic::correctPath(""), "");
}
