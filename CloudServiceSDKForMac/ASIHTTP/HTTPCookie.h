#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ASIURL.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

using CookieTime = std::chrono::sys_seconds;

// One cookie as a server set it (the storage model of HTTP state management). Identity is the
// triple (domain, path, name): a cookie with the same triple replaces an earlier one.
//
// Cookie values are secrets (session keys): nothing here writes them to the log, and neither
// should a caller.
struct HTTPCookie {
    std::string name;
    std::string value;
    // Lower case, no leading dot. For a host-only cookie, the host that set it.
    std::string domain;
    std::string path;
    // None for a session cookie (lives as long as the process).
    std::optional<CookieTime> expires;
    bool secure = false;
    bool httpOnly = false;
    // Sent to exactly `domain`, not to its subdomains (no Domain attribute was given).
    bool hostOnly = true;
    // The host of the URL whose response set the cookie.
    std::string originHost;
    // When the cookie was first stored; orders cookies of equal path length.
    CookieTime created {};

    bool isSession() const { return !expires.has_value(); }
    bool isExpired(CookieTime now) const { return expires && *expires <= now; }
    bool sameIdentity(const HTTPCookie& other) const
    {
        return domain == other.domain && path == other.path && name == other.name;
    }
    // Whether a request to url would carry this cookie (domain, path and secure rules; expiry is
    // the caller's business).
    bool matches(const URL& url) const;

    // Reads one Set-Cookie header value received in the response to url. None when the header
    // is malformed or the server may not set it (its Domain does not cover the host).
    static std::optional<HTTPCookie> parse(std::string_view setCookie, const URL& url, CookieTime now);
    // Every acceptable cookie of a response's Set-Cookie header values, in order.
    static std::vector<HTTPCookie> parseAll(const std::vector<std::string>& setCookies, const URL& url, CookieTime now);

    friend bool operator==(const HTTPCookie&, const HTTPCookie&) = default;
};

CookieTime cookieNow();

// "name=value; name=value" in list order: the value of a request's Cookie header.
std::string cookieHeaderValue(const std::vector<HTTPCookie>& cookies);

// Host `host` lies in cookie domain `domain` (equal, or a subdomain when host is a name and not
// an IP address). Both in lower case.
bool cookieDomainMatches(std::string_view host, std::string_view domain);
// A request path lies under a cookie path (equal, or below it at a "/" boundary).
bool cookiePathMatches(std::string_view requestPath, std::string_view cookiePath);
// The path a cookie without a Path attribute gets: the directory of the request path.
std::string defaultCookiePath(std::string_view requestPath);
// The date forms servers write into Expires ("Wed, 09 Jun 2021 10:18:14 GMT",
// "Wednesday, 09-Jun-21 10:18:14 GMT", "Wed Jun  9 10:18:14 2021", ...), always UTC.
std::optional<CookieTime> parseCookieDate(std::string_view text);

} // namespace norvane
