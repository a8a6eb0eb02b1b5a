#include "ManualMainQueue.h"
#include "StateTestHome.h"

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "formats/MD5DigestString.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace norvane;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPin = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
constexpr const char* kOtherPin = "sha256//47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";

class AppDataManagerTest : public StateTestHome {
protected:
    std::shared_ptr<AppDataManager> make(std::string locale = "en_US.UTF-8")
    {
        AppDataManager::Dependencies deps;
        deps.mainQueue = mainQueue_;
        deps.center = &center_;
        deps.watchReachability = false;
        deps.preferredLocale = [locale] { return locale; };
        deps.uploader = [](const WatchEntry&, WatchedFiles::UploadDone done) { done(1); };
        auto manager = AppDataManager::create(std::move(deps));
        manager->setLogoutHandler([this] { ++logouts_; });
        return manager;
    }

    StorageServiceConfig serviceConfig(AppDataManager& manager)
    {
        manager.initCloudService();
        return manager.cloudSrv()->storage()->config();
    }

    void setServers(ConfigInfo& config, const std::string& login, std::int64_t loginPort)
    {
        config.setUseHttps(1);
        config.setServerIP("files.example.test");
        config.setServerPort(8443);
        config.setLoginServerIP(login);
        config.setLoginServerPort(loginPort);
    }

    std::shared_ptr<ManualMainQueue> mainQueue_ = std::make_shared<ManualMainQueue>();
    NotificationCenter center_;
    int logouts_ = 0;
};

} // namespace

TEST_F(AppDataManagerTest, CreationSavesSettingsSelectsMyFolderAndClearsTheTemporaryFolder)
{
    const fs::path tmp = home_ / "tmp";
    fs::create_directories(tmp / "file_cache" / "folder");
    fs::create_directories(tmp / "do_not_delete_info");
    std::ofstream(tmp / "file_cache" / "folder" / "locked.txt") << "x";
    // Protected by taking write access away: still removed.
    fs::permissions(tmp / "file_cache" / "folder" / "locked.txt", fs::perms::owner_read);
    fs::permissions(tmp / "file_cache" / "folder", fs::perms::owner_read | fs::perms::owner_exec);

    auto manager = make();
    EXPECT_TRUE(fs::exists(configDir() / "ConfigInfo.xml"));
    EXPECT_FALSE(fs::exists(tmp / "file_cache"));
    EXPECT_TRUE(fs::exists(tmp / "do_not_delete_info"));
    EXPECT_EQ(manager->rootNodeType(), RootNodeMyFolder);
    EXPECT_EQ(manager->rootNode()->uk, "/FOLDER");

    manager->setRootNodeType(RootNodeFavorite);
    EXPECT_EQ(manager->rootNode()->uk, "/FOLDER/.Favorite.");
    EXPECT_EQ(manager->rootNode()->fullPath, "/.Favorite");
    EXPECT_EQ(AppDataManager::createRootNodeByType(42)->uk, "/");
}

TEST_F(AppDataManagerTest, ASecondProcessOnTheHomeClearsNothingTheFirstUses)
{
    const fs::path tmp = home_ / "tmp";
    const fs::path opened = tmp / "file_cache" / "F1" / "opened.txt";
    const fs::path preview = tmp / "CacheFile" / "p.jpg";
    auto first = make();
    for (const fs::path& file : { opened, preview }) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "in use";
    }
    ASSERT_TRUE(first->addWatchFile("/FILE/opened.txt", "/FILE/opened.txt", opened.string(), std::nullopt, Value()));

    // Another process starts on the same home, and quits again.
    auto second = make();
    EXPECT_TRUE(fs::exists(opened));
    second->clearCache();
    EXPECT_TRUE(fs::exists(opened));
    EXPECT_TRUE(fs::exists(preview));

    // The first one logs out while the other still runs: only its own opened files go.
    first->clearCache();
    EXPECT_FALSE(fs::exists(opened));
    EXPECT_TRUE(fs::exists(preview));
    EXPECT_TRUE(first->watchedFiles().entries().empty());

    // Alone again: everything disposable goes.
    second.reset();
    first->clearCache();
    EXPECT_FALSE(fs::exists(preview));
    EXPECT_TRUE(fs::exists(configDir() / "ConfigInfo.xml"));
}

TEST_F(AppDataManagerTest, ServiceValidatesCertificatesAndPinsATrustedServer)
{
    auto manager = make("ja_JP.UTF-8");
    ConfigInfo& config = manager->configDefine();
    setServers(config, "files.example.test", 8443);
    ASSERT_TRUE(config.setPinnedPublicKey("files.example.test", 8443, kPin));

    StorageServiceConfig service = serviceConfig(*manager);
    EXPECT_TRUE(service.sslValidate);
    EXPECT_EQ(service.pinnedPublicKey, kPin);
    EXPECT_EQ(service.connectUrl, "https://files.example.test:8443");
    EXPECT_EQ(service.loginIP, "files.example.test");
    EXPECT_EQ(service.loginPort, 8443);
    EXPECT_EQ(service.osLanguage, "ja-JP");
    EXPECT_EQ(service.maxUploadSize, 1048576u);
    EXPECT_EQ(service.maxCacheSize, 104857600u);
    EXPECT_FALSE(service.useProxy);
    // The installation identifier is made once, saved, and kept by later services.
    ASSERT_THAT(service.baseUUID, ::testing::SizeIs(36));
    ConfigInfo saved;
    saved.load();
    EXPECT_EQ(saved.baseUUID(), service.baseUUID);
    EXPECT_EQ(serviceConfig(*manager).baseUUID, service.baseUUID);
}

