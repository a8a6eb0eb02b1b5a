#include "formats/KeyedArchive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace norvane;

namespace {

struct Entry {
    std::optional<std::string> name;
    std::optional<std::string> note;
    std::int32_t code = 0;
    std::int64_t big = 0;
    float progress = 0;
    double ratio = 0;
    bool flag = false;
    std::optional<Bytes> data;
    std::optional<Date> date;
    Value option;
    std::vector<std::string> tags;
    std::vector<Entry> children;

    void encodeWithCoder(KeyedArchiver& archiver) const
    {
        archiver.encodeString("name", name);
        archiver.encodeString("note", note);
        archiver.encodeInt32("code", code);
        archiver.encodeInt64("big", big);
        archiver.encodeFloat("progress", progress);
        archiver.encodeDouble("ratio", ratio);
        archiver.encodeBool("flag", flag);
        if (data)
            archiver.encodeBytes("data", *data);
        archiver.encodeDate("date", date);
        archiver.encodeValue("option", option);
        archiver.encodeStringList("tags", tags);
        archiver.encodeObjectList("children", children);
    }

    static std::optional<Entry> initWithCoder(const KeyedUnarchiver& coder)
    {
        Entry entry;
        entry.name = coder.decodeString("name");
        entry.note = coder.decodeString("note");
        entry.code = coder.decodeInt32("code");
        entry.big = coder.decodeInt64("big");
        entry.progress = coder.decodeFloat("progress");
        entry.ratio = coder.decodeDouble("ratio");
        entry.flag = coder.decodeBool("flag");
        entry.data = coder.decodeBytes("data");
        entry.date = coder.decodeDate("date");
        entry.option = coder.decodeValue("option");
        entry.tags = coder.decodeStringList("tags");
        entry.children = coder.decodeObjectList<Entry>("children");
        return entry;
    }

