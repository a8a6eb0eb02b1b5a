#include "app/state/AppDataManager.h"

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "CloudServiceSDKForMac/CloudService/httpHeaderInfo.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogic.h"
#include "formats/MD5DigestString.h"
#include "platform/FileEventStream.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace norvane {

namespace {

// The copies that earlier runs or other processes noted as holding an unsent change.
std::vector<std::string> notedCopies()
{
    std::vector<std::string> paths;
    for (const auto& record : UnsentEdits::all())
        paths.push_back(record.localPath);
    return paths;
}

std::string_view lastPathComponent(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The re-upload of an edited file: it replaces the server file (its key, escaped for the
// request) under the name it has there, with the version it was fetched at.
void uploadWatchedFile(const WatchEntry& entry, WatchedFiles::UploadDone done)
{
    StorageServiceLogic::uploadFileByFile(entry.localPath, Path::urlPathFromPath(entry.uk), 0,
        std::string(lastPathComponent(entry.serverPath)), false, entry.timestamp, std::chrono::system_clock::now(),
        entry.editpermission, [done = std::move(done)](std::int32_t result) {
            if (done)
                done(result);
        });
}

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The first locale the user prefers, as written: $LANGUAGE (a colon-separated list), else the
// first of $LC_ALL, $LC_MESSAGES and $LANG that is set.
std::string preferredLocaleFromEnvironment()
{
    const std::string languages = environment("LANGUAGE");
    if (!languages.empty()) {
        std::size_t start = 0;
        while (start < languages.size()) {
            std::size_t colon = languages.find(':', start);
            if (colon == std::string::npos)
                colon = languages.size();
            if (colon > start)
                return languages.substr(start, colon - start);
            start = colon + 1;
        }
    }
    for (const char* name : { "LC_ALL", "LC_MESSAGES", "LANG" })
        if (std::string value = environment(name); !value.empty())
            return value;
    return "en";
}

} // namespace

std::shared_ptr<AppDataManager> AppDataManager::create()
{
    return create(Dependencies {});
}

std::shared_ptr<AppDataManager> AppDataManager::create(Dependencies dependencies)
{
    return std::shared_ptr<AppDataManager>(new AppDataManager(std::move(dependencies)));
}

std::shared_ptr<AppDataManager> AppDataManager::shardAppDataManager()
{
    // Never destroyed: worker threads may still reach it while the process ends.
    static auto* instance = [] {
        auto* made = new std::shared_ptr<AppDataManager>(create());
        OperationEnvironment::setShared(*made);
        return made;
    }();
    return *instance;
}

AppDataManager::AppDataManager(Dependencies dependencies)
    : deps_(std::move(dependencies))
    , mainQueue_(deps_.mainQueue ? deps_.mainQueue : MainQueue::shared())
    , center_(deps_.center ? *deps_.center : NotificationCenter::defaultCenter())
{
    // The file always exists after start, in the current location.
    config_ = std::make_unique<ConfigInfo>();
    config_->load();
    config_->save();
    settings_ = std::make_unique<Settings>(*config_, *this, center_);
    setRootNodeType(RootNodeMyFolder);

    WatchedFiles::Options watchOptions;
    watchOptions.mainQueue = mainQueue_;
    watchOptions.checks = deps_.watchChecks;
    watchOptions.center = &center_;
    watchOptions.noteUnsent = true;
    watchedFiles_ = std::make_unique<WatchedFiles>(
        deps_.uploader ? deps_.uploader : WatchedFiles::Uploader(uploadWatchedFile), std::move(watchOptions));

    logoutTimer_ = std::make_unique<AutoLogoutTimer>(
        mainQueue_,
        [this] {
            return AutoLogoutTimer::Policy { config_->isAutoSignOut() != 0, config_->expireTime() };
        },
        [this] {
            std::function<void()> handler;
            {
                std::lock_guard lock(logoutMutex_);
                handler = logoutHandler_;
            }
            if (handler)
                handler();
        });
    serverAccessObserver_ = center_.addObserver(
        kNotificationServerAccessCompleted, nullptr, [this](const Notification&) { logoutTimer_->serverAccessed(); });

    systemVersion_ = readSystemVersion();
    // Leftovers of earlier runs go only while no other process works on this home; a copy with
    // an unsent change stays in any case.
    const std::string home = Path::documentDirectory();
    (void)Paths::createDirectories(home);
    temporaryUse_ = std::make_unique<TemporaryAreaUse>(home + "/" + kTemporaryLockFile);
    temporaryUse_->join([] { clearTemporaryFolder(Path::temporaryDirectory(), notedCopies()); });
}

AppDataManager::~AppDataManager()
{
    serverAccessObserver_.remove();
    if (fileStream_)
        fileStream_->stop();
}

// ---------------------------------------------------------------------------------------------
// Command service

std::shared_ptr<CloudService> AppDataManager::cloudSrv()
{
    {
        std::lock_guard lock(mutex_);
        if (cloudSrv_)
            return cloudSrv_;
    }
    std::lock_guard build(serviceBuildMutex_);
    {
        std::lock_guard lock(mutex_);
        if (cloudSrv_) // another thread built it meanwhile
            return cloudSrv_;
    }
    return buildCloudService();
}

void AppDataManager::initCloudService()
{
    std::lock_guard build(serviceBuildMutex_);
    buildCloudService();
}

std::shared_ptr<CloudService> AppDataManager::buildCloudService()
{
    const std::string locale = deps_.preferredLocale ? deps_.preferredLocale() : preferredLocaleFromEnvironment();
    StorageServiceConfig config = makeStorageServiceConfig(*config_, locale);
    std::unique_ptr<StorageServiceAdaptor> adaptor
        = deps_.makeAdaptor ? deps_.makeAdaptor() : std::make_unique<RestStorageServiceAdaptor>();
    if (adaptor)
        adaptor->initWithConfig(std::move(config));
    auto service = std::make_shared<CloudService>(std::move(adaptor));
    service->setDelegate(weak_from_this());
    if (deps_.watchReachability) {
        // The monitor belongs on the main thread's loop, which runs for the whole session.
        if (mainQueue_->isMainThread()) {
            service->registerForNetworkReachabilityNotifications();
        } else {
            std::weak_ptr<CloudService> weak = service;
            mainQueue_->post([weak] {
                if (auto current = weak.lock())
                    current->registerForNetworkReachabilityNotifications();
            });
        }
    }
    std::shared_ptr<CloudService> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(cloudSrv_, service);
    }
    previous.reset(); // outside the lock: its destruction waits for its own commands
    return service;
}

// ---------------------------------------------------------------------------------------------
// Side bar and print jobs

void AppDataManager::setRootNodeType(std::int32_t type)
{
    auto node = createRootNodeByType(type);
    std::lock_guard lock(mutex_);
    rootNodeType_ = type;
    rootNode_ = std::move(node);
}

std::int32_t AppDataManager::rootNodeType() const
{
    std::lock_guard lock(mutex_);
    return rootNodeType_;
}

std::shared_ptr<fileInformation> AppDataManager::rootNode() const
{
    std::lock_guard lock(mutex_);
    return rootNode_;
}

std::shared_ptr<fileInformation> AppDataManager::createRootNodeByType(std::int32_t type)
{
    struct Root {
        std::int32_t type;
        const char* uk;
        const char* fullPath;
    };
    static constexpr Root kRoots[] = {
        { RootNodeMyFolder, "/FOLDER", "" },
        { RootNodePhotos, "/FOLDER/Photos", "/Photos" },
        { RootNodeMemo, "/FOLDER/Memo", "/Memo" },
        { RootNodeRecorder, "/FOLDER/Recorder", "/Recorder" },
        { RootNodeFavorite, "/FOLDER/.Favorite.", "/.Favorite" },
        { RootNodeShare, "/SHAREFOLDER", "" },
    };
    auto node = std::make_shared<fileInformation>();
    node->fileType = 1;
    node->uk = "/";
    node->fullPath = "";
    for (const Root& root : kRoots) {
        if (root.type == type) {
            node->uk = root.uk;
            node->fullPath = root.fullPath;
        }
    }
    return node;
}

const std::vector<SideBarGroup>& AppDataManager::siderNodes()
{
    // The group titles differ from the item titles by a blank, so a group never compares equal
    // to an item of the tree.
    static const std::vector<SideBarGroup> groups {
        { "マイ フォルダ",
            {
                { "マイフォルダ", RootNodeMyFolder },
                { "写真", RootNodePhotos },
                { "メモ", RootNodeMemo },
                { "録音", RootNodeRecorder },
                { "お気に入り", RootNodeFavorite },
            } },
        { "共有 ", { { "共有", RootNodeShare } } },
    };
    return groups;
}

std::vector<NetPrintInfo> AppDataManager::netPrintList() const
{
    std::lock_guard lock(mutex_);
    return netPrintList_;
}

void AppDataManager::setNetPrintList(std::vector<NetPrintInfo> list)
{
    std::lock_guard lock(mutex_);
    netPrintList_ = std::move(list);
}

// ---------------------------------------------------------------------------------------------
// Opened files

std::optional<ErrorValue> AppDataManager::initFileStream()
{
    if (fileStream_)
        return std::nullopt;
    const std::string root = Path::temporaryDirectory() + "/" + kFileCacheCategory;
    if (auto error = Paths::createDirectories(root))
        Log::line("AppDataManager: the cache folder cannot be made; it is watched for once it exists");
    FileEventStream::Options options;
    options.latency = deps_.fileEventLatency;
    options.loop = deps_.fileEventLoop;
    options.mainQueue = mainQueue_;
    std::weak_ptr<AppDataManager> weak = weak_from_this();
    fileStream_ = std::make_unique<FileEventStream>(
        root,
        [weak](const std::vector<FileEvent>& events) {
            auto self = weak.lock();
            if (!self)
                return;
            std::lock_guard batch(self->fileEventMutex_);
            self->watchedFiles_->handleEvents(events);
        },
        std::move(options));
    auto error = fileStream_->start();
    if (error) {
        Log::line("AppDataManager: edits of opened files are not watched: " + error->description);
        fileStream_.reset();
    }
    return error;
}

bool AppDataManager::addWatchFile(const std::string& uk, const std::string& serverPath, const std::string& localPath,
    const std::optional<std::string>& timestamp, const Value& editpermission)
{
    return watchedFiles_->add(uk, serverPath, localPath, timestamp, editpermission);
}

void AppDataManager::removeWatchFile(std::string_view uk)
{
    watchedFiles_->remove(uk);
}

std::optional<WatchEntry> AppDataManager::getWatchInfoByUk(std::string_view name) const
{
    return watchedFiles_->getWatchInfoByUk(name);
}

bool AppDataManager::isModified(std::string_view name) const
{
    return watchedFiles_->isModified(name);
}

std::vector<UnsentEdits::Record> AppDataManager::unsentEdits() const
{
    std::vector<UnsentEdits::Record> records = UnsentEdits::all();
    // A change this process has only just seen may not be noted yet.
    for (const WatchEntry& entry : watchedFiles_->unsentEntries()) {
        if (std::none_of(records.begin(), records.end(), [&](const auto& r) { return r.localPath == entry.localPath; }))
            records.push_back({ entry.localPath, entry.uk, entry.serverPath });
    }
    return records;
}

void AppDataManager::retryUnsentEdits()
{
    watchedFiles_->retryUnsent();
}

void AppDataManager::clearCache(UnsentCopies unsent)
{
    const std::vector<WatchEntry> opened = watchedFiles_->entries();
    const std::vector<WatchEntry> unsentOpened = watchedFiles_->unsentEntries();
    const auto isUnsent = [&](const WatchEntry& entry) {
        return std::any_of(unsentOpened.begin(), unsentOpened.end(),
            [&](const WatchEntry& other) { return other.localPath == entry.localPath; });
    };
    for (const WatchEntry& entry : opened)
        watchedFiles_->remove(entry.uk);

    const bool whole = temporaryUse_->whenAlone([&] {
        if (unsent == UnsentCopies::Discard) {
            for (const auto& record : UnsentEdits::all())
                UnsentEdits::clear(record.localPath);
        }
        std::vector<std::string> keep = notedCopies();
        if (unsent == UnsentCopies::Keep) {
            for (const WatchEntry& entry : unsentOpened)
                keep.push_back(entry.localPath);
        }
        clearTemporaryFolder(Path::temporaryDirectory(), keep);
    });
    if (whole)
        return;
    // Others work on this home: only what this process opened goes.
    for (const WatchEntry& entry : opened) {
        if (isUnsent(entry)) {
            if (unsent == UnsentCopies::Keep)
                continue;
            UnsentEdits::clear(entry.localPath);
        }
        Path::deleteFile(entry.localPath);
    }
}

// ---------------------------------------------------------------------------------------------
// Inactivity logout

void AppDataManager::startAutoLogoutTime()
{
    logoutTimer_->start();
}

void AppDataManager::stopAutoLogoutTime()
{
    logoutTimer_->stop();
}

void AppDataManager::doLogout()
{
    logoutTimer_->fire();
}

bool AppDataManager::isRunLogoutTime() const
{
    return logoutTimer_->isRunning();
}

void AppDataManager::setLogoutHandler(std::function<void()> handler)
{
    std::lock_guard lock(logoutMutex_);
    logoutHandler_ = std::move(handler);
}

// ---------------------------------------------------------------------------------------------
// Device identifier

std::string AppDataManager::makeDeviceID(std::string_view prefix)
{
    std::string base = config_->baseUUID();
    if (base.empty()) {
        // The identifier derives from the installation; without one it would rest on the time alone.
        base = createUUID();
        config_->setBaseUUID(base);
        config_->save();
    }
    return makeDeviceID(prefix, base, std::chrono::system_clock::now());
}

std::string AppDataManager::makeDeviceID(
    std::string_view prefix, std::string_view baseUUID, std::chrono::system_clock::time_point when)
{
    const std::string seed
        = std::string(baseUUID) + Path::dateStringWithFormat("yyyyMMddHHmmss", when) + "NorvaneClient";
    std::optional<std::string> digest = MD5DigestString(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size()));
    if (!digest)
        return {};
    for (char& c : *digest)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return std::string(prefix) + *digest;
}

