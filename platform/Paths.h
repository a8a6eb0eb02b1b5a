#pragma once

#include "platform/ErrorValue.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace norvane {

// Domain of errors that carry an errno value as their code.
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

// Where this user's data lives, what the program is called and which languages the user reads.
// Everything is read from the environment on each call, so a test may change it between calls.
class Paths {
public:
    // $NORVANE_HOME when set and not empty (tests, several profiles side by side); otherwise
    // $XDG_DATA_HOME/norvane when that is an absolute path, else $HOME/.local/share/norvane.
    // Always absolute. The directory is not created here.
    static std::string applicationDataDirectory();

    // The running program's file (/proc/self/exe), its file name and its directory; empty when unknown.
    static std::string executablePath();
    static std::string executableName();
    static std::string executableDirectory();

    // Language codes in the user's order of preference ("ja", "en"), never empty: $LANGUAGE as a
    // colon-separated list, else the first non-empty of $LC_ALL, $LC_MESSAGES, $LANG.
    static std::vector<std::string> preferredLanguages();
    // The same rule over given values, for callers that hold them already.
    static std::vector<std::string> preferredLanguages(
        std::string_view language, std::string_view lcAll, std::string_view lcMessages, std::string_view lang);
    // "ja_JP.UTF-8@mod" -> "ja", "C" and "POSIX" -> "en"; empty when the text is no language name.
    static std::string languageCode(std::string_view locale);

    // Creates `path` and any missing parents with `mode` (less the umask). An existing directory
    // is success; an existing non-directory, or any other failure, is the error returned.
    static std::optional<ErrorValue> createDirectories(const std::string& path, mode_t mode = 0700);
};

} // namespace norvane