    friend bool operator==(const Entry&, const Entry&) = default;
};

// Held by shared pointers, as queue entries are.
struct Task {
    std::string fileName;
    void encodeWithCoder(KeyedArchiver& archiver) const { archiver.encodeString("fileName", fileName); }
    static std::shared_ptr<Task> initWithCoder(const KeyedUnarchiver& coder)
    {
        auto name = coder.decodeString("fileName");
        if (!name)
            return nullptr;
        return std::make_shared<Task>(Task { *name });
    }
};

template <class T> Bytes archiveRoot(const T& object)
{
    KeyedArchiver top;
    top.encodeObject(kArchiveRootKey, object);
    auto data = archiveToData(top);
    EXPECT_TRUE(data);
    return data.value_or(Bytes {});
}

Bytes bytes(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

Entry sampleEntry()
{
    Entry leaf;
    leaf.name = "leaf";
    leaf.big = INT64_MIN;
    leaf.code = INT32_MIN;

    Entry child;
    child.name = "child";
    child.code = 5'000'000;
    child.children = { leaf };

    Entry entry;
    entry.note = ""; // present but empty, while name stays absent
    entry.code = -123456;
    entry.big = 5'000'000'000;
    entry.progress = 0.1f;
    entry.ratio = 0.1;
    entry.flag = true;
    entry.data = bytes({ 0x00, 0xff, 0x80, 0x00 });
    entry.date = Date { std::chrono::nanoseconds { 1'717'171'717'123'456'789 } };
    entry.option = ValueMap { { "overwrite", "YES" }, { "accessFlag", 3 },
        { "list", ValueList { 1, 2.5, Value(), true, Bytes { 1, 2 }, "x" } },
        { "nested", ValueMap { { "neg", -7 }, { "empty", ValueMap {} } } } };
    entry.tags = { "a", "", "c" };
    entry.children = { child, Entry {} };
    return entry;
}

class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "archive-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace

TEST(KeyedArchive, RoundTripsEveryKindOfValue)
{
    const Entry entry = sampleEntry();
    const auto reader = unarchiveFromData(archiveRoot(entry));
    ASSERT_TRUE(reader);
    const auto back = reader->decodeObject<Entry>(kArchiveRootKey);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, entry);

    // An absent string is no key at all; an empty one is a key.
    const auto root = reader->decodeRecord(kArchiveRootKey);
    ASSERT_TRUE(root);
    EXPECT_FALSE(root->containsValueForKey("name"));
    EXPECT_TRUE(root->containsValueForKey("note"));
}

TEST(KeyedArchive, MissingKeysAndOtherKindsReadAsNothing)
{
    KeyedArchiver record;
    record.encodeString("text", "12");
    record.encodeInt32("number", 7);
    record.encodeValue("nothing", Value());
    KeyedArchiver top;
    top.encodeRecord(kArchiveRootKey, std::move(record));
    const auto reader = unarchiveFromData(archiveToData(top).value());
    ASSERT_TRUE(reader);
    const auto root = reader->decodeRecord(kArchiveRootKey).value();

    EXPECT_EQ(root.decodeInt32("text"), 0);
    EXPECT_EQ(root.decodeDouble("text"), 0.0);
    EXPECT_FALSE(root.decodeBool("text"));
    EXPECT_EQ(root.decodeString("number"), std::nullopt);
    EXPECT_EQ(root.decodeBytes("number"), std::nullopt);
    EXPECT_EQ(root.decodeDate("text"), std::nullopt);
    EXPECT_FALSE(root.decodeRecord("number"));
    EXPECT_TRUE(root.decodeRecordList("number").empty());
    EXPECT_TRUE(root.decodeStringList("text").empty());
    EXPECT_TRUE(root.decodeObjectList<Entry>("text").empty());
    EXPECT_EQ(root.decodeString("nothing"), std::nullopt);
    EXPECT_TRUE(root.containsValueForKey("nothing"));
    EXPECT_TRUE(root.decodeValue("nothing").isNull());

    EXPECT_FALSE(root.containsValueForKey("absent"));
    EXPECT_EQ(root.decodeInt64("absent"), 0);
    EXPECT_FALSE(root.decodeBool("absent"));
    EXPECT_EQ(root.decodeFloat("absent"), 0.0f);
    EXPECT_TRUE(root.decodeValue("absent").isNull());
    EXPECT_FALSE(root.decodeObject<Entry>("absent"));
}

TEST(KeyedArchive, NumbersConvertAndClampToTheTypeAskedFor)
{
    KeyedArchiver record;
    record.encodeInt64("large", 5'000'000'000);
    record.encodeInt64("small", -5'000'000'000);
    record.encodeDouble("huge", 1e300);
    record.encodeDouble("nan", std::nan(""));
    record.encodeDouble("fraction", -2.75);
    record.encodeBool("yes", true);
    KeyedArchiver top;
    top.encodeRecord(kArchiveRootKey, std::move(record));
    const auto root = unarchiveFromData(archiveToData(top).value())->decodeRecord(kArchiveRootKey).value();

    EXPECT_EQ(root.decodeInt32("large"), INT32_MAX);
    EXPECT_EQ(root.decodeInt32("small"), INT32_MIN);
    EXPECT_EQ(root.decodeInt64("large"), 5'000'000'000);
    EXPECT_EQ(root.decodeInt64("huge"), INT64_MAX);
    EXPECT_EQ(root.decodeFloat("huge"), INFINITY);
    EXPECT_EQ(root.decodeInt32("nan"), 0);
    EXPECT_EQ(root.decodeInt32("fraction"), -2);
    EXPECT_EQ(root.decodeInt32("yes"), 1);
    EXPECT_TRUE(root.decodeBool("large"));
    EXPECT_EQ(root.decodeDouble("large"), 5e9);
    EXPECT_TRUE(root.decodeBool("fraction"));
    EXPECT_FALSE(root.decodeBool("nan"));

    // An unsigned CBOR integer beyond the signed 64-bit range, as another writer could store it.
    const Bytes beyond
        = bytes({ 0xa1, 0x64, 'D', 'a', 't', 'a', 0x1b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe });
    const auto reader = unarchiveFromData(beyond);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->decodeInt64(kArchiveRootKey), INT64_MAX);
    EXPECT_EQ(reader->decodeValue(kArchiveRootKey), Value(INT64_MAX));
    EXPECT_EQ(reader->decodeDate(kArchiveRootKey), std::nullopt);
    EXPECT_EQ(reader->decodeDouble(kArchiveRootKey), 18446744073709551614.0);
}

TEST(KeyedArchive, TopLevelListsValuesAndKeyOrder)
{
    // The batch queue form: a list of records directly under the root key.
    const std::vector<std::shared_ptr<Task>> queue { std::make_shared<Task>(Task { "/a.cmd" }), nullptr,
        std::make_shared<Task>(Task { "/b.cmd" }) };
    KeyedArchiver top;
    top.encodeObjectList(kArchiveRootKey, queue);
    const auto reader = unarchiveFromData(archiveToData(top).value());
    ASSERT_TRUE(reader);
    const auto tasks = reader->decodeObjectList<Task>(kArchiveRootKey);
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_EQ(tasks[0]->fileName, "/a.cmd");
    EXPECT_EQ(tasks[1]->fileName, "/b.cmd");

    KeyedArchiver valueTop;
    valueTop.encodeValue(kArchiveRootKey, ValueList { "x", 1 });
    EXPECT_EQ(
        unarchiveFromData(archiveToData(valueTop).value())->decodeValue(kArchiveRootKey), Value(ValueList { "x", 1 }));

    // Keys stay in the order they were written, not sorted.
    KeyedArchiver ordered;
    ordered.encodeInt32("zeta", 1);
    ordered.encodeInt32("alpha", 2);
    const Bytes data = archiveToData(ordered).value();
    const std::string text(data.begin(), data.end());
    EXPECT_LT(text.find("zeta"), text.find("alpha"));
}

TEST(KeyedArchive, RefusesMalformedInput)
{
    const Bytes good = archiveRoot(sampleEntry());
    ASSERT_TRUE(unarchiveFromData(good));
    for (std::size_t length = 0; length < good.size(); ++length)
        ASSERT_FALSE(unarchiveFromData(std::span(good).first(length))) << "prefix " << length;

    Bytes trailing = good;
    trailing.push_back(0x00);
    EXPECT_FALSE(unarchiveFromData(trailing));

    const Bytes dataKey = bytes({ 0x64, 'D', 'a', 't', 'a' });
    auto underData = [&](std::initializer_list<int> value) {
        Bytes out { 0xa1 };
        out.insert(out.end(), dataKey.begin(), dataKey.end());
        const Bytes tail = bytes(value);
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    };
    EXPECT_TRUE(unarchiveFromData(underData({ 0x01 })));
    EXPECT_FALSE(unarchiveFromData(bytes({ 0x81, 0xa0 }))); // a list at the top
    EXPECT_FALSE(unarchiveFromData(bytes({ 0xa1, 0x61, 'x', 0x01 }))); // no "Data"
    EXPECT_FALSE(unarchiveFromData(underData({ 0xc1, 0x01 }))); // tag
    EXPECT_FALSE(unarchiveFromData(underData({ 0x9f, 0x01, 0xff }))); // indefinite length
    EXPECT_FALSE(unarchiveFromData(underData({ 0xf7 }))); // undefined
    EXPECT_FALSE(unarchiveFromData(underData({ 0x5b, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01 })));
    EXPECT_FALSE(unarchiveFromData(underData({ 0x9b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01 })));
    EXPECT_FALSE(unarchiveFromData(underData({ 0xbb, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x01 })));
    EXPECT_FALSE(unarchiveFromData(bytes({ 0xa1, 0x01, 0x01 }))); // key that is not text
}

TEST(KeyedArchive, BoundsNesting)
{
    // A million nested one-element lists would overflow a recursive decoder's stack.
    Bytes bomb = bytes({ 0xa1, 0x64, 'D', 'a', 't', 'a' });
    bomb.insert(bomb.end(), 1'000'000, 0x81);
    bomb.push_back(0x00);
    EXPECT_FALSE(unarchiveFromData(bomb));

    auto nested = [](std::size_t depth) {
        Value value = 1;
        for (std::size_t i = 0; i < depth; ++i)
            value = ValueList { std::move(value) };
        KeyedArchiver top;
        top.encodeValue(kArchiveRootKey, value);
        return archiveToData(top);
    };
    // The top-level map is one level, so kArchiveMaxDepth - 1 lists still fit.
    const auto fits = nested(kArchiveMaxDepth - 1);
    ASSERT_TRUE(fits);
    EXPECT_TRUE(unarchiveFromData(*fits));
    EXPECT_FALSE(nested(kArchiveMaxDepth)); // refused when written, not only when read
}

TEST(KeyedArchive, RandomAndMutatedBytesNeverCrash)
{
    std::mt19937 random(424242);
    for (int i = 0; i < 5000; ++i) {
        Bytes noise(random() % 65);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(random());
        ASSERT_FALSE(unarchiveFromData(noise)) << "iteration " << i;
    }

    const Bytes good = archiveRoot(sampleEntry());
    int readable = 0;
    for (int i = 0; i < 800; ++i) {
        Bytes mutated = good;
        for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips)
            mutated[random() % mutated.size()] = static_cast<std::uint8_t>(random());
        if (const auto reader = unarchiveFromData(mutated)) {
            ++readable;
            // Whatever survives must still be safe to walk.
            const auto back = reader->decodeObject<Entry>(kArchiveRootKey);
            ASSERT_TRUE(reader->containsValueForKey(kArchiveRootKey));
            if (back)
                (void)back->option.map();
        }
    }
    // Flipping a byte inside a text or a number keeps the archive readable: proof that the loop
    // exercised the decoder and not only the refusal path.
    EXPECT_GT(readable, 0);
}

TEST(KeyedArchive, Files)
{
    TempFolder folder;
    const auto path = folder.path() / "command.data";
    EXPECT_FALSE(readArchiveFile(path));

    KeyedArchiver top;
    top.encodeObject(kArchiveRootKey, sampleEntry());
    ASSERT_TRUE(writeArchiveFile(path, top));
    const auto reader = readArchiveFile(path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->decodeObject<Entry>(kArchiveRootKey), sampleEntry());

    struct stat info { };
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u); // commands carry credentials
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.path()))
        ++entries;
    EXPECT_EQ(entries, 1u); // no temporary file left behind

    std::ofstream(path, std::ios::trunc).close();
    EXPECT_FALSE(readArchiveFile(path));
    std::ofstream(path, std::ios::trunc) << "not an archive at all";
    EXPECT_FALSE(readArchiveFile(path));
    EXPECT_FALSE(readArchiveFile(folder.path()));
    EXPECT_FALSE(writeArchiveFile(folder.path() / "missing" / "x.cmd", top));
}
