#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "cli/ExitStatus.h"
#include "cli/Outcome.h"
#include "cli/RemotePath.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace norvane::cli {

class CliSession;

// The commands of norvane-cli, one function each, over the operations of StorageServiceLogic and
// the data manager. Each reports through the session's reporter and returns how it ended.
class CliCommands {
public:
    // Runs the invocation's command (help and version are the caller's).
    static Outcome run(CliSession& session);
    // The commands that work on the server, once signed in.
    static Outcome runSignedIn(CliSession& session);

    // The session and the settings (CliCommandsSession.cpp).
    static Outcome config(CliSession& session);
    static Outcome login(CliSession& session);
    static Outcome logout(CliSession& session);
    static Outcome info(CliSession& session);
    static Outcome passwd(CliSession& session);
    static Outcome deviceId(CliSession& session);

    // The tree (CliCommandsFiles.cpp).
    static Outcome ls(CliSession& session);
    static Outcome search(CliSession& session);
    static Outcome mkdir(CliSession& session);
    static Outcome copyOrMove(CliSession& session, bool move);
    static Outcome rename(CliSession& session);
    static Outcome rm(CliSession& session);
    static Outcome lock(CliSession& session, bool lock);
    static Outcome chmod(CliSession& session);

    // Transfers (CliCommandsTransfers.cpp, CliCommandEdit.cpp).
    static Outcome get(CliSession& session);
    static Outcome put(CliSession& session);
    static Outcome edit(CliSession& session);

    // Sharing and printing (CliCommandsSharing.cpp).
    static Outcome share(CliSession& session);
    static Outcome print(CliSession& session);
    static Outcome jobs(CliSession& session);

    // --- helpers shared by the commands ---

    // A remote path argument; none (with the reason in *error) when it is not one.
    static std::optional<RemotePath> remoteArgument(const std::string& text, std::string* error);
    // An entry as the JSON output and the listing show it.
    static nlohmann::json entryJson(const fileInformation& entry);
    static std::string entryLine(const fileInformation& entry);
    // The path of a listed entry ("my:/a/b"), from its key; its display name when the key has
    // no known form.
    static std::string entryPath(const fileInformation& entry);
};

} // namespace norvane::cli
