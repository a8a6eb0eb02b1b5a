#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ProxyAutoConfig.h"
#include "CloudServiceSDKForMac/CloudService/CloudService.h"
#include "CloudServiceSDKForMac/CloudService/StorageServiceConfig.h"
#include "app/logic/OperationEnvironment.h"
#include "app/logic/UnsentEdits.h"
#include "app/state/AutoLogoutTimer.h"
#include "app/state/ConfigInfo.h"
#include "app/state/NetPrintInfo.h"
#include "app/state/PermissionRules.h"
#include "app/state/SecretStore.h"
#include "app/state/Settings.h"
#include "app/state/TemporaryAreaUse.h"
#include "app/state/WatchedFiles.h"
#include "platform/NotificationCenter.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvane {

class FileEventStream;
class MainQueue;
class RunLoop;
class StorageServiceAdaptor;

// The items of the file window's side bar.
enum RootNodeType : std::int32_t {
    RootNodeMyFolder = 1,
    RootNodePhotos = 2,
    RootNodeMemo = 3,
    RootNodeRecorder = 4,
    RootNodeFavorite = 5,
    RootNodeShare = 6,
};

// A group of the side bar: its title and its items (title, RootNodeType) in display order.
struct SideBarGroup {
    std::string title;
    std::vector<std::pair<std::string, std::int32_t>> items;
};

// A proxy as the system's settings name it, with what the credential store holds for it. No
// host means no proxy for that protocol.
struct DetectedProxy {
    std::optional<std::string> host;
    std::uint32_t port = 0;
    std::optional<std::string> user;
    std::optional<std::string> password;
};

