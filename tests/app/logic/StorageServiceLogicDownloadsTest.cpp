#include "LogicTestSupport.h"

#include "app/logic/CommandProgressList.h"
#include "app/logic/Path.h"
#include "app/logic/UnsentEdits.h"

#include <filesystem>
#include <fstream>
#include <set>

using namespace norvane;
using namespace norvane::testing;
namespace fs = std::filesystem;

namespace {

class DownloadsTest : public LogicTest {
protected:
    void SetUp() override
    {
        LogicTest::SetUp();
        target_ = home_ / "target";
        outside_ = home_ / "outside";
        fs::create_directories(target_);
        fs::create_directories(outside_);
        writeFile(outside_ / "victim", "keep");
    }

    static void writeFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
    static std::string readFile(const fs::path& path)
    {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Every entry below the folder, as relative paths.
    static std::set<std::string> tree(const fs::path& root)
    {
        std::set<std::string> out;
        for (const auto& item : fs::recursive_directory_iterator(root))
            out.insert(fs::relative(item.path(), root).string());
        return out;
    }
    // A server file with content.
    std::shared_ptr<fileInformation> serverFile(const std::string& name, const std::string& key)
    {
        adaptor_->files[Path::urlPathFromPath(key)] = bytesOf("data of " + name);
        return entry(name, key, false, 8 + name.size());
    }

    fs::path target_, outside_;
};

} // namespace

TEST_F(DownloadsTest, UnsafeNamesAreSkippedAndTheRestArrives)
{
    adaptor_->folders["/FOLDER/T"] = {
        serverFile("ok.txt", "/FILE/T/ok.txt"),
        serverFile("../evil", "/FILE/T/evil"),
        serverFile("a/b", "/FILE/T/ab"),
        entry("..", "/FOLDER/T/up", true),
        serverFile(std::string("nul\0x", 5), "/FILE/T/nul"),
        serverFile("bell\a", "/FILE/T/bell"),
        entry("Sub", "/FOLDER/T/Sub", true),
    };
    adaptor_->folders["/FOLDER/T/Sub"] = { serverFile("in.txt", "/FILE/T/Sub/in.txt") };
    auto progress = std::make_shared<CommandProgressList>();
    const std::string local = (target_ / "T").string();
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::downloadFolderToPath(local, "/FOLDER/T", progress, nullptr, done);
    }),
        ResultFailed);

    EXPECT_EQ(tree(target_ / "T"), (std::set<std::string> { "ok.txt", "Sub", "Sub/in.txt" }));
    EXPECT_EQ(readFile(target_ / "T" / "Sub" / "in.txt"), "data of in.txt");
    EXPECT_EQ(tree(home_ / "outside"), (std::set<std::string> { "victim" }));
    EXPECT_FALSE(fs::exists(target_ / "evil"));
    const auto alerts = shown();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].messageKey, "message_download_name_refused");
    // Dot names are hidden by the display filter before they could be refused.
    EXPECT_EQ(alerts[0].detail, "\n/FOLDER/T/a/b\n/FOLDER/T/nul\\x00x\n/FOLDER/T/bell\\x07");
    EXPECT_EQ(progress->size(), 4u) << "two listings and two transfers";

    // A selection is not filtered: ".." itself is refused there, and the rest still arrives.
    alerts_->clear();
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::downloadItemsToPath({ entry("..", "/FOLDER/x", true), serverFile("b.txt", "/FILE/b.txt") },
            target_.string(), nullptr, nullptr, done);
    }),
        ResultFailed);
    EXPECT_EQ(readFile(target_ / "b.txt"), "data of b.txt");
    EXPECT_EQ(shown().at(0).detail, "\n/..");
    for (const auto& call : adaptor_->calls("ls"))
        EXPECT_TRUE(call.path.starts_with("/FOLDER/T")) << call.path;
}

TEST_F(DownloadsTest, PlantedLinksAreNeverWrittenThrough)
{
    // While the folder is listed, links appear where its file and its sub-folder will go.
    adaptor_->folders["/FOLDER/T"] = { serverFile("f.txt", "/FILE/T/f.txt"), entry("Sub", "/FOLDER/T/Sub", true) };
    adaptor_->folders["/FOLDER/T/Sub"] = { serverFile("g.txt", "/FILE/T/Sub/g.txt") };
    adaptor_->onLs = [&](const std::string& path) {
        if (path == "/FOLDER/T") {
            fs::create_symlink(outside_ / "victim", target_ / "T" / "f.txt");
            fs::create_directory_symlink(outside_, target_ / "T" / "Sub");
        }
    };
    const std::string local = (target_ / "T").string();
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::downloadFolderToPath(local, "/FOLDER/T", nullptr, nullptr, done);
    }),
        ResultSuccess);
    EXPECT_EQ(readFile(outside_ / "victim"), "keep");
    EXPECT_EQ(tree(outside_), (std::set<std::string> { "victim" }));
    EXPECT_FALSE(fs::is_symlink(target_ / "T" / "f.txt"));
    EXPECT_EQ(readFile(target_ / "T" / "f.txt"), "data of f.txt");
    EXPECT_TRUE(fs::is_symlink(target_ / "T" / "Sub")) << "an existing sub-folder is skipped, not merged into";
}

