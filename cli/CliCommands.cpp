#include "cli/CliCommands.h"

#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "cli/CliSession.h"
#include "platform/AlertPresenter.h"

namespace norvane::cli {

Outcome CliCommands::run(CliSession& session)
{
    const std::string& command = session.invocation().command;
    if (command == "config")
        return config(session);
    if (command == "login")
        return login(session);
    if (command == "logout")
        return logout(session);
    if (command == "device-id")
        return deviceId(session);

    // Everything else talks to the server, as the stored account.
    const Outcome signedIn = session.signIn();
    if (signedIn.result != ResultSuccess)
        return signedIn;
    Outcome outcome = runSignedIn(session);
    if (outcome.result == ResultBadRequest && outcome.reason.empty()) {
        // The session was made a moment ago: a refusal without a code this client knows is the
        // server saying no to this account (403), not a session to make again.
        AlertPresenter::shared()->show("", "message_request_refused_no_permission");
        outcome.exitStatus = ExitStatus::kNoPermission;
        outcome.reason = "no-permission";
    }
    return outcome;
}

Outcome CliCommands::runSignedIn(CliSession& session)
{
    const std::string& command = session.invocation().command;

    if (command == "info")
        return info(session);
    if (command == "passwd")
        return passwd(session);
    if (command == "ls")
        return ls(session);
    if (command == "search")
        return search(session);
    if (command == "mkdir")
        return mkdir(session);
    if (command == "cp")
        return copyOrMove(session, false);
    if (command == "mv")
        return copyOrMove(session, true);
    if (command == "rename")
        return rename(session);
    if (command == "rm")
        return rm(session);
    if (command == "lock")
        return lock(session, true);
    if (command == "unlock")
        return lock(session, false);
    if (command == "chmod")
        return chmod(session);
    if (command == "get")
        return get(session);
    if (command == "put")
        return put(session);
    if (command == "edit")
        return edit(session);
    if (command == "share")
        return share(session);
    if (command == "print")
        return print(session);
    if (command == "jobs")
        return jobs(session);
    return Outcome::usage("unknown command \"" + command + "\"");
}

std::optional<RemotePath> CliCommands::remoteArgument(const std::string& text, std::string* error)
{
    std::string why;
    auto path = RemotePath::parse(text, &why);
    if (!path && error)
        *error = "\"" + text + "\": " + why;
    return path;
}

std::string CliCommands::entryPath(const fileInformation& entry)
{
    if (auto path = RemotePath::fromKey(entry.uk.value_or("")))
        return path->text();
    return entry.displayName.value_or("");
}

nlohmann::json CliCommands::entryJson(const fileInformation& entry)
{
    const auto text = [](const std::optional<std::string>& value) -> nlohmann::json {
        return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
    };
    nlohmann::json object = nlohmann::json::object();
    object["name"] = entry.displayName.value_or("");
    object["path"] = entryPath(entry);
    object["key"] = entry.uk.value_or("");
    object["type"] = entry.isFile() ? "file" : "folder";
    if (entry.isFile())
        object["size"] = entry.fileSize;
    object["modified"] = text(entry.lastModifiedTime);
    object["created"] = text(entry.creationdate);
    object["owner"] = text(entry.owner);
    object["ownerName"] = text(entry.ownername);
    object["author"] = text(entry.author);
    object["authorName"] = text(entry.authorname);
    object["editPermission"] = entry.editpermission;
    object["readOnly"] = entry.isReadOnly;
    object["manager"] = entry.isManager;
    const bool locked = entry.lockUserId && !entry.lockUserId->empty();
    object["lockedBy"] = locked ? nlohmann::json(entry.lockUserName.value_or(*entry.lockUserId)) : nullptr;
    if (entry.actionType && !entry.actionType->empty())
        object["action"] = { { "type", *entry.actionType }, { "progress", entry.actionProgress.value_or("") } };
    return object;
}

std::string CliCommands::entryLine(const fileInformation& entry)
{
    // kind and rights, size, modification time, name: "d-  -        <date>  Photos/".
    std::string line;
    line += entry.isFile() ? '-' : 'd';
    line += entry.editpermission == 1 ? 'e' : '-';
    const bool locked = entry.lockUserId && !entry.lockUserId->empty();
    line += locked ? 'L' : '-';
    std::string size = entry.isFile() ? std::to_string(entry.fileSize) : "-";
    if (size.size() < 12)
        size.insert(0, 12 - size.size(), ' ');
    line += ' ' + size + "  ";
    std::string modified = entry.lastModifiedTime.value_or("");
    if (modified.size() < 29)
        modified.resize(29, ' ');
    line += modified + "  " + entry.displayName.value_or("");
    if (!entry.isFile())
        line += '/';
    if (locked)
        line += "  (locked by " + entry.lockUserName.value_or(*entry.lockUserId) + ")";
    return line;
}

} // namespace norvane::cli
