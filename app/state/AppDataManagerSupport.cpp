// The data manager's helpers that stand on their own: the service configuration, the system's
// proxies, the temporary-folder clean-up, sizes, type labels, UUIDs and the system version.

#include "app/state/AppDataManager.h"

#include "CloudServiceSDKForMac/ASIHTTP/SystemProxySettings.h"
#include "app/logic/Path.h"
#include "app/logic/StorageServiceLogic.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace norvane {

namespace {

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// An IPv6 address goes into a URL in brackets.
std::string urlHost(const std::string& host)
{
    if (host.find(':') != std::string::npos && host.front() != '[')
        return "[" + host + "]";
    return host;
}

// Gives the owner write access back to `top` and everything below it (and entry to folders),
// so that what was protected by taking write access away can be removed. Links are not followed.
void makeRemovable(const std::string& top)
{
    std::vector<std::string> stack { top };
    while (!stack.empty()) {
        const std::string path = std::move(stack.back());
        stack.pop_back();
        struct stat st { };
        if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode))
            continue;
        if (!S_ISDIR(st.st_mode)) {
            if ((st.st_mode & S_IWUSR) == 0)
                ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
            continue;
        }
        if ((st.st_mode & S_IRWXU) != S_IRWXU)
            ::chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        DIR* dir = fdopendir(fd);
        if (!dir) {
            ::close(fd);
            continue;
        }
        while (dirent* entry = readdir(dir)) {
            const std::string_view name(entry->d_name);
            if (name != "." && name != "..")
                stack.push_back(path + "/" + std::string(name));
        }
        closedir(dir);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Service configuration

std::string AppDataManager::osLanguageFor(std::string_view locale)
{
    const std::string code = Paths::languageCode(locale);
    if (code == "ja")
        return "ja-JP";
    if (code == "zh") {
        // Simplified Chinese: the script tag of the system this client came from ("zh-Hans"),
        // or the regions that write it in locale names ("zh_CN", "zh_SG").
        const std::string lower = lowerCase(locale);
        if (lower.find("hans") != std::string::npos || lower.starts_with("zh_cn") || lower.starts_with("zh-cn")
            || lower.starts_with("zh_sg") || lower.starts_with("zh-sg"))
            return "zh-CN";
    }
    return "en-US";
}

StorageServiceConfig AppDataManager::makeStorageServiceConfig(ConfigInfo& config, std::string_view preferredLocale)
{
    StorageServiceConfig service;
    service.useHttps = config.useHttps() != 0;
    // The installation's identifier is made once and kept.
    if (config.baseUUID().empty()) {
        config.setBaseUUID(createUUID());
        config.save();
    }
    service.baseUUID = config.baseUUID();

    const std::string serverIP = config.serverIP();
    const std::int64_t serverPort = config.serverPort();
    service.connectUrl = service.httpType() + "://" + urlHost(serverIP) + ":" + std::to_string(serverPort);

    service.useProxy = config.useProxy() != 0;
    if (service.useProxy) {
        service.proxyHost = config.proxyIP();
        service.proxyPort = static_cast<std::int32_t>(config.proxyPort());
        service.proxyUser = config.proxyUser();
        service.proxyPass = config.proxyPass();
    }
    // Without a proxy of its own every request asks the system's settings (ProxyResolver).

    const std::string loginIP = config.loginServerIP();
    const std::int64_t loginPort = config.loginServerPort();
    service.loginIP = loginIP;
    service.loginPort = static_cast<std::int32_t>(loginPort);

    service.osLanguage = osLanguageFor(preferredLocale);
    service.maxUploadSize = kTransferChunkSize;
    service.maxDownloadSize = kTransferChunkSize;
    service.useCache = 0;
    service.maxCacheSize = kMaxCacheSize;

    // Server certificates are validated. A server the user chose to trust by its public key is
    // reached by that pin instead, which is what lets a self-signed certificate through.
    service.sslValidate = true;
    const std::string storagePin = config.pinnedPublicKey(serverIP, serverPort);
    if (!storagePin.empty()) {
        // One pin goes with every request, to the login server too: it may only be set when
        // that server is the same one or is trusted with the same key.
        const bool loginIsStorage = loginIP.empty()
            || ConfigInfo::serverAddress(loginIP, loginPort) == ConfigInfo::serverAddress(serverIP, serverPort);
        if (loginIsStorage || config.pinnedPublicKey(loginIP, loginPort) == storagePin)
            service.pinnedPublicKey = storagePin;
        else
            Log::line("AppDataManager: the login server is not trusted with the storage server's key; no pin is used");
    }
    return service;
}

// ---------------------------------------------------------------------------------------------
// The system's proxies

DetectedProxy AppDataManager::detectHttpProxy()
{
    return detectProxy(false);
}

DetectedProxy AppDataManager::detectHttpsProxy()
{
    return detectProxy(true);
}

DetectedProxy AppDataManager::detectProxy(bool https)
{
    // The settings are asked for an outside address, so that a no-proxy rule for local hosts
    // does not hide the proxy.
    const std::string url = https ? "https://www.example.com/" : "http://www.example.com/";
    auto entries = deps_.systemProxies ? deps_.systemProxies(url) : SystemProxySettings::proxiesForURL(url);
    DetectedProxy proxy;
    if (!entries || entries->empty() || entries->front().type != ProxyEntry::Type::Http)
        return proxy;
    const ProxyEntry& entry = entries->front();
    proxy.host = entry.host;
    proxy.port = static_cast<std::uint32_t>(entry.port);
    auto credential = deps_.proxyCredential ? deps_.proxyCredential(entry.host, https)
                                            : SecretStore::proxyCredential(entry.host, https);
    if (credential) {
        proxy.user = credential->user;
        proxy.password = credential->password;
    }
    return proxy;
}

// ---------------------------------------------------------------------------------------------
// Helpers

const std::vector<std::string>& AppDataManager::keptCategories()
{
    static const std::vector<std::string> kept { "cmd_cache", "do_not_delete_command", "do_not_delete_config",
        "do_not_delete_info", UnsentEdits::kCategory };
    return kept;
}

namespace {

// True when `path` is `folder` or lies below it.
bool isSameOrBelow(std::string_view path, std::string_view folder)
{
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// Removes `path` with everything below it except the kept paths; a folder that leads to a kept
// path stays, and its other entries go.
void removeAllBut(const std::string& path, const std::vector<std::string>& keep)
{
    bool leadsToKept = false;
    for (const std::string& kept : keep) {
        if (kept == path)
            return;
        leadsToKept = leadsToKept || isSameOrBelow(kept, path);
    }
    std::error_code error;
    if (leadsToKept && std::filesystem::symlink_status(path, error).type() == std::filesystem::file_type::directory) {
        makeRemovable(path);
        std::vector<std::string> children;
        for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
            children.push_back(it->path().string());
        for (const std::string& child : children)
            removeAllBut(child, keep);
        return;
    }
    makeRemovable(path);
    std::filesystem::remove_all(path, error);
}

} // namespace

void AppDataManager::clearTemporaryFolder(const std::string& temporaryRoot, const std::vector<std::string>& keep)
{
    const auto& kept = keptCategories();
    std::vector<std::string> keptPaths;
    for (const std::string& path : keep)
        keptPaths.push_back(std::filesystem::path(path).lexically_normal().string());
    const std::string root = std::filesystem::path(temporaryRoot).lexically_normal().string();
    std::error_code error;
    std::filesystem::directory_iterator it(root, error), end;
    std::vector<std::string> doomed;
    for (; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (std::find(kept.begin(), kept.end(), name) == kept.end())
            doomed.push_back(it->path().string());
    }
    for (const std::string& path : doomed)
        removeAllBut(path, keptPaths);
}

std::string AppDataManager::formatFileSize(std::int64_t size)
{
    constexpr std::int64_t KB = 1024;
    constexpr std::int64_t MB = KB * 1024;
    constexpr std::int64_t GB = MB * 1024;
    constexpr std::int64_t TB = GB * 1024;
    if (size <= KB - 1)
        return std::to_string(size) + " B";
    double value = 0;
    const char* unit = "";
    if (size < MB) {
        value = static_cast<double>(size) / KB;
        unit = "KB";
    } else if (size < GB) {
        value = static_cast<double>(size) / MB;
        unit = "MB";
    } else if (size < TB) {
        value = static_cast<double>(size) / GB;
        unit = "GB";
    } else {
        value = static_cast<double>(size) / TB;
        unit = "TB";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

std::string AppDataManager::getFileTypeString(const fileInformation& entry)
{
    switch (entry.fileExt) {
    case FileExtEvent:
        return "イベント";
    case FileExtPhoto:
        return "写真";
    case FileExtVideo:
        return "動画";
    case FileExtCall:
        return "通話";
    case FileExtMemo:
        return "メモ";
    case FileExtRecording:
        return "録音";
    case FileExtWord:
        return "ワード";
    case FileExtPdf:
        return "PDF";
    case FileExtSpreadsheet:
        return "エクセル";
    case FileExtRtf:
        return "RTF";
    case FileExtXps:
        return "XPS";
    case FileExtXbd:
        return "XBD";
    case FileExtXdw:
        return "XDW";
    case FileExtPresentation:
        return "パワーポイント";
    case FileExtFolder:
        return "フォルダ";
    case FileExtSending:
        return "送信中";
    case FileExtShortcut:
        return "ショートカット";
    case FileExtHtml:
        return "HTML";
    case FileExtEhtml:
        return "EHTML";
    case FileExtCsv:
        return "CSV";
    default:
        return "不明";
    }
}

std::string AppDataManager::createUUID()
{
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37] = {};
    uuid_unparse_upper(uuid, text);
    return text;
}

std::string AppDataManager::readSystemVersion()
{
    std::ifstream release("/etc/os-release");
    std::string line;
    while (std::getline(release, line)) {
        if (!line.starts_with("VERSION_ID="))
            continue;
        std::string value = line.substr(11);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!value.empty())
            return value;
    }
    utsname name {};
    return ::uname(&name) == 0 ? name.release : "";
}

} // namespace norvane
