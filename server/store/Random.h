#pragma once

#include <cstddef>
#include <string>

namespace norvane::server {

// Secrets and identifiers from the operating system's random source (through OpenSSL). Each
// throws std::runtime_error when no random bytes can be had: an identifier must never be guessable.
std::string randomBytes(std::size_t count);
std::string randomHex(std::size_t digits); // lowercase
std::string randomUrlToken(std::size_t length); // A-Z a-z 0-9 - _
std::string randomDigits(std::size_t length);

// Compares without leaking where two secrets differ.
bool sameSecret(const std::string& a, const std::string& b);

} // namespace norvane::server
