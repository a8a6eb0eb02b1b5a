#include "platform/Strings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace norvane;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

void putWord(std::string& out, std::size_t at, std::uint32_t value, bool bigEndian)
{
    for (int i = 0; i < 4; ++i) {
        int shift = bigEndian ? 24 - 8 * i : 8 * i;
        out[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> shift) & 0xff);
    }
}

// A catalogue laid out as msgfmt writes one: header, the two tables, then the strings.
std::string buildMo(const Entries& entries, bool bigEndian = false)
{
    const std::size_t n = entries.size();
    const std::size_t originals = 28;
    const std::size_t translations = originals + 8 * n;
    std::string out(translations + 8 * n, '\0');
    putWord(out, 0, 0x950412de, bigEndian);
    putWord(out, 8, static_cast<std::uint32_t>(n), bigEndian);
    putWord(out, 12, static_cast<std::uint32_t>(originals), bigEndian);
    putWord(out, 16, static_cast<std::uint32_t>(translations), bigEndian);
    auto addString = [&](std::size_t entry, const std::string& text) {
        putWord(out, entry, static_cast<std::uint32_t>(text.size()), bigEndian);
        putWord(out, entry + 4, static_cast<std::uint32_t>(out.size()), bigEndian);
        out += text;
        out += '\0';
    };
    for (std::size_t i = 0; i < n; ++i)
        addString(originals + 8 * i, entries[i].first);
    for (std::size_t i = 0; i < n; ++i)
        addString(translations + 8 * i, entries[i].second);
    return out;
}

void putCatalogue(const std::filesystem::path& root, const std::string& language, const std::string& bytes)
{
    std::filesystem::create_directories(root / language / "LC_MESSAGES");
    std::ofstream(root / language / "LC_MESSAGES" / "norvane.mo", std::ios::binary) << bytes;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

class StringsTest : public ::testing::Test {
protected:
    void TearDown() override { Strings::reload(); }
};

} // namespace

TEST(MessageCatalogue, ReadsBothByteOrdersAndSkipsHeaderAndContexts)
{
    // A plural entry keeps its forms apart with NULs, hence the explicit lengths.
    Entries entries { { "", "Content-Type: text/plain; charset=UTF-8\n" }, { "alert_ok", "OK!" },
        { std::string("file\0files", 10), std::string("Datei\0Dateien", 13) }, { "menu\x04open", "in a context" },
        { "untranslated", "" } };
    for (bool bigEndian : { false, true }) {
        auto catalogue = MessageCatalogue::parse(buildMo(entries, bigEndian));
        ASSERT_TRUE(catalogue.has_value()) << bigEndian;
        ASSERT_NE(catalogue->find("alert_ok"), nullptr);
        EXPECT_EQ(*catalogue->find("alert_ok"), "OK!");
        ASSERT_NE(catalogue->find("file"), nullptr);
        EXPECT_EQ(*catalogue->find("file"), "Datei");
        EXPECT_EQ(catalogue->find(""), nullptr);
        EXPECT_EQ(catalogue->find("open"), nullptr);
        EXPECT_EQ(catalogue->find("untranslated"), nullptr);
        EXPECT_EQ(catalogue->size(), 2u);
    }
}

