#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogic.h"
#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "platform/AlertPresenter.h"

namespace norvane::cli {

namespace {

using Done = std::function<void(std::int32_t)>;

// The first failure of a command that works through several paths decides how it ends; the
// others are still tried.
struct FirstFailure {
    Outcome outcome;
    bool failed = false;

    void note(const Outcome& next)
    {
        if (!failed && next.exitStatus != ExitStatus::kSuccess) {
            outcome = next;
            failed = true;
        }
        if (!failed)
            outcome = next;
    }
};

void showNotA(const char* key, const RemotePath& path)
{
    AlertPresenter::shared()->show("", key, path.text());
}

} // namespace

Outcome CliCommands::ls(CliSession& session)
{
    const Invocation& in = session.invocation();
    std::string error;
    auto path = in.arguments.empty() ? RemotePath::parse("my:/") : remoteArgument(in.arguments[0], &error);
    if (!path)
        return Outcome::usage(error);
    auto resolved = session.resolve(*path);
    if (resolved.result != ResultSuccess)
        return Outcome::ofResult(resolved.result);

    nlohmann::json entries = nlohmann::json::array();
    auto& out = session.reporter().result();
    out["path"] = path->text();
    if (resolved.entry->isFile()) {
        session.reporter().line(entryLine(*resolved.entry));
        entries.push_back(entryJson(*resolved.entry));
        out["entries"] = entries;
        return Outcome::ofResult(ResultSuccess);
    }
    auto children = std::make_shared<FileInfoList>();
    const std::int32_t result = session.list(resolved.entry, *children);
    if (result != ResultSuccess) {
        CliSession::showListingFailure(result, *path);
        return Outcome::ofResult(result);
    }
    // Only what the output asks for is made of each entry: its line, or its JSON object, and that
    // only while it is written.
    if (session.reporter().json()) {
        session.reporter().streamArray("entries", [children](const Reporter::ElementSink& emit) {
            for (const auto& child : *children)
                if (child)
                    emit(entryJson(*child));
        });
    } else {
        for (const auto& child : *children)
            if (child)
                session.reporter().line(entryLine(*child));
    }
    return Outcome::ofResult(result);
}

Outcome CliCommands::search(CliSession& session)
{
    const Invocation& in = session.invocation();
    std::string error;
    auto path = remoteArgument(in.arguments[0], &error);
    if (!path)
        return Outcome::usage(error);
    const std::string& keyword = in.arguments[1];
    if (keyword.empty())
        return Outcome::usage("search needs a text to look for");
    auto folder = session.resolve(*path);
    if (folder.result != ResultSuccess)
        return Outcome::ofResult(folder.result);
    if (folder.entry->isFile()) {
        showNotA("message_not_a_folder", *path);
        return Outcome::ofResult(ResultFailed);
    }

    const bool byName = !in.has("author");
    auto found = std::make_shared<std::optional<FileInfoList>>();
    const std::string key = folder.entry->uk.value_or("");
    const std::int32_t result = session.run([&](Done done) {
        StorageServiceLogic::searchFolder(
            key, keyword, byName, [found, done](std::int32_t code, const std::optional<FileInfoList>& list) {
                *found = list;
                done(code);
            });
    });
    if (result != ResultSuccess) {
        if (result != ResultUnreachable && result != ResultCancelled)
            AlertPresenter::shared()->show("warning", "get_folder_failed");
        return Outcome::ofResult(result);
    }
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& entry : found->value_or(FileInfoList {})) {
        if (!entry)
            continue;
        session.reporter().line(entryLine(*entry) + "  " + entryPath(*entry));
        entries.push_back(entryJson(*entry));
    }
    auto& out = session.reporter().result();
    out["path"] = path->text();
    out["keyword"] = keyword;
    out["by"] = byName ? "name" : "author";
    out["entries"] = entries;
    return Outcome::ofResult(result);
}

Outcome CliCommands::mkdir(CliSession& session)
{
    FirstFailure outcome;
    nlohmann::json made = nlohmann::json::array();
    for (const std::string& argument : session.invocation().arguments) {
        std::string error;
        auto path = remoteArgument(argument, &error);
        if (!path) {
            outcome.note(Outcome::usage(error));
            continue;
        }
        if (path->isRoot()) {
            outcome.note(Outcome::usage("the root of an area exists already"));
            continue;
        }
        auto parent = session.resolve(path->parent());
        if (parent.result != ResultSuccess) {
            outcome.note(Outcome::ofResult(parent.result));
            continue;
        }
        if (parent.entry->isFile()) {
            showNotA("message_not_a_folder", path->parent());
            outcome.note(Outcome::ofResult(ResultFailed));
            continue;
        }
        if (!Path::checkFileName(path->name())) {
            outcome.note(Outcome::ofResult(ResultFailed));
            continue;
        }
        const std::string target = Path::urlPathFromPath(parent.entry->uk.value_or("") + "/" + path->name());
        const std::int32_t result
            = session.run([&](Done done) { StorageServiceLogic::makeFolder(target, std::move(done)); });
        if (result == ResultSuccess) {
            made.push_back(path->text());
            session.reporter().message("Created " + path->text());
        }
        outcome.note(Outcome::ofResult(result));
    }
    session.reporter().result()["created"] = made;
    return outcome.outcome;
}

