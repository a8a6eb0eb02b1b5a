#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// One compiled gettext catalogue (.mo) held in memory: message key -> text. Only the plain
// entries are kept; the header entry, contexts and plural forms beyond the first are not used.
class MessageCatalogue {
public:
    // Reads a catalogue in either byte order. Anything malformed (bad magic, unknown major
    // revision, a table or string outside the data) gives nullopt: the whole file is refused.
    static std::optional<MessageCatalogue> parse(std::string_view bytes);
    // Reads and parses a file; nullopt when it is missing, unreadable, oversized or malformed.
    static std::optional<MessageCatalogue> load(const std::string& path);

    // The text for `key`, or null when the catalogue has none (or only an empty one).
    const std::string* find(std::string_view key) const;
    std::size_t size() const { return entries_.size(); }

private:
    std::map<std::string, std::string, std::less<>> entries_;
};

// The application's localised string table. Texts come from
// <catalogue directory>/<language>/LC_MESSAGES/norvane.mo, loaded once, on first use, for the
// first of the user's preferred languages that has a catalogue, with English behind it for keys
// the chosen language lacks. Safe to call from any thread.
class Strings {
public:
    // The localised text of `key`; the key itself when no catalogue knows it.
    static std::string text(std::string_view key);

    // The language whose catalogue answers ("ja", "en"); empty when none could be loaded.
    static std::string language();
    // Where catalogues are looked for: $NORVANE_LOCALEDIR when set, else share/locale beside the
    // executable's directory when present, else the build tree's.
    static std::string catalogueDirectory();

    // Forces a language or a catalogue directory; an empty field means "as the environment says".
    struct Overrides {
        std::string language;
        std::string directory;
    };
    // Drops the loaded catalogues and sets the overrides; the next lookup loads afresh.
    static void reload(Overrides overrides = {});
};

} // namespace norvane
