#include "StateTestHome.h"

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "CloudServiceSDKForMac/CloudService/httpHeaderInfo.h"
#include "app/state/ConfigInfo.h"
#include "app/state/Settings.h"
#include "app/state/TextReading.h"

#include <gmock/gmock.h>

#include <map>
#include <sys/inotify.h>
#include <unistd.h>

using namespace norvane;

namespace {

class FakeDelegate : public SettingsDelegate {
public:
    void startAutoLogoutTime() override { ++timerStarts; }
    std::string makeDeviceID(std::string_view prefix) override
    {
        prefixes.emplace_back(prefix);
        return nextDeviceId;
    }
    void deletePDFXmlInfoFile() override { ++noteDeletions; }

    int timerStarts = 0;
    int noteDeletions = 0;
    std::vector<std::string> prefixes;
    std::string nextDeviceId = "dc09ABCDEF";
};

class SettingsTest : public StateTestHome {
protected:
    void SetUp() override
    {
        StateTestHome::SetUp();
        for (const char* name : { kNotificationAutoDeviceIdPolicyChanged, kNotificationDeviceIdUpdated,
                 kNotificationWebPublishMaxFileSizeChange, kNotificationEnablePdfViewerChanged,
                 kNotificationDisablePdfNoteChanged, kNotificationDisableShareChanged })
            observers_.push_back(
                center_.addObserver(name, nullptr, [this](const Notification& n) { posted_.push_back(n); }));
        settings_ = std::make_unique<Settings>(config_, delegate_, center_);
    }

    // A policy as the adaptor posts it: the header text under the row's key; none leaves it out.
    void policy(const char* name, const char* key, std::optional<std::string> text)
    {
        ValueMap info;
        if (text)
            info.emplace(key, *text);
        center_.post(name, this, std::move(info));
    }

    // The end of a response, as the adaptor announces it after its policies.
    void responseEnds() { center_.post(kNotificationPolicyHeadersHandled, this); }

    // The settings file as the next start would read it, once the response has ended.
    std::unique_ptr<ConfigInfo> saved()
    {
        responseEnds();
        auto reread = std::make_unique<ConfigInfo>();
        EXPECT_TRUE(reread->load());
        return reread;
    }

    int postedCount(std::string_view name) const
    {
        return static_cast<int>(std::count_if(posted_.begin(), posted_.end(), [&](auto& n) { return n.name == name; }));
    }

    NotificationCenter center_;
    ConfigInfo config_;
    FakeDelegate delegate_;
    std::vector<Notification> posted_;
    std::vector<ObserverToken> observers_;
    std::unique_ptr<Settings> settings_;
};

} // namespace

TEST(TextReading, IntegerLimitsAndBooleanTexts)
{
    EXPECT_EQ(TextReading::integerValue("-99999999999999999999"), INT64_MIN);
    for (const char* yes : { "1", " 007", "-1", "Yes", "true", "t", "+0009" })
        EXPECT_TRUE(TextReading::boolValue(yes)) << yes;
    for (const char* no : { "", "0", "000", "no", "false", " ", "-0" })
        EXPECT_FALSE(TextReading::boolValue(no)) << no;
}

TEST_F(SettingsTest, EveryFollowedPolicyIsOneTheAdaptorPostsUnderTheSameKey)
{
    std::map<std::string, std::string> adaptorKeys;
    for (const auto& row : RestStorageServiceAdaptor::policyHeaderTable())
        adaptorKeys[row.notification] = row.key;
    EXPECT_EQ(adaptorKeys[kNotificationEnableLocalDownload], "enableLocalDownload");
    EXPECT_EQ(adaptorKeys[kNotificationUseCache], "cache");
    EXPECT_EQ(adaptorKeys[kNotificationAutoLogout], "autoLogout");
    EXPECT_EQ(adaptorKeys[kNotificationDisablePdfNote], "disablePDFNote");
    EXPECT_EQ(adaptorKeys[kNotificationWebPublishMaxFileSize], "webPublishMaxFileSize");
}