TEST_F(AppDataManagerTest, ServiceWithoutAPinThatFitsEveryServerStillValidates)
{
    auto manager = make();
    ConfigInfo& config = manager->configDefine();
    setServers(config, "files.example.test", 8443);
    StorageServiceConfig service = serviceConfig(*manager);
    EXPECT_TRUE(service.sslValidate);
    EXPECT_EQ(service.pinnedPublicKey, "");

    // A pin the login server does not share would break every login request.
    ASSERT_TRUE(config.setPinnedPublicKey("files.example.test", 8443, kPin));
    setServers(config, "login.example.test", 443);
    EXPECT_EQ(serviceConfig(*manager).pinnedPublicKey, "");
    ASSERT_TRUE(config.setPinnedPublicKey("login.example.test", 443, kOtherPin));
    EXPECT_EQ(serviceConfig(*manager).pinnedPublicKey, "");
    ASSERT_TRUE(config.setPinnedPublicKey("login.example.test", 443, kPin));
    EXPECT_EQ(serviceConfig(*manager).pinnedPublicKey, kPin);
}

TEST_F(AppDataManagerTest, ServiceTakesTheProxyAndAddressFormsFromTheSettings)
{
    auto manager = make("zh_TW.UTF-8");
    ConfigInfo& config = manager->configDefine();
    config.setUseHttps(0);
    config.setServerIP("::1");
    config.setServerPort(8080);
    config.setUseProxy(1);
    config.setProxyIP("proxy.example.test");
    config.setProxyPort(3128);
    config.setProxyUser("alice");
    config.setProxyPass("secret");
    StorageServiceConfig service = serviceConfig(*manager);
    EXPECT_EQ(service.connectUrl, "http://[::1]:8080");
    EXPECT_TRUE(service.useProxy);
    EXPECT_EQ(service.proxyHost, "proxy.example.test");
    EXPECT_EQ(service.proxyPort, 3128);
    EXPECT_EQ(service.proxyUser, "alice");
    EXPECT_EQ(service.proxyPass, "secret");
    EXPECT_EQ(service.osLanguage, "en-US"); // traditional Chinese

    EXPECT_EQ(AppDataManager::osLanguageFor("zh-Hans"), "zh-CN");
    EXPECT_EQ(AppDataManager::osLanguageFor("zh_CN.UTF-8"), "zh-CN");
    EXPECT_EQ(AppDataManager::osLanguageFor("ja"), "ja-JP");
}

TEST_F(AppDataManagerTest, AutoLogoutRestartsAtEveryServerAccessAndFiresOnce)
{
    auto manager = make();
    manager->configDefine().setIsAutoSignOut(1);
    manager->configDefine().setExpireTime(300);

    center_.post(kNotificationServerAccessCompleted); // idle: starts nothing
    EXPECT_FALSE(manager->isRunLogoutTime());
    EXPECT_EQ(mainQueue_->pendingDelayed(), 0u);

    manager->startAutoLogoutTime();
    manager->startAutoLogoutTime(); // already scheduled: not twice
    EXPECT_EQ(mainQueue_->pendingDelayed(), 1u);
    mainQueue_->advance(299);
    center_.post(kNotificationServerAccessCompleted);
    mainQueue_->advance(299);
    EXPECT_EQ(logouts_, 0);
    mainQueue_->advance(1);
    EXPECT_EQ(logouts_, 1);
    EXPECT_FALSE(manager->isRunLogoutTime());
    mainQueue_->advance(1000);
    EXPECT_EQ(logouts_, 1);

    manager->startAutoLogoutTime();
    manager->stopAutoLogoutTime();
    mainQueue_->advance(1000);
    EXPECT_EQ(logouts_, 1);
}

TEST_F(AppDataManagerTest, AutoLogoutObeysThePolicyAndHopsToTheMainThread)
{
    auto manager = make();
    ConfigInfo& config = manager->configDefine();
    config.setIsAutoSignOut(1);
    for (std::int64_t never : { 0, -5 }) {
        config.setExpireTime(never);
        manager->startAutoLogoutTime();
        EXPECT_FALSE(manager->isRunLogoutTime()) << never;
        EXPECT_EQ(mainQueue_->pendingDelayed(), 0u) << never;
    }

    config.setExpireTime(60);
    std::thread([&] { manager->startAutoLogoutTime(); }).join();
    EXPECT_EQ(mainQueue_->pendingDelayed(), 0u); // not on the worker
    mainQueue_->runPosted();
    EXPECT_TRUE(manager->isRunLogoutTime());

    // Switched off meanwhile: the timer goes off without a logout, and the next access ends it.
    config.setIsAutoSignOut(0);
    mainQueue_->advance(60);
    EXPECT_EQ(logouts_, 0);
    center_.post(kNotificationServerAccessCompleted);
    EXPECT_FALSE(manager->isRunLogoutTime());
}

