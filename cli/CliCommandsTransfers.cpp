#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/CommandProgressList.h"
#include "app/logic/LocalFileName.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/ConfigInfo.h"
#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "platform/AlertPresenter.h"

#include <filesystem>
#include <mutex>

namespace norvane::cli {

namespace {

namespace fs = std::filesystem;
using Done = std::function<void(std::int32_t)>;

// The bytes of a transfer so far, over the commands that move file content (folder creations and
// listings carry no bytes worth showing).
class TransferProgress {
public:
    void add(const CloudServiceCommandPtr& command, std::uint64_t size)
    {
        std::lock_guard lock(mutex_);
        commands_.emplace_back(command, size);
    }
    void add(const std::vector<CloudServiceCommandPtr>& commands)
    {
        for (const auto& command : commands)
            if (command && command->applicationType == "file")
                add(command, command->totleFileSize);
    }
    void follow(std::shared_ptr<CommandProgressList> list) { list_ = std::move(list); }

    // Bytes moved so far (the finished commands whole, the running ones by their progress) and
    // the total, for the progress line.
    std::pair<std::uint64_t, std::uint64_t> snapshot() const
    {
        const auto all = commands();
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        for (const auto& [command, size] : all) {
            total += size;
            if (command->commandRes == ResultSuccess)
                done += size;
            else
                done += static_cast<std::uint64_t>(static_cast<double>(size) * command->progress.load());
        }
        return { std::min(done, total), total };
    }

    // The bytes of the transfers that succeeded: a refused one sent its bytes for nothing.
    std::uint64_t completed() const
    {
        std::uint64_t done = 0;
        for (const auto& [command, size] : commands())
            if (command->commandRes == ResultSuccess)
                done += size;
        return done;
    }

private:
    std::vector<std::pair<CloudServiceCommandPtr, std::uint64_t>> commands() const
    {
        std::vector<std::pair<CloudServiceCommandPtr, std::uint64_t>> all;
        {
            std::lock_guard lock(mutex_);
            all = commands_;
        }
        if (list_)
            for (const auto& command : list_->commands())
                if (command && command->applicationType == "file")
                    all.emplace_back(command, command->totleFileSize);
        return all;
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<CloudServiceCommandPtr, std::uint64_t>> commands_;
    std::shared_ptr<CommandProgressList> list_;
};

std::function<void()> progressTick(Reporter& reporter, const TransferProgress& progress)
{
    return [&reporter, &progress] {
        const auto [done, total] = progress.snapshot();
        reporter.progress(done, total);
    };
}

// A local path as given, without trailing slashes ("dir/" names "dir").
std::string lastLocalComponent(const std::string& path)
{
    fs::path p(path);
    while (!p.empty() && p.filename().empty() && p != p.root_path())
        p = p.parent_path();
    return p.filename().string();
}

std::uint64_t treeSize(const fs::path& root)
{
    std::error_code error;
    if (fs::is_regular_file(root, error))
        return fs::file_size(root, error);
    std::uint64_t total = 0;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored) && !it->path().filename().string().starts_with("."))
            total += it->file_size(ignored);
    }
    return total;
}

} // namespace

