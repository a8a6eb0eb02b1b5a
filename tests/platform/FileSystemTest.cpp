#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace norvane;

namespace {

class FileSystemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "fs-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    static mode_t modeOf(const std::filesystem::path& path)
    {
        struct stat info { };
        return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
    }
    std::size_t entryCount() const
    {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
            ++count;
        return count;
    }

    std::filesystem::path folder;
};

} // namespace

TEST_F(FileSystemTest, ReadsWholeRegularFilesOnly)
{
    const auto path = folder / "a.bin";
    const Bytes content { 0, 1, 2, 255 };
    std::ofstream(path, std::ios::binary).write("\0\1\2\xff", 4);
    EXPECT_EQ(FileSystem::readFile(path), content);
    EXPECT_EQ(FileSystem::fileSize(path), 4u);
    EXPECT_EQ(FileSystem::readFile(path, 3), std::nullopt);
    EXPECT_EQ(FileSystem::readFile(path, 4), content);
    EXPECT_EQ(FileSystem::readFile(folder / "missing"), std::nullopt);
    EXPECT_EQ(FileSystem::readFile(folder), std::nullopt);
    EXPECT_EQ(FileSystem::fileSize(folder), std::nullopt);
    EXPECT_EQ(FileSystem::fileSize(folder / "missing"), std::nullopt);
}

TEST_F(FileSystemTest, AtomicWriteReplacesAndKeepsOrSetsTheMode)
{
    const auto path = folder / "settings";
    ASSERT_TRUE(FileSystem::writeFileAtomically(path, Bytes { 'o', 'n', 'e' }));
    EXPECT_EQ(modeOf(path), 0600u);

    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(FileSystem::writeFileAtomically(path, Bytes { 't', 'w', 'o', '!' }));
    EXPECT_EQ(FileSystem::readFile(path), (Bytes { 't', 'w', 'o', '!' }));
    EXPECT_EQ(modeOf(path), 0640u);

    ASSERT_TRUE(FileSystem::writeFileAtomically(path, Bytes {}, 0604));
    EXPECT_EQ(FileSystem::readFile(path), Bytes {});
    EXPECT_EQ(modeOf(path), 0604u);
    EXPECT_EQ(entryCount(), 1u); // no temporary file left behind

    EXPECT_FALSE(FileSystem::writeFileAtomically(folder / "no" / "such" / "folder", Bytes { 1 }));
    EXPECT_FALSE(FileSystem::writeFileAtomically(folder, Bytes { 1 })); // a folder is not replaced
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(entryCount(), 1u);
}

TEST_F(FileSystemTest, CreatesNestedDirectories)
{
    const auto nested = folder / "a" / "b" / "c";
    ASSERT_TRUE(FileSystem::createDirectories(nested, 0750));
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_EQ(modeOf(folder / "a") & 0700, 0700u);
    EXPECT_TRUE(FileSystem::createDirectories(nested)); // already there
    EXPECT_TRUE(FileSystem::createDirectories(folder / "a" / ".." / "d/"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "d"));

    ASSERT_TRUE(FileSystem::writeFileAtomically(folder / "file", Bytes { 1 }));
    EXPECT_FALSE(FileSystem::createDirectories(folder / "file"));
    EXPECT_FALSE(FileSystem::createDirectories(folder / "file" / "below"));
    EXPECT_FALSE(FileSystem::createDirectories(""));
}
