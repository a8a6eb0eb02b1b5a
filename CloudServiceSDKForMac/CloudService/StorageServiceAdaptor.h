#pragma once

#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "CloudServiceSDKForMac/CloudService/StorageServiceConfig.h"
#include "CloudServiceSDKForMac/CloudService/TransferStopFlag.h"
#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "formats/Date.h"
#include "platform/ErrorValue.h"
#include "platform/Value.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace norvane {

class ASIProgressDelegate;

// Where the bytes of a download chunk go as they arrive, instead of a buffer (getInto).
class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    // False stops the chunk, which then fails.
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;
    // Forgets what write() took for the chunk now under way: it was not taken after all.
    virtual void rollback() = 0;
};

// The protocol-neutral face of a storage server, as the command service sees it. Every operation
// is synchronous for its caller and returns a result code (ResultCode); a failure's detail is left
// in storageDetailErr(). This base answers every operation with success and sends nothing; a real
// adaptor overrides what its protocol offers. One adaptor is shared by all threads of the command
// service; the failure detail and the lock-conflict body are kept per thread, so that what an
// operation leaves is read by the one who ran it and never by another thread's operation.
class StorageServiceAdaptor {
public:
    StorageServiceAdaptor() = default;
    virtual ~StorageServiceAdaptor();
    StorageServiceAdaptor(const StorageServiceAdaptor&) = delete;
    StorageServiceAdaptor& operator=(const StorageServiceAdaptor&) = delete;

    // Takes the connection settings.
    virtual void initWithConfig(StorageServiceConfig config);

    virtual std::int32_t connect();
    // authString: "company,user,password,deviceId[,...]"; information receives the account values.
    virtual std::int32_t login(const std::string& authString, ValueMap& information, const ValueMap& inputOption);
    // authString: at least four parts, the third the current and the fourth the new password.
    virtual std::int32_t changePassword(const std::string& authString, ValueMap& information);
    virtual std::int32_t cd(const std::string& path);
    virtual std::int32_t ls(const std::string& path, FileInfoList& fileInfo, const ValueMap& option);
    virtual std::int32_t search(const std::string& path, FileInfoList& fileInfo);
    virtual std::int32_t netPrint(const std::string& path, const std::string& password, const std::string& day,
        std::string& outputMessage, std::string& outputMessage2);
    virtual std::int32_t mkdir(const std::string& path);
    // One upload chunk. uploadedDataLength is the offset of dataMemory in the file and, on a resume
    // answer, receives the offset the server holds. postOrPut: 0 PUT, 1 POST.
    virtual std::int32_t put(const std::string& path, std::uint64_t& uploadedDataLength, std::uint64_t fileTotalLength,
        const std::string& fileMD5Info, std::span<const std::uint8_t> dataMemory, const std::string& applicationType,
        std::int32_t postOrPut, ASIProgressDelegate* progressDelegate, const ValueMap& option);
    // One download chunk of dataLength bytes from startPosition into dataMemory. lastGetDate is the
    // date of a cached copy (sent as If-Modified-Since).
    virtual std::int32_t get(const std::string& path, Bytes& dataMemory, const std::string& applicationType,
        std::uint64_t startPosition, std::uint64_t dataLength, ASIProgressDelegate* progressDelegate,
        std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize, const ValueMap& option,
        const std::optional<Date>& lastGetDate);
    // get(), the chunk's bytes handed to `sink` as they arrive (received: how many); on any result
    // but 1 the sink has been rolled back. This base gets them through get() and hands them over.
    virtual std::int32_t getInto(const std::string& path, ChunkSink& sink, std::uint64_t& received,
        const std::string& applicationType, std::uint64_t startPosition, std::uint64_t dataLength,
        ASIProgressDelegate* progressDelegate, std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize,
        const ValueMap& option, const std::optional<Date>& lastGetDate);
    virtual std::int32_t logout();
    virtual std::int32_t rm(const std::string& path, const std::string& applicationType);
    // Short form: the long one without overwriting.
    virtual std::int32_t cp(const std::string& path, const std::string& fromSourceFile,
        const std::string& applicationType, std::int32_t postOrPut, std::int32_t accessFlag, const ValueMap& option);
    virtual std::int32_t cp(const std::string& path, const std::string& fromSourceFile,
        const std::string& applicationType, std::int32_t postOrPut, std::int32_t accessFlag, bool overwriteFlag,
        const ValueMap& option);
    virtual std::int32_t chmod(
        const std::string& path, const std::string& applicationType, std::int32_t postOrPut, std::int32_t accessFlag);
    virtual std::int32_t mv(const std::string& path, const std::string& fromSourceFile,
        const std::string& applicationType, std::int32_t postOrPut);
    virtual std::int32_t relogin();
    // Asks how much of an upload the server already holds; uploadedDataSize receives the offset.
    virtual std::int32_t getCurrentPutStatus(const std::string& path, std::uint64_t fileTotalLength,
        const std::string& fileMD5Info, const std::string& applicationType, std::int32_t postOrPut,
        std::uint64_t& uploadedDataSize);
    // The move every adaptor must provide itself.
    virtual std::int32_t mv(const std::string& path, const std::string& fromSourceFile,
        const std::string& applicationType, std::int32_t postOrPut, std::int32_t accessFlag, bool overwriteFlag,
        const ValueMap& option)
        = 0;
    // resData receives the response body.
    virtual std::int32_t publish(
        const std::string& path, const std::string& applicationType, const ValueMap& option, Bytes& resData);

    // The connection settings. Set up before the adaptor is shared between threads; afterwards only
    // read.
    const StorageServiceConfig& config() const { return config_; }
    StorageServiceConfig& config() { return config_; }

    // What the last operation of this adaptor on the calling thread left: the detail of its
    // failure (none after a success), copied into the command by the service, and the body of a
    // lock-conflict answer to an upload (empty for any other answer). Both belong to the thread
    // that ran the operation; clearOperationOutcome() starts afresh.
    std::optional<ErrorValue> storageDetailErr() const;
    void setStorageDetailErr(std::optional<ErrorValue> error);
    std::string errResponseString() const;
    void setErrResponseString(std::string text);
    void clearOperationOutcome();

protected:
    StorageServiceConfig config_;
};

} // namespace norvane
