#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "platform/AlertPresenter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace norvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

// What the data manager needs to see the last save after the editor quit: one event batch
// (1 s) and the settle time of a file still open for writing (1 s), with some room.
constexpr auto kLastSaveGrace = std::chrono::milliseconds(2500);

// The program that opens the file: $VISUAL, else $EDITOR (either may carry arguments and is
// run by the shell), else the desktop's opener. An editor is waited for; the opener returns at
// once and the file stays open in whatever it started.
struct Opener {
    std::string command;
    bool isEditor = false;
};

Opener chooseOpener()
{
    for (const char* name : { "VISUAL", "EDITOR" })
        if (const char* value = std::getenv(name); value && *value)
            return { value, true };
    return { "xdg-open", false };
}

// Starts the opener on the file; -1 when it could not be started. With --json the editor's
// output goes to standard error, which keeps standard output for the one JSON object.
pid_t launch(const Opener& opener, const std::string& file, bool keepStdoutClean)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (keepStdoutClean)
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t pid = -1;
    int error = 0;
    if (opener.isEditor) {
        // The file goes as "$1", never spliced into the command text.
        const std::string script = opener.command + " \"$1\"";
        const char* argv[] = { "sh", "-c", script.c_str(), "sh", file.c_str(), nullptr };
        error = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    } else {
        const char* argv[] = { opener.command.c_str(), file.c_str(), nullptr };
        error = posix_spawnp(&pid, opener.command.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

} // namespace

Outcome CliCommands::edit(CliSession& session)
{
    std::string error;
    auto path = remoteArgument(session.invocation().arguments[0], &error);
    if (!path)
        return Outcome::usage(error);
    if (path->isRoot()) {
        AlertPresenter::shared()->show("", "message_not_a_file", path->text());
        return Outcome::ofResult(ResultFailed);
    }
    auto resolved = session.resolve(*path);
    if (resolved.result != ResultSuccess)
        return Outcome::ofResult(resolved.result);
    if (!resolved.entry->isFile()) {
        AlertPresenter::shared()->show("", "message_not_a_file", path->text());
        return Outcome::ofResult(ResultFailed);
    }
    const fileInformation entry = *resolved.entry;
    AppDataManager& manager = session.manager();
    Reporter& reporter = session.reporter();

    // Watching starts before the copy lands, so that no save can come before the watch.
    if (auto watchError = manager.initFileStream())
        return { ExitStatus::kInternal, 0, "edits cannot be watched: " + watchError->description, {} };

    auto local = std::make_shared<std::string>();
    const std::int32_t downloaded = session.run([&](std::function<void(std::int32_t)> done) {
        StorageServiceLogic::downloadFileToFile(entry, [local, done](std::int32_t result, const std::string& file) {
            *local = file;
            done(result);
        });
    });
    if (downloaded != ResultSuccess)
        return Outcome::ofResult(downloaded);
    const std::string uk = entry.uk.value_or("");
    if (!manager.addWatchFile(uk, uk, *local, entry.timestamp, Value(entry.editpermission)))
        return Outcome::localFile("the cached copy " + *local + " cannot be watched");

    nlohmann::json uploads = nlohmann::json::array();
    int failures = 0;
    session.setUploadObserver([&](const std::string&, std::int32_t result) {
        uploads.push_back({ { "result", result }, { "resultName", ExitStatus::resultName(result) } });
        if (result == ResultSuccess) {
            reporter.message("Uploaded " + path->text());
        } else {
            ++failures;
            // The save is kept locally; the next one is sent whole.
            reporter.message(
                "Upload of " + path->text() + " failed (" + ExitStatus::resultName(result) + "); save again to retry");
        }
    });
    bool signedOut = false;
    manager.setLogoutHandler([&signedOut] { signedOut = true; });

    const Opener opener = chooseOpener();
    const pid_t child = launch(opener, *local, reporter.json());
    reporter.message("Editing " + *local);
    reporter.message("Every save is uploaded to " + path->text()
        + (opener.isEditor ? " until the editor quits or" : " until") + " Ctrl-C.");
    if (child < 0)
        reporter.message("Cannot start " + opener.command + "; edit the file above with any program.");

    bool childRunning = child > 0;
    const auto reap = [&] {
        if (!childRunning)
            return;
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child)
            childRunning = false;
    };
    // Until interrupted, signed out by the inactivity policy, or (for an editor) until it quits.
    session.waitUntil(
        [&] { return CliSession::interrupted() || signedOut || (opener.isEditor && !childRunning); }, reap, false);
    if (opener.isEditor && !childRunning && !CliSession::interrupted()) {
        const auto until = Clock::now() + kLastSaveGrace;
        session.waitUntil([&] { return CliSession::interrupted() || Clock::now() >= until; }, {}, false);
    }
    if (childRunning) {
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
    }
    // An upload under way is finished, not cut off: the save it carries would be lost.
    session.waitUntil([&] { return session.uploadsRunning() == 0; }, {}, false);
    manager.setLogoutHandler({});
    session.setUploadObserver({});
    manager.removeWatchFile(uk);
    const auto unsent = manager.unsentEdits();
    const bool kept = std::any_of(unsent.begin(), unsent.end(), [&](const auto& r) { return r.localPath == *local; });
    if (kept)
        reporter.message("The last change of " + path->text() + " was not uploaded. It is kept in " + *local
            + "; the next edit of the file opens it with the change.");

    auto& out = reporter.result();
    out["path"] = path->text();
    out["local"] = *local;
    out["uploads"] = uploads;
    out["unsent"] = kept;
    if (signedOut)
        reporter.message("Signed out after inactivity.");
    return Outcome::ofResult(failures > 0 || kept ? ResultFailed : ResultSuccess);
}

} // namespace norvane::cli
