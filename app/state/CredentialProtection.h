#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// How the login password is kept in the settings file: the Base64 text (with "_" padding) of its
// UTF-8 bytes enciphered by cc_crypto.
//
// Two forms are read:
// - shared-key form: the cipher text alone, made with the one key that every installation of
//   earlier releases shares, used also as the initialisation vector. Anyone holding the program
//   can read it back, and equal passwords give equal texts, so it is only still written when no
//   installation key can be had;
// - installation-key form: kInstallationKeyMarker followed by the Base64 text of a fresh random
//   initialisation vector and the cipher text, made with a random key kept in a file of its own
//   (owner-only) beside the settings. A copied settings file alone then reveals nothing, and the
//   same password never gives the same text twice. The marker lies outside the Base64 alphabet,
//   so the two forms never mix up, and an earlier release merely fails to read the new form
//   (which it then treats as no stored password).
class CredentialProtection {
public:
    using Key = std::array<std::uint8_t, 16>;

    static constexpr char kInstallationKeyMarker = '*';
    static constexpr const char* kKeyFileName = "credential.key";

    // The key (and vector) of the shared-key form.
    static const Key& sharedKey();

    // The installation key kept in keyFile. With create, a missing or unusable key file is
    // replaced by a new random key first. Nothing when there is none, or it cannot be made.
    static std::optional<Key> installationKey(const std::filesystem::path& keyFile, bool create);

    // The stored text of a password: the installation-key form when keyFile holds or can take a
    // key, else the shared-key form. Empty only when the cipher itself fails.
    static std::string seal(std::string_view password, const std::filesystem::path& keyFile);
    // The password of a stored text of either form; nothing when it cannot be deciphered (wrong
    // or missing key, damaged text, bytes that are not UTF-8).
    static std::optional<std::string> unseal(std::string_view stored, const std::filesystem::path& keyFile);
    // True for a non-empty text in the shared-key form.
    static bool isSharedKeyForm(std::string_view stored);
};

} // namespace norvane