Outcome CliCommands::copyOrMove(CliSession& session, bool move)
{
    const Invocation& in = session.invocation();
    std::vector<RemotePath> sources;
    std::string error;
    for (std::size_t i = 0; i + 1 < in.arguments.size(); ++i) {
        auto path = remoteArgument(in.arguments[i], &error);
        if (!path)
            return Outcome::usage(error);
        if (path->isRoot())
            return Outcome::usage("the root of an area cannot be " + std::string(move ? "moved" : "copied"));
        sources.push_back(*path);
    }
    auto destination = remoteArgument(in.arguments.back(), &error);
    if (!destination)
        return Outcome::usage(error);

    // Into an existing folder under the same names; a single move may also name the new path.
    auto target = session.resolve(*destination, false);
    std::shared_ptr<fileInformation> folder;
    std::optional<std::string> newName;
    RemotePath folderPath = *destination;
    if (target.result == ResultSuccess && target.entry->isFolder()) {
        folder = target.entry;
    } else if (move && sources.size() == 1 && !destination->isRoot()
        && (target.result == ResultSuccess || target.result == ResultNotFound)) {
        folderPath = destination->parent();
        auto parent = session.resolve(folderPath);
        if (parent.result != ResultSuccess)
            return Outcome::ofResult(parent.result);
        if (parent.entry->isFile()) {
            showNotA("message_not_a_folder", folderPath);
            return Outcome::ofResult(ResultFailed);
        }
        folder = parent.entry;
        newName = destination->name();
        if (!Path::checkFileName(*newName))
            return Outcome::ofResult(ResultFailed);
    } else if (target.result == ResultSuccess) {
        showNotA("message_not_a_folder", *destination);
        return Outcome::ofResult(ResultFailed);
    } else {
        CliSession::showListingFailure(target.result, *destination);
        return Outcome::ofResult(target.result);
    }

    const auto permission = session.editPermissionFor(folderPath);
    if (!permission)
        return Outcome::ofResult(ResultCancelled);
    const std::int32_t accessFlag = permission->isNull() ? 0 : 1;
    const std::string folderKey = folder->uk.value_or("");

    FirstFailure outcome;
    nlohmann::json done = nlohmann::json::array();
    for (const RemotePath& source : sources) {
        auto entry = session.resolve(source);
        if (entry.result != ResultSuccess) {
            outcome.note(Outcome::ofResult(entry.result));
            continue;
        }
        const std::string key = entry.entry->uk.value_or("");
        const std::string name = newName.value_or(entry.entry->displayName.value_or(source.name()));
        std::int32_t result = 0;
        if (move && entry.entry->isFolder()) {
            // A folder moves by the folder rename, which names its full new path.
            const std::string newPath = folderKey + "/" + name;
            result = session.run(
                [&](Done finished) { StorageServiceLogic::renameFile(newPath, key, true, std::move(finished)); });
        } else if (move) {
            result = session.run([&](Done finished) {
                StorageServiceLogic::moveFile(folderKey, key, name, accessFlag, std::move(finished));
            });
        } else {
            result = session.run([&](Done finished) {
                StorageServiceLogic::copyFile(folderKey, key, name, accessFlag, std::move(finished));
            });
        }
        if (result == ResultSuccess) {
            const std::string to = folderPath.child(name).text();
            done.push_back({ { "from", source.text() }, { "to", to } });
            session.reporter().message((move ? "Moved " : "Copied ") + source.text() + " -> " + to);
        }
        outcome.note(Outcome::ofResult(result));
    }
    session.reporter().result()[move ? "moved" : "copied"] = done;
    return outcome.outcome;
}

Outcome CliCommands::rename(CliSession& session)
{
    const Invocation& in = session.invocation();
    std::string error;
    auto path = remoteArgument(in.arguments[0], &error);
    if (!path)
        return Outcome::usage(error);
    if (path->isRoot())
        return Outcome::usage("the root of an area cannot be renamed");
    const std::string& newName = in.arguments[1];
    if (newName.find('/') != std::string::npos)
        return Outcome::usage("the new name is a name, not a path (use mv to move)");
    auto entry = session.resolve(*path);
    if (entry.result != ResultSuccess)
        return Outcome::ofResult(entry.result);
    if (!Path::checkFileName(newName))
        return Outcome::ofResult(ResultFailed);
    const bool isFolder = entry.entry->isFolder();
    const RemotePath renamed = path->parent().child(newName);
    const std::string newPath = isFolder ? renamed.folderKey() : renamed.fileKey();
    const std::string key = entry.entry->uk.value_or("");
    const std::int32_t result
        = session.run([&](Done done) { StorageServiceLogic::renameFile(newPath, key, isFolder, std::move(done)); });
    if (result == ResultSuccess) {
        session.reporter().message("Renamed " + path->text() + " -> " + renamed.text());
        session.reporter().result()["renamed"] = { { "from", path->text() }, { "to", renamed.text() } };
    }
    return Outcome::ofResult(result);
}

