#include "CloudServiceSDKForMac/ASIHTTP/SystemProxySettings.h"

#include "platform/AsciiText.h"

#include <proxy.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace norvane {

namespace {

struct FactoryDeleter {
    void operator()(pxProxyFactory* factory) const { px_proxy_factory_free(factory); }
};

struct ListDeleter {
    void operator()(char** list) const { px_proxy_factory_free_proxies(list); }
};

} // namespace

std::optional<ProxyEntry> SystemProxySettings::parseProxyURL(std::string_view text)
{
    if (ascii::lowered(text.substr(0, 4)) == "pac+") {
        if (text.size() == 4)
            return std::nullopt;
        ProxyEntry entry;
        entry.type = ProxyEntry::Type::AutoConfig;
        entry.url = std::string(text.substr(4));
        return entry;
    }
    std::size_t separator = text.find("://");
    if (separator == std::string_view::npos)
        return std::nullopt;
    std::string scheme = ascii::lowered(text.substr(0, separator));
    std::string_view authority = text.substr(separator + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));

    if (scheme == "direct")
        return ProxyEntry {};
    if (scheme == "wpad") {
        // Web proxy auto-discovery by name: the script of the host called "wpad".
        ProxyEntry entry;
        entry.type = ProxyEntry::Type::AutoConfig;
        entry.url = "http://wpad/wpad.dat";
        return entry;
    }
    // Credentials in the settings are not carried over: proxy passwords come from the
    // credential store.
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority = authority.substr(at + 1);
    if (scheme == "http")
        return parseProxyAddress(ProxyEntry::Type::Http, authority);
    if (scheme == "socks" || scheme == "socks4" || scheme == "socks4a" || scheme == "socks5" || scheme == "socks5h")
        return parseProxyAddress(ProxyEntry::Type::Socks, authority);
    return std::nullopt;
}

std::optional<std::vector<ProxyEntry>> SystemProxySettings::proxiesForURL(const std::string& url)
{
    // Every request asks, and a transfer makes a request a millisecond: the answer for a server
    // (scheme, host and port) is kept for two seconds, so that a change of the desktop's settings
    // still applies within them; one of the environment's applies at once.
    const auto schemeEnd = url.find("://");
    std::string origin = schemeEnd == std::string::npos ? url : url.substr(0, url.find_first_of("/?#", schemeEnd + 3));
    for (const char* name : { "http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
             "ALL_PROXY", "NO_PROXY" }) {
        const char* value = std::getenv(name);
        origin += '\n';
        origin += value ? value : "";
    }
    static std::mutex mutex;
    static std::string lastOrigin;
    static std::optional<std::vector<ProxyEntry>> lastAnswer;
    static std::chrono::steady_clock::time_point askedAt;
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex);
        if (!lastOrigin.empty() && lastOrigin == origin && now - askedAt < std::chrono::seconds(2))
            return lastAnswer;
    }
    auto answer = askSystem(url);
    std::lock_guard lock(mutex);
    lastOrigin = origin;
    lastAnswer = answer;
    askedAt = now;
    return answer;
}

std::optional<std::vector<ProxyEntry>> SystemProxySettings::askSystem(const std::string& url)
{
    // A factory per call: libproxy keeps what it has read for the factory's lifetime.
    std::unique_ptr<pxProxyFactory, FactoryDeleter> factory(px_proxy_factory_new());
    if (!factory)
        return std::nullopt;
    std::unique_ptr<char*, ListDeleter> list(px_proxy_factory_get_proxies(factory.get(), url.c_str()));
    if (!list)
        return std::nullopt;
    std::vector<ProxyEntry> entries;
    for (char** it = list.get(); *it != nullptr; ++it) {
        if (auto entry = parseProxyURL(*it))
            entries.push_back(std::move(*entry));
    }
    return entries;
}

} // namespace norvane