TEST_F(SettingsTest, ValuesLandWithTheirReadingAndAreSaved)
{
    policy(kNotificationUseSessionExpireTime, "expireTime", " 600s");
    policy(kNotificationUseSavePassword, "savePassword", "257");
    policy(kNotificationDisableWebDownload, "disableWebDownload", "Yes");
    policy(kNotificationChangePasswordEnable, "changePasswordEnable", "2");
    policy(kNotificationEnableMail, "enableMail", "0");
    policy(kNotificationDisableAcceptFileFromOtherApp, "disableAcceptFileFromOtherApp", "01");
    policy(kNotificationDisableSendFileToOtherApp, "disableSendFileToOtherApp", "1");
    policy(kNotificationEnableLocalDownload, "enableLocalDownload", "true");
    policy(kNotificationUseCache, "cache", "-3000000000");
    policy(kNotificationWebPublishMaxDay, "webPublishMaxDay", "30");
    policy(kNotificationWebPublishMaxCount, "webPublishMaxCount", "0");
    policy(kNotificationWebPublishInitDay, "webPublishInitDay", "-1");
    policy(kNotificationWebPublishInitCount, "webPublishInitCount", "5");

    auto file = saved();
    EXPECT_EQ(file->expireTime(), 600);
    EXPECT_EQ(file->savePasswordServer(), 1);
    EXPECT_EQ(file->webPublishEnable(), 0);
    EXPECT_EQ(file->enabledChangePassword(), 1); // not-"0"
    EXPECT_EQ(file->enableMail(), 0);
    EXPECT_EQ(file->disableAcceptFileFromOtherApp(), 0); // is-"1" only
    EXPECT_EQ(file->disableSendFileToOtherApp(), 1);
    EXPECT_EQ(file->enabledLoaclDownload(), 0);
    EXPECT_EQ(file->cacheOn(), INT32_MIN);
    EXPECT_EQ(file->webPublishMaxDay(), 30);
    EXPECT_EQ(file->webPublishMaxCount(), 100); // 0 ignored
    EXPECT_EQ(file->webPublishInitDay(), 2); // negative ignored
    EXPECT_EQ(file->webPublishInitCount(), 5);

    // Missing values: integer 0, not-"0" true, is-"1" false.
    policy(kNotificationUseSessionExpireTime, "expireTime", std::nullopt);
    policy(kNotificationEnableMail, "enableMail", std::nullopt);
    policy(kNotificationDisableSendFileToOtherApp, "disableSendFileToOtherApp", std::nullopt);
    policy(kNotificationUseSavePassword, "savePassword", "256");
    file = saved();
    EXPECT_EQ(file->expireTime(), 0);
    EXPECT_EQ(file->enableMail(), 1);
    EXPECT_EQ(file->disableSendFileToOtherApp(), 0);
    EXPECT_EQ(file->savePasswordServer(), 0);
    EXPECT_TRUE(posted_.empty());
}

TEST_F(SettingsTest, MaxFileSizeIsTakenOnlyWithinItsRange)
{
    for (const char* refused : { "2049", "0", "-5", "" })
        policy(kNotificationWebPublishMaxFileSize, "webPublishMaxFileSize", refused);
    responseEnds();
    EXPECT_FALSE(std::filesystem::exists(configDir() / "ConfigInfo.xml"));
    EXPECT_EQ(postedCount(kNotificationWebPublishMaxFileSizeChange), 0);

    policy(kNotificationWebPublishMaxFileSize, "webPublishMaxFileSize", "2048");
    EXPECT_EQ(saved()->webPublishMaxFileSize(), 2048);
    EXPECT_EQ(postedCount(kNotificationWebPublishMaxFileSizeChange), 1);
}

TEST_F(SettingsTest, AutoLogoutStartsTheTimerOnlyWhenItTurnsOn)
{
    policy(kNotificationAutoLogout, "autoLogout", "1");
    policy(kNotificationAutoLogout, "autoLogout", "1");
    EXPECT_EQ(delegate_.timerStarts, 1);
    EXPECT_EQ(saved()->isAutoSignOut(), 1);
    policy(kNotificationAutoLogout, "autoLogout", "0");
    EXPECT_FALSE(settings_->saveIsAutoLogout());
    EXPECT_EQ(saved()->isAutoSignOut(), 0);
    policy(kNotificationAutoLogout, "autoLogout", "y");
    EXPECT_EQ(delegate_.timerStarts, 2);
}

