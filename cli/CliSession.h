#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "cli/CommandLine.h"
#include "cli/Outcome.h"
#include "cli/RemotePath.h"
#include "cli/Reporter.h"
#include "platform/Value.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace norvane {
class AppDataManager;
class ConfigInfo;
class RunLoopMainQueue;
} // namespace norvane

namespace norvane::cli {

class CliAlertPresenter;

// What every command stands on: the main queue that the operations call back on (this thread's
// run loop), the data manager with the settings file, the alerts, and the sign-in. The operations
// run on the background queue; a command starts one and runs the main loop until its callback
// has come.
class CliSession {
public:
    CliSession(const Invocation& invocation, Reporter& reporter);
    ~CliSession();
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    AppDataManager& manager() { return *manager_; }
    ConfigInfo& config();
    Reporter& reporter() { return reporter_; }
    const Invocation& invocation() const { return invocation_; }

    // Runs the main loop until done() holds; `tick` runs between slices (progress). An interrupt
    // (SIGINT, SIGTERM) raises the transfer stop flag unless told otherwise, so that the running
    // operation ends with result 4 and its callback still comes.
    void waitUntil(
        const std::function<bool()>& done, const std::function<void()>& tick = {}, bool cancelOnInterrupt = true);
    // Starts an operation that reports one result code and waits for it.
    std::int32_t run(
        const std::function<void(std::function<void(std::int32_t)>)>& start, const std::function<void()>& tick = {});
    // Whether SIGINT or SIGTERM has arrived.
    static bool interrupted();

    // The sign-in every command that talks to the server makes first, with the stored
    // credentials. It asks the server as the login command does (not as the desktop's silent
    // re-login, which hides why it failed), so that every cause is told: success, or how the
    // command ends, after the alert; kNotSetUp when nothing is configured or stored.
    Outcome signIn();
    // The alert for a sign-in that failed with `result`, and how the command then ends: the
    // cause behind the result code where one can be found (wrong credentials, the proxy, the
    // server's certificate, the device, the account, no permission).
    Outcome explainSignInFailure(std::int32_t result);

    // A fresh folder entry for the root of an area.
    static std::shared_ptr<fileInformation> rootEntry(RemotePath::Area area);
    // The alert of a listing of `path` that failed (none for a cancelled one).
    static void showListingFailure(std::int32_t result, const RemotePath& path);
    // The folder's children as the file window sees them; the result code of the listing.
    std::int32_t list(const std::shared_ptr<fileInformation>& folder, FileInfoList& children);
    // The entry a path names, found in its parent's listing. 9 with an alert when there is none.
    struct Resolved {
        std::int32_t result = 0;
        std::shared_ptr<fileInformation> entry;
    };
    Resolved resolve(const RemotePath& path, bool showMissing = true);

    // After a refusal for a conflict (5): when the entry at `path` is locked by another user, an
    // alert names who holds the lock, and true. The lock is looked up afresh: the refusing answer
    // does not always name the holder.
    bool tellLockHolder(const RemotePath& path);

    // The edit permission given to what is put into `folder`: outside the shared area "1"; in it
    // the user is asked whether others may edit (yes "1", no: none). Nothing when cancelled.
    std::optional<Value> editPermissionFor(const RemotePath& folder);

    // The re-uploads of edited files (the data manager decides when; they are seen here):
    // `observer` hears of each one that ended, on the main thread.
    using UploadObserver = std::function<void(const std::string& uk, std::int32_t result)>;
    void setUploadObserver(UploadObserver observer);
    // How many re-uploads have started and not ended.
    int uploadsRunning() const;

private:
    struct Uploads;

    const Invocation& invocation_;
    Reporter& reporter_;
    std::shared_ptr<RunLoopMainQueue> mainQueue_;
    std::shared_ptr<CliAlertPresenter> alerts_;
    std::shared_ptr<Uploads> uploads_;
    std::shared_ptr<AppDataManager> manager_;
};

} // namespace norvane::cli
