#include "app/state/Settings.h"

#include "CloudServiceSDKForMac/CloudService/httpHeaderInfo.h"
#include "app/state/ConfigInfo.h"
#include "app/state/TextReading.h"
#include "platform/Log.h"

#include <cstdint>

namespace norvane {

namespace {

// Web shares may be limited to at most this many megabytes per file.
constexpr std::int64_t kLargestWebPublishMaxFileSize = 2048;

// The text of a user-info value; a number given as such reads as its decimal text.
std::optional<std::string> textOf(const ValueMap& userInfo, const char* key)
{
    auto found = userInfo.find(key);
    if (found == userInfo.end())
        return std::nullopt;
    const Value& value = found->second;
    if (const std::string* text = value.string())
        return *text;
    if (value.isBool())
        return std::string(value.toBool() ? "1" : "0");
    if (value.isInteger() || value.isDouble())
        return std::to_string(value.toInt64());
    return std::nullopt;
}

std::int64_t integerReading(const std::optional<std::string>& value)
{
    return TextReading::integerValue(value.value_or(std::string()));
}

bool booleanReading(const std::optional<std::string>& value)
{
    return TextReading::boolValue(value.value_or(std::string()));
}

bool notZeroReading(const std::optional<std::string>& value)
{
    return !value || *value != "0";
}

bool isOneReading(const std::optional<std::string>& value)
{
    return value && *value == "1";
}

std::int8_t flag(bool on)
{
    return on ? 1 : 0;
}

} // namespace

const std::vector<Settings::Subscription>& Settings::subscriptions()
{
    // The page-count, offline-log and call-log policies carry nothing these settings keep.
    static const std::vector<Subscription> table {
        { kNotificationAutoLogout, "autoLogout", &Settings::onAutoLogout },
        { kNotificationUseSessionExpireTime, "expireTime", &Settings::onSessionExpireTime },
        { kNotificationUseSavePassword, "savePassword", &Settings::onSavePassword },
        { kNotificationDisableWebDownload, "disableWebDownload", &Settings::onDisableWebDownload },
        { kNotificationAutoDeviceRegist, "autoDeviceRegist", &Settings::onAutoDeviceRegist },
        { kNotificationChangePasswordEnable, "changePasswordEnable", &Settings::onChangePasswordEnable },
        { kNotificationEnableMail, "enableMail", &Settings::onEnableMail },
        { kNotificationWebPublishMaxFileSize, "webPublishMaxFileSize", &Settings::onWebPublishMaxFileSize },
        { kNotificationWebPublishMaxDay, "webPublishMaxDay", &Settings::onWebPublishMaxDay },
        { kNotificationWebPublishMaxCount, "webPublishMaxCount", &Settings::onWebPublishMaxCount },
        { kNotificationWebPublishInitDay, "webPublishInitDay", &Settings::onWebPublishInitDay },
        { kNotificationWebPublishInitCount, "webPublishInitCount", &Settings::onWebPublishInitCount },
        { kNotificationDisableAcceptFileFromOtherApp, "disableAcceptFileFromOtherApp",
            &Settings::onDisableAcceptFileFromOtherApp },
        { kNotificationDisableSendFileToOtherApp, "disableSendFileToOtherApp", &Settings::onDisableSendFileToOtherApp },
        { kNotificationEnablePdfViewer, "enablePDFViewer", &Settings::onEnablePdfViewer },
        { kNotificationDisablePdfNote, "disablePDFNote", &Settings::onDisablePdfNote },
        { kNotificationDisableShare, "disableShare", &Settings::onDisableShare },
        { kNotificationEnableLocalDownload, "enableLocalDownload", &Settings::onEnableLocalDownload },
        { kNotificationUseCache, "cache", &Settings::onUseCache },
    };
    return table;
}

Settings::Settings(ConfigInfo& config, SettingsDelegate& delegate, NotificationCenter& center)
    : config_(config)
    , delegate_(delegate)
    , center_(center)
{
    for (const Subscription& subscription : subscriptions()) {
        observers_.push_back(center_.addObserver(subscription.notification, nullptr,
            [this, &subscription](const Notification& notification) { dispatch(notification, subscription); }));
    }
    observers_.push_back(center_.addObserver(
        kNotificationPolicyHeadersHandled, nullptr, [this](const Notification&) { saveChanges(); }));
}

void Settings::saveChanges()
{
    std::lock_guard lock(mutex_);
    if (!unsaved_)
        return;
    unsaved_ = false;
    config_.save();
}

template <class T, class V> void Settings::update(T (ConfigInfo::*get)() const, void (ConfigInfo::*set)(T), V value)
{
    T next = static_cast<T>(std::move(value));
    if ((config_.*get)() == next)
        return;
    (config_.*set)(std::move(next));
    unsaved_ = true;
}

Settings::~Settings()
{
    for (auto& observer : observers_)
        observer.remove();
}

bool Settings::saveIsAutoLogout() const
{
    std::lock_guard lock(mutex_);
    return saveIsAutoLogout_;
}

void Settings::dispatch(const Notification& notification, const Subscription& subscription)
{
    const Text value = textOf(notification.userInfo, subscription.key);
    FollowUps followUps;
    {
        // Two replies may be handled on two workers at once; each check-then-write of a policy
        // must see the other's result. What follows runs after the lock is let go, since the
        // data manager may wait for the main thread there.
        std::lock_guard lock(mutex_);
        (this->*subscription.handler)(value, followUps);
    }
    for (auto& followUp : followUps)
        followUp();
}

void Settings::post(FollowUps& followUps, const char* name, ValueMap userInfo)
{
    followUps.push_back(
        [this, name, userInfo = std::move(userInfo)]() mutable { center_.post(name, nullptr, std::move(userInfo)); });
}

void Settings::onAutoLogout(const Text& value, FollowUps& followUps)
{
    update(&ConfigInfo::isAutoSignOut, &ConfigInfo::setIsAutoSignOut, flag(booleanReading(value)));
    const bool on = config_.isAutoSignOut() != 0;
    // The timer is started on the edge from off to on only; turning the policy off leaves a
    // running timer to notice it when it fires.
    if (on && !saveIsAutoLogout_)
        followUps.push_back([this] { delegate_.startAutoLogoutTime(); });
    saveIsAutoLogout_ = on;
}

void Settings::onSessionExpireTime(const Text& value, FollowUps&)
{
    update(&ConfigInfo::expireTime, &ConfigInfo::setExpireTime, integerReading(value));
}

void Settings::onSavePassword(const Text& value, FollowUps&)
{
    update(&ConfigInfo::savePasswordServer, &ConfigInfo::setSavePasswordServer,
        TextReading::lowByte(integerReading(value)));
}

void Settings::onDisableWebDownload(const Text& value, FollowUps&)
{
    update(&ConfigInfo::webPublishEnable, &ConfigInfo::setWebPublishEnable, flag(!booleanReading(value)));
}

void Settings::onAutoDeviceRegist(const Text& value, FollowUps& followUps)
{
    const bool on = booleanReading(value);
    if (on != (config_.autoDeviceRegist() != 0)) {
        update(&ConfigInfo::autoDeviceRegist, &ConfigInfo::setAutoDeviceRegist, flag(on));
        post(followUps, kNotificationAutoDeviceIdPolicyChanged, { { kAutoDeviceRegistUserInfoKey, on } });
    }
    // A device identifier once stored is never replaced here.
    if (config_.autoDeviceRegist() == 0 || !config_.deviceID().empty())
        return;
    std::string deviceId = delegate_.makeDeviceID(kDeviceIdPrefix);
    if (deviceId.empty()) {
        Log::line("No device identifier could be made for the automatic registration");
        return;
    }
    update(&ConfigInfo::deviceID, &ConfigInfo::setDeviceID, deviceId);
    post(followUps, kNotificationDeviceIdUpdated, { { kDeviceIdUserInfoKey, std::move(deviceId) } });
}

void Settings::onChangePasswordEnable(const Text& value, FollowUps&)
{
    update(&ConfigInfo::enabledChangePassword, &ConfigInfo::setEnabledChangePassword, flag(notZeroReading(value)));
}

void Settings::onEnableMail(const Text& value, FollowUps&)
{
    update(&ConfigInfo::enableMail, &ConfigInfo::setEnableMail, flag(notZeroReading(value)));
}

void Settings::onWebPublishMaxFileSize(const Text& value, FollowUps& followUps)
{
    const std::int64_t megabytes = integerReading(value);
    if (megabytes < 1 || megabytes > kLargestWebPublishMaxFileSize)
        return;
    update(&ConfigInfo::webPublishMaxFileSize, &ConfigInfo::setWebPublishMaxFileSize, megabytes);
    post(followUps, kNotificationWebPublishMaxFileSizeChange);
}

void Settings::onWebPublishMaxDay(const Text& value, FollowUps&)
{
    if (const std::int64_t days = integerReading(value); days > 0) {
        update(&ConfigInfo::webPublishMaxDay, &ConfigInfo::setWebPublishMaxDay, days);
    }
}

void Settings::onWebPublishMaxCount(const Text& value, FollowUps&)
{
    if (const std::int64_t count = integerReading(value); count > 0) {
        update(&ConfigInfo::webPublishMaxCount, &ConfigInfo::setWebPublishMaxCount, count);
    }
}

void Settings::onWebPublishInitDay(const Text& value, FollowUps&)
{
    if (const std::int64_t days = integerReading(value); days > 0) {
        update(&ConfigInfo::webPublishInitDay, &ConfigInfo::setWebPublishInitDay, days);
    }
}

void Settings::onWebPublishInitCount(const Text& value, FollowUps&)
{
    if (const std::int64_t count = integerReading(value); count > 0) {
        update(&ConfigInfo::webPublishInitCount, &ConfigInfo::setWebPublishInitCount, count);
    }
}

void Settings::onDisableAcceptFileFromOtherApp(const Text& value, FollowUps&)
{
    update(&ConfigInfo::disableAcceptFileFromOtherApp, &ConfigInfo::setDisableAcceptFileFromOtherApp,
        flag(isOneReading(value)));
}

void Settings::onDisableSendFileToOtherApp(const Text& value, FollowUps&)
{
    update(
        &ConfigInfo::disableSendFileToOtherApp, &ConfigInfo::setDisableSendFileToOtherApp, flag(isOneReading(value)));
}

void Settings::onEnablePdfViewer(const Text& value, FollowUps& followUps)
{
    const bool on = notZeroReading(value);
    const bool before = config_.enablePDFViewer() != 0;
    update(&ConfigInfo::enablePDFViewer, &ConfigInfo::setEnablePDFViewer, flag(on));
    if (on != before)
        post(followUps, kNotificationEnablePdfViewerChanged);
    if (!on)
        followUps.push_back([this] { delegate_.deletePDFXmlInfoFile(); });
}

void Settings::onDisablePdfNote(const Text& value, FollowUps& followUps)
{
    const bool disabled = notZeroReading(value);
    update(&ConfigInfo::disablePDFNote, &ConfigInfo::setDisablePDFNote, flag(disabled));
    post(followUps, kNotificationDisablePdfNoteChanged);
    if (disabled)
        followUps.push_back([this] { delegate_.deletePDFXmlInfoFile(); });
}

void Settings::onDisableShare(const Text& value, FollowUps& followUps)
{
    const bool disabled = isOneReading(value);
    const bool before = config_.disableShare() != 0;
    update(&ConfigInfo::disableShare, &ConfigInfo::setDisableShare, flag(disabled));
    if (disabled != before)
        post(followUps, kNotificationDisableShareChanged);
}

void Settings::onEnableLocalDownload(const Text& value, FollowUps&)
{
    update(&ConfigInfo::enabledLoaclDownload, &ConfigInfo::setEnabledLoaclDownload, flag(isOneReading(value)));
}

void Settings::onUseCache(const Text& value, FollowUps&)
{
    update(&ConfigInfo::cacheOn, &ConfigInfo::setCacheOn, TextReading::int32Value(value.value_or(std::string())));
}

} // namespace norvane