TEST_F(SettingsTest, AutomaticRegistrationMakesADeviceIdOnceAndAnnouncesIt)
{
    policy(kNotificationAutoDeviceRegist, "autoDeviceRegist", "1");
    EXPECT_EQ(delegate_.prefixes, std::vector<std::string> { "dc09" });
    EXPECT_EQ(saved()->deviceID(), "dc09ABCDEF");
    EXPECT_EQ(saved()->autoDeviceRegist(), 1);
    ASSERT_EQ(posted_.size(), 2u);
    EXPECT_EQ(posted_[0].name, kNotificationAutoDeviceIdPolicyChanged);
    EXPECT_EQ(posted_[0].userInfo.at(kAutoDeviceRegistUserInfoKey), Value(true));
    EXPECT_EQ(posted_[1].name, kNotificationDeviceIdUpdated);
    EXPECT_EQ(posted_[1].userInfo.at(kDeviceIdUserInfoKey), Value("dc09ABCDEF"));

    // A repeated "on" with an identifier stored changes and posts nothing.
    delegate_.nextDeviceId = "dc09OTHER";
    policy(kNotificationAutoDeviceRegist, "autoDeviceRegist", "1");
    EXPECT_EQ(posted_.size(), 2u);
    EXPECT_EQ(config_.deviceID(), "dc09ABCDEF");

    // The request headers follow the announced identifier.
    config_.setDeviceID("");
    httpHeaderInfo headers("base", center_);
    policy(kNotificationAutoDeviceRegist, "autoDeviceRegist", "1");
    EXPECT_EQ(headers.theNewDeviceId(), "dc09OTHER");

    policy(kNotificationAutoDeviceRegist, "autoDeviceRegist", "0");
    EXPECT_EQ(postedCount(kNotificationAutoDeviceIdPolicyChanged), 2);
    EXPECT_EQ(saved()->autoDeviceRegist(), 0);
}

TEST_F(SettingsTest, PageViewerNoteAndSharePoliciesAnnounceAndDeleteAsTheyShould)
{
    policy(kNotificationDisablePdfNote, "disablePDFNote", "0");
    EXPECT_EQ(postedCount(kNotificationDisablePdfNoteChanged), 1);
    EXPECT_EQ(delegate_.noteDeletions, 0);
    policy(kNotificationDisablePdfNote, "disablePDFNote", "1");
    EXPECT_EQ(postedCount(kNotificationDisablePdfNoteChanged), 2);
    EXPECT_EQ(delegate_.noteDeletions, 1);

    policy(kNotificationEnablePdfViewer, "enablePDFViewer", std::nullopt); // missing: on
    EXPECT_EQ(postedCount(kNotificationEnablePdfViewerChanged), 1);
    EXPECT_EQ(delegate_.noteDeletions, 1);
    policy(kNotificationEnablePdfViewer, "enablePDFViewer", "0");
    EXPECT_EQ(postedCount(kNotificationEnablePdfViewerChanged), 2);
    EXPECT_EQ(delegate_.noteDeletions, 2);
    EXPECT_EQ(saved()->enablePDFViewer(), 0);

    policy(kNotificationDisableShare, "disableShare", "1");
    policy(kNotificationDisableShare, "disableShare", "1");
    EXPECT_EQ(postedCount(kNotificationDisableShareChanged), 1);
    EXPECT_EQ(saved()->disableShare(), 1);
}

TEST_F(SettingsTest, NothingIsHandledAfterDestruction)
{
    settings_.reset();
    policy(kNotificationUseSessionExpireTime, "expireTime", "5");
    EXPECT_EQ(config_.expireTime(), 300);
}

// Settings files written into a folder, counted by the renames that put them in place.
class RenameCounter {
public:
    explicit RenameCounter(const std::filesystem::path& folder)
        : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        EXPECT_GE(inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO), 0);
    }
    ~RenameCounter() { ::close(fd_); }
    int take()
    {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + n;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                count += std::string_view(event->name).starts_with("ConfigInfo") ? 1 : 0;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return count;
    }

private:
    int fd_;
};

TEST_F(SettingsTest, AResponseWritesTheFileOnceAndOnlyWhenAValueChanged)
{
    // The real adaptor's policy table, on the centre it posts to.
    Settings settings(config_, delegate_);
    RestStorageServiceAdaptor adaptor;
    const ASIHeaderMap first { { "x-zel-auto-logout", "1" }, { "x-zel-use-session-expiretime", "600" },
        { "x-zel-use-save-password", "1" }, { "x-zel-enable-mail", "0" }, { "x-zel-disableShare", "1" },
        { "x-zel-file-web-publish-max-day", "30" }, { "X-Zel-Usecache", "0" }, { "X-Zel-Storage", "1/2" } };
    adaptor.postNotification(first);
    ASSERT_EQ(saved()->expireTime(), 600);

    RenameCounter renames(configDir());
    adaptor.postNotification(first);
    EXPECT_EQ(renames.take(), 0) << "nothing changed";
    ASIHeaderMap second = first;
    second["x-zel-use-session-expiretime"] = "900";
    second["x-zel-enable-mail"] = "1";
    adaptor.postNotification(second);
    EXPECT_EQ(renames.take(), 1) << "two values changed in one response";
    auto file = std::make_unique<ConfigInfo>();
    ASSERT_TRUE(file->load());
    EXPECT_EQ(file->expireTime(), 900);
    EXPECT_EQ(file->enableMail(), 1);
}
