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

std::optional<ErrorValue> StorageServiceAdaptor::storageDetailErr() const
{
    std::lock_guard lock(lastFailureMutex_);
    return storageDetailErr_;
}

void StorageServiceAdaptor::setStorageDetailErr(std::optional<ErrorValue> error)
{
    std::lock_guard lock(lastFailureMutex_);
    storageDetailErr_ = std::move(error);
}

std::string StorageServiceAdaptor::errResponseString() const
{
    std::lock_guard lock(lastFailureMutex_);
    return errResponseString_;
}

void StorageServiceAdaptor::setErrResponseString(std::string text)
{
    std::lock_guard lock(lastFailureMutex_);
    errResponseString_ = std::move(text);
}

} // namespace norvane
