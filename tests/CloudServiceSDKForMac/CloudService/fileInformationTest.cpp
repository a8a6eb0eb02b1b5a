#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "CloudServiceSDKForMac/CloudService/TaskInfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

using namespace norvane;

namespace {

// Archives one record under the root key and decodes it again, as a command file would.
std::shared_ptr<fileInformation> roundTrip(const fileInformation& entry)
{
    KeyedArchiver root;
    root.encodeObject(kArchiveRootKey, entry);
    const auto data = archiveToData(root);
    if (!data)
        return nullptr;
    const auto decoded = unarchiveFromData(*data);
    return decoded ? decoded->decodeObject<fileInformation>(kArchiveRootKey) : nullptr;
}

// Decodes a record written by hand, for archives of older writers and damaged ones.
std::shared_ptr<fileInformation> decodeRecord(KeyedArchiver&& record)
{
    KeyedArchiver root;
    root.encodeRecord(kArchiveRootKey, std::move(record));
    const auto data = archiveToData(root);
    const auto decoded = data ? unarchiveFromData(*data) : std::nullopt;
    return decoded ? decoded->decodeObject<fileInformation>(kArchiveRootKey) : nullptr;
}

fileInformation sampleEntry()
{
    fileInformation entry;
    entry.fileId = "";
    entry.fileType = 1;
    entry.fileSize = 5'000'000;
    entry.displayName = "report.pdf";
    entry.fullPath = "/Docs/report.pdf";
    entry.uk = "/FILE/Docs/report.pdf";
    entry.isEmpty = true;
    entry.fileExt = 7;
    entry.canEdit = 1;
    entry.editpermission = 1;
    entry.timestamp = "1700000000000";
    entry.offlineflg = 0;
    entry.expiretime = 12;
    entry.isOffLineMode = true;
    entry.lockUserId = "u1";
    entry.actionDest = "/dest";
    entry.isManager = true;
    entry.isReadOnly = true;
    return entry;
}

} // namespace

TEST(fileInformationTest, NewRecordDefaultsAndDerivedFlags)
{
    fileInformation entry;
    EXPECT_EQ(entry.offlineflg, -1);
    EXPECT_EQ(entry.expiretime, -1);
    EXPECT_FALSE(entry.isOffLineMode);
    EXPECT_TRUE(entry.childrens.empty());
    EXPECT_FALSE(entry.fileId.has_value());
    EXPECT_TRUE(entry.isFile());
    EXPECT_FALSE(entry.isFolder());

    entry.fileType = 1;
    EXPECT_TRUE(entry.isFolder());
    entry.fileType = 2; // neither: the server sent something unknown
    EXPECT_FALSE(entry.isFile());
    EXPECT_FALSE(entry.isFolder());

    entry.canEdit = 0;
    entry.editpermission = 1;
    EXPECT_EQ(entry.accessType(), 2);
    EXPECT_FALSE(entry.isRedIconFileForPS());
    entry.editpermission = 0;
    EXPECT_EQ(entry.accessType(), 3);
    EXPECT_TRUE(entry.isRedIconFileForPS());
    entry.canEdit = 1; // the owner wins over a missing edit permission
    EXPECT_EQ(entry.accessType(), 1);
}

TEST(fileInformationTest, ShortcutNames)
{
    fileInformation entry;
    EXPECT_FALSE(entry.isShortCutOfFile());
    EXPECT_FALSE(entry.isShortCutOfFolder());
    entry.displayName = "Photos.folder.fvrt";
    EXPECT_TRUE(entry.isShortCutOfFolder());
    EXPECT_FALSE(entry.isShortCutOfFile());
    entry.displayName = "report.pdf.fvrt";
    EXPECT_TRUE(entry.isShortCutOfFile());
    EXPECT_FALSE(entry.isShortCutOfFolder());
    entry.displayName = "report.fvrt.pdf";
    EXPECT_FALSE(entry.isShortCutOfFile());
}

TEST(fileInformationTest, ComparisonIgnoresViewStateButTellsAbsentFromEmpty)
{
    const fileInformation base = sampleEntry();
    fileInformation other = base;
    other.isManager = !base.isManager;
    other.isReadOnly = !base.isReadOnly;
    other.url = "http://x";
    other.childrens.push_back(std::make_shared<fileInformation>());
    EXPECT_TRUE(base.compareFileInformation(other));

    other.fileId.reset(); // absent against the base's empty text
    EXPECT_FALSE(base.compareFileInformation(other));
    EXPECT_FALSE(other.compareFileInformation(base));

    other = base;
    other.actionDest = "/elsewhere"; // the last field compared still counts
    EXPECT_FALSE(base.compareFileInformation(other));
    other = base;
    other.expiretime = -1;
    EXPECT_FALSE(base.compareFileInformation(other));
}