void AppDataManager::setDeviceID(const std::string& deviceId)
{
    config_->setDeviceID(deviceId);
    config_->save();
    center_.post(kNotificationDeviceIdUpdated, nullptr, { { kDeviceIdUserInfoKey, deviceId } });
}

void AppDataManager::deletePDFXmlInfoFile()
{
    Path::deletePDFXmlInfoFile();
}

// ---------------------------------------------------------------------------------------------
// The operations' environment

AccountSettings AppDataManager::accountSettings()
{
    AccountSettings account;
    account.companyCode = config_->companyCode();
    account.userName = config_->userName();
    account.userPass = config_->userPass();
    account.deviceID = config_->deviceID();
    account.oldPass = config_->oldPass();
    account.theNewPass = config_->theNewPass();
    account.fullName = config_->fullName();
    return account;
}

void AppDataManager::storeLoginValues(const LoginValues& values)
{
    config_->setInformation(values.information);
    config_->setSpaceSize(values.spaceSize);
    config_->setUsedSpaceSize(values.usedSpaceSize);
    config_->setFullName(values.fullName);
    config_->setUserKey(values.userKey);
    config_->setKigyoID(values.kigyoID);
    config_->setAuthorization(values.authorization);
    config_->setLastLoginTime(values.lastLoginTime);
    config_->save();
}

bool AppDataManager::isShareFile(const fileInformation& entry) const
{
    return PermissionRules::isShareFile(entry);
}

bool AppDataManager::isOwnerFile(const fileInformation& entry) const
{
    return PermissionRules::isOwnerFile(entry, config_->userName());
}

bool AppDataManager::isFileReadOnly(const fileInformation& entry) const
{
    return PermissionRules::isFileReadOnly(entry, config_->userName());
}

bool AppDataManager::canMove(const fileInformation& entry) const
{
    return PermissionRules::canMove(entry, config_->userName());
}

} // namespace norvane
