#pragma once

#include <string>

namespace norvane::server {

// Stored form of a password: "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>", with a fresh
// random salt each time. The iteration count travels with the hash, so raising it later leaves
// the existing passwords valid.
class PasswordHash {
public:
    static std::string make(const std::string& password);
    // False also for a stored text that is not of the form above.
    static bool matches(const std::string& stored, const std::string& password);
    // The work of matches() without a stored password, always false: a login of an account that
    // does not exist must take as long as one with a wrong password.
    static bool matchesNothing(const std::string& password);
};

} // namespace norvane::server