TEST_F(DownloadsTest, ExistingTargetStopsBeforeAnyTransferAndAFailedTransferLeavesNoFile)
{
    fs::create_directory(target_ / "Docs");
    auto folder = entry("Docs", "/FOLDER/Docs", true);
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::downloadItemsToPath({ folder }, target_.string(), nullptr, nullptr, done);
    }),
        ResultWriteConflict);
    EXPECT_TRUE(adaptor_->calls("ls").empty());
    EXPECT_TRUE(adaptor_->calls("get").empty());
    EXPECT_EQ(shown().at(0).titleKey, "message_folder_exist");

    // The second file fails: the first stays, the second leaves nothing at its name.
    auto first = serverFile("a.txt", "/FILE/a.txt");
    auto second = serverFile("b.txt", "/FILE/b.txt");
    adaptor_->script("get /FILE/b.txt", { ResultServerError });
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::downloadItemsToPath({ first, second }, target_.string(), nullptr, nullptr, done);
    }),
        ResultServerError);
    EXPECT_EQ(tree(target_), (std::set<std::string> { "Docs", "a.txt" }));
    EXPECT_EQ(shown().at(1), (Alert { Alert::Kind::Show, "warning", "download_file_failed", "", {} }));
}

TEST_F(DownloadsTest, CacheCopyRefusesServerNamesThatLeaveTheCache)
{
    auto file = serverFile("a.txt", "/FILE/a.txt");
    const auto fetch = [&] {
        return collect<std::int32_t, const std::string&>(
            [&](auto done) { StorageServiceLogic::downloadFileToFile(*file, done); });
    };
    file->folderid = "..";
    EXPECT_EQ(fetch(), std::make_tuple(ResultFailed, std::string()));
    EXPECT_TRUE(adaptor_->calls("get").empty());

    // A good one lands in tmp/file_cache/<folder id>/<name>, replacing the earlier copy.
    file->folderid = "F42";
    EXPECT_EQ(std::get<0>(fetch()), ResultSuccess);
    const auto [result, landed] = fetch();
    EXPECT_EQ(result, ResultSuccess);
    EXPECT_EQ(landed, Path::temporaryDirectory() + "/file_cache/F42/a.txt");
    EXPECT_EQ(readFile(landed), "data of a.txt");
    EXPECT_EQ(tree(fs::path(landed).parent_path()), (std::set<std::string> { "a.txt" }));
    // A copy holding a change the server never got is opened as it is, never replaced.
    writeFile(landed, "edited, not sent");
    ASSERT_TRUE(UnsentEdits::mark({ landed, "/FILE/a.txt", "/FILE/a.txt" }));
    const std::size_t gets = adaptor_->calls("get").size();
    EXPECT_EQ(fetch(), std::make_tuple(ResultSuccess, landed));
    EXPECT_EQ(readFile(landed), "edited, not sent");
    EXPECT_EQ(adaptor_->calls("get").size(), gets);
    EXPECT_EQ(shown().back().messageKey, "message_unsent_copy_opened");
    UnsentEdits::clear(landed);
    // A link planted where the folder goes is no folder.
    fs::create_directory_symlink(outside_, Path::temporaryDirectory() + "/file_cache/F43");
    file->folderid = "F43";
    EXPECT_EQ(std::get<0>(fetch()), ResultFailed);
    EXPECT_EQ(tree(outside_), (std::set<std::string> { "victim" }));
}

TEST_F(DownloadsTest, ThumbnailPathIsEscapedTwiceAndPageImageConflictsStayQuiet)
{
    StorageServiceLogic::setImageDecoder([](const Bytes& data) { return std::make_shared<Bytes>(data); });
    adaptor_->files["/FILE/a%2520b.jpg?thumbnail=64x64"] = bytesOf("JPEG");
    const auto [result, image] = collect<std::int32_t, const ThumbnailImage&>([](auto done) {
        StorageServiceLogic::downloadThumbnailImageWithQueue(*entry("a b.jpg", "/FILE/a b.jpg"), 64, done);
    });
    StorageServiceLogic::setImageDecoder(nullptr);
    EXPECT_EQ(result, ResultSuccess);
    ASSERT_TRUE(image);
    EXPECT_EQ(*std::static_pointer_cast<Bytes>(image), bytesOf("JPEG"));

    adaptor_->files["/PDF/FILE/a.pdf"] = adaptor_->files["/FILE/a.pdf"] = bytesOf("%PDF");
    adaptor_->script("get *", { ResultConflict, ResultConflict });
    await([](auto done) { StorageServiceLogic::downloadFile(nullptr, "/PDF/FILE/a.pdf", 0, std::nullopt, "", done); });
    await([](auto done) { StorageServiceLogic::downloadFile(nullptr, "/FILE/a.pdf", 0, std::nullopt, "", done); });
    EXPECT_EQ(
        shown(), (std::vector<Alert> { { Alert::Kind::Show, "message_file_updating_please_try_again", "", "", {} } }));
}
