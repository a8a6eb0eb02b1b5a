#pragma once

#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "CloudServiceSDKForMac/CloudService/CommandParameter.h"
#include "CloudServiceSDKForMac/CloudService/TaskInfo.h"
#include "formats/Date.h"
#include "formats/KeyedArchive.h"
#include "platform/ErrorValue.h"
#include "platform/Value.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace norvane {

// One storage operation: what to do (type and input parameters) and, once the service has run
// it, what came of it (result code, error, output parameters). The operation that built it and
// the service share it, hence std::shared_ptr<CloudServiceCommand>; progress is written by the
// transfer's thread while others read it.
//
// Archived under the field names below, the whole command under the archive's root key "Data".
// progress, lastExecuteTime, task, isCanUseCache and totleFileSize are not archived. uploadedSize
// is written as a clamped 32-bit "uploadedSize" and, so that uploads past 2 GiB resume at the
// right offset, as a 64-bit "uploadedSize64", which readers prefer.
class CloudServiceCommand {
public:
    // Both parameter records are created empty.
    CloudServiceCommand();
    CloudServiceCommand(const CloudServiceCommand&) = delete;
    CloudServiceCommand& operator=(const CloudServiceCommand&) = delete;

    std::int64_t commandId = 0;
    std::int32_t commandType = 0; // CommandType
    std::string applicationType; // "file", "folder" or empty
    std::int32_t retryCnt = 0;
    std::shared_ptr<CommandParameter> inputParameter;
    std::shared_ptr<CommandParameter> outputParameter;
    std::optional<ErrorValue> commandErr; // none on success
    std::int32_t commandRes = ResultNone; // ResultCode
    std::int32_t userInfo = 0; // caller's tag, carried only
    Value userInfoObj; // caller's tag, carried only
    std::int32_t postOrPut = 0; // 0 = PUT (update), 1 = POST (create)
    std::int32_t executeMode = ExecuteModeBatch; // ExecuteMode
    std::atomic<float> progress { 0.0f }; // 0.0 - 1.0
    std::optional<Date> lastExecuteTime; // date of the cached copy (If-Modified-Since)
    std::shared_ptr<TaskInfo> task; // the batch-list entry this command was read back for
    std::uint64_t uploadedSize = 0; // bytes of the upload the server has accepted
    std::string localpath; // the command's own archive file while it is queued
    bool isCanUseCache = true;
    std::string commandRestringWhenErr; // server's error body kept for the caller
    std::uint64_t totleFileSize = 0; // total size shown in progress displays

    // A new command with the same identity, request and outcome; both parameter records are the
    // same objects as the original's. Progress, lastExecuteTime, task and totleFileSize start
    // fresh, and isCanUseCache is true.
    std::shared_ptr<CloudServiceCommand> copy() const;
    std::string description() const;

    // Asks the command to stop, from any thread: its waiting request is cancelled and nothing
    // more is sent for it; it ends with ResultCancelled. No other command is touched, and the
    // command stays stopped (a copy starts unstopped).
    void stop() { stopRequested_.store(true); }
    bool isStopped() const { return stopRequested_.load(); }
    // What the service watches while it runs the command (see CommandStopScope).
    const std::atomic<bool>& stopFlag() const { return stopRequested_; }

    void encodeWithCoder(KeyedArchiver& coder) const;
    // Missing keys read as defaults; never null.
    static std::shared_ptr<CloudServiceCommand> initWithCoder(const KeyedUnarchiver& coder);

    // Archives the command to a new file "<random>.cmd" in the temporary category "cmd", or, to
    // survive the clean-up of temporary files, in "do_not_delete_command/cmd". The file's path,
    // or nothing when it could not be written.
    std::optional<std::string> write2File(bool keepFlag) const;
    // Rewrites the command over its own archive file (localpath) to record upload progress.
    // False when localpath is empty or the write failed.
    bool write2FileLocalPath() const;
    // The command archived at path; null for a missing, empty, unreadable or corrupt file.
    static std::shared_ptr<CloudServiceCommand> read2Cmd(const std::string& path);

    // Offline store, keyed by server path (see LocalStorePaths::getOffLineLocalPath).
    // Marks every output entry as offline and archives the command to the entry's ".cmd"
    // companion; the companion's path, or nothing when the path is refused or not writable.
    std::optional<std::string> write2FileFromOffLine(const std::string& serverPath);
    static std::shared_ptr<CloudServiceCommand> read2CmdFromOffLine(const std::string& serverPath);
    // The offline copy's content without the 100-byte filler its download wrote first; nothing
    // when the copy is missing or shorter than the filler.
    static std::optional<Bytes> read2CmdFromOffLineFile(const std::string& serverPath);
    // Removes the offline copy and its companion, whichever exist.
    static void deleteFileForOffLine(const std::string& serverPath);

private:
    std::atomic<bool> stopRequested_ { false };
};

using CloudServiceCommandPtr = std::shared_ptr<CloudServiceCommand>;

} // namespace norvane
