#pragma once

#include "server/store/Random.h" // sameSecret

#include <cstddef>
#include <string>

namespace norvane::server {

// Unpredictable texts from the system's cryptographic generator: tokens, link keys, passwords,
// print numbers. Empty only when the generator fails.
std::string secureRandomHex(std::size_t bytes);
// `count` decimal digits, each uniformly chosen.
std::string secureRandomDigits(std::size_t count);

} // namespace norvane::server
