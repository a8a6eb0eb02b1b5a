#include "CloudServiceSDKForMac/ASIHTTP/ASIURL.h"

#include "platform/AsciiText.h"

#include <arpa/inet.h>

#include <algorithm>

namespace norvane {

namespace {

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isControl(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

// Letters, digits, "-._~", percent escapes and the sub-delimiters: what a registered name holds.
bool isHostChar(char c)
{
    static constexpr std::string_view allowed = "-._~%!$&'()*+,;=";
    return isAlpha(c) || ascii::isDigit(c) || allowed.find(c) != std::string_view::npos;
}

// Spaces and bytes outside ASCII are escaped; everything else stays as the writer chose it.
std::string escapeLoose(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == ' ' || u >= 0x80) {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

bool needsHost(const std::string& scheme)
{
    return scheme == "http" || scheme == "https";
}

// The parts of a URI reference; a part that is absent differs from one that is empty.
struct Reference {
    std::optional<std::string> scheme;
    bool hasAuthority = false;
    bool hasUserInfo = false;
    bool hasPassword = false;
    std::string user;
    std::string password;
    std::string host;
    std::uint16_t port = 0;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

bool parseAuthority(std::string_view authority, Reference& ref)
{
    ref.hasAuthority = true;
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view info = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        ref.hasUserInfo = true;
        if (const auto colon = info.find(':'); colon != std::string_view::npos) {
            ref.user = info.substr(0, colon);
            ref.password = info.substr(colon + 1);
            ref.hasPassword = true;
        } else {
            ref.user = info;
        }
    }

    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        const std::string_view literal = authority.substr(1, close - 1);
        // A zone ("%25eth0") is carried along but is not part of the address.
        const std::string address(literal.substr(0, literal.find('%')));
        in6_addr parsed {};
        if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1)
            return false;
        ref.host = ascii::lowered(literal);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return false;
            hasPort = true;
            portText = rest.substr(1);
        }
    } else {
        const auto colon = authority.find(':');
        const std::string_view host = authority.substr(0, colon);
        if (!std::all_of(host.begin(), host.end(), isHostChar))
            return false;
        ref.host = ascii::lowered(host);
        if (colon != std::string_view::npos) {
            hasPort = true;
            portText = authority.substr(colon + 1);
        }
    }

    if (hasPort && !portText.empty()) {
        if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), ascii::isDigit))
            return false;
        const unsigned long value = std::stoul(std::string(portText));
        if (value > 65535)
            return false;
        ref.port = static_cast<std::uint16_t>(value);
    }
    return true;
}

std::optional<Reference> parseReference(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (std::any_of(text.begin(), text.end(), isControl))
        return std::nullopt;

    Reference ref;
    // A scheme is letters, digits, "+", "-" and "." starting with a letter, before the first ":";
    // a ":" after a "/", "?" or "#" belongs to a relative path, query or fragment.
    const auto colon = text.find(':');
    if (colon != std::string_view::npos && colon > 0 && isAlpha(text.front())) {
        const std::string_view candidate = text.substr(0, colon);
        const bool valid = std::all_of(candidate.begin(), candidate.end(),
            [](char c) { return isAlpha(c) || ascii::isDigit(c) || c == '+' || c == '-' || c == '.'; });
        if (valid) {
            ref.scheme = ascii::lowered(candidate);
            text.remove_prefix(colon + 1);
        }
    }

    if (const auto hash = text.find('#'); hash != std::string_view::npos) {
        ref.fragment = escapeLoose(text.substr(hash + 1));
        text = text.substr(0, hash);
    }
    if (const auto question = text.find('?'); question != std::string_view::npos) {
        ref.query = escapeLoose(text.substr(question + 1));
        text = text.substr(0, question);
    }
    if (text.starts_with("//")) {
        text.remove_prefix(2);
        const auto slash = text.find('/');
        if (!parseAuthority(text.substr(0, slash), ref))
            return std::nullopt;
        text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
    }
    ref.path = escapeLoose(text);
    return ref;
}

