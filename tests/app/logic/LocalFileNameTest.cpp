#include "app/logic/LocalFileName.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace norvane;
namespace fs = std::filesystem;

namespace {

class LocalFileNameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "norvane-names-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        target_ = root_ / "target";
        outside_ = root_ / "outside";
        fs::create_directory(target_);
        fs::create_directory(outside_);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    static std::string read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path root_, target_, outside_;
};

} // namespace

TEST_F(LocalFileNameTest, RefusesNamesThatAreNotOneComponent)
{
    const std::pair<std::string, long> refused[] = {
        { "", LocalNameEmpty },
        { ".", LocalNameIsDotName },
        { "..", LocalNameIsDotName },
        { "a/b", LocalNameHasSlash },
        { "../x", LocalNameHasSlash },
        { "/etc", LocalNameHasSlash },
        { "line\n", LocalNameHasControlCharacter },
        { "tab\tname", LocalNameHasControlCharacter },
        { "del\x7f", LocalNameHasControlCharacter },
        { "c1\xc2\x85", LocalNameHasControlCharacter },
        { std::string("a\0b", 3), LocalNameHasNul },
    };
    for (const auto& [name, code] : refused) {
        const auto result = LocalFileName::componentFromDisplayName(name);
        ASSERT_FALSE(result.ok()) << name;
        EXPECT_EQ(result.error->domain, kLocalNameErrorDomain);
        EXPECT_EQ(result.error->code, code) << name;
        EXPECT_TRUE(result.path.empty());
        EXPECT_FALSE(LocalFileName::joinUnder(target_.string(), name).ok()) << name;
    }
    for (const char* name : { "...", "..a", ".hidden", "名前 (1).txt", "a\\b", "é" })
        EXPECT_EQ(LocalFileName::componentFromDisplayName(name).path, name);

    EXPECT_EQ(LocalFileName::joinUnder("/srv/in//", "a.txt").path, "/srv/in/a.txt");
    EXPECT_EQ(LocalFileName::joinUnder("/", "a.txt").path, "/a.txt");
    EXPECT_EQ(LocalFileName::joinUnder("", "a.txt").error->code, LocalNameOutsideTarget);
}

TEST_F(LocalFileNameTest, FilesAreNeverWrittenThroughAPlantedLink)
{
    const fs::path victim = outside_ / "victim.txt";
    std::ofstream(victim) << "keep";
    fs::create_symlink(victim, target_ / "report.txt");
    fs::create_symlink(outside_ / "not-yet", target_ / "dangling.txt");

    for (auto existing : { LocalFileName::Existing::Refuse, LocalFileName::Existing::Truncate }) {
        for (const char* name : { "report.txt", "dangling.txt" }) {
            auto created = LocalFileName::createFileIn(target_.string(), name, existing);
            EXPECT_FALSE(created.ok()) << name;
            EXPECT_LT(created.file.fd(), 0);
        }
    }
    EXPECT_EQ(read(victim), "keep");
    EXPECT_FALSE(fs::exists(outside_ / "not-yet"));
    EXPECT_TRUE(fs::is_symlink(target_ / "report.txt"));

    ASSERT_EQ(mkfifo((target_ / "pipe").c_str(), 0600), 0);
    EXPECT_FALSE(LocalFileName::createFileIn(target_.string(), "pipe", LocalFileName::Existing::Truncate).ok());
    EXPECT_FALSE(LocalFileName::createFileIn(target_.string(), "../outside/x", LocalFileName::Existing::Refuse).ok());
    EXPECT_FALSE(fs::exists(outside_ / "x"));
}

TEST_F(LocalFileNameTest, CreatesAndReplacesPlainFiles)
{
    auto created = LocalFileName::createFileIn(target_.string(), "new.txt", LocalFileName::Existing::Refuse);
    ASSERT_TRUE(created.ok()) << created.error->description;
    EXPECT_EQ(created.file.path(), (target_ / "new.txt").string());
    ASSERT_EQ(write(created.file.fd(), "long content", 12), 12);
    created = {};
    struct stat info { };
    ASSERT_EQ(stat((target_ / "new.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const auto again = LocalFileName::createFileIn(target_.string(), "new.txt", LocalFileName::Existing::Refuse);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error->code, EEXIST);
    EXPECT_EQ(read(target_ / "new.txt"), "long content");

    auto replaced = LocalFileName::createFileIn(target_.string(), "new.txt", LocalFileName::Existing::Truncate);
    ASSERT_TRUE(replaced.ok());
    ASSERT_EQ(write(replaced.file.fd(), "short", 5), 5);
    replaced = {};
    EXPECT_EQ(read(target_ / "new.txt"), "short");
}

TEST_F(LocalFileNameTest, DirectoriesOnlyWhereARealFolderCanBe)
{
    const auto made = LocalFileName::createDirectoryIn(target_.string(), "sub");
    ASSERT_TRUE(made.ok());
    EXPECT_TRUE(fs::is_directory(made.path));
    EXPECT_TRUE(LocalFileName::createDirectoryIn(target_.string(), "sub").ok()); // already there is fine

    fs::create_directory_symlink(outside_, target_ / "linked");
    const auto linked = LocalFileName::createDirectoryIn(target_.string(), "linked");
    ASSERT_FALSE(linked.ok());
    EXPECT_EQ(linked.error->code, LocalNameNotDirectory);
    EXPECT_TRUE(linked.path.empty());

    std::ofstream(target_ / "plain") << "x";
    EXPECT_EQ(LocalFileName::createDirectoryIn(target_.string(), "plain").error->code, LocalNameNotDirectory);
    EXPECT_EQ(LocalFileName::createDirectoryIn(target_.string(), "..").error->code, LocalNameIsDotName);
    EXPECT_FALSE(LocalFileName::createDirectoryIn((root_ / "missing").string(), "sub").ok());
}