TEST_F(AppDataManagerTest, AutoLogoutTakesOneRestartFromAWorkersBurstOfAccesses)
{
    auto manager = make();
    manager->configDefine().setIsAutoSignOut(1);
    manager->configDefine().setExpireTime(300);
    manager->startAutoLogoutTime();
    mainQueue_->advance(200);

    // A transfer's chunks each report an access: the main thread hears of one restart.
    std::thread([&] {
        for (int chunk = 0; chunk < 100; ++chunk)
            center_.post(kNotificationServerAccessCompleted);
    }).join();
    EXPECT_EQ(mainQueue_->pendingPosted(), 1u);
    mainQueue_->runPosted();
    mainQueue_->advance(299);
    EXPECT_EQ(logouts_, 0);
    mainQueue_->advance(1);
    EXPECT_EQ(logouts_, 1);
}

TEST(AppDataManagerHelpers, FormatFileSize)
{
    const std::pair<std::int64_t, const char*> cases[] = {
        { -5, "-5 B" },
        { 0, "0 B" },
        { 1023, "1023 B" },
        { 1024, "1.0 KB" },
        { 1536, "1.5 KB" },
        { 1048575, "1024.0 KB" },
        { 1048576, "1.0 MB" },
        { 1073741823, "1024.0 MB" },
        { 1073741824, "1.0 GB" },
        { 1099511627775, "1024.0 GB" },
        { 1099511627776, "1.0 TB" },
        { INT64_MAX, "8388608.0 TB" },
    };
    for (const auto& [size, text] : cases)
        EXPECT_EQ(AppDataManager::formatFileSize(size), text) << size;
}

TEST_F(AppDataManagerTest, IdentifiersAreMadeSavedAndAnnounced)
{
    EXPECT_THAT(AppDataManager::createUUID(),
        ::testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
    EXPECT_NE(AppDataManager::createUUID(), AppDataManager::createUUID());

    const auto when = std::chrono::system_clock::now();
    std::string digest
        = MD5DigestString("BASE" + Path::dateStringWithFormat("yyyyMMddHHmmss", when) + "NorvaneClient").value();
    for (char& c : digest)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(AppDataManager::makeDeviceID("dc09", "BASE", when), "dc09" + digest);

    auto manager = make();
    std::vector<std::string> announced;
    auto token = center_.addObserver(kNotificationDeviceIdUpdated, nullptr,
        [&](const Notification& n) { announced.push_back(*n.userInfo.at(kDeviceIdUserInfoKey).string()); });
    const std::string id = manager->makeDeviceID("dc09");
    ASSERT_THAT(id, ::testing::MatchesRegex("dc09[0-9A-F]{32}"));
    EXPECT_FALSE(manager->configDefine().baseUUID().empty()); // made for it
    manager->setDeviceID(id);
    EXPECT_THAT(announced, ::testing::ElementsAre(id));
    ConfigInfo saved;
    saved.load();
    EXPECT_EQ(saved.deviceID(), id);

    fileInformation entry;
    entry.fileExt = FileExtPresentation;
    EXPECT_EQ(AppDataManager::getFileTypeString(entry), "パワーポイント");
    entry.fileExt = 17;
    EXPECT_EQ(AppDataManager::getFileTypeString(entry), "不明");
}

TEST_F(AppDataManagerTest, SystemProxyComesWithItsStoredPassword)
{
    AppDataManager::Dependencies deps;
    deps.mainQueue = mainQueue_;
    deps.center = &center_;
    std::vector<std::pair<std::string, bool>> asked;
    deps.systemProxies = [](const std::string& url) -> std::optional<std::vector<ProxyEntry>> {
        if (url.starts_with("https"))
            return std::vector<ProxyEntry> { ProxyEntry {} }; // direct
        return std::vector<ProxyEntry> { { ProxyEntry::Type::Http, "proxy.example.test", 3128, {} } };
    };
    deps.proxyCredential = [&](std::string_view host, bool https) -> std::optional<ProxyCredential> {
        asked.emplace_back(host, https);
        return ProxyCredential { "alice", "pa\xC3\xA9" };
    };
    auto manager = AppDataManager::create(std::move(deps));
    DetectedProxy http = manager->detectHttpProxy();
    EXPECT_EQ(http.host, "proxy.example.test");
    EXPECT_EQ(http.port, 3128u);
    EXPECT_EQ(http.user, "alice");
    EXPECT_EQ(http.password, "pa\xC3\xA9");
    DetectedProxy https = manager->detectHttpsProxy();
    EXPECT_FALSE(https.host.has_value());
    EXPECT_FALSE(https.password.has_value());
    EXPECT_EQ(asked, (std::vector<std::pair<std::string, bool>> { { "proxy.example.test", false } }));
}
