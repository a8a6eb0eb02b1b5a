#include "CloudServiceSDKForMac/CloudService/httpHeaderInfo.h"

#include "formats/MD5DigestString.h"

#include <cctype>
#include <ctime>
#include <span>

namespace norvane {

httpHeaderInfo::httpHeaderInfo(std::string deviceId, NotificationCenter& center)
    : deviceId_(std::move(deviceId))
{
    deviceIdObserver_
        = center.addObserver(kNotificationDeviceIdUpdated, nullptr, [this](const Notification& notification) {
              // Only a notification that really carries an identifier replaces the one in use.
              auto it = notification.userInfo.find(kDeviceIdUserInfoKey);
              if (it == notification.userInfo.end() || !it->second.isString())
                  return;
              setTheNewDeviceId(*it->second.string());
          });
}

std::string httpHeaderInfo::authoriztion() const
{
    std::lock_guard lock(mutex_);
    return authoriztion_;
}

void httpHeaderInfo::setAuthoriztion(std::string value)
{
    std::lock_guard lock(mutex_);
    authoriztion_ = std::move(value);
}

std::string httpHeaderInfo::date() const
{
    std::lock_guard lock(mutex_);
    return date_;
}

void httpHeaderInfo::setDate(std::string value)
{
    std::lock_guard lock(mutex_);
    date_ = std::move(value);
}

std::string httpHeaderInfo::host() const
{
    std::lock_guard lock(mutex_);
    return host_;
}

void httpHeaderInfo::setHost(std::string value)
{
    std::lock_guard lock(mutex_);
    host_ = std::move(value);
}

std::string httpHeaderInfo::deviceId() const
{
    std::lock_guard lock(mutex_);
    return deviceId_;
}

void httpHeaderInfo::setDeviceId(std::string value)
{
    std::lock_guard lock(mutex_);
    deviceId_ = std::move(value);
}

std::string httpHeaderInfo::theNewDeviceId() const
{
    std::lock_guard lock(mutex_);
    return theNewDeviceId_;
}

void httpHeaderInfo::setTheNewDeviceId(std::string value)
{
    std::lock_guard lock(mutex_);
    theNewDeviceId_ = std::move(value);
}

AccountInformation httpHeaderInfo::acountInfo() const
{
    std::lock_guard lock(mutex_);
    return acountInfo_;
}

void httpHeaderInfo::setAcountInfo(AccountInformation account)
{
    std::lock_guard lock(mutex_);
    acountInfo_ = std::move(account);
}

std::string httpHeaderInfo::makeDeviceId(std::string_view prefix, std::string_view baseUUID, Date now)
{
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local {};
    char stamp[32] = {};
    if (localtime_r(&seconds, &local) == nullptr || std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local) == 0)
        return {};
    std::string seed = std::string(baseUUID) + stamp + "NorvaneClient";
    auto digest = MD5DigestString(std::span(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size()));
    if (!digest)
        return {};
    for (char& c : *digest)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return std::string(prefix) + *digest;
}

} // namespace norvane
