#pragma once

#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"
#include "CloudServiceSDKForMac/CloudService/HistoryBuffer.h"
#include "CloudServiceSDKForMac/CloudService/StorageServiceAdaptor.h"
#include "CloudServiceSDKForMac/CloudService/TaskInfo.h"
#include "formats/Date.h"
#include "formats/KeyedArchive.h"
#include "platform/ErrorValue.h"
#include "platform/NotificationCenter.h"
#include "platform/Value.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace norvane {

class BatchThread;
class DispatchQueue;
class Reachability;

// The service's connection status (CloudService::status()).
enum ConnectionStatus : std::int32_t {
    StatusIdle = 1, // created with an adaptor; after logout
    StatusConnected = 2,
    StatusLoggedIn = 3, // after a login, and after every file operation of that session
    StatusConnecting = 51,
    StatusLoggingIn = 52,
    StatusBusy = 53, // a file operation or password change is running
    StatusNoStorage = 101, // created without an adaptor: nothing runs
    StatusConnectFailed = 102,
    StatusLoginFailed = 103,
};

// Notifications of the batch queue and of cached page images.
inline constexpr const char* kNotificationBatchStarted = "BATCH_STARTED";
inline constexpr const char* kNotificationBatchStopped = "BATCH_STOPED";
inline constexpr const char* kNotificationBatchCommandCompleted = "BatchCommandCompleted";
inline constexpr const char* kNotificationPdfImageViewerPageCount = "NOTIFICATION_PDF_IMAGE_VIEWER_PAGE_COUNT";
inline constexpr const char* kNotificationReachabilityChanged = "kNetworkReachabilityChangedNotification";
// userInfo key of "BatchCommandCompleted": the remote paths completed by one run, in order.
inline constexpr const char* kBatchCompletedListKey = "completedList";

// Receives the completions of asynchronous and batch commands, on the main thread.
class CloudServiceDelegate {
public:
    virtual ~CloudServiceDelegate() = default;
    // A command submitted asynchronously or through the batch queue has finished; its thread
    // waits until this returns.
    virtual void requestFinished(const CloudServiceCommandPtr&) { }
    // A batch run found the queue empty. Not waited for.
    virtual void requestBatchFinished(const ValueList&) { }
};

// The executor of storage commands. A command is handed to doCommand() with an execute mode:
// synchronous (on the caller's thread), asynchronous (on a pool of at most three, with the
// delegate told on the main thread) or batch (queued, persisted and run by the batch worker).
// The service keeps a connection status that gates every operation, cuts transfers into chunks,
// resumes interrupted uploads, consults the response cache for downloads and owns the batch
// queue with its worker.
//
// One service is shared by all threads; the adaptor is too. The status is not a lock: commands
// running side by side each set and reset it.
//
// Destruction stops the batch worker, drops asynchronous commands that have not started and
// waits for those running; callbacks are no longer delivered once it has begun.
class CloudService {
public:
    using Clock = std::function<Date()>;

    // Clears the transfer stop flag. Without an adaptor the service stays in StatusNoStorage
    // and runs nothing.
    explicit CloudService(std::unique_ptr<StorageServiceAdaptor> storage);
    ~CloudService();
    CloudService(const CloudService&) = delete;
    CloudService& operator=(const CloudService&) = delete;

    StorageServiceAdaptor* storage() const { return storage_.get(); }
    void setDelegate(std::weak_ptr<CloudServiceDelegate> delegate);
    std::int32_t status() const { return status_.load(); }

    // The last failure stored through failWithError().
    std::optional<ErrorValue> error() const;
    void failWithError(ErrorValue error);

    // The current time, for cache entries whose command carries no timestamp (tests set a fixed
    // clock).
    void setClock(Clock clock);

    // Runs the command in the given mode (ExecuteMode); the mode is stored in the command.
    void doCommand(std::int32_t mode, const CloudServiceCommandPtr& command);
    // Runs the command here and now: reachability check, the operation of its type, the re-login
    // rule, then (outside synchronous mode) the delegate's requestFinished on the main thread.
    // A command stopped before it starts only ends, with ResultCancelled.
    void doCommand(const CloudServiceCommandPtr& command);

    // The operations by command type. Each writes commandRes, and mostly commandErr, into the
    // command; one refused by the status gate keeps result 0.
    void connect(CloudServiceCommand& command);
    void login(CloudServiceCommand& command);
    void logout(CloudServiceCommand& command);
    void changePassword(CloudServiceCommand& command);
    void cd(CloudServiceCommand& command);
    void ls(CloudServiceCommand& command);
    void search(CloudServiceCommand& command);
    void netPrint(CloudServiceCommand& command);
    void mkdir(CloudServiceCommand& command);
    void rm(CloudServiceCommand& command);
    void cp(CloudServiceCommand& command);
    void mv(CloudServiceCommand& command);
    void chmod(CloudServiceCommand& command);
    void publish(CloudServiceCommand& command);
    // Downloads: to the input localFileName, else into the output memoryData; through the
    // response cache when the configuration, the command and its application type allow.
    void get(CloudServiceCommand& command);
    void getToFile(CloudServiceCommand& command);
    void getToMemory(CloudServiceCommand& command);
    // Uploads: status query for the offset the server holds, then chunks from there.
    void putByFile(CloudServiceCommand& command);
    void putByMemory(CloudServiceCommand& command);

