#include "CloudServiceSDKForMac/CloudService/StorageServiceAdaptor.h"

namespace norvane {

StorageServiceAdaptor::~StorageServiceAdaptor() = default;

void StorageServiceAdaptor::initWithConfig(StorageServiceConfig config)
{
    config_ = std::move(config);
}

std::int32_t StorageServiceAdaptor::connect()
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::login(const std::string&, ValueMap&, const ValueMap&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::changePassword(const std::string&, ValueMap&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::cd(const std::string&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::ls(const std::string&, FileInfoList&, const ValueMap&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::search(const std::string&, FileInfoList&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::netPrint(
    const std::string&, const std::string&, const std::string&, std::string&, std::string&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::mkdir(const std::string&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::put(const std::string&, std::uint64_t&, std::uint64_t, const std::string&,
    std::span<const std::uint8_t>, const std::string&, std::int32_t, ASIProgressDelegate*, const ValueMap&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::get(const std::string&, Bytes&, const std::string&, std::uint64_t, std::uint64_t,
    ASIProgressDelegate*, std::uint64_t, std::uint64_t, const ValueMap&, const std::optional<Date>&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::getInto(const std::string& path, ChunkSink& sink, std::uint64_t& received,
    const std::string& applicationType, std::uint64_t startPosition, std::uint64_t dataLength,
    ASIProgressDelegate* progressDelegate, std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize,
    const ValueMap& option, const std::optional<Date>& lastGetDate)
{
    received = 0;
    Bytes chunk;
    const std::int32_t result = get(path, chunk, applicationType, startPosition, dataLength, progressDelegate,
        targetTotalSize, totalFinishedSize, option, lastGetDate);
    if (result != ResultSuccess)
        return result;
    if (!chunk.empty() && !sink.write(chunk)) {
        sink.rollback();
        return ResultFailed;
    }
    received = chunk.size();
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::logout()
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::rm(const std::string&, const std::string&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::cp(
    const std::string&, const std::string&, const std::string&, std::int32_t, std::int32_t, const ValueMap&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::cp(
    const std::string&, const std::string&, const std::string&, std::int32_t, std::int32_t, bool, const ValueMap&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::chmod(const std::string&, const std::string&, std::int32_t, std::int32_t)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::mv(const std::string&, const std::string&, const std::string&, std::int32_t)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::relogin()
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::getCurrentPutStatus(
    const std::string&, std::uint64_t, const std::string&, const std::string&, std::int32_t, std::uint64_t&)
{
    return ResultSuccess;
}

std::int32_t StorageServiceAdaptor::publish(const std::string&, const std::string&, const ValueMap&, Bytes&)
{
    return ResultSuccess;
}

namespace {

// What an operation left, kept for the thread that ran it. One adaptor's record replaces
// another's, as a thread reads what it ran right after running it.
struct OperationOutcome {
    const StorageServiceAdaptor* adaptor = nullptr;
    std::optional<ErrorValue> detail;
    std::string lockConflictBody;
};

OperationOutcome& outcomeOf(const StorageServiceAdaptor* adaptor)
{
    thread_local OperationOutcome outcome;
    if (outcome.adaptor != adaptor)
        outcome = OperationOutcome { adaptor, std::nullopt, {} };
    return outcome;
}

} // namespace

std::optional<ErrorValue> StorageServiceAdaptor::storageDetailErr() const
{
    return outcomeOf(this).detail;
}

void StorageServiceAdaptor::setStorageDetailErr(std::optional<ErrorValue> error)
{
    outcomeOf(this).detail = std::move(error);
}

std::string StorageServiceAdaptor::errResponseString() const
{
    return outcomeOf(this).lockConflictBody;
}

void StorageServiceAdaptor::setErrResponseString(std::string text)
{
    outcomeOf(this).lockConflictBody = std::move(text);
}

void StorageServiceAdaptor::clearOperationOutcome()
{
    outcomeOf(this) = OperationOutcome { this, std::nullopt, {} };
}

} // namespace norvane
