#include "CloudServiceSDKForMac/CloudService/StorageServiceConfig.h"

#include <chrono>

namespace norvane {

StorageServiceConfig::StorageServiceConfig()
    // Offline data of the own folder expires two hours after the configuration was made.
    : disapperTimeMyFolder(std::chrono::system_clock::now() + std::chrono::seconds(7200))
{ }

std::string StorageServiceConfig::httpType() const
{
    return useHttps ? "https" : "http";
}

std::string StorageServiceConfig::authenticationUrl() const
{
    return httpType() + "://" + loginIP + ":" + std::to_string(loginPort);
}

} // namespace norvane
