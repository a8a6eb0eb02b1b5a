#include "CloudServiceSDKForMac/ASIHTTP/HeaderMasking.h"

#include <algorithm>
#include <cctype>

namespace norvane {

bool isSecretHeader(std::string_view name)
{
    static constexpr std::string_view secrets[] = { "authorization", "proxy-authorization", "cookie", "set-cookie",
        "userpassword", "x-tkv-password", "x-tkv-newpassword" };
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return std::find(std::begin(secrets), std::end(secrets), lower) != std::end(secrets);
}

std::string describeHeadersMasked(const std::map<std::string, std::string>& headers)
{
    std::string out = "{";
    bool first = true;
    for (auto& [name, value] : headers) {
        out += first ? " " : "; ";
        first = false;
        out += name + ": " + (isSecretHeader(name) ? std::string("<masked>") : value);
    }
    out += first ? "}" : " }";
    return out;
}

} // namespace norvane
