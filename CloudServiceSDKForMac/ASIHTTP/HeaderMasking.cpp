#include "CloudServiceSDKForMac/ASIHTTP/HeaderMasking.h"

#include "platform/AsciiText.h"

#include <algorithm>

namespace norvane {

bool isSecretHeader(std::string_view name)
{
    static constexpr std::string_view secrets[] = { "authorization", "proxy-authorization", "cookie", "set-cookie",
        "userpassword", "x-tkv-password", "x-tkv-newpassword" };
    return std::any_of(std::begin(secrets), std::end(secrets),
        [&](std::string_view secret) { return ascii::equalsIgnoringCase(secret, name); });
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
