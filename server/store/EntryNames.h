#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace norvane::server {

// The longest name an entry may have, in bytes: what the clients' local file systems accept.
constexpr std::size_t kMaxEntryNameBytes = 255;

// A name an entry may carry: not empty, not "." or "..", without "/" or "\", printable text (see
// PrintableText.h), and not longer than kMaxEntryNameBytes.
bool isValidEntryName(std::string_view name);
bool isValidEntryPath(const std::vector<std::string>& path);

// "/a/b" for {"a", "b"}, "/" for the root.
std::string pathText(const std::vector<std::string>& path);

// Folds ASCII letters to lower case; other bytes (UTF-8 sequences included) stay as they are.
std::string foldCase(std::string_view text);

} // namespace norvane::server
