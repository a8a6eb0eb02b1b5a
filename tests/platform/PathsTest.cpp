#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>

using namespace norvane;

namespace {

// Each test starts from its own values of the variables read here; the old ones come back after.
class PathsTest : public ::testing::Test {
protected:
    static constexpr const char* kNames[] = { "NORVANE_HOME", "XDG_DATA_HOME", "HOME", "LANGUAGE", "LC_ALL" };
    void SetUp() override
    {
        for (const char* name : kNames)
            if (const char* value = std::getenv(name))
                saved_[name] = value;
    }
    void TearDown() override
    {
        for (const char* name : kNames)
            set(name, saved_.count(name) ? saved_[name].c_str() : nullptr);
    }
    static void set(const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); }
    std::map<std::string, std::string> saved_;
};

} // namespace

TEST_F(PathsTest, DataDirectoryPrefersOwnVariableThenAbsoluteXdgThenHome)
{
    set("HOME", "/home/someone");
    set("NORVANE_HOME", "/srv/profile-a");
    set("XDG_DATA_HOME", "/data/xdg");
    EXPECT_EQ(Paths::applicationDataDirectory(), "/srv/profile-a");
    set("NORVANE_HOME", "");
    EXPECT_EQ(Paths::applicationDataDirectory(), "/data/xdg/norvane");
    set("XDG_DATA_HOME", "relative/xdg");
    EXPECT_EQ(Paths::applicationDataDirectory(), "/home/someone/.local/share/norvane");

    // Without HOME the account database still gives an absolute place.
    set("HOME", nullptr);
    std::string fromAccount = Paths::applicationDataDirectory();
    EXPECT_EQ(fromAccount.front(), '/');
    EXPECT_TRUE(fromAccount.ends_with("/.local/share/norvane")) << fromAccount;

    // A relative profile directory is pinned down at once, before anything changes directory.
    set("NORVANE_HOME", "profile-b");
    EXPECT_EQ(Paths::applicationDataDirectory(), (std::filesystem::current_path() / "profile-b").string());
}

TEST_F(PathsTest, PreferredLanguagesFollowTheLocaleVariables)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Paths::preferredLanguages("ja_JP:ja:en_US::fr", "de_DE", "", ""), (V { "ja", "en", "fr" }));
    EXPECT_EQ(Paths::preferredLanguages("", "", "", "ja_JP.UTF-8"), V { "ja" });
    EXPECT_EQ(Paths::preferredLanguages("", "", "de_DE@euro", "ja_JP"), V { "de" });
    EXPECT_EQ(Paths::preferredLanguages("", "C", "", "ja_JP"), V { "en" });
    EXPECT_EQ(Paths::preferredLanguages("", "POSIX", "", ""), V { "en" });
    EXPECT_EQ(Paths::preferredLanguages(":../../etc:", "", "", ""), V { "en" });
    EXPECT_EQ(Paths::preferredLanguages("", "", "", ""), V { "en" });
    EXPECT_EQ(Paths::languageCode("EN-us"), "en");

    set("LANGUAGE", "ja:en");
    set("LC_ALL", "fr_FR.UTF-8");
    EXPECT_EQ(Paths::preferredLanguages(), (V { "ja", "en" }));
    set("LANGUAGE", nullptr);
    EXPECT_EQ(Paths::preferredLanguages(), V { "fr" });
}

TEST_F(PathsTest, ExecutableIsTheRunningTestProgram)
{
    EXPECT_EQ(Paths::executableName(), "platform_tests");
    EXPECT_TRUE(std::filesystem::is_directory(Paths::executableDirectory()));
}

TEST_F(PathsTest, CreateDirectoriesMakesEveryLevelWithTheMode)
{
    std::filesystem::path root = std::filesystem::temp_directory_path() / ("paths-test-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    ASSERT_EQ(Paths::createDirectories((root / "a" / "b").string() + "/", 0750), std::nullopt);
    mode_t mask = umask(0);
    umask(mask);
    for (const auto& level : { root, root / "a", root / "a" / "b" }) {
        struct stat info { };
        ASSERT_EQ(stat(level.c_str(), &info), 0) << level;
        EXPECT_EQ(info.st_mode & 0777, 0750 & ~mask) << level;
    }
    // Existing directories are fine; a file in the way is reported, not papered over.
    EXPECT_EQ(Paths::createDirectories((root / "a").string(), 0700), std::nullopt);
    std::ofstream(root / "file") << "x";
    auto blocked = Paths::createDirectories((root / "file" / "below").string());
    ASSERT_TRUE(blocked.has_value());
    EXPECT_EQ(blocked->domain, kPosixErrorDomain);
    EXPECT_EQ(blocked->code, ENOTDIR);
    EXPECT_TRUE(Paths::createDirectories("").has_value());
    std::filesystem::remove_all(root);
}
