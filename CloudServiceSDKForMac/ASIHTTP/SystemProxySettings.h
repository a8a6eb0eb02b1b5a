#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ProxyAutoConfig.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// The desktop's proxy settings, read through libproxy: at the least the http_proxy, https_proxy
// and no_proxy environment variables, and the desktop's own settings where a libproxy plug-in
// for them is installed. The answer for a server is read afresh when two seconds have passed, so
// a change applies to the requests after them.
class SystemProxySettings {
public:
    // The proxies to try for the URL, best first; nullopt when the settings give no answer.
    // An auto-configuration script in the settings comes back as an AutoConfig entry.
    static std::optional<std::vector<ProxyEntry>> proxiesForURL(const std::string& url);

    // One entry of libproxy's answer: "direct://", "http://[user@]host[:port]", "socks[4|4a|5|5h]://
    // host[:port]", "pac+<script URL>" or "wpad://"; nullopt for kinds this client cannot use.
    static std::optional<ProxyEntry> parseProxyURL(std::string_view text);

private:
    static std::optional<std::vector<ProxyEntry>> askSystem(const std::string& url);
};

} // namespace norvane
