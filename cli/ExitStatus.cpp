#include "cli/ExitStatus.h"

#include <map>

namespace norvane::cli {

namespace {

struct Code {
    const char* name;
    const char* meaning;
};

// The result codes of the operations, by value (10, 17 and 28 are never given).
const std::map<std::int32_t, Code>& codes()
{
    static const std::map<std::int32_t, Code> table {
        { 1, { "success", "success" } },
        { 2, { "failed", "the operation failed" } },
        { 3, { "unreachable", "the network is not reachable" } },
        { 4, { "cancelled", "cancelled (interrupted, or a question was declined)" } },
        { 5, { "conflict", "the name exists already, or the file is locked" } },
        { 6, { "not-modified", "not modified" } },
        { 7, { "busy", "the file is being updated; try again" } },
        { 8, { "no-space", "no space left" } },
        { 9, { "not-found", "no such file or folder" } },
        { 11, { "too-large", "the file is too large" } },
        { 12, { "resume-offset", "the server asked to resume elsewhere" } },
        { 13, { "connection-failed", "the server cannot be reached at the configured address" } },
        { 14, { "resource-changed", "the entry was changed meanwhile; its name may have changed" } },
        { 15, { "password-change-failed", "the password was not changed" } },
        { 16, { "device-not-authorized", "this device is not registered for the account" } },
        { 18, { "not-in-cache", "not in the cache" } },
        { 19, { "server-error", "the server failed" } },
        { 20, { "timed-out", "the server did not answer in time" } },
        { 21, { "account-suspended", "the account is suspended" } },
        { 22, { "gone", "gone" } },
        { 23, { "copy-source", "the entry is the source of a running copy" } },
        { 24, { "copy-destination", "the entry is the destination of a running copy" } },
        { 25, { "not-acceptable", "not acceptable" } },
        { 26, { "bad-request", "the server refused the request as malformed" } },
        { 27, { "refused", "the server refused the request" } },
        { 29, { "no-permission", "no permission for part of a folder" } },
    };
    return table;
}

} // namespace

int ExitStatus::forResult(std::int32_t result)
{
    if (result == 1)
        return kSuccess;
    return result >= 2 && codes().count(result) ? result : kUnexpected;
}

std::string ExitStatus::resultName(std::int32_t result)
{
    auto found = codes().find(result);
    return found == codes().end() ? "unexpected" : found->second.name;
}

const std::vector<ExitStatus::Row>& ExitStatus::table()
{
    static const std::vector<Row> rows = [] {
        std::vector<Row> out;
        out.push_back({ kSuccess, "success" });
        out.push_back({ kUnexpected, "an unexpected result code" });
        for (const auto& [result, code] : codes())
            if (result >= 2)
                out.push_back({ result, code.meaning });
        out.push_back({ kUsage, "the command line was not understood" });
        out.push_back({ kNotSetUp, "no server configured, or not signed in (run config, then login)" });
        out.push_back({ kLocalFile, "a local file or folder is missing or cannot be used" });
        out.push_back({ kWrongCredentials, "the company code, the user name or the password is wrong" });
        out.push_back(
            { kProxyRefused, "the proxy refused the connection: its user name or password is missing or wrong" });
        out.push_back(
            { kUntrustedServer, "the server's certificate is not trusted, or its key is not the trusted one" });
        out.push_back({ kInternal, "internal error: the operation did not report back" });
        out.push_back({ kNoPermission, "no permission: the server refused this to the account" });
        return out;
    }();
    return rows;
}

} // namespace norvane::cli
