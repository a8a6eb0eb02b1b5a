#include "CloudServiceSDKForMac/CloudService/CloudService.h"

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "CloudServiceSDKForMac/CloudService/BatchThread.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "CloudServiceSDKForMac/CloudService/TransferStopFlag.h"
#include "formats/MD5DigestString.h"
#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

namespace norvane {

namespace {

constexpr const char* kCacheDataFileName = "cache.data";
constexpr const char* kCacheDataCategory = "cmd_cache";
constexpr const char* kCommandDataFileName = "command.data";
constexpr const char* kCommandDataCategory = "do_not_delete_command";
// The host whose reachability the service watches. Decisions never depend on it (every check
// asks CurrentNetworkStatus); the monitor only keeps change notifications flowing.
constexpr const char* kReachabilityHost = "www.example.com";
constexpr std::size_t kAsyncWidth = 3;
constexpr std::size_t kMD5BlockSize = 102400;
constexpr const char* kApplicationTypeFile = "file";

std::int32_t clampToInt32(std::int64_t value)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// An option given as text or as a number, as text.
std::string optionText(const ValueMap& options, const char* key)
{
    const auto found = options.find(key);
    if (found == options.end())
        return {};
    if (const auto* text = found->second.string())
        return *text;
    if (found->second.isInteger())
        return std::to_string(found->second.toInt64());
    return {};
}

const Value* option(const ValueMap& options, const char* key)
{
    const auto found = options.find(key);
    return found == options.end() ? nullptr : &found->second;
}

} // namespace

CloudService::CloudService(std::unique_ptr<StorageServiceAdaptor> storage)
    : storage_(std::move(storage))
    , status_(storage_ ? StatusIdle : StatusNoStorage)
    , historyBuffer_(storage_ ? storage_->config().maxCacheSize : 0)
    , cacheDataFilePath_(LocalStorePaths::fullPathOfTempFile(kCacheDataFileName, kCacheDataCategory))
    , commandDataFilePath_(LocalStorePaths::fullPathOfTempFile(kCommandDataFileName, kCommandDataCategory))
    , asyncQueue_(std::make_unique<DispatchQueue>("CloudService.async", kAsyncWidth))
{
    // An interrupt of the process that came before belongs to the service that was in use then.
    transferStopFlag.store(false);
    batch_ = std::make_unique<BatchThread>(*this);
}

CloudService::~CloudService()
{
    shuttingDown_.store(true);
    batch_->shutdown();
    asyncQueue_->cancelAllOperations();
    waitForAsyncTasks();
    reachabilityObserver_.remove();
    hostReach_.reset();
}

void CloudService::setDelegate(std::weak_ptr<CloudServiceDelegate> delegate)
{
    std::lock_guard lock(stateMutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<CloudServiceDelegate> CloudService::currentDelegate() const
{
    std::lock_guard lock(stateMutex_);
    return delegate_.lock();
}

std::optional<ErrorValue> CloudService::error() const
{
    std::lock_guard lock(stateMutex_);
    return error_;
}

void CloudService::failWithError(ErrorValue error)
{
    std::lock_guard lock(stateMutex_);
    error_ = std::move(error);
}

void CloudService::setClock(Clock clock)
{
    std::lock_guard lock(stateMutex_);
    clock_ = std::move(clock);
}

Date CloudService::now() const
{
    Clock clock;
    {
        std::lock_guard lock(stateMutex_);
        clock = clock_;
    }
    return clock ? clock() : std::chrono::system_clock::now();
}

ValueList CloudService::batchResult() const
{
    std::lock_guard lock(batchLock_);
    return batchResult_;
}

void CloudService::encodeWithCoder(KeyedArchiver& coder) const
{
    std::lock_guard lock(batchLock_);
    coder.encodeObjectList("batchQueue", batchQueue_);
    coder.encodeValue("batchResult", Value(batchResult_));
}

void CloudService::registerForNetworkReachabilityNotifications()
{
    reachabilityObserver_ = NotificationCenter::defaultCenter().addObserver(
        kNotificationReachabilityChanged, nullptr, [](const auto&) {});
    hostReach_ = Reachability::reachabilityWithHostName(kReachabilityHost);
    if (hostReach_)
        hostReach_->startNotifier();
}

// ---------------------------------------------------------------------------------------------
// Dispatch

void CloudService::asyncTaskStarted()
{
    std::lock_guard lock(asyncMutex_);
    ++asyncInFlight_;
}

void CloudService::asyncTaskEnded()
{
    std::lock_guard lock(asyncMutex_);
    --asyncInFlight_;
    asyncIdle_.notify_all();
}

void CloudService::waitForAsyncTasks()
{
    std::unique_lock lock(asyncMutex_);
    detail::waitPumpingMainThread(lock, asyncIdle_, [this] { return asyncInFlight_ == 0; });
}

void CloudService::doCommand(std::int32_t mode, const CloudServiceCommandPtr& command)
{
    if (!command)
        return;
    command->executeMode = mode;
    if (mode == ExecuteModeSync) {
        doCommand(command);
        return;
    }
    if (mode != ExecuteModeAsync) {
        addCommand(command);
        return;
    }
    if (shuttingDown_.load())
        return;
    // Counts the task until the pool has run it or dropped it, so that destruction can wait.
    struct InFlight {
        explicit InFlight(CloudService& service)
            : owner(service)
        {
            owner.asyncTaskStarted();
        }
        ~InFlight() { owner.asyncTaskEnded(); }
        InFlight(const InFlight&) = delete;
        InFlight& operator=(const InFlight&) = delete;
        CloudService& owner;
    };
    auto inFlight = std::make_shared<InFlight>(*this);
    asyncQueue_->async([this, command, inFlight] { doCommand(command); });
}

void CloudService::doCommand(const CloudServiceCommandPtr& command)
{
    if (!command)
        return;
    // What this thread sends and waits for from here on belongs to this command, and gives up
    // when the command is stopped.
    const CommandStopScope stopScope(command->stopFlag());
    if (command->isStopped()) {
        command->commandRes = ResultCancelled;
        if (command->executeMode != ExecuteModeSync)
            deliverFinished(command);
        return;
    }
    if (dispatchOnce(*command) == Dispatch::Unreachable)
        return;
    // A session that the server has forgotten is established again once; a second refusal is
    // the caller's to see (an adaptor that always claims success must not loop for ever).
    const auto& error = command->commandErr;
    if (storage_ && error && error->domain == kCloudServiceErrorDomain && error->code == CloudServiceErrorNeedRelogin
        && storage_->relogin() == ResultSuccess) {
        storage_->setStorageDetailErr(std::nullopt);
        if (dispatchOnce(*command) == Dispatch::Unreachable)
            return;
    }
    if (command->executeMode != ExecuteModeSync)
        deliverFinished(command);
}

CloudService::Dispatch CloudService::dispatchOnce(CloudServiceCommand& command)
{
    if (!CurrentNetworkStatus::reachable()) {
        command.commandErr = ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorNotReachable,
            "The network is not reachable.", {} };
        command.commandRes = ResultUnreachable;
        return Dispatch::Unreachable;
    }
    // Any submitted command also wakes a batch queue that is waiting.
    startBatch();
    // The command's outcome is its own: nothing an earlier operation of this thread left counts.
    if (storage_)
        storage_->clearOperationOutcome();
    runOperation(command);
    return Dispatch::Ran;
}

void CloudService::runOperation(CloudServiceCommand& command)
{
    switch (command.commandType) {
    case CommandTypeConnect:
        connect(command);
        break;
    case CommandTypeLogin:
        login(command);
        break;
    case CommandTypeLogout:
        logout(command);
        break;
    case CommandTypeCd:
        cd(command);
        break;
    case CommandTypeLs:
        ls(command);
        break;
    case CommandTypeMkdir:
        mkdir(command);
        break;
    case CommandTypePut:
        if (!command.inputParameter->localFileName.empty()) {
            putByFile(command);
            break;
        }
        putByMemory(command);
        if (command.commandRes == ResultGone) {
            // The file does not exist for an update: send it again as a creation, with the
            // names and dates prepared for that case.
            ValueMap& options = command.inputParameter->cmdOption;
            const std::string destination = optionText(options, kOptionForPostRemoteFileName);
            if (destination.empty())
                break;
            command.inputParameter->remoteFileName = destination;
            const std::pair<const char*, const char*> moved[] = {
                { kOptionCreationdate, kOptionForPostCreationdate },
                { kOptionOwner, kOptionForPostOwner },
                { kOptionOwnername, kOptionForPostOwnername },
            };
            for (const auto& [to, from] : moved) {
                if (const Value* value = option(options, from))
                    options[to] = *value;
                else
                    options.erase(to);
            }
            options.erase(kOptionTimestamp);
            command.postOrPut = 1;
            putByMemory(command);
        }
        break;
    case CommandTypeGet:
        get(command);
        break;
    case CommandTypeRm:
        rm(command);
        break;
    case CommandTypeCp:
        cp(command);
        break;
    case CommandTypeMv:
        mv(command);
        break;
    case CommandTypeChmod:
        chmod(command);
        break;
    case CommandTypeChangePassword:
        changePassword(command);
        break;
    case CommandTypePublish:
        publish(command);
        break;
    case CommandTypeSearch:
        search(command);
        break;
    case CommandTypeNetPrint:
        netPrint(command);
        break;
    default:
        break; // unknown types only complete
    }
}

void CloudService::deliverFinished(const CloudServiceCommandPtr& command)
{
    if (shuttingDown_.load())
        return;
    auto delegate = currentDelegate();
    if (!delegate)
        return;
    MainQueue::shared()->runSync([delegate, command] { delegate->requestFinished(command); });
}

void CloudService::deliverBatchFinished()
{
    if (shuttingDown_.load())
        return;
    auto delegate = currentDelegate();
    if (!delegate)
        return;
    MainQueue::shared()->post([delegate, result = batchResult()] { delegate->requestBatchFinished(result); });
}

// ---------------------------------------------------------------------------------------------
// Status gate and the plain operations

bool CloudService::beginFileOperation()
{
    if (!storage_)
        return false;
    std::int32_t current = status_.load();
    do {
        if (current != StatusLoggedIn && current != StatusBusy)
            return false;
    } while (!status_.compare_exchange_weak(current, StatusBusy));
    return true;
}

void CloudService::endFileOperation()
{
    // Only a session that is still the one the operation began in returns to "logged in": an
    // operation that ends after a logout leaves the service signed out.
    std::int32_t busy = StatusBusy;
    status_.compare_exchange_strong(busy, StatusLoggedIn);
}

void CloudService::takeAdaptorResult(CloudServiceCommand& command, std::int32_t result)
{
    command.commandErr = storage_->storageDetailErr();
    command.commandRes = result;
}

void CloudService::connect(CloudServiceCommand& command)
{
    const std::int32_t current = status_.load();
    if (!storage_ || current == StatusNoStorage)
        return;
    if (current == StatusConnected || current == StatusLoggedIn || current == StatusBusy
        || current == StatusLoginFailed) {
        command.commandRes = ResultSuccess;
        return;
    }
    status_.store(StatusConnecting);
    const std::int32_t result = storage_->connect();
    takeAdaptorResult(command, result);
    std::int32_t connecting = StatusConnecting;
    status_.compare_exchange_strong(connecting, result == ResultSuccess ? StatusConnected : StatusConnectFailed);
}

void CloudService::login(CloudServiceCommand& command)
{
    const std::int32_t current = status_.load();
    if (!storage_ || current == StatusNoStorage || current == StatusConnectFailed)
        return;
    // A login always asks the server, also when a session is open: whoever asks to sign in must
    // prove the account again, and gets the server's answer, not the old session's.
    status_.store(StatusLoggingIn);
    const std::int32_t result = storage_->login(
        command.inputParameter->authString, command.outputParameter->cmdOption, command.inputParameter->cmdOption);
    takeAdaptorResult(command, result);
    std::int32_t loggingIn = StatusLoggingIn;
    status_.compare_exchange_strong(loggingIn, result == ResultSuccess ? StatusLoggedIn : StatusLoginFailed);
}

void CloudService::changePassword(CloudServiceCommand& command)
{
    const std::int32_t current = status_.load();
    if (!storage_ || current == StatusNoStorage || current == StatusConnectFailed)
        return;
    const std::int32_t before = status_.exchange(StatusBusy);
    const std::int32_t result
        = storage_->changePassword(command.inputParameter->authString, command.outputParameter->cmdOption);
    takeAdaptorResult(command, result);
    // The session is what it was: a refused change (a mistyped current password) does not sign
    // the user out, and a change does not sign anyone in.
    std::int32_t busy = StatusBusy;
    status_.compare_exchange_strong(busy, before == StatusBusy ? StatusLoggedIn : before);
}

void CloudService::logout(CloudServiceCommand& command)
{
    const std::int32_t current = status_.load();
    if (!storage_ || current == StatusNoStorage || current == StatusConnectFailed)
        return;
    status_.store(StatusIdle);
    command.commandRes = storage_->logout();
}

void CloudService::cd(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    takeAdaptorResult(command, storage_->cd(command.inputParameter->pathName));
    endFileOperation();
}

void CloudService::ls(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    auto& output = command.outputParameter;
    if (!output->fileInfo)
        output->fileInfo = std::make_shared<FileInfoList>();
    takeAdaptorResult(
        command, storage_->ls(command.inputParameter->pathName, *output->fileInfo, command.inputParameter->cmdOption));
    endFileOperation();
}

void CloudService::search(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    auto& output = command.outputParameter;
    if (!output->fileInfo)
        output->fileInfo = std::make_shared<FileInfoList>();
    takeAdaptorResult(command, storage_->search(command.inputParameter->pathName, *output->fileInfo));
    endFileOperation();
}

void CloudService::netPrint(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    const ValueMap& options = command.inputParameter->cmdOption;
    std::string message;
    std::string message2;
    const std::int32_t result = storage_->netPrint(command.inputParameter->pathName,
        optionText(options, kOptionPassword), optionText(options, kOptionDay), message, message2);
    takeAdaptorResult(command, result);
    if (!message.empty())
        command.outputParameter->cmdOption[kOptionOutputMessage] = message;
    if (!message2.empty())
        command.outputParameter->cmdOption[kOptionOutputMessage2] = message2;
    endFileOperation();
}

void CloudService::mkdir(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    takeAdaptorResult(command, storage_->mkdir(command.inputParameter->pathName));
    endFileOperation();
}

void CloudService::rm(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    takeAdaptorResult(command, storage_->rm(command.inputParameter->remoteFileName, command.applicationType));
    endFileOperation();
}

namespace {

std::int32_t accessFlagOf(const ValueMap& options)
{
    const Value* flag = option(options, kOptionAccessFlag);
    return flag ? clampToInt32(flag->toInt64()) : 0;
}

bool overwriteOf(const ValueMap& options)
{
    const Value* flag = option(options, kOptionOverwrite);
    return flag && flag->string() && *flag->string() == kOptionValueYes;
}

} // namespace

void CloudService::cp(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    const auto& input = *command.inputParameter;
    takeAdaptorResult(command,
        storage_->cp(input.remoteFileName, input.localFileName, command.applicationType, command.postOrPut,
            accessFlagOf(input.cmdOption), overwriteOf(input.cmdOption), input.cmdOption));
    endFileOperation();
}

void CloudService::mv(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    const auto& input = *command.inputParameter;
    takeAdaptorResult(command,
        storage_->mv(input.remoteFileName, input.localFileName, command.applicationType, command.postOrPut,
            accessFlagOf(input.cmdOption), overwriteOf(input.cmdOption), input.cmdOption));
    endFileOperation();
}

void CloudService::chmod(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    const auto& input = *command.inputParameter;
    takeAdaptorResult(command,
        storage_->chmod(
            input.remoteFileName, command.applicationType, command.postOrPut, accessFlagOf(input.cmdOption)));
    endFileOperation();
}

void CloudService::publish(CloudServiceCommand& command)
{
    if (!beginFileOperation())
        return;
    auto& output = command.outputParameter;
    if (!output->memoryData)
        output->memoryData = std::make_shared<Bytes>();
    takeAdaptorResult(command,
        storage_->publish(command.inputParameter->remoteFileName, command.applicationType,
            command.inputParameter->cmdOption, *output->memoryData));
    endFileOperation();
}

void CloudService::get(CloudServiceCommand& command)
{
    const bool toFile = !command.inputParameter->localFileName.empty();
    if (storage_ && storage_->config().useCache == 1 && command.isCanUseCache
        && command.applicationType == kApplicationTypeFile) {
        getThroughCache(command, toFile);
        return;
    }
    if (toFile)
        getToFile(command);
    else
        getToMemory(command);
}

// ---------------------------------------------------------------------------------------------
// Helpers

std::optional<std::string> CloudService::fileMD5(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return std::nullopt;
    MD5Digest digest;
    std::vector<std::uint8_t> block(kMD5BlockSize);
    bool failed = false;
    for (;;) {
        const std::size_t read = std::fread(block.data(), 1, block.size(), file);
        if (read > 0)
            digest.update(std::span<const std::uint8_t>(block.data(), read));
        if (read < block.size()) {
            failed = std::ferror(file) != 0;
            break;
        }
    }
    std::fclose(file);
    if (failed)
        return std::nullopt;
    return digest.hexDigest();
}

std::int32_t CloudService::checkPutFailedResult(std::int32_t code)
{
    if (code == ResultDeviceNotAuthorized) {
        AlertPresenter::shared()->show("", "message_device_failed");
        return ResultDeviceNotAuthorized;
    }
    if (code == ResultServerError)
        return ResultServerError;
    // A stop during the query is the user's, not a failure.
    if (code == ResultCancelled)
        return ResultCancelled;
    return ResultFailed;
}

Date CloudService::accessTime(const CloudServiceCommand& command) const
{
    // Beyond this many milliseconds either way the date does not fit the clock's range.
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 1'000'000;
    const Value* stamp = option(command.inputParameter->cmdOption, kOptionTimestamp);
    std::optional<std::int64_t> milliseconds;
    if (stamp && stamp->string()) {
        const std::string& text = *stamp->string();
        std::int64_t parsed = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        if (!text.empty() && error == std::errc() && end == text.data() + text.size())
            milliseconds = parsed;
    } else if (stamp && stamp->isInteger()) {
        milliseconds = stamp->toInt64();
    }
    if (!milliseconds || *milliseconds > kLimit || *milliseconds < -kLimit)
        return now();
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::milliseconds(*milliseconds)));
}

} // namespace norvane
