#pragma once

#include <map>
#include <string>
#include <string_view>

namespace norvane {

// Header fields whose values are secrets (credentials, session cookies): never written to a log.
bool isSecretHeader(std::string_view name);
// "{ Name: value; ... }" with every secret value replaced by "<masked>", for log lines.
std::string describeHeadersMasked(const std::map<std::string, std::string>& headers);

} // namespace norvane
