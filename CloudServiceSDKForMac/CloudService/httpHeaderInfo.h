#pragma once

#include "CloudServiceSDKForMac/CloudService/AccountInformation.h"
#include "formats/Date.h"
#include "platform/NotificationCenter.h"

#include <mutex>
#include <string>
#include <string_view>

namespace norvane {

// Posted by the settings when a new device identifier was made. The identifier travels in the
// user info under kDeviceIdUserInfoKey (the notification object is only an identity).
inline constexpr const char* kNotificationDeviceIdUpdated = "NOTIFICATION_DEVICE_ID_UPDATED";
inline constexpr const char* kDeviceIdUserInfoKey = "deviceId";

// The header values one adaptor puts on its requests: the device identifier sent as
// "X-Device-Id" and the account whose keys make up "Authorization". Requests on several threads
// read it while a login or a device-identifier notification writes it, so every field is read and
// written under the record's own lock, as a copy.
class httpHeaderInfo {
public:
    // deviceId is the installation's identifier. From then on the record follows every
    // device-identifier notification of `center` until it is destroyed.
    explicit httpHeaderInfo(std::string deviceId, NotificationCenter& center = NotificationCenter::defaultCenter());
    httpHeaderInfo(const httpHeaderInfo&) = delete;
    httpHeaderInfo& operator=(const httpHeaderInfo&) = delete;

    // Kept for callers; the requests do not use them.
    std::string authoriztion() const;
    void setAuthoriztion(std::string value);
    std::string date() const;
    void setDate(std::string value);
    std::string host() const;
    void setHost(std::string value);

    // The installation's identifier given at creation.
    std::string deviceId() const;
    void setDeviceId(std::string value);

    // Sent as "X-Device-Id". Empty until a login sets it or a device-identifier notification
    // replaces it.
    std::string theNewDeviceId() const;
    void setTheNewDeviceId(std::string value);

    // The account of the last successful login; empty before it.
    AccountInformation acountInfo() const;
    void setAcountInfo(AccountInformation account);

    // A device identifier: prefix + the upper-case hexadecimal MD5 of baseUUID, the local time of
    // `now` as "yyyyMMddHHmmss" and "NorvaneClient". With the prefix "dc09" it has 36 characters.
    static std::string makeDeviceId(std::string_view prefix, std::string_view baseUUID, Date now);

private:
    mutable std::mutex mutex_;
    std::string authoriztion_;
    std::string date_;
    std::string host_;
    std::string deviceId_;
    std::string theNewDeviceId_;
    AccountInformation acountInfo_;
    // Last member: it is removed first on destruction, before the fields its callback writes.
    ObserverToken deviceIdObserver_;
};

} // namespace norvane
