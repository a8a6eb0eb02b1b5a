#pragma once

#include <chrono>

namespace norvane {

// A moment in time, independent of any time zone. Cache entries, If-Modified-Since headers and
// archived records all carry dates of this type.
using Date = std::chrono::system_clock::time_point;

} // namespace norvane