TEST(fileInformationTest, CopyKeepsStateAndDropsViewData)
{
    fileInformation entry = sampleEntry();
    entry.childrens.push_back(std::make_shared<fileInformation>());
    entry.thumb = std::make_shared<int>(1);
    entry.url = "http://x";
    entry.isSearchResult = true;
    entry.copyFromOtherApp = true;
    entry.isStartDownloadThumbnail = true;

    const auto copy = entry.copy();
    EXPECT_TRUE(copy->compareFileInformation(entry));
    EXPECT_TRUE(copy->isManager);
    EXPECT_TRUE(copy->isReadOnly);
    EXPECT_TRUE(copy->childrens.empty());
    EXPECT_EQ(copy->thumb, nullptr);
    EXPECT_FALSE(copy->url.has_value());
    EXPECT_FALSE(copy->isSearchResult || copy->copyFromOtherApp || copy->isStartDownloadThumbnail);
}

TEST(fileInformationTest, ArchiveRoundTripKeepsWideValues)
{
    fileInformation entry = sampleEntry();
    auto back = roundTrip(entry);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->compareFileInformation(entry));
    EXPECT_TRUE(back->isManager);
    EXPECT_EQ(back->fileSize, 5'000'000u);
    EXPECT_FALSE(back->isReadOnly); // not archived
    EXPECT_TRUE(back->fileId.has_value()); // empty stays empty, not absent

    entry.fileSize = 5'000'000'000ULL;
    entry.fileExt = -(std::int64_t { 1 } << 40);
    entry.canEdit = std::int64_t { 1 } << 33;
    entry.editpermission = INT64_MAX;
    entry.fileType = UINT64_MAX;
    back = roundTrip(entry);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->fileSize, 5'000'000'000ULL);
    EXPECT_EQ(back->fileExt, entry.fileExt);
    EXPECT_EQ(back->canEdit, entry.canEdit);
    EXPECT_EQ(back->editpermission, INT64_MAX);
    EXPECT_EQ(back->fileType, UINT64_MAX);
}

TEST(fileInformationTest, ArchiveWritesClampedNarrowKeysBesideTheTwins)
{
    fileInformation entry;
    entry.fileSize = 5'000'000'000ULL;
    entry.fileExt = -5'000'000'000LL;
    KeyedArchiver root;
    root.encodeObject(kArchiveRootKey, entry);
    const auto data = archiveToData(root);
    ASSERT_TRUE(data);
    const auto decoded = unarchiveFromData(*data);
    ASSERT_TRUE(decoded);
    const auto record = decoded->decodeRecord(kArchiveRootKey);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->decodeInt64("fileSize"), INT32_MAX);
    EXPECT_EQ(record->decodeInt64("fileExt"), INT32_MIN);
    EXPECT_EQ(record->decodeInt64("fileSize64"), 5'000'000'000LL);
}

TEST(fileInformationTest, OlderAndDamagedArchivesReadWithoutSurprises)
{
    // Written before the twins: the 32-bit keys alone, a truncated size among them.
    KeyedArchiver old;
    old.encodeInt32("fileSize", static_cast<std::int32_t>(3'000'000'000U - 4'294'967'296LL));
    old.encodeInt32("canEdit", 1);
    old.encodeString("displayName", std::string("a"));
    auto entry = decodeRecord(std::move(old));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->fileSize, 3'000'000'000ULL);
    EXPECT_EQ(entry->canEdit, 1);
    EXPECT_EQ(entry->offlineflg, -1); // missing, so not sent by the server
    EXPECT_EQ(entry->displayName, "a");

    // Wrong kinds of value: a twin that is no number falls back, a text that is no text is absent.
    KeyedArchiver damaged;
    damaged.encodeInt32("fileSize", 42);
    damaged.encodeString("fileSize64", std::string("lots"));
    damaged.encodeInt64("displayName", 7);
    damaged.encodeString("fileType", std::string("folder"));
    damaged.encodeValue("offlineflg", Value(ValueList { 1, 2 }));
    entry = decodeRecord(std::move(damaged));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->fileSize, 42u);
    EXPECT_FALSE(entry->displayName.has_value());
    EXPECT_EQ(entry->fileType, 0u);
    EXPECT_EQ(entry->offlineflg, -1);
}

TEST(fileInformationTest, TaskInfoKeepsLargeSizes)
{
    TaskInfo task;
    task.displayName = "big.iso";
    task.fileName = "/tmp/cmd/x.cmd";
    task.progress = 0.25f;
    task.filesize = 5'000'000'000ULL;
    KeyedArchiver root;
    root.encodeObject(kArchiveRootKey, task);
    const auto data = archiveToData(root);
    ASSERT_TRUE(data);
    const auto decoded = unarchiveFromData(*data);
    ASSERT_TRUE(decoded);
    const auto back = decoded->decodeObject<TaskInfo>(kArchiveRootKey);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->displayName, task.displayName);
    EXPECT_EQ(back->fileName, task.fileName);
    EXPECT_FLOAT_EQ(back->progress, 0.25f);
    EXPECT_EQ(back->filesize, task.filesize);
}