Outcome CliCommands::get(CliSession& session)
{
    const Invocation& in = session.invocation();
    std::string error;
    auto path = remoteArgument(in.arguments[0], &error);
    if (!path)
        return Outcome::usage(error);
    if (session.config().enabledLoaclDownload() == 0) {
        AlertPresenter::shared()->show("", "message_local_download_disabled");
        return Outcome::ofResult(ResultFailed);
    }
    auto resolved = session.resolve(*path);
    if (resolved.result != ResultSuccess)
        return Outcome::ofResult(resolved.result);
    const fileInformation entry = *resolved.entry;
    const std::string name = path->isRoot() ? std::string() : entry.displayName.value_or(path->name());

    // Where it goes: into LOCAL when that is a folder, else to LOCAL itself; without LOCAL into
    // the current folder under its own name, which must then be usable as a local name.
    std::string target;
    std::error_code fsError;
    const std::optional<std::string> local = in.arguments.size() > 1 ? std::optional(in.arguments[1]) : std::nullopt;
    if (!local || fs::is_directory(*local, fsError)) {
        if (name.empty())
            return Outcome::usage("name the local folder that the root of the area goes to");
        const LocalFileName::Result joined = LocalFileName::joinUnder(local.value_or("."), name);
        if (!joined.ok()) {
            AlertPresenter::shared()->show("warning", "message_download_name_refused", "\n" + name);
            return Outcome::ofResult(ResultFailed);
        }
        target = joined.path;
    } else {
        target = *local;
        const fs::path parent = fs::path(target).parent_path();
        if (!parent.empty() && !fs::is_directory(parent, fsError))
            return Outcome::localFile("no local folder " + parent.string());
    }

    Reporter& reporter = session.reporter();
    TransferProgress progress;
    std::int32_t result = 0;
    if (entry.isFile()) {
        if (fs::is_directory(target, fsError))
            return Outcome::localFile(target + " is a folder");
        if (fs::exists(fs::symlink_status(target, fsError))) {
            const std::size_t answer = AlertPresenter::shared()->ask(
                "", "message_question_file_exist_update", { "alert_yes", "alert_no" }, " " + target);
            if (answer != 0)
                return Outcome::ofResult(ResultWriteConflict);
        }
        reporter.message("Downloading " + path->text() + " -> " + target);
        result = session.run(
            [&](Done done) {
                auto command = StorageServiceLogic::downloadFile(
                    nullptr, entry.uk.value_or(""), entry.fileSize, entry.timestamp, target, true, std::move(done));
                progress.add(command, entry.fileSize);
            },
            progressTick(reporter, progress));
    } else {
        auto list = std::make_shared<CommandProgressList>();
        progress.follow(list);
        const std::string key = entry.uk.value_or("");
        reporter.message("Downloading " + path->text() + " -> " + target);
        result = session.run(
            [&](Done done) { StorageServiceLogic::downloadFolderToPath(target, key, list, nullptr, std::move(done)); },
            progressTick(reporter, progress));
    }
    reporter.clearProgress();
    const std::uint64_t total = progress.snapshot().second;
    auto& out = reporter.result();
    out["path"] = path->text();
    out["local"] = target;
    out["type"] = entry.isFile() ? "file" : "folder";
    out["bytes"] = progress.completed();
    if (result == ResultSuccess)
        reporter.message(
            "Downloaded " + path->text() + " -> " + target + " (" + ProgressBar::formatBytes(double(total)) + ")");
    return Outcome::ofResult(result);
}

