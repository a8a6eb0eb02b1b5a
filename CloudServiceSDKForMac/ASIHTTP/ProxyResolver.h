#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ProxyAutoConfig.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace norvane {

// How one request reaches its server: directly, or through the named proxy. An Http proxy
// carries both http and https (CONNECT).
struct ProxyChoice {
    enum class Type { Direct, Http, Socks };
    Type type = Type::Direct;
    std::string host;
    int port = 0;

    friend bool operator==(const ProxyChoice&, const ProxyChoice&) = default;
};

// Chooses the proxy for a request from its own proxy fields, an auto-configuration script or
// the system settings, in that order.
class ProxyResolver {
public:
    // Fetches an http(s) resource (the script); nullopt when it cannot be had.
    using Fetch = std::function<std::optional<std::string>(const std::string& url)>;
    // The system's proxy list for a URL; nullopt when there is none.
    using SystemLookup = std::function<std::optional<std::vector<ProxyEntry>>(const std::string& url)>;

    // An empty fetch leaves http(s) scripts unreadable; an empty lookup asks SystemProxySettings.
    explicit ProxyResolver(Fetch fetch = {}, SystemLookup system = {}, ProxyAutoConfig::Options pacOptions = {});

    // An explicit host with a port 1..65535 is used as is. A host without a usable port, or a
    // port without a host, means no proxy and no lookup. With neither: the script at pacURL when
    // given, else the system settings (and the script they name, if the first entry is one).
    // nullopt when no proxy information could be obtained: the request must fail.
    std::optional<ProxyChoice> choose(
        const std::string& url, const std::string& proxyHost, int proxyPort, const std::string& pacURL) const;

    // The script's list for the URL: empty (go direct) when the script cannot be loaded,
    // nullopt when it cannot be evaluated.
    std::optional<std::vector<ProxyEntry>> proxiesFromPAC(const std::string& url, const std::string& pacURL) const;

    // The script's text as UTF-8: file:// URLs and absolute paths are read here, http(s) URLs go
    // through the fetch function. nullopt when unreadable.
    std::optional<std::string> loadScript(const std::string& pacURL) const;

    // Script bytes as UTF-8: taken as UTF-8 when they are valid UTF-8 (a byte-order mark is
    // dropped), otherwise as Latin-1.
    static std::string decodeScript(std::string bytes);

    // The host FindProxyForURL is given: the URL's host in lower case, IPv6 without brackets.
    static std::string hostOfURL(const std::string& url);

    // Scripts larger than this are treated as unreadable.
    static constexpr std::size_t maxScriptSize = std::size_t { 8 } << 20;

private:
    Fetch fetch_;
    SystemLookup system_;
    ProxyAutoConfig::Options pacOptions_;
};

} // namespace norvane
