#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sys/stat.h>

using namespace norvane;

namespace {

// Sets environment variables for one test and puts the previous values back afterwards.
class ScopedEnvironment {
public:
    ~ScopedEnvironment()
    {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    void set(const std::string& name, const char* value)
    {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

} // namespace

TEST(Paths, DataDirectoryPrefersOwnVariableThenAbsoluteXdgThenHome)
{
    ScopedEnvironment env;
    env.set("HOME", "/home/someone");
    env.set("NORVANE_HOME", "/srv/profile-a");
    env.set("XDG_DATA_HOME", "/data/xdg");
    EXPECT_EQ(Paths::applicationDataDirectory(), "/srv/profile-a");

    env.set("NORVANE_HOME", "");
    EXPECT_EQ(Paths::applicationDataDirectory(), "/data/xdg/norvane");

    env.set("XDG_DATA_HOME", "relative/xdg");
    EXPECT_EQ(Paths::applicationDataDirectory(), "/home/someone/.local/share/norvane");

    env.set("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(Paths::applicationDataDirectory(), "/home/someone/.local/share/norvane");

    // Without HOME the account database still gives an absolute place.
    env.set("HOME", nullptr);
    std::string fromAccount = Paths::applicationDataDirectory();
    EXPECT_EQ(fromAccount.front(), '/');
    EXPECT_TRUE(fromAccount.ends_with("/norvane")) << fromAccount;

    // A relative profile directory is pinned down at once, before anything changes directory.
    env.set("NORVANE_HOME", "profile-b");
    EXPECT_EQ(Paths::applicationDataDirectory(), (std::filesystem::current_path() / "profile-b").string());
}

TEST(Paths, LanguageCodesFromLocaleNames)
{
    EXPECT_EQ(Paths::languageCode("ja_JP.UTF-8"), "ja");
    EXPECT_EQ(Paths::languageCode("de_DE@euro"), "de");
    EXPECT_EQ(Paths::languageCode("en-US"), "en");
    EXPECT_EQ(Paths::languageCode("EN"), "en");
    EXPECT_EQ(Paths::languageCode("C"), "en");
    EXPECT_EQ(Paths::languageCode("C.UTF-8"), "en");
    EXPECT_EQ(Paths::languageCode("POSIX"), "en");
    EXPECT_EQ(Paths::languageCode(""), "");
    EXPECT_EQ(Paths::languageCode("../../etc"), "");
    EXPECT_EQ(Paths::languageCode("j"), "");
}

TEST(Paths, PreferredLanguagesFollowTheLocaleVariables)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Paths::preferredLanguages("ja:en", "de_DE", "", ""), (V { "ja", "en" }));
    EXPECT_EQ(Paths::preferredLanguages("ja_JP:ja:en_US::fr", "", "", ""), (V { "ja", "en", "fr" }));
    EXPECT_EQ(Paths::preferredLanguages("", "", "", "ja_JP.UTF-8"), V { "ja" });
    EXPECT_EQ(Paths::preferredLanguages("", "fr_FR", "de_DE", "ja_JP"), V { "fr" });
    EXPECT_EQ(Paths::preferredLanguages("", "", "de_DE", "ja_JP"), V { "de" });
    EXPECT_EQ(Paths::preferredLanguages("", "C", "", "ja_JP"), V { "en" });
    EXPECT_EQ(Paths::preferredLanguages("", "", "", ""), V { "en" });
    EXPECT_EQ(Paths::preferredLanguages(":::", "", "", ""), V { "en" });

    ScopedEnvironment env;
    env.set("LANGUAGE", "ja:en");
    env.set("LC_ALL", "fr_FR.UTF-8");
    EXPECT_EQ(Paths::preferredLanguages(), (V { "ja", "en" }));
    env.set("LANGUAGE", nullptr);
    EXPECT_EQ(Paths::preferredLanguages(), V { "fr" });
}

TEST(Paths, ExecutableIsTheRunningTestProgram)
{
    EXPECT_EQ(Paths::executableName(), "platform_tests");
    EXPECT_TRUE(std::filesystem::is_directory(Paths::executableDirectory()));
}

TEST(Paths, CreateDirectoriesMakesEveryLevelWithTheMode)
{
    std::filesystem::path root = std::filesystem::temp_directory_path() / ("paths-test-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    std::string deep = (root / "a" / "b" / "c").string();

    ASSERT_EQ(Paths::createDirectories(deep + "/", 0750), std::nullopt);
    mode_t mask = umask(0);
    umask(mask);
    for (const auto& level : { root / "a", root / "a" / "b", root / "a" / "b" / "c" }) {
        struct stat info { };
        ASSERT_EQ(stat(level.c_str(), &info), 0) << level;
        EXPECT_EQ(info.st_mode & 0777, 0750 & ~mask) << level;
    }
    // Existing directories are fine; a file in the way is reported, not papered over.
    EXPECT_EQ(Paths::createDirectories(deep, 0700), std::nullopt);
    std::ofstream(root / "file") << "x";
    auto blocked = Paths::createDirectories((root / "file" / "below").string());
    ASSERT_TRUE(blocked.has_value());
    EXPECT_EQ(blocked->domain, kPosixErrorDomain);
    EXPECT_EQ(blocked->code, ENOTDIR);
    EXPECT_FALSE(std::filesystem::exists(root / "file" / "below"));
    EXPECT_TRUE(Paths::createDirectories("").has_value());

    std::filesystem::remove_all(root);
}
