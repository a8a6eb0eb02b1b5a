#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norvane::cli {

// The exit status of norvane-cli. A command that ends with an operation's result code exits
// with that code itself (2 to 29), so that a script can tell a conflict (5) from a missing file
// (9) or a refused session (27); success is 0. The command line's own failures take values
// above the result codes.
class ExitStatus {
public:
    static constexpr int kSuccess = 0;
    static constexpr int kUnexpected = 1; // a result code outside the table
    static constexpr int kUsage = 64; // the command line was not understood
    static constexpr int kNotSetUp = 65; // no server configured, or not signed in
    static constexpr int kLocalFile = 66; // a local file or folder is missing or unusable
    // Causes that the operations' result codes lump together with others; the command line
    // tells them apart so that a script (and a person) knows what to fix.
    static constexpr int kWrongCredentials = 67; // the company, the user or the password is wrong
    static constexpr int kProxyRefused = 68; // the proxy wants credentials, or others than given
    static constexpr int kUntrustedServer = 69; // the certificate or the key is not the trusted one
    static constexpr int kInternal = 70; // the operation never reported back
    static constexpr int kNoPermission = 77; // the server refused this account the request

    // 0 for result 1; the result itself for 2-29; kUnexpected for anything else.
    static int forResult(std::int32_t result);
    // A short name for the JSON output and the help ("not-found"); "unexpected" when unknown.
    static std::string resultName(std::int32_t result);

    struct Row {
        int status;
        std::string meaning;
    };
    // Every documented exit status, in order.
    static const std::vector<Row>& table();
};

} // namespace norvane::cli
