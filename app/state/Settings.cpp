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
    config_.setIsAutoSignOut(flag(booleanReading(value)));
    config_.save();
    const bool on = config_.isAutoSignOut() != 0;
    // The timer is started on the edge from off to on only; turning the policy off leaves a
    // running timer to notice it when it fires.
    if (on && !saveIsAutoLogout_)
        followUps.push_back([this] { delegate_.startAutoLogoutTime(); });
    saveIsAutoLogout_ = on;
}

void Settings::onSessionExpireTime(const Text& value, FollowUps&)
{
    config_.setExpireTime(integerReading(value));
    config_.save();
}

void Settings::onSavePassword(const Text& value, FollowUps&)
{
    config_.setSavePasswordServer(TextReading::lowByte(integerReading(value)));
    config_.save();
}

void Settings::onDisableWebDownload(const Text& value, FollowUps&)
{
    config_.setWebPublishEnable(flag(!booleanReading(value)));
    config_.save();
}

void Settings::onAutoDeviceRegist(const Text& value, FollowUps& followUps)
{
    const bool on = booleanReading(value);
    if (on != (config_.autoDeviceRegist() != 0)) {
        config_.setAutoDeviceRegist(flag(on));
        config_.save();
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
    config_.setDeviceID(deviceId);
    config_.save();
    post(followUps, kNotificationDeviceIdUpdated, { { kDeviceIdUserInfoKey, std::move(deviceId) } });
}

void Settings::onChangePasswordEnable(const Text& value, FollowUps&)
{
    config_.setEnabledChangePassword(flag(notZeroReading(value)));
    config_.save();
}

void Settings::onEnableMail(const Text& value, FollowUps&)
{
    config_.setEnableMail(flag(notZeroReading(value)));
    config_.save();
}

void Settings::onWebPublishMaxFileSize(const Text& value, FollowUps& followUps)
{
    const std::int64_t megabytes = integerReading(value);
    if (megabytes < 1 || megabytes > kLargestWebPublishMaxFileSize)
        return;
    config_.setWebPublishMaxFileSize(megabytes);
    config_.save();
    post(followUps, kNotificationWebPublishMaxFileSizeChange);
}

void Settings::onWebPublishMaxDay(const Text& value, FollowUps&)
{
    if (const std::int64_t days = integerReading(value); days > 0) {
        config_.setWebPublishMaxDay(days);
        config_.save();
    }
}

void Settings::onWebPublishMaxCount(const Text& value, FollowUps&)
{
    if (const std::int64_t count = integerReading(value); count > 0) {
        config_.setWebPublishMaxCount(count);
        config_.save();
    }
}

void Settings::onWebPublishInitDay(const Text& value, FollowUps&)
{
    if (const std::int64_t days = integerReading(value); days > 0) {
        config_.setWebPublishInitDay(days);
        config_.save();
    }
}

void Settings::onWebPublishInitCount(const Text& value, FollowUps&)
{
    if (const std::int64_t count = integerReading(value); count > 0) {
        config_.setWebPublishInitCount(count);
        config_.save();
    }
}

void Settings::onDisableAcceptFileFromOtherApp(const Text& value, FollowUps&)
{
    config_.setDisableAcceptFileFromOtherApp(flag(isOneReading(value)));
    config_.save();
}

void Settings::onDisableSendFileToOtherApp(const Text& value, FollowUps&)
{
    config_.setDisableSendFileToOtherApp(flag(isOneReading(value)));
    config_.save();
}

void Settings::onEnablePdfViewer(const Text& value, FollowUps& followUps)
{
    const bool on = notZeroReading(value);
    const bool before = config_.enablePDFViewer() != 0;
    config_.setEnablePDFViewer(flag(on));
    config_.save();
    if (on != before)
        post(followUps, kNotificationEnablePdfViewerChanged);
    if (!on)
        followUps.push_back([this] { delegate_.deletePDFXmlInfoFile(); });
}

void Settings::onDisablePdfNote(const Text& value, FollowUps& followUps)
{
    const bool disabled = notZeroReading(value);
    config_.setDisablePDFNote(flag(disabled));
    config_.save();
    post(followUps, kNotificationDisablePdfNoteChanged);
    if (disabled)
        followUps.push_back([this] { delegate_.deletePDFXmlInfoFile(); });
}

void Settings::onDisableShare(const Text& value, FollowUps& followUps)
{
    const bool disabled = isOneReading(value);
    const bool before = config_.disableShare() != 0;
    config_.setDisableShare(flag(disabled));
    config_.save();
    if (disabled != before)
        post(followUps, kNotificationDisableShareChanged);
}

void Settings::onEnableLocalDownload(const Text& value, FollowUps&)
{
    config_.setEnabledLoaclDownload(flag(isOneReading(value)));
    config_.save();
}

void Settings::onUseCache(const Text& value, FollowUps&)
{
    config_.setCacheOn(TextReading::int32Value(value.value_or(std::string())));
    config_.save();
}

} // namespace norvane
