#include "platform/Strings.h"

#include "Version.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

namespace norvane {

namespace {

constexpr std::uint32_t kMagic = 0x950412de;
constexpr std::uint32_t kMagicSwapped = 0xde120495;
// Our catalogues are a few kilobytes; anything near this is not one of them.
constexpr std::uintmax_t kLargestCatalogue = 32u * 1024u * 1024u;
constexpr const char* kDomainFile = "norvane.mo";

struct Reader {
    std::string_view bytes;
    bool swapped = false;

    // Reads the 32-bit word at `offset`; false when it does not lie wholly inside the data.
    bool word(std::uint64_t offset, std::uint32_t& value) const
    {
        if (offset > bytes.size() || bytes.size() - offset < 4)
            return false;
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
        if (swapped)
            value = std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
        else
            value = std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
        return true;
    }

    // The string described by the table entry at `entry` (length, then offset); its terminating
    // NUL must lie inside the data too.
    bool string(std::uint64_t entry, std::string_view& value) const
    {
        std::uint32_t length = 0;
        std::uint32_t offset = 0;
        if (!word(entry, length) || !word(entry + 4, offset))
            return false;
        if (std::uint64_t(offset) + length >= bytes.size() || bytes[std::size_t(offset) + length] != '\0')
            return false;
        value = bytes.substr(offset, length);
        return true;
    }
};

// A plural entry holds its forms separated by NULs; the key is the singular form.
std::string_view firstForm(std::string_view text)
{
    return text.substr(0, text.find('\0'));
}

bool isLanguageCode(std::string_view code)
{
    if (code.empty())
        return false;
    for (char c : code)
        if (c < 'a' || c > 'z')
            return false;
    return true;
}

struct State {
    std::mutex mutex;
    bool loaded = false;
    Strings::Overrides overrides;
    std::string directory;
    std::string language;
    std::optional<MessageCatalogue> chosen;
    std::optional<MessageCatalogue> english;
};

State& state()
{
    static State s;
    return s;
}

std::string defaultDirectory(const Strings::Overrides& overrides)
{
    if (!overrides.directory.empty())
        return overrides.directory;
    if (const char* own = std::getenv("NORVANE_LOCALEDIR"); own && *own)
        return own;
    std::string executableDirectory = Paths::executableDirectory();
    if (!executableDirectory.empty()) {
        std::filesystem::path installed = std::filesystem::path(executableDirectory) / ".." / "share" / "locale";
        std::error_code error;
        if (std::filesystem::is_directory(installed, error))
            return installed.lexically_normal().string();
    }
    return kBuildLocaleDir;
}

std::optional<MessageCatalogue> loadLanguage(const std::string& directory, const std::string& language)
{
    std::string path = (std::filesystem::path(directory) / language / "LC_MESSAGES" / kDomainFile).string();
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        return std::nullopt;
    std::optional<MessageCatalogue> catalogue = MessageCatalogue::load(path);
    if (!catalogue)
        Log::line("Strings: ignoring unreadable or malformed catalogue " + path);
    return catalogue;
}

// Called with the state's mutex held.
void ensureLoaded(State& s)
{
    if (s.loaded)
        return;
    s.loaded = true;
    s.directory = defaultDirectory(s.overrides);
    s.language.clear();
    s.chosen.reset();
    s.english.reset();

    std::vector<std::string> wanted;
    if (!s.overrides.language.empty())
        wanted.push_back(s.overrides.language);
    else
        wanted = Paths::preferredLanguages();
    wanted.emplace_back("en");
    for (const std::string& language : wanted) {
        // Only plain codes make a path: the environment must not steer us outside the directory.
        if (!isLanguageCode(language))
            continue;
        if (auto catalogue = loadLanguage(s.directory, language)) {
            s.language = language;
            s.chosen = std::move(catalogue);
            break;
        }
    }
    if (s.language != "en")
        s.english = loadLanguage(s.directory, "en");
}

} // namespace

std::optional<MessageCatalogue> MessageCatalogue::parse(std::string_view bytes)
{
    Reader reader { bytes, false };
    std::uint32_t magic = 0;
    if (!reader.word(0, magic))
        return std::nullopt;
    if (magic == kMagicSwapped)
        reader.swapped = true;
    else if (magic != kMagic)
        return std::nullopt;

    std::uint32_t revision = 0;
    std::uint32_t count = 0;
    std::uint32_t originals = 0;
    std::uint32_t translations = 0;
    if (!reader.word(4, revision) || !reader.word(8, count) || !reader.word(12, originals)
        || !reader.word(16, translations))
        return std::nullopt;
    // Major revisions 0 and 1 share the plain tables; revision 1 only adds entries we do not use.
    if ((revision >> 16) > 1)
        return std::nullopt;
    // Each table entry is 8 bytes; both tables must fit before any string is looked at, so a
    // huge count in a damaged file costs nothing.
    std::uint64_t tableBytes = std::uint64_t(count) * 8;
    if (std::uint64_t(originals) + tableBytes > bytes.size() || std::uint64_t(translations) + tableBytes > bytes.size())
        return std::nullopt;

    MessageCatalogue catalogue;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string_view original;
        std::string_view translation;
        if (!reader.string(originals + i * 8, original) || !reader.string(translations + i * 8, translation))
            return std::nullopt;
        std::string_view key = firstForm(original);
        std::string_view text = firstForm(translation);
        // The empty key is the catalogue's header, and keys with a context (ctxt\x04key) are
        // never asked for; neither may answer a lookup.
        if (key.empty() || key.find('\x04') != std::string_view::npos || text.empty())
            continue;
        catalogue.entries_.emplace(std::string(key), std::string(text));
    }
    return catalogue;
}

std::optional<MessageCatalogue> MessageCatalogue::load(const std::string& path)
{
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > kLargestCatalogue)
        return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        return std::nullopt;
    return parse(bytes);
}

const std::string* MessageCatalogue::find(std::string_view key) const
{
    auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : &found->second;
}

std::string Strings::text(std::string_view key)
{
    if (key.empty())
        return {};
    State& s = state();
    std::lock_guard lock(s.mutex);
    ensureLoaded(s);
    if (s.chosen)
        if (const std::string* found = s.chosen->find(key))
            return *found;
    if (s.english)
        if (const std::string* found = s.english->find(key))
            return *found;
    return std::string(key);
}

std::string Strings::language()
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    ensureLoaded(s);
    return s.language;
}

std::string Strings::catalogueDirectory()
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    ensureLoaded(s);
    return s.directory;
}

void Strings::reload(Overrides overrides)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.overrides = std::move(overrides);
    s.loaded = false;
}

} // namespace norvane
