#pragma once

#include "platform/NotificationCenter.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

class ConfigInfo;

// Policy notifications the settings follow (posted by the storage adaptor for each policy header
// of a reply, with the header's text in the user info under the key beside each name).
inline constexpr const char* kNotificationAutoLogout = "NOTIFICATION_AUTO_LOGOUT"; // "autoLogout"
inline constexpr const char* kNotificationUseSessionExpireTime = "NOTIFICATION_USE_SESSION_EXPIRE_TIME"; // "expireTime"
inline constexpr const char* kNotificationUseSavePassword = "NOTIFICATION_USE_SAVE_PASSWORD"; // "savePassword"
inline constexpr const char* kNotificationDisableWebDownload = "NOTIFICATION_DISABLE_WEB_DOWNLOAD";
inline constexpr const char* kNotificationAutoDeviceRegist = "NOTIFICATION_AUTO_DEVICE_REGIST";
inline constexpr const char* kNotificationChangePasswordEnable = "NOTIFICATION_CHANGE_PASSWORD_ENABLE";
inline constexpr const char* kNotificationEnableMail = "NOTIFICATION_ENABLE_MAIL";
inline constexpr const char* kNotificationWebPublishMaxFileSize = "NOTIFICATION_FILE_WEB_PUBLISH_MAX_FILE_SIZE";
inline constexpr const char* kNotificationWebPublishMaxDay = "NOTIFICATION_FILE_WEB_PUBLISH_MAX_DAY";
inline constexpr const char* kNotificationWebPublishMaxCount = "NOTIFICATION_FILE_WEB_PUBLISH_MAX_COUNT";
inline constexpr const char* kNotificationWebPublishInitDay = "NOTIFICATION_FILE_WEB_PUBLISH_INIT_DAY";
inline constexpr const char* kNotificationWebPublishInitCount = "NOTIFICATION_FILE_WEB_PUBLISH_INIT_COUNT";
inline constexpr const char* kNotificationDisableAcceptFileFromOtherApp
    = "NOTIFICATION_DISABLE_ACCEPT_FILE_FROM_OTHER_APP";
inline constexpr const char* kNotificationDisableSendFileToOtherApp = "NOTIFICATION_DISABLE_SEND_FILE_TO_OTHER_APP";
inline constexpr const char* kNotificationEnablePdfViewer = "NOTIFICATION_ENABLE_PDF_VIEWER";
inline constexpr const char* kNotificationDisablePdfNote = "NOTIFICATION_DISABLE_PDFNOTE";
inline constexpr const char* kNotificationDisableShare = "NOTIFICATION_DISABLE_SHARE";
inline constexpr const char* kNotificationEnableLocalDownload = "NOTIFICATION_ENABLE_LOCAL_DOWNLOAD";
inline constexpr const char* kNotificationUseCache = "USE_CACHE_CHANGE"; // "cache"
// Posted by the adaptor after the policy notifications of one response: the settings file is
// written then, once, when a value changed.
inline constexpr const char* kNotificationPolicyHeadersHandled = "NOTIFICATION_POLICY_HEADERS_HANDLED";

// Notifications the settings post when a policy changed. None carries an object; the two with a
// value carry it in the user info.
inline constexpr const char* kNotificationAutoDeviceIdPolicyChanged = "NOTIFICATION_AUTO_DEVICE_ID_POLICY_CHANGED";
inline constexpr const char* kAutoDeviceRegistUserInfoKey = "autoDeviceRegist"; // bool
inline constexpr const char* kNotificationWebPublishMaxFileSizeChange = "WEB_PUBLISH_MAX_FILE_SIZE_CHANGE";
inline constexpr const char* kNotificationEnablePdfViewerChanged = "NOTIFICATION_ENABLE_PDF_VIEWER_CHANGED";
inline constexpr const char* kNotificationDisablePdfNoteChanged = "NOTIFICATION_DISABLE_PDFNOTE_CHANGED";
inline constexpr const char* kNotificationDisableShareChanged = "NOTIFICATION_DISABLE_SHARE_CHANGED";
// The new device identifier goes out as kNotificationDeviceIdUpdated with the identifier under
// kDeviceIdUserInfoKey (httpHeaderInfo.h), which the request headers follow.

