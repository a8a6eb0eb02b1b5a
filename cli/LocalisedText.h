#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace norvane::cli {

// A localised format ("custom_" keys of the string table) with each "%@" replaced by the next
// argument, as text, in order; missing arguments leave nothing.
std::string localisedFormat(std::string_view key, const std::vector<std::string>& arguments);

} // namespace norvane::cli