// Removes "." and ".." segments from a path, the way a reference is read against a base.
std::string removeDotSegments(std::string_view input)
{
    std::string output;
    while (!input.empty()) {
        if (input.starts_with("../")) {
            input.remove_prefix(3);
        } else if (input.starts_with("./")) {
            input.remove_prefix(2);
        } else if (input.starts_with("/./")) {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.starts_with("/../") || input == "/..") {
            input = input.size() == 3 ? std::string_view("/") : input.substr(3);
            const auto last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            const auto next = input.find('/', input.front() == '/' ? 1 : 0);
            const std::string_view segment = input.substr(0, next);
            output += segment;
            input.remove_prefix(segment.size());
        }
    }
    return output;
}

} // namespace

struct URLParts {
    static std::optional<URL> make(Reference&& ref)
    {
        if (!ref.scheme)
            return std::nullopt;
        if (needsHost(*ref.scheme) && (!ref.hasAuthority || ref.host.empty()))
            return std::nullopt;
        URL url;
        url.scheme_ = std::move(*ref.scheme);
        url.hasAuthority_ = ref.hasAuthority;
        url.hasUserInfo_ = ref.hasUserInfo;
        url.hasPassword_ = ref.hasPassword;
        url.user_ = std::move(ref.user);
        url.password_ = std::move(ref.password);
        url.host_ = std::move(ref.host);
        url.port_ = ref.port;
        url.path_ = std::move(ref.path);
        url.query_ = std::move(ref.query);
        url.fragment_ = std::move(ref.fragment);
        return url;
    }

    static void copyAuthority(const URL& from, Reference& to)
    {
        to.hasAuthority = from.hasAuthority_;
        to.hasUserInfo = from.hasUserInfo_;
        to.hasPassword = from.hasPassword_;
        to.user = from.user_;
        to.password = from.password_;
        to.host = from.host_;
        to.port = from.port_;
    }
};

std::optional<URL> URL::parse(std::string_view text)
{
    auto ref = parseReference(text);
    if (!ref)
        return std::nullopt;
    return URLParts::make(std::move(*ref));
}

std::uint16_t URL::effectivePort() const
{
    if (port_ != 0)
        return port_;
    if (scheme_ == "http")
        return 80;
    if (scheme_ == "https")
        return 443;
    return 0;
}

std::string URL::requestTarget() const
{
    std::string target = path_.empty() ? std::string("/") : path_;
    if (query_)
        target += "?" + *query_;
    return target;
}

std::string URL::hostAndPort() const
{
    std::string out = isIPv6Host() ? "[" + host_ + "]" : host_;
    if (port_ != 0)
        out += ":" + std::to_string(port_);
    return out;
}

std::string URL::string() const
{
    std::string out = scheme_ + ":";
    if (hasAuthority_) {
        out += "//";
        if (hasUserInfo_) {
            out += user_;
            if (hasPassword_)
                out += ":" + password_;
            out += "@";
        }
        out += hostAndPort();
    }
    out += path_;
    if (query_)
        out += "?" + *query_;
    if (fragment_)
        out += "#" + *fragment_;
    return out;
}

std::optional<URL> URL::resolve(std::string_view reference) const
{
    auto parsed = parseReference(reference);
    if (!parsed)
        return std::nullopt;
    Reference& r = *parsed;
    Reference t;
    if (r.scheme) {
        t = std::move(r);
        t.path = removeDotSegments(t.path);
    } else {
        if (r.hasAuthority) {
            t = std::move(r);
            t.path = removeDotSegments(t.path);
        } else {
            URLParts::copyAuthority(*this, t);
            if (r.path.empty()) {
                t.path = path_;
                t.query = r.query ? std::move(r.query) : query_;
            } else {
                if (r.path.front() == '/') {
                    t.path = removeDotSegments(r.path);
                } else {
                    // Merge: the reference replaces the last segment of the base path.
                    std::string merged;
                    if (hasAuthority_ && path_.empty()) {
                        merged = "/" + r.path;
                    } else {
                        const auto slash = path_.rfind('/');
                        merged = (slash == std::string::npos ? std::string() : path_.substr(0, slash + 1)) + r.path;
                    }
                    t.path = removeDotSegments(merged);
                }
                t.query = std::move(r.query);
            }
            t.fragment = std::move(r.fragment);
        }
        t.scheme = scheme_;
    }
    return URLParts::make(std::move(t));
}

} // namespace norvane
