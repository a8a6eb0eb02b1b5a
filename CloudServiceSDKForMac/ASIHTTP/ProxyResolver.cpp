#include "CloudServiceSDKForMac/ASIHTTP/ProxyResolver.h"

#include "platform/AsciiText.h"

#include "CloudServiceSDKForMac/ASIHTTP/SystemProxySettings.h"
#include "platform/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

namespace {

std::string percentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && ascii::hexValue(text[i + 1]) >= 0
            && ascii::hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(ascii::hexValue(text[i + 1]) * 16 + ascii::hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The local file a file:// URL (or a bare absolute path) names; nullopt for other locations.
std::optional<std::string> localPath(const std::string& location)
{
    std::string_view rest = location;
    if (ascii::startsWithIgnoringCase(rest, "file://")) {
        rest.remove_prefix(7);
        if (ascii::startsWithIgnoringCase(rest, "localhost/"))
            rest.remove_prefix(9);
        rest = rest.substr(0, rest.find_first_of("?#"));
    }
    if (rest.empty() || rest.front() != '/')
        return std::nullopt;
    std::string path = percentDecode(rest);
    if (path.find('\0') != std::string::npos)
        return std::nullopt;
    return path;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit)
{
    // Non-blocking open so that a FIFO in the script's place cannot stall the request.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    std::optional<std::string> text;
    struct stat info { };
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) <= limit) {
        std::string bytes;
        char buffer[16384];
        bool ok = true;
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0)
                break;
            if (bytes.size() + static_cast<std::size_t>(n) > limit) { // grew while we read it
                ok = false;
                break;
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        if (ok)
            text = std::move(bytes);
    }
    ::close(fd);
    return text;
}

bool validUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (extra >= text.size() - i)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not UTF-8.
        if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF
            || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

ProxyResolver::ProxyResolver(Fetch fetch, SystemLookup system, ProxyAutoConfig::Options pacOptions)
    : fetch_(std::move(fetch))
    , system_(std::move(system))
    , pacOptions_(std::move(pacOptions))
{ }

std::optional<ProxyChoice> ProxyResolver::choose(
    const std::string& url, const std::string& proxyHost, int proxyPort, const std::string& pacURL) const
{
    if (!proxyHost.empty() || proxyPort != 0) {
        if (!proxyHost.empty() && proxyPort >= 1 && proxyPort <= 65535)
            return ProxyChoice { ProxyChoice::Type::Http, proxyHost, proxyPort };
        return ProxyChoice {};
    }

    std::optional<std::vector<ProxyEntry>> list;
    if (!pacURL.empty()) {
        list = proxiesFromPAC(url, pacURL);
    } else {
        list = system_ ? system_(url) : SystemProxySettings::proxiesForURL(url);
        if (list && !list->empty() && list->front().type == ProxyEntry::Type::AutoConfig)
            list = proxiesFromPAC(url, list->front().url);
    }
    if (!list)
        return std::nullopt;
    if (list->empty())
        return ProxyChoice {};
    const ProxyEntry& first = list->front();
    switch (first.type) {
    case ProxyEntry::Type::Http:
        return ProxyChoice { ProxyChoice::Type::Http, first.host, first.port };
    case ProxyEntry::Type::Socks:
        return ProxyChoice { ProxyChoice::Type::Socks, first.host, first.port };
    case ProxyEntry::Type::Direct:
    case ProxyEntry::Type::AutoConfig:
        break;
    }
    return ProxyChoice {};
}

std::optional<std::vector<ProxyEntry>> ProxyResolver::proxiesFromPAC(
    const std::string& url, const std::string& pacURL) const
{
    std::optional<std::string> script = loadScript(pacURL);
    if (!script) {
        Log::line("Proxy auto-configuration script unreadable, connecting directly: " + pacURL);
        return std::vector<ProxyEntry> {};
    }
    ProxyAutoConfig::Result result = ProxyAutoConfig::run(*script, url, hostOfURL(url), pacOptions_);
    if (result.outcome != ProxyAutoConfig::Outcome::Ok) {
        Log::line("Proxy auto-configuration script " + pacURL + " failed: " + result.message);
        return std::nullopt;
    }
    return parsePacResult(result.answer);
}

std::optional<std::string> ProxyResolver::loadScript(const std::string& pacURL) const
{
    std::optional<std::string> bytes;
    if (auto path = localPath(pacURL)) {
        bytes = readSmallFile(*path, maxScriptSize);
    } else if (ascii::startsWithIgnoringCase(pacURL, "http://") || ascii::startsWithIgnoringCase(pacURL, "https://")) {
        if (fetch_)
            bytes = fetch_(pacURL);
    }
    if (!bytes || bytes->size() > maxScriptSize)
        return std::nullopt;
    return decodeScript(std::move(*bytes));
}

std::string ProxyResolver::decodeScript(std::string bytes)
{
    if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.erase(0, 3);
    if (validUtf8(bytes))
        return bytes;
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

std::string ProxyResolver::hostOfURL(const std::string& url)
{
    std::size_t separator = url.find("://");
    if (separator == std::string::npos)
        return {};
    std::string_view authority = std::string_view(url).substr(separator + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority = authority.substr(at + 1);
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        return close == std::string_view::npos ? std::string {} : ascii::lowered(authority.substr(1, close - 1));
    }
    return ascii::lowered(authority.substr(0, authority.find(':')));
}

} // namespace norvane