TEST(MessageCatalogue, RefusesDamagedData)
{
    const std::string good = buildMo({ { "alert_yes", "Yes" }, { "alert_no", "No" } });
    ASSERT_TRUE(MessageCatalogue::parse(good).has_value());

    // Every truncation cuts a table or a string; none may be read past the end.
    for (std::size_t length = 0; length < good.size(); ++length)
        EXPECT_FALSE(MessageCatalogue::parse(std::string_view(good).substr(0, length)).has_value()) << length;

    auto damaged = [&](std::size_t at, std::uint32_t value) {
        std::string bytes = good;
        putWord(bytes, at, value, false);
        return MessageCatalogue::parse(bytes).has_value();
    };
    EXPECT_FALSE(damaged(0, 0x12345678)); // magic
    EXPECT_FALSE(damaged(4, 0x00020000)); // a major revision we do not know
    EXPECT_TRUE(damaged(4, 0x00010001)); // revision 1 keeps the plain tables
    EXPECT_FALSE(damaged(8, 0xffffffff)); // count far beyond the data
    EXPECT_FALSE(damaged(12, 0xfffffffc)); // originals table outside
    EXPECT_FALSE(damaged(28, 0xfffffff0)); // first key's length wraps past the end
    EXPECT_FALSE(damaged(32, 0xfffffffe)); // first key's offset outside
    EXPECT_FALSE(damaged(28, 3)); // first key no longer ends at a NUL
}

TEST_F(StringsTest, LooksUpTheBuiltCataloguesInTheChosenLanguage)
{
    Strings::reload({ "ja", "" });
    EXPECT_EQ(Strings::language(), "ja");
    EXPECT_EQ(Strings::text("alert_yes"), "はい");
    EXPECT_EQ(Strings::text("message_space_not_enough"), "ストレージの空き容量が足りません。");

    Strings::reload({ "en", "" });
    EXPECT_EQ(Strings::text("alert_yes"), "Yes");
    EXPECT_EQ(Strings::text("word_password_change_failed"), "Password Change Failed");

    EXPECT_EQ(Strings::text("no_such_key_anywhere"), "no_such_key_anywhere");
    EXPECT_EQ(Strings::text(""), "");
}

TEST_F(StringsTest, LanguageComesFromTheEnvironmentWhenNotForced)
{
    const char* old = std::getenv("LANGUAGE");
    std::string saved = old ? old : "";
    for (auto [list, expected] : { std::pair { "fr:ja_JP:en", "キャンセル" }, std::pair { "fr", "Cancel" } }) {
        setenv("LANGUAGE", list, 1);
        Strings::reload();
        EXPECT_EQ(Strings::text("alert_cancel"), expected) << list;
    }
    old ? setenv("LANGUAGE", saved.c_str(), 1) : unsetenv("LANGUAGE");
}

TEST_F(StringsTest, DamagedCatalogueIsIgnoredAndEnglishAnswers)
{
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("strings-test-" + std::to_string(getpid()));
    std::string realJa = readFile(Strings::catalogueDirectory() + "/ja/LC_MESSAGES/norvane.mo");
    ASSERT_GT(realJa.size(), 100u);
    putCatalogue(dir, "en", buildMo({ { "alert_yes", "Yes (test)" }, { "only_in_en", "English only" } }));

    for (const std::string& bad :
        { realJa.substr(0, realJa.size() / 2), std::string(4096, '\x95'), std::string("\xde\x12\x04\x95", 4) }) {
        putCatalogue(dir, "ja", bad);
        Strings::reload({ "ja", dir.string() });
        EXPECT_EQ(Strings::language(), "en");
        EXPECT_EQ(Strings::text("alert_yes"), "Yes (test)");
    }

    // A sound Japanese catalogue that lacks a key lets English answer for it.
    putCatalogue(dir, "ja", buildMo({ { "alert_yes", "はい (test)" } }));
    Strings::reload({ "ja", dir.string() });
    EXPECT_EQ(Strings::text("alert_yes"), "はい (test)");
    EXPECT_EQ(Strings::text("only_in_en"), "English only");

    // A language name that is no plain code never becomes part of a path.
    putCatalogue(dir / "root", "en", buildMo({ { "alert_yes", "Yes (root)" } }));
    putCatalogue(dir, "outside", buildMo({ { "alert_yes", "Yes (outside)" } }));
    Strings::reload({ "../outside", (dir / "root").string() });
    EXPECT_EQ(Strings::text("alert_yes"), "Yes (root)");
    std::filesystem::remove_all(dir);
}
