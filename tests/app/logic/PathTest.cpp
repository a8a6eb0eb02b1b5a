#include "app/logic/Path.h"

#include "CloudServiceSDKForMac/CloudService/LocalStoreTestHome.h"
#include "platform/AlertPresenter.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace norvane;
namespace fs = std::filesystem;

namespace {

class NameCheckTest : public ::testing::Test {
protected:
    void SetUp() override { AlertPresenter::setShared(alerts_); }
    void TearDown() override { AlertPresenter::setShared(nullptr); }

    std::shared_ptr<RecordingAlertPresenter> alerts_ = std::make_shared<RecordingAlertPresenter>();
};

using PathLocalTest = LocalStoreTestHome;

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace

TEST_F(NameCheckTest, RefusedNamesShowTheRuleTheyBreakAsAModalAlert)
{
    const std::pair<const char*, const char*> refused[] = {
        { "", "message_please_input_file_folder_name" },
        { "a:b", "message_word_can_not_use_for_file_folder_name" },
        { "a\\b", "message_word_can_not_use_for_file_folder_name" },
        { "line\nbreak", "message_word_can_not_use_for_file_folder_name" },
        { "name.", "message_point_space_can_not_use_for_name_end" },
        { "name ", "message_point_space_can_not_use_for_name_end" },
        { "..", "message_point_space_can_not_use_for_name_end" },
        { "PRN", "message_can_not_use_for_plan_name" },
        { "com10", "message_can_not_use_for_plan_name" },
        { "clock$", "message_can_not_use_for_plan_name" },
        { "Lpt1.txt", "message_can_not_use_for_plan_name" },
        { "con.tar.gz", "message_can_not_use_for_plan_name" },
        // The forbidden character is reported even where the ending is wrong too: first rule wins.
        { "a?.", "message_word_can_not_use_for_file_folder_name" },
    };
    for (const auto& [name, key] : refused) {
        alerts_->clear();
        EXPECT_FALSE(Path::checkFileName(name)) << name;
        ASSERT_EQ(alerts_->count(), 1u) << name;
        const Alert alert = alerts_->alerts().front();
        EXPECT_EQ(alert.kind, Alert::Kind::Ask) << name;
        EXPECT_EQ(alert.titleKey, "alert");
        EXPECT_EQ(alert.messageKey, key) << name;
    }
    EXPECT_TRUE(Path::hasIllegalCharacter(std::string("a\0b", 3)));
}

TEST_F(NameCheckTest, NamesThatOnlyLookReservedAreAccepted)
{
    for (const char* name : { "COM0", "COM11", "AUXILIARY", "CONSOLE", "contacts.txt", ".name", "lpt", "名前.txt" })
        EXPECT_TRUE(Path::checkFileName(name)) << name;
    EXPECT_EQ(alerts_->count(), 0u);
    EXPECT_TRUE(Path::stringHasPrefix("LpT3.log", "lpt3."));
    EXPECT_FALSE(Path::stringHasPrefix("lpt", "lpt3."));
}

TEST(PathServerTest, UrlPathEscapesEverythingButTheUrlCharacters)
{
    const std::string allowed = "azAZ09;/:@&=+$,-_.!~*'()";
    EXPECT_EQ(Path::urlPathFromPath(allowed), allowed);
    // A name never ends the path early: "?" begins a query, "#" a fragment.
    EXPECT_EQ(Path::urlPathFromPath("/FILE/why?#\t.txt"), "/FILE/why%3F%23%09.txt");
    EXPECT_EQ(Path::urlPathFromPath("/FILE/my file%.txt"), "/FILE/my%20file%25.txt");
    EXPECT_EQ(Path::urlPathFromPath("\"<>{}\\|^`#[]"), "%22%3C%3E%7B%7D%5C%7C%5E%60%23%5B%5D");
    EXPECT_EQ(Path::urlPathFromPath("/写真/é"), "/%E5%86%99%E7%9C%9F/%C3%A9");
    EXPECT_EQ(Path::urlPathFromPath(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(Path::urlPathFromPath("/a b/c&d=e", "&="), "/a%20b/c%26d%3De");
}

TEST(PathServerTest, AreaPredicates)
{
    EXPECT_TRUE(Path::isPdfPath("/PDF/FILE/a.pdf"));
    EXPECT_TRUE(Path::isPdfPath("/SHAREPDF/SHAREFILE/a.pdf"));
    EXPECT_FALSE(Path::isPdfPath("/PDFX/a"));
    EXPECT_FALSE(Path::isPdfPath("/FILE/PDF/a"));

    EXPECT_TRUE(Path::isFavoriteFolder("/FOLDER/.Favorite."));
    EXPECT_TRUE(Path::isFavoriteFolder("/FOLDER/.Favorite./x.fvrt"));
    EXPECT_TRUE(Path::isFavoriteFolder("UK_FVRTFOLDER"));
    EXPECT_FALSE(Path::isFavoriteFolder("/FOLDER/.Favorite.x"));

    fileInformation entry;
    entry.fullPath = "/BackupFolder/pc1";
    entry.uk = "/FOLDER/BackupFolder/pc1";
    EXPECT_TRUE(Path::isBackupFolder(entry));
    entry.uk = "/SHAREFOLDER/BackupFolder/pc1";
    EXPECT_FALSE(Path::isBackupFolder(entry));
    entry.uk.reset();
    entry.fullPath = "/BackupFolderX";
    EXPECT_FALSE(Path::isBackupFolder(entry));
    entry.fullPath.reset();
    EXPECT_FALSE(Path::isBackupFolder(entry));
}

TEST_F(PathLocalTest, OfflineAndConfigLocations)
{
    EXPECT_EQ(Path::getOffLineLocalPath("/FILE/a/b.txt"), (home_ / "OffLineData/FILE/a/b.txt").string());
    EXPECT_EQ(Path::getOffLineLocalPath("/FILE/a/b.txt", "cmd"), (home_ / "OffLineData/FILE/a/b.txt.cmd").string());
    EXPECT_EQ(Path::getOffLineLocalPath(""), std::nullopt);
    EXPECT_EQ(Path::getOffLineLocalPath("/FILE/../../x"), std::nullopt);

    const fs::path current = home_ / "tmp/do_not_delete_config/ConfigInfo.xml";
    EXPECT_EQ(Path::pathOfConfigEntity("ConfigInfo", true), current.string());
    EXPECT_EQ(Path::pathOfConfigEntity("ConfigInfo", false), (home_ / "ConfigInfo.xml").string());
    writeFile(current, "<x/>");
    EXPECT_EQ(Path::pathOfConfigEntity("ConfigInfo", false), current.string());

    writeFile(home_ / "tmp/do_not_delete_config/PDFEditorInfo.xml", "new");
    writeFile(home_ / "PDFEditorInfo.xml", "old");
    Path::deletePDFXmlInfoFile();
    EXPECT_FALSE(fs::exists(home_ / "tmp/do_not_delete_config/PDFEditorInfo.xml"));
    EXPECT_FALSE(fs::exists(home_ / "PDFEditorInfo.xml"));
    EXPECT_TRUE(fs::exists(current));
}

TEST_F(PathLocalTest, CacheNamesStayInsideTheCacheCategory)
{
    const fs::path cache = home_ / "tmp/CacheFile";
    const auto first = Path::randomFileNameBasedOnInCacheFolder("/some/where/report.pdf");
    const auto second = Path::randomFileNameBasedOnInCacheFolder("report.pdf/");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(fs::path(*first).filename(), "report.pdf");
    EXPECT_EQ(fs::path(*first).parent_path().parent_path(), cache);
    EXPECT_TRUE(fs::is_directory(fs::path(*first).parent_path()));
    EXPECT_NE(fs::path(*first).parent_path(), fs::path(*second).parent_path());
    for (const char* bad : { "/x/..", "", "/", "a/bad\x01name" })
        EXPECT_EQ(Path::randomFileNameBasedOnInCacheFolder(bad), std::nullopt) << bad;

    EXPECT_EQ(Path::pdf2JPGFileNameBasedOnInCacheFolder("/FILE/dir/a.pdf_p0", "jpg"),
        (cache / "FILE/dir/a.pdf_p0.jpg").string());
    EXPECT_EQ(Path::pdf2JPGFileNameBasedOnInCacheFolder("a_p1", "png"), (cache / "a_p1.png").string());
    EXPECT_EQ(Path::pdf2JPGFileNameBasedOnInCacheFolder("/FILE/../../../etc/x", "jpg"), std::nullopt);
    EXPECT_EQ(Path::pdf2JPGFileNameBasedOnInCacheFolder("/FILE/a", "j/../../pg"), std::nullopt);
    EXPECT_EQ(Path::pdf2JPGFileNameBasedOnInCacheFolder("//", "jpg"), std::nullopt);
}

TEST_F(PathLocalTest, MoveSizeAndDelete)
{
    const fs::path source = home_ / "a.txt";
    writeFile(source, "12345");
    std::optional<ErrorValue> error;
    EXPECT_EQ(Path::sizeOfFile(source.string(), &error), 5u);
    EXPECT_FALSE(error);

    EXPECT_FALSE(Path::move(source.string(), ""));
    const fs::path target = home_ / "new/deeper/b.txt";
    ASSERT_TRUE(Path::move(source.string(), target.string()));
    EXPECT_FALSE(Path::fileExistsAtPath(source.string()));
    EXPECT_TRUE(Path::fileExistsAtPath(target.string()));

    // Never over something that is there: the old content must survive.
    writeFile(source, "other");
    EXPECT_FALSE(Path::move(source.string(), target.string()));
    EXPECT_EQ(Path::sizeOfFile(target.string()), 5u);

    EXPECT_EQ(Path::sizeOfFile((home_ / "missing").string(), &error), 0u);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ENOENT);

    Path::deleteFile((home_ / "new").string());
    EXPECT_FALSE(fs::exists(home_ / "new"));
    Path::deleteFile((home_ / "missing").string()); // nothing to do is no failure
}

TEST(PathDateTest, PatternsInLocalTime)
{
    const char* old = std::getenv("TZ");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("TZ", "JST-9", 1);
    using namespace std::chrono;
    const auto when
        = sys_days { year { 2024 } / 3 / 5 } + hours { 15 } + minutes { 2 } + seconds { 3 } + milliseconds { 456 };
    EXPECT_EQ(Path::dateStringWithFormat("yyyyMMddHHmmss", when), "20240306000203");
    EXPECT_EQ(Path::dateStringWithFormat("yy/M/d h:mm:ss.SSS a", when), "24/3/6 12:02:03.456 AM");
    EXPECT_EQ(Path::dateStringWithFormat("EEE, d MMM yyyy Z 'o''clock' ''", when), "Wed, 6 Mar 2024 +0900 o'clock '");
    saved ? setenv("TZ", saved->c_str(), 1) : unsetenv("TZ");
}