Outcome CliCommands::put(CliSession& session)
{
    const Invocation& in = session.invocation();
    std::string error;
    auto destination = remoteArgument(in.arguments.back(), &error);
    if (!destination)
        return Outcome::usage(error);
    std::vector<std::string> locals(in.arguments.begin(), in.arguments.end() - 1);
    for (const std::string& local : locals) {
        std::error_code fsError;
        if (!fs::exists(local, fsError))
            return Outcome::localFile("no such local file or folder: " + local);
        if (lastLocalComponent(fs::absolute(local, fsError).lexically_normal().string()).empty())
            return Outcome::usage("cannot upload " + local + " under a name of its own");
    }
    // Every name of every file and tree is checked before anything goes up: a put that stopped
    // half-way would leave a tree that a second try cannot complete.
    std::vector<std::string> absolutes;
    for (const std::string& local : locals) {
        std::error_code fsError;
        absolutes.push_back(fs::absolute(local, fsError).lexically_normal().string());
    }
    const std::vector<std::string> refused = StorageServiceLogic::uploadNamesRefused(absolutes);
    if (!refused.empty()) {
        std::string names;
        for (const std::string& name : refused)
            names += "\n" + name;
        AlertPresenter::shared()->show("warning", "message_upload_name_refused", names);
        return Outcome::ofResult(ResultFailed);
    }

    auto folder = session.resolve(*destination);
    if (folder.result != ResultSuccess)
        return Outcome::ofResult(folder.result);
    if (folder.entry->isFile()) {
        AlertPresenter::shared()->show("", "message_not_a_folder", destination->text());
        return Outcome::ofResult(ResultFailed);
    }
    FileInfoList existing;
    const std::int32_t listed = session.list(folder.entry, existing);
    if (listed != ResultSuccess) {
        CliSession::showListingFailure(listed, *destination);
        return Outcome::ofResult(listed);
    }
    const auto permission = session.editPermissionFor(*destination);
    if (!permission)
        return Outcome::ofResult(ResultCancelled);

    const std::string folderKey = folder.entry->uk.value_or("");
    // Files are named in the file form of the folder's area ("/FOLDER/a" -> "/FILE/a").
    const std::string fileForm = RemotePath::fromKey(folderKey).value_or(*destination).fileKey();

    Reporter& reporter = session.reporter();
    TransferProgress progress;
    nlohmann::json uploaded = nlohmann::json::array();
    Outcome outcome;
    std::uint64_t bytes = 0;
    for (const std::string& local : locals) {
        std::error_code fsError;
        const std::string absolute = fs::absolute(local, fsError).lexically_normal().string();
        const std::string name = lastLocalComponent(absolute);
        std::shared_ptr<fileInformation> clash;
        for (const auto& child : existing)
            if (child && child->displayName == name)
                clash = child;

        std::int32_t result = 0;
        bool told = false; // an alert or the question said why nothing went up
        const bool isDirectory = fs::is_directory(local, fsError);
        if (isDirectory) {
            if (clash) {
                // A tree is never merged into what is there.
                AlertPresenter::shared()->show(clash->isFolder() ? "message_folder_exist" : "message_have_file", "");
                result = ResultWriteConflict;
                told = true;
            } else {
                const std::vector<StorageServiceLogic::UploadItem> items { { absolute, folderKey, std::nullopt } };
                result = session.run(
                    [&](Done done) {
                        progress.add(StorageServiceLogic::uploadFolders(items, *permission, std::move(done)));
                    },
                    progressTick(reporter, progress));
            }
        } else if (clash && clash->isFolder()) {
            AlertPresenter::shared()->show("message_folder_exist", "");
            result = ResultWriteConflict;
            told = true;
        } else if (clash) {
            const std::size_t answer = AlertPresenter::shared()->ask(
                "", "message_question_file_exist_update", { "alert_yes", "alert_no" }, " " + name);
            if (answer != 0) {
                result = ResultWriteConflict;
                told = true;
            } else {
                // Replaced as an edited file is: the same entry, the version it was at.
                const std::string remote = Path::urlPathFromPath(clash->uk.value_or(""));
                const std::uint64_t size = treeSize(local);
                result = session.run(
                    [&](Done done) {
                        auto command = StorageServiceLogic::uploadFileByFile(absolute, remote, 0, name, false,
                            clash->timestamp, std::chrono::system_clock::now(), *permission, std::move(done));
                        progress.add(command, size);
                    },
                    progressTick(reporter, progress));
            }
        } else {
            const std::vector<StorageServiceLogic::UploadItem> items { { absolute, fileForm, std::nullopt } };
            result = session.run(
                [&](Done done) { progress.add(StorageServiceLogic::uploadFiles(items, *permission, std::move(done))); },
                progressTick(reporter, progress));
        }
        reporter.clearProgress();
        if (result == ResultSuccess) {
            const std::string to = destination->child(name).text();
            uploaded.push_back({ { "local", local }, { "path", to }, { "type", isDirectory ? "folder" : "file" } });
            reporter.message("Uploaded " + local + " -> " + to);
        } else if (told || result == ResultCancelled) {
        } else if (result == ResultWriteConflict && session.tellLockHolder(destination->child(name))) {
            // Refused by the server for a lock: its holder is named.
        } else {
            // The upload operations leave the telling to their caller.
            AlertPresenter::shared()->show("warning", "download_file_failed", " " + local);
        }
        if (outcome.exitStatus == ExitStatus::kSuccess)
            outcome = Outcome::ofResult(result);
        if (result == ResultCancelled && CliSession::interrupted())
            break;
    }
    bytes = progress.completed();
    auto& out = reporter.result();
    out["path"] = destination->text();
    out["uploaded"] = uploaded;
    out["bytes"] = bytes;
    return outcome;
}

} // namespace norvane::cli
