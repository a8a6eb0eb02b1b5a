#pragma once

#include "platform/Value.h"

#include <string>

namespace norvane {

// A plain value as text for record descriptions: strings quoted, maps as { key = value; },
// lists as ( a, b ), bytes by their length only (they may be large or hold credentials).
std::string describeValue(const Value& value);

} // namespace norvane
