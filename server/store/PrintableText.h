#pragma once

#include <string>
#include <string_view>

namespace norvane::server {

// What users write reaches other users' screens and terminals: listings, search rows, lock
// holders, notices. None of it may carry a character that a terminal obeys instead of showing:
// C0 controls (NUL to U+001F), DEL, C1 controls (U+0080 to U+009F) and the line and paragraph
// separators U+2028 and U+2029. Nor bytes that are no UTF-8, which some terminals read as C1.

// True when the text is well-formed UTF-8 without any such character.
bool isPrintableText(std::string_view text);

// What may be kept of the layout of a longer text.
enum class Layout {
    None, // one line: every control goes
    TabsAndLineFeeds, // a multi-line text (a notice): tab and line feed stay
};

// The text without those characters; bytes that are no UTF-8 become U+FFFD, the noncharacters
// U+FFFE and U+FFFF go too (XML cannot hold them).
std::string printableText(std::string_view text, Layout layout = Layout::None);

} // namespace norvane::server