// The state of the application, one per process (shardAppDataManager): the settings and the
// policy bridge over them, the one command service built from the settings, the side-bar roots,
// the opened files watched for edits, the inactivity logout and the print-job list. The
// operations reach it as their OperationEnvironment.
//
// Creation loads the settings and saves them back at once, selects My folder and, when no other
// process uses the same home, clears the disposable part of the temporary folder. Several
// processes (the desktop client, norvane-cli runs) may work on one home at the same time: none
// clears what another one may be using, and no clearing ever removes a cache copy whose last
// change has not reached the server. Destroy it on the main thread (tests make their own).
class AppDataManager final : public OperationEnvironment,
                             public SettingsDelegate,
                             public CloudServiceDelegate,
                             public std::enable_shared_from_this<AppDataManager> {
public:
    // What the manager stands on; every empty member means the real thing.
    struct Dependencies {
        std::shared_ptr<MainQueue> mainQueue; // MainQueue::shared()
        NotificationCenter* center = nullptr; // the default centre
        // Re-uploads an edited file: StorageServiceLogic::uploadFileByFile.
        WatchedFiles::Uploader uploader;
        // Runs the content checks of edited files: a serial queue.
        WatchedFiles::Executor watchChecks;
        // Where the cache folder's events are read: a thread of the stream's own.
        std::shared_ptr<RunLoop> fileEventLoop;
        double fileEventLatency = 1.0;
        // The user's first preferred locale ("ja_JP.UTF-8", "zh-Hans"): from the environment.
        std::function<std::string()> preferredLocale;
        // The storage adaptor a new command service runs on: RestStorageServiceAdaptor.
        std::function<std::unique_ptr<StorageServiceAdaptor>()> makeAdaptor;
        bool watchReachability = true;
        // The system's proxy list for a URL: SystemProxySettings (libproxy).
        std::function<std::optional<std::vector<ProxyEntry>>(const std::string& url)> systemProxies;
        // A stored proxy password: SecretStore.
        std::function<std::optional<ProxyCredential>(std::string_view host, bool https)> proxyCredential;
    };

    static constexpr const char* kFileCacheCategory = "file_cache";
    // Beside the temporary folder: who uses it (TemporaryAreaUse).
    static constexpr const char* kTemporaryLockFile = "temporary-folder.lock";
    // Categories of the temporary folder that survive clearCache.
    static const std::vector<std::string>& keptCategories();
    // Fixed values of the command service's configuration.
    static constexpr std::uint64_t kTransferChunkSize = 1048576;
    static constexpr std::uint64_t kMaxCacheSize = 104857600;

    static std::shared_ptr<AppDataManager> create();
    static std::shared_ptr<AppDataManager> create(Dependencies dependencies);
    // The process-wide instance, made on first use and kept until the process ends; it is also
    // made the operations' environment.
    static std::shared_ptr<AppDataManager> shardAppDataManager();

    ~AppDataManager() override;
    AppDataManager(const AppDataManager&) = delete;
    AppDataManager& operator=(const AppDataManager&) = delete;

    // --- settings ---
    ConfigInfo& configDefine() { return *config_; }
    Settings& settings() { return *settings_; }
    // The system's version ("12" for Debian 12), read once at creation.
    const std::string& systemVersion() const { return systemVersion_; }

    // --- command service ---
    // The service, built on first use.
    std::shared_ptr<CloudService> cloudSrv();
    // Builds a new service from the settings, replacing the one there was (operations still
    // running keep the old one until they are done).
    void initCloudService();
    // The configuration the settings ask for. Certificates are always validated; a server
    // whose public key the settings trust is reached by that pin instead (a self-signed
    // certificate then does). Gives the settings an installation identifier first when they
    // have none, and saves them.
    static StorageServiceConfig makeStorageServiceConfig(ConfigInfo& config, std::string_view preferredLocale);
    // "ja-JP" for Japanese, "zh-CN" for simplified Chinese, else "en-US".
    static std::string osLanguageFor(std::string_view locale);

    // --- side bar ---
    void setRootNodeType(std::int32_t type);
    std::int32_t rootNodeType() const;
    std::shared_ptr<fileInformation> rootNode() const;
    // A fresh folder entry for the side-bar item; "/" for an unknown type.
    static std::shared_ptr<fileInformation> createRootNodeByType(std::int32_t type);
    static const std::vector<SideBarGroup>& siderNodes();

    // --- print jobs ---
    std::vector<NetPrintInfo> netPrintList() const;
    void setNetPrintList(std::vector<NetPrintInfo> list);

    // --- opened files ---
    // Starts watching the cache folder (made when missing). Started once; later calls do nothing.
    std::optional<ErrorValue> initFileStream();
    bool addWatchFile(const std::string& uk, const std::string& serverPath, const std::string& localPath,
        const std::optional<std::string>& timestamp, const Value& editpermission);
    void removeWatchFile(std::string_view uk);
    std::optional<WatchEntry> getWatchInfoByUk(std::string_view name) const;
    bool isModified(std::string_view name) const;
    WatchedFiles& watchedFiles() { return *watchedFiles_; }
    // The cache copies whose last change has not reached the server: those of this process's
    // opened files, and those that earlier runs or other processes kept. Logout and quit ask the
    // user about them before clearCache.
    std::vector<UnsentEdits::Record> unsentEdits() const;
    // Sends the unsent changes of this process's opened files again.
    void retryUnsentEdits();

    // --- inactivity logout (any thread; the timer lives on the main queue) ---
    void startAutoLogoutTime() override;
    void stopAutoLogoutTime() override;
    void doLogout();
    bool isRunLogoutTime() const;
    // What a logout asks of the windows (the file window's logout).
    void setLogoutHandler(std::function<void()> handler);

    // --- device identifier ---
    // prefix + the upper-case MD5 of baseUUID, the local time "yyyyMMddHHmmss" and "NorvaneClient".
    std::string makeDeviceID(std::string_view prefix) override;
    static std::string makeDeviceID(
        std::string_view prefix, std::string_view baseUUID, std::chrono::system_clock::time_point when);
    // Stores and saves a new identifier and announces it to the request headers.
    void setDeviceID(const std::string& deviceId);

    // --- proxies of the system, with their stored passwords ---
    DetectedProxy detectHttpProxy();
    DetectedProxy detectHttpsProxy();

    // --- helpers ---
    enum class UnsentCopies {
        Keep, // a copy with an unsent change stays, with its note
        Discard, // the user let the unsent changes of unsentEdits go
    };
    // The clearing of logout and quit. When no other process uses the home: everything in the
    // temporary folder but the kept categories (and the copies with unsent changes, unless
    // discarded); write permission is given back first to what was made read-only. Otherwise only
    // this process's opened files go (their copies, unless unsent and kept), since the rest may be
    // another's. The opened files are forgotten either way. Errors are ignored.
    void clearCache(UnsentCopies unsent = UnsentCopies::Keep);
    // Removes everything below `temporaryRoot` but the kept categories and the given paths (and
    // the folders that lead to them).
    static void clearTemporaryFolder(const std::string& temporaryRoot, const std::vector<std::string>& keep);
    // "1023 B", "1.0 KB", "1024.0 MB", "1.0 TB": units of 1024 with one decimal.
    static std::string formatFileSize(std::int64_t size);
    // The label of the entry's file type.
    static std::string getFileTypeString(const fileInformation& entry);
    // A new random UUID, 36 characters, upper case.
    static std::string createUUID();

    // --- OperationEnvironment ---
    std::shared_ptr<CloudService> cloudService() override { return cloudSrv(); }
    AccountSettings accountSettings() override;
    void storeLoginValues(const LoginValues& values) override;
    bool isShareFile(const fileInformation& entry) const override;
    bool isOwnerFile(const fileInformation& entry) const override;
    bool isFileReadOnly(const fileInformation& entry) const override;
    bool canMove(const fileInformation& entry) const;

    // --- SettingsDelegate ---
    void deletePDFXmlInfoFile() override;

private:
    explicit AppDataManager(Dependencies dependencies);
    std::shared_ptr<CloudService> buildCloudService();
    DetectedProxy detectProxy(bool https);
    static std::string readSystemVersion();

    Dependencies deps_;
    std::shared_ptr<MainQueue> mainQueue_;
    NotificationCenter& center_;

    std::unique_ptr<ConfigInfo> config_;
    std::unique_ptr<Settings> settings_;
    std::string systemVersion_;

    std::mutex serviceBuildMutex_; // one service built at a time
    mutable std::mutex mutex_; // the service, the side-bar selection and the print jobs
    std::shared_ptr<CloudService> cloudSrv_;
    std::int32_t rootNodeType_ = 0;
    std::shared_ptr<fileInformation> rootNode_;
    std::vector<NetPrintInfo> netPrintList_;

    std::unique_ptr<TemporaryAreaUse> temporaryUse_;
    std::unique_ptr<WatchedFiles> watchedFiles_;
    std::mutex fileEventMutex_; // one batch of file events at a time
    std::unique_ptr<FileEventStream> fileStream_;

    std::mutex logoutMutex_;
    std::function<void()> logoutHandler_;
    std::unique_ptr<AutoLogoutTimer> logoutTimer_;

    // Last: removed first on destruction.
    ObserverToken serverAccessObserver_;
};

} // namespace norvane