    // Lowercase hexadecimal MD5 of a file's content; nothing when it cannot be read.
    static std::optional<std::string> fileMD5(const std::string& path);
    // The result of a failed upload status query: 16 (with the device alert), 19 and a stop (4)
    // stay, any other becomes ResultFailed.
    static std::int32_t checkPutFailedResult(std::int32_t code);
    // The date of a new cache entry: the input option "timestamp" (milliseconds since 1970), or
    // now when it is missing or not a number.
    Date accessTime(const CloudServiceCommand& command) const;

    // Starts the host reachability monitor on the calling thread's run loop.
    void registerForNetworkReachabilityNotifications();

    // --- batch queue ---
    // Archives the command (kept across the temporary clean-up) and queues it at the tail.
    void addCommand(const CloudServiceCommandPtr& command);
    // The head's command read back from its archive, with its task set; null when the queue is
    // empty. The head stays queued. A head whose archive cannot be read is taken off the queue
    // and its archive renamed with ".unreadable" beside it, and the next one is read.
    CloudServiceCommandPtr popCommand();
    // Deletes the head's archive and removes the head.
    void delCommand();
    // Deletes the entry's archive and removes that entry, wherever it now stands in the queue.
    void delCommand(const std::shared_ptr<TaskInfo>& task);
    // Stops the worker, then removes the entry, or every entry when task is null, and deletes
    // their archive files.
    void cancelCommand(const std::shared_ptr<TaskInfo>& task);
    // Deletes the archive of an entry that is no longer queued (cancelled while it ran).
    void forgetIfCancelled(const std::shared_ptr<TaskInfo>& task);
    std::size_t getBatchCount() const;
    std::vector<std::shared_ptr<TaskInfo>> batchQueue() const;
    // Starts the worker unless force-stopped, unreachable or the queue is empty.
    void startBatch();
    // Clears the force stop, starts, and posts "BATCH_STARTED" (even when nothing starts).
    void forceStartBatch();
    // Force-stops the worker and posts "BATCH_STOPED".
    void stopBatch();
    bool forceStopFlag() const { return forceStopFlag_.load(); }
    // Stores the cache index in "cache.data" and the queue in "command.data".
    void writeBatchQueueAndCommandHistory();
    // Reads both files back (deleting them) and starts the worker.
    void readBatchQueueAndCommandHistory();

    HistoryBuffer& historyBuffer() { return historyBuffer_; }
    BatchThread& batch() { return *batch_; }
    const std::string& cacheDataFilePath() const { return cacheDataFilePath_; }
    const std::string& commandDataFilePath() const { return commandDataFilePath_; }
    // The list handed to requestBatchFinished (never filled).
    ValueList batchResult() const;

    // The service's archived form: "batchQueue" and "batchResult".
    void encodeWithCoder(KeyedArchiver& coder) const;

private:
    friend class BatchThread;

    enum class Dispatch { Ran, Unreachable };
    Dispatch dispatchOnce(CloudServiceCommand& command);
    void runOperation(CloudServiceCommand& command);
    // The status gate of a file operation: from "logged in" or "busy" to "busy"; false when the
    // session does not allow file operations.
    bool beginFileOperation();
    // Back to "logged in", unless the session changed meanwhile (a logout, a login).
    void endFileOperation();
    void takeAdaptorResult(CloudServiceCommand& command, std::int32_t result);
    void deliverFinished(const CloudServiceCommandPtr& command);
    void deliverBatchFinished();
    std::shared_ptr<CloudServiceDelegate> currentDelegate() const;
    Date now() const;

    // Transfers (CloudServiceTransfer.cpp).
    std::int32_t downloadChunksToFile(
        CloudServiceCommand& command, const std::string& localFile, std::optional<ErrorValue>& ownError);
    std::int32_t downloadChunksToMemory(CloudServiceCommand& command, std::optional<ErrorValue>& ownError);
    void getThroughCache(CloudServiceCommand& command, bool toFile);
    void cacheFreshDownload(CloudServiceCommand& command, bool toFile, const HistoryBuffer::Entry& entry);
    std::int32_t answerFromCache(CloudServiceCommand& command, bool toFile, const HistoryBuffer::Entry& entry);

    void asyncTaskStarted();
    void asyncTaskEnded();
    void waitForAsyncTasks();

    std::unique_ptr<StorageServiceAdaptor> storage_;
    std::atomic<std::int32_t> status_;
    std::atomic<bool> forceStopFlag_ { false };
    std::atomic<bool> shuttingDown_ { false };

    mutable std::mutex stateMutex_; // delegate, error, clock
    std::weak_ptr<CloudServiceDelegate> delegate_;
    std::optional<ErrorValue> error_;
    Clock clock_;

    mutable std::mutex batchLock_;
    std::vector<std::shared_ptr<TaskInfo>> batchQueue_;
    ValueList batchResult_;

    HistoryBuffer historyBuffer_;
    std::string cacheDataFilePath_;
    std::string commandDataFilePath_;

    std::mutex asyncMutex_;
    std::condition_variable asyncIdle_;
    std::size_t asyncInFlight_ = 0;

    ObserverToken reachabilityObserver_;
    std::unique_ptr<Reachability> hostReach_;
    std::unique_ptr<DispatchQueue> asyncQueue_;
    std::unique_ptr<BatchThread> batch_;
};

} // namespace norvane