Outcome CliCommands::rm(CliSession& session)
{
    FirstFailure outcome;
    nlohmann::json deleted = nlohmann::json::array();
    for (const std::string& argument : session.invocation().arguments) {
        std::string error;
        auto path = remoteArgument(argument, &error);
        if (!path) {
            outcome.note(Outcome::usage(error));
            continue;
        }
        if (path->isRoot()) {
            outcome.note(Outcome::usage("the root of an area cannot be deleted"));
            continue;
        }
        auto entry = session.resolve(*path);
        if (entry.result != ResultSuccess) {
            outcome.note(Outcome::ofResult(entry.result));
            continue;
        }
        // The file window's confirmation: deleted items cannot be restored.
        const std::size_t answer = AlertPresenter::shared()->ask("menu_file_delete",
            "message_question_null_folder_delete", { "alert_cancel", "menu_file_delete" }, " " + path->text());
        if (answer == 0) {
            outcome.note(Outcome::ofResult(ResultCancelled));
            continue;
        }
        std::int32_t result = 0;
        if (entry.entry->isFolder()) {
            const fileInformation folder = *entry.entry;
            result = session.run([&](Done done) { StorageServiceLogic::deleteFolder(folder, std::move(done)); });
        } else {
            const std::string key = entry.entry->uk.value_or("");
            result = session.run([&](Done done) { StorageServiceLogic::deleteFile(key, std::move(done)); });
        }
        if (result == ResultSuccess) {
            deleted.push_back(path->text());
            session.reporter().message("Deleted " + path->text());
        } else if (result == ResultWriteConflict && entry.entry->isFile()) {
            session.tellLockHolder(*path);
        }
        outcome.note(Outcome::ofResult(result));
    }
    session.reporter().result()["deleted"] = deleted;
    return outcome.outcome;
}

Outcome CliCommands::lock(CliSession& session, bool lock)
{
    FirstFailure outcome;
    nlohmann::json changed = nlohmann::json::array();
    for (const std::string& argument : session.invocation().arguments) {
        std::string error;
        auto path = remoteArgument(argument, &error);
        if (!path) {
            outcome.note(Outcome::usage(error));
            continue;
        }
        auto entry = path->isRoot() ? CliSession::Resolved { ResultSuccess, CliSession::rootEntry(path->area()) }
                                    : session.resolve(*path);
        if (entry.result != ResultSuccess) {
            outcome.note(Outcome::ofResult(entry.result));
            continue;
        }
        if (!entry.entry->isFile()) {
            // The operation refuses folders without a word; say why here.
            showNotA("message_not_a_file", *path);
            outcome.note(Outcome::ofResult(ResultFailed));
            continue;
        }
        auto holder = std::make_shared<std::optional<FileLockError>>();
        const fileInformation file = *entry.entry;
        const std::int32_t result = session.run([&](Done done) {
            StorageServiceLogic::lockFile(
                file, lock, [holder, done](std::int32_t code, const std::optional<FileLockError>& conflict) {
                    *holder = conflict;
                    done(code);
                });
        });
        nlohmann::json item = { { "path", path->text() }, { "result", result } };
        if (*holder)
            item["lockedBy"] = (*holder)->lockingUserName.value_or((*holder)->lockingUserID.value_or(""));
        changed.push_back(item);
        if (result == ResultSuccess)
            session.reporter().message((lock ? "Locked " : "Unlocked ") + path->text());
        outcome.note(Outcome::ofResult(result));
    }
    session.reporter().result()["files"] = changed;
    return outcome.outcome;
}

Outcome CliCommands::chmod(CliSession& session)
{
    const Invocation& in = session.invocation();
    std::string error;
    auto path = remoteArgument(in.arguments[0], &error);
    if (!path)
        return Outcome::usage(error);
    const std::string& mode = in.arguments[1];
    if (mode != "on" && mode != "off")
        return Outcome::usage("chmod takes on (others may edit) or off");
    if (path->isRoot())
        return Outcome::usage("the root of an area has no permission of its own");
    auto entry = session.resolve(*path);
    if (entry.result != ResultSuccess)
        return Outcome::ofResult(entry.result);
    const std::string key = entry.entry->uk.value_or("");
    const std::int32_t flag = mode == "on" ? 1 : 0;
    const std::int32_t result
        = session.run([&](Done done) { StorageServiceLogic::chmodFile(key, flag, std::move(done)); });
    if (result == ResultSuccess)
        session.reporter().message(path->text() + (flag ? ": others may edit" : ": only the owner may edit"));
    session.reporter().result()["path"] = path->text();
    session.reporter().result()["editPermission"] = flag;
    return Outcome::ofResult(result);
}

} // namespace norvane::cli