// What the settings ask of the application around them; the data manager implements it.
class SettingsDelegate {
public:
    virtual ~SettingsDelegate() = default;
    // The automatic logout has just been switched on: start the inactivity timer. Called on the
    // thread that posted the policy, outside the settings' lock.
    virtual void startAutoLogoutTime() = 0;
    // A new device identifier for `prefix` (made from the installation's identifier and the
    // time); empty when none can be made. Called with the settings' lock held: it must not wait
    // for another thread.
    virtual std::string makeDeviceID(std::string_view prefix) = 0;
    // The page-note data is no longer allowed: delete its record file. Called outside the lock.
    virtual void deletePDFXmlInfoFile() = 0;
};

// Turns the server's policy notifications into settings: each handler writes its field of the
// ConfigInfo in memory and starts what follows (timer, device identifier, page-note deletion,
// "changed" notifications); the file is saved once when the response's policies are all handled
// (kNotificationPolicyHeadersHandled), and only when a value changed. Handlers run on the posting
// thread, one at a time.
//
// Values arrive as text and are read in one of four ways: integer (TextReading::integerValue),
// boolean (TextReading::boolValue), not-"0" (true unless present and exactly "0") and is-"1"
// (true only when present and exactly "1"). A missing value reads as the empty text.
class Settings {
public:
    static constexpr const char* kDeviceIdPrefix = "dc09";

    // Subscribes to every policy notification of `center` (any object) until destruction. The
    // record and the delegate must outlive this object.
    Settings(ConfigInfo& config, SettingsDelegate& delegate,
        NotificationCenter& center = NotificationCenter::defaultCenter());
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    // The auto-logout policy as the last auto-logout notification left it.
    bool saveIsAutoLogout() const;

private:
    using Text = std::optional<std::string>;
    using FollowUps = std::vector<std::function<void()>>;
    using Handler = void (Settings::*)(const Text&, FollowUps&);

    struct Subscription {
        const char* notification;
        const char* key;
        Handler handler;
    };
    static const std::vector<Subscription>& subscriptions();

    void dispatch(const Notification& notification, const Subscription& subscription);
    // Sets a field to value when it differs, and remembers that the file is behind.
    template <class T, class V> void update(T (ConfigInfo::*get)() const, void (ConfigInfo::*set)(T), V value);
    void saveChanges();
    void post(FollowUps& followUps, const char* name, ValueMap userInfo = {});

    void onAutoLogout(const Text& value, FollowUps& followUps);
    void onSessionExpireTime(const Text& value, FollowUps& followUps);
    void onSavePassword(const Text& value, FollowUps& followUps);
    void onDisableWebDownload(const Text& value, FollowUps& followUps);
    void onAutoDeviceRegist(const Text& value, FollowUps& followUps);
    void onChangePasswordEnable(const Text& value, FollowUps& followUps);
    void onEnableMail(const Text& value, FollowUps& followUps);
    void onWebPublishMaxFileSize(const Text& value, FollowUps& followUps);
    void onWebPublishMaxDay(const Text& value, FollowUps& followUps);
    void onWebPublishMaxCount(const Text& value, FollowUps& followUps);
    void onWebPublishInitDay(const Text& value, FollowUps& followUps);
    void onWebPublishInitCount(const Text& value, FollowUps& followUps);
    void onDisableAcceptFileFromOtherApp(const Text& value, FollowUps& followUps);
    void onDisableSendFileToOtherApp(const Text& value, FollowUps& followUps);
    void onEnablePdfViewer(const Text& value, FollowUps& followUps);
    void onDisablePdfNote(const Text& value, FollowUps& followUps);
    void onDisableShare(const Text& value, FollowUps& followUps);
    void onEnableLocalDownload(const Text& value, FollowUps& followUps);
    void onUseCache(const Text& value, FollowUps& followUps);

    ConfigInfo& config_;
    SettingsDelegate& delegate_;
    NotificationCenter& center_;
    mutable std::mutex mutex_;
    bool saveIsAutoLogout_ = false;
    bool unsaved_ = false; // a value changed since the file was last written
    // Last: removed first on destruction, before anything their callbacks use.
    std::vector<ObserverToken> observers_;
};

} // namespace norvane
