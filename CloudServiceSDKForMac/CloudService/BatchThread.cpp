#include "CloudServiceSDKForMac/CloudService/BatchThread.h"

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "CloudServiceSDKForMac/CloudService/CloudService.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <cerrno>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace norvane {

namespace {

constexpr const char* kShareFilePrefix = "/SHAREFILE/";

// An answer that the same command gets again however often it is sent: the file is too large,
// gone or refused as it is, or the local file to send is no longer there.
bool endsTheEntry(const CloudServiceCommand& command)
{
    switch (command.commandRes) {
    case ResultNotFound:
    case ResultTooLarge:
    case ResultResourceChanged:
    case ResultNotAcceptable:
    case ResultInvalidArgument:
        return true;
    case ResultGone:
        return !command.inputParameter->remoteFileName.starts_with(kShareFilePrefix);
    case ResultFailed:
        return command.commandErr && command.commandErr->domain == kPosixErrorDomain
            && command.commandErr->code == ENOENT;
    default:
        return false;
    }
}

} // namespace

BatchThread::BatchThread(CloudService& service)
    : service_(service)
    , internetReach_(Reachability::reachabilityForInternetConnection())
{
    // The worker asks CurrentNetworkStatus before each command; the monitor and the observer only
    // keep the platform's change notifications flowing.
    if (internetReach_)
        internetReach_->startNotifier();
    reachabilityObserver_ = NotificationCenter::defaultCenter().addObserver(
        kNotificationReachabilityChanged, nullptr, [](const auto&) {});
}

BatchThread::~BatchThread()
{
    shutdown();
}

void BatchThread::runBatch()
{
    std::lock_guard lock(mutex_);
    if (shuttingDown_ || batchFlag_.load())
        return;
    batchFlag_.store(true);
    if (loopWanted_)
        return; // a stopped loop still finishing its step sees the flag again and carries on
    loopWanted_ = true;
    ++threadsAlive_;
    try {
        std::thread([this] { loop(); }).detach();
    } catch (const std::exception& error) {
        Log::line(std::string("Batch: cannot start the worker thread: ") + error.what());
        loopWanted_ = false;
        --threadsAlive_;
        batchFlag_.store(false);
    }
}

void BatchThread::stopBatch()
{
    std::lock_guard lock(mutex_);
    batchFlag_.store(false);
    if (running_)
        running_->stop();
    changed_.notify_all();
}

bool BatchThread::isRunning() const
{
    std::lock_guard lock(mutex_);
    return threadsAlive_ != 0;
}

bool BatchThread::waitUntilStopped(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return threadsAlive_ == 0; });
}

void BatchThread::setSleeper(Sleeper sleeper)
{
    std::lock_guard lock(mutex_);
    sleeper_ = std::move(sleeper);
}

void BatchThread::shutdown()
{
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
    }
    stopBatch();
    std::unique_lock lock(mutex_);
    detail::waitPumpingMainThread(lock, changed_, [this] { return threadsAlive_ == 0; });
}

void BatchThread::pause(std::chrono::milliseconds duration)
{
    std::unique_lock lock(mutex_);
    if (sleeper_) {
        Sleeper sleeper = sleeper_;
        lock.unlock();
        sleeper(duration);
        return;
    }
    changed_.wait_for(lock, duration, [this] { return !batchFlag_.load() || shuttingDown_; });
}

// Decides, under the lock that runBatch() takes too, whether the loop goes on; a loop that ends
// lets the next runBatch() start a new thread.
bool BatchThread::endOrContinue()
{
    std::lock_guard lock(mutex_);
    if (batchFlag_.load() && !shuttingDown_)
        return false;
    loopWanted_ = false;
    return true;
}

void BatchThread::loop()
{
    std::vector<Value> completed;
    bool succeeded = false;
    for (;;) {
        pause(kStepPause);
        if (!batchFlag_.load()) {
            if (endOrContinue())
                break;
            continue;
        }
        CloudServiceCommandPtr command = service_.popCommand();
        if (!command) {
            batchFlag_.store(false);
            service_.deliverBatchFinished();
            if (endOrContinue())
                break;
            continue;
        }
        if (!CurrentNetworkStatus::reachable()) {
            // The command stays queued for the next start.
            batchFlag_.store(false);
            if (endOrContinue())
                break;
            continue;
        }

        {
            std::lock_guard lock(mutex_);
            running_ = command;
            // A stop that came while the command was being read applies to it too.
            if (!batchFlag_.load())
                command->stop();
        }
        try {
            service_.doCommand(command);
        } catch (const std::exception& error) {
            // Nothing below is meant to throw; should it, the head is treated as a failure.
            Log::line(std::string("Batch: command failed with an exception: ") + error.what());
            command->commandRes = ResultFailed;
        }

        {
            std::lock_guard lock(mutex_);
            running_.reset();
        }
        service_.forgetIfCancelled(command->task);
        const std::string& remote = command->inputParameter->remoteFileName;
        if (endsTheEntry(*command)) {
            // Trying again cannot change this answer: the entry ends with it (the delegate has
            // had it), and the entries behind it go on.
            Log::line("Batch: " + remote + " ended with result " + std::to_string(command->commandRes));
            service_.delCommand(command->task);
            if (endOrContinue())
                break;
            continue;
        }
        switch (command->commandRes) {
        case ResultSuccess:
            completed.emplace_back(remote);
            service_.delCommand(command->task);
            succeeded = true;
            break;
        case ResultCancelled:
            break; // stays at the head for the next start
        case ResultNoSpace:
        case ResultDeviceNotAuthorized:
        case ResultServerError:
            Log::line("Batch: stopped by result " + std::to_string(command->commandRes));
            service_.stopBatch();
            break;
        default:
            if (command->commandRes == ResultGone && remote.starts_with(kShareFilePrefix)) {
                // Gone from the shared area: queue it again at the tail, with a fresh archive.
                service_.delCommand(command->task);
                service_.addCommand(command);
                break;
            }
            Log::line("Batch: result " + std::to_string(command->commandRes) + ", trying again later");
            pause(kRetryPause);
            break;
        }

        if (endOrContinue())
            break;
    }

    if (succeeded) {
        NotificationCenter::defaultCenter().post(kNotificationBatchCommandCompleted, &service_,
            ValueMap { { kBatchCompletedListKey, Value(ValueList(std::move(completed))) } });
    }
    std::lock_guard lock(mutex_);
    --threadsAlive_;
    changed_.notify_all();
}

} // namespace norvane
