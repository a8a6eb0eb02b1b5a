#include "cli/CliSession.h"

#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "CloudServiceSDKForMac/CloudService/TransferStopFlag.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "cli/CliAlertPresenter.h"
#include "cli/ExitStatus.h"
#include "cli/LocalisedText.h"
#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace norvane::cli {

namespace {

// How long the main loop sleeps between looks at the interrupt flag and the progress.
constexpr double kSlice = 0.05;

std::atomic<int> interruptCount { 0 };

extern "C" void onInterrupt(int)
{
    // A second interrupt while the first is still being dealt with ends the process at once.
    if (interruptCount.fetch_add(1) >= 1)
        ::_exit(130);
}

void installInterruptHandlers()
{
    struct sigaction action { };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a read from the terminal gives up
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // A closed pipe on standard output must give a write error, not end the process mid-upload.
    ::signal(SIGPIPE, SIG_IGN);
}

std::string_view lastComponent(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

struct CliSession::Uploads {
    std::mutex mutex;
    UploadObserver observer;
    std::atomic<int> running { 0 };
};

CliSession::CliSession(const Invocation& invocation, Reporter& reporter)
    : invocation_(invocation)
    , reporter_(reporter)
{
    installInterruptHandlers();
    mainQueue_ = std::make_shared<RunLoopMainQueue>();
    MainQueue::setShared(mainQueue_);
    alerts_ = std::make_shared<CliAlertPresenter>(reporter_, invocation_.answers);
    AlertPresenter::setShared(alerts_);
    // The data manager of this process: it loads the settings file (and writes it back) as the
    // desktop's start does, and it is the operations' environment. Beside a running desktop or
    // another norvane-cli on the same home it clears nothing they use. Its re-upload of an edited
    // file is the one it makes itself, watched on the way so that the edit command can tell
    // what became of each save.
    uploads_ = std::make_shared<Uploads>();
    AppDataManager::Dependencies dependencies;
    dependencies.mainQueue = mainQueue_;
    dependencies.uploader = [uploads = uploads_](const WatchEntry& entry, WatchedFiles::UploadDone done) {
        ++uploads->running;
        StorageServiceLogic::uploadFileByFile(entry.localPath, Path::urlPathFromPath(entry.uk), 0,
            std::string(lastComponent(entry.serverPath)), false, entry.timestamp, std::chrono::system_clock::now(),
            entry.editpermission, [uploads, uk = entry.uk, done = std::move(done)](std::int32_t result) {
                --uploads->running;
                UploadObserver observer;
                {
                    std::lock_guard lock(uploads->mutex);
                    observer = uploads->observer;
                }
                if (observer)
                    observer(uk, result);
                if (done)
                    done(result);
            });
    };
    manager_ = AppDataManager::create(std::move(dependencies));
    OperationEnvironment::setShared(manager_);
}

CliSession::~CliSession()
{
    setUploadObserver({});
    // An operation calls back before its worker is done with it (the worker still releases what
    // it held). Those ends must come before the process does, or they would run into objects
    // that the end of the process has already destroyed.
    auto idle = std::make_shared<std::atomic<bool>>(false);
    std::thread waiter([idle, loop = mainQueue_->loop()] {
        DispatchQueue::global().waitUntilAllOperationsAreFinished();
        idle->store(true);
        loop->stop();
    });
    waitUntil([&] { return idle->load(); });
    waiter.join();
    // Torn down here, on the main thread, while the queues it uses are still there.
    OperationEnvironment::setShared(nullptr);
    manager_.reset();
    // Operations still on the background queue may show alerts until the process ends; they
    // then go to the plain terminal presenter instead of a reporter that is gone.
    AlertPresenter::setShared(nullptr);
}

ConfigInfo& CliSession::config()
{
    return manager_->configDefine();
}

bool CliSession::interrupted()
{
    return interruptCount.load() > 0;
}

void CliSession::setUploadObserver(UploadObserver observer)
{
    std::lock_guard lock(uploads_->mutex);
    uploads_->observer = std::move(observer);
}

int CliSession::uploadsRunning() const
{
    return uploads_->running.load();
}

void CliSession::waitUntil(const std::function<bool()>& done, const std::function<void()>& tick, bool cancelOnInterrupt)
{
    const auto& loop = mainQueue_->loop();
    while (!done()) {
        // Kept raised while interrupted: every request that starts still gives up at once.
        if (cancelOnInterrupt && interrupted())
            transferStopFlag.store(true);
        loop->runFor(kSlice);
        if (tick)
            tick();
    }
}

std::int32_t CliSession::run(
    const std::function<void(std::function<void(std::int32_t)>)>& start, const std::function<void()>& tick)
{
    auto result = std::make_shared<std::optional<std::int32_t>>();
    // The callback comes on the main loop; ending the loop's slice there lets the command go on
    // at once instead of at the end of the slice.
    start([result, loop = mainQueue_->loop()](std::int32_t code) {
        *result = code;
        loop->stop();
    });
    waitUntil([&] { return result->has_value(); }, tick);
    return **result;
}

void CliSession::showListingFailure(std::int32_t result, const RemotePath& path)
{
    auto alerts = AlertPresenter::shared();
    switch (result) {
    case ResultSuccess:
    case ResultCancelled:
    case ResultTimedOut: // the listing has shown its own alert
        break;
    case ResultNotFound:
    case ResultGone:
        alerts->show("", "message_no_such_file_or_folder", path.text());
        break;
    case ResultUnreachable:
        alerts->show("Network Error", "Can't connect to network.");
        break;
    case ResultDeviceNotAuthorized:
        alerts->show("", "message_device_failed");
        break;
    case ResultAccountSuspended:
        alerts->show("", "message_account_suspended");
        break;
    case ResultIsCopyDest:
        alerts->show("FileCopyDestErrorMessage", "");
        break;
    case ResultTooLarge:
        alerts->show("", localisedFormat("custom_listing_too_large", { path.text() }));
        break;
    case ResultInvalidArgument:
        alerts->show("message_error_bad_requst_400", "");
        break;
    case ResultBadRequest:
        alerts->show("message_network_error_ex_css", "");
        break;
    default:
        alerts->show("warning", "get_folder_failed");
        break;
    }
}

std::shared_ptr<fileInformation> CliSession::rootEntry(RemotePath::Area area)
{
    return AppDataManager::createRootNodeByType(area == RemotePath::Area::Personal ? RootNodeMyFolder : RootNodeShare);
}

std::int32_t CliSession::list(const std::shared_ptr<fileInformation>& folder, FileInfoList& children)
{
    const std::int32_t result = run([folder](std::function<void(std::int32_t)> done) {
        StorageServiceLogic::getFolderInfo(folder, false, {}, std::move(done));
    });
    // The listing put its children in place on the main queue before calling back; the entry is
    // this command's own, so they are taken rather than copied.
    children = std::move(folder->childrens);
    folder->childrens.clear();
    return result;
}

CliSession::Resolved CliSession::resolve(const RemotePath& path, bool showMissing)
{
    Resolved resolved;
    if (path.isRoot()) {
        resolved.result = ResultSuccess;
        resolved.entry = rootEntry(path.area());
        return resolved;
    }
    // The parent is listed by its folder key; whether it exists at all the server says.
    auto parent = std::make_shared<fileInformation>();
    parent->fileType = 1;
    parent->uk = path.parent().folderKey();
    FileInfoList children;
    const std::int32_t listed = list(parent, children);
    if (listed == ResultSuccess) {
        for (const auto& child : children) {
            if (child && child->displayName == path.name()) {
                resolved.result = ResultSuccess;
                resolved.entry = child;
                return resolved;
            }
        }
    }
    resolved.result = listed == ResultSuccess || listed == ResultGone ? ResultNotFound : listed;
    if (showMissing)
        showListingFailure(resolved.result, path);
    return resolved;
}

bool CliSession::tellLockHolder(const RemotePath& path)
{
    if (path.isRoot())
        return false;
    const Resolved now = resolve(path, false);
    if (now.result != ResultSuccess || !now.entry->isFile())
        return false;
    const std::string holder = now.entry->lockUserId.value_or("");
    if (holder.empty() || holder == config().userName())
        return false;
    AlertPresenter::shared()->show(
        "", localisedFormat("custom_file_locked_by", { path.text(), now.entry->lockUserName.value_or(holder) }));
    return true;
}

std::optional<Value> CliSession::editPermissionFor(const RemotePath& folder)
{
    if (folder.area() != RemotePath::Area::Shared)
        return Value(std::string("1"));
    const std::size_t answer
        = AlertPresenter::shared()->ask("", "can_other_edit_message", { "alert_yes", "alert_no", "alert_cancel" });
    if (answer == 0)
        return Value(std::string("1"));
    if (answer == 1)
        return Value();
    return std::nullopt;
}

} // namespace norvane::cli
