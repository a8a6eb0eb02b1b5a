#pragma once

#include <string>
#include <string_view>

namespace norvane::cli {

// Text from the server or from other users (names, lock holders, authors, notices) is data: on a
// terminal, a control character in it could move the cursor, recolour or retitle the window, or
// hide what follows. Before it is written, every control character (C0, DEL, C1), every
// invisible direction override and every byte that is not UTF-8 is shown as an escape instead:
// "\t", "\n", "\r", "\x1b", "\u0085", "\u202e". Printable text, non-ASCII letters included,
// passes unchanged.
class TerminalText {
public:
    static std::string escaped(std::string_view text);
    // Each line of a text of our own, escaped, with its line breaks kept.
    static std::string escapedLines(std::string_view text);
};

} // namespace norvane::cli
