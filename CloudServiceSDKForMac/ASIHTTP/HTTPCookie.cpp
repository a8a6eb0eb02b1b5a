#include "CloudServiceSDKForMac/ASIHTTP/HTTPCookie.h"

#include "platform/AsciiText.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <limits>

namespace norvane {

namespace {

// Longer name-value pairs are refused whole rather than cut, as user agents commonly do; this
// also keeps a hostile server from growing our Cookie headers without bound.
constexpr std::size_t maxNameValueLength = 4096;

// Control characters other than a tab would let a cookie break the header it is sent in.
bool hasControl(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\t') || u == 0x7f;
    });
}

bool isIPAddress(std::string_view host)
{
    if (host.find(':') != std::string_view::npos)
        return true; // only an IPv6 literal has colons in a host
    in_addr v4 {};
    return inet_pton(AF_INET, std::string(host).c_str(), &v4) == 1;
}

// Cookie dates: the tokens between delimiters are tried as a time, a day of the month, a month
// and a year, each taken from the first token that fits, so that every common layout works.
bool isDateDelimiter(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u == 0x09 || (u >= 0x20 && u <= 0x2f) || (u >= 0x3b && u <= 0x40) || (u >= 0x5b && u <= 0x60)
        || (u >= 0x7b && u <= 0x7e);
}

// 1 to maxDigits digits (at least minDigits), optionally followed by a non-digit and anything.
std::optional<int> leadingNumber(
    std::string_view token, std::size_t minDigits, std::size_t maxDigits, std::size_t* used = nullptr)
{
    std::size_t n = 0;
    while (n < token.size() && ascii::isDigit(token[n]))
        ++n;
    if (n < minDigits || n > maxDigits)
        return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < n; ++i)
        value = value * 10 + (token[i] - '0');
    if (used)
        *used = n;
    return value;
}

bool parseTime(std::string_view token, int& hour, int& minute, int& second)
{
    int* fields[] = { &hour, &minute, &second };
    for (int i = 0; i < 3; ++i) {
        std::size_t used = 0;
        const auto value = leadingNumber(token, 1, 2, &used);
        if (!value)
            return false;
        *fields[i] = *value;
        token.remove_prefix(used);
        if (i < 2) {
            if (token.empty() || token.front() != ':')
                return false;
            token.remove_prefix(1);
        }
    }
    return true;
}

std::optional<int> parseMonth(std::string_view token)
{
    static constexpr std::array<std::string_view, 12> months
        = { "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec" };
    if (token.size() < 3)
        return std::nullopt;
    for (std::size_t i = 0; i < months.size(); ++i)
        if (ascii::equalsIgnoringCase(token.substr(0, 3), months[i]))
            return static_cast<int>(i) + 1;
    return std::nullopt;
}

} // namespace

std::optional<CookieTime> parseCookieDate(std::string_view text)
{
    int hour = 0, minute = 0, second = 0;
    std::optional<int> day, month, year;
    bool foundTime = false;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isDateDelimiter(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !isDateDelimiter(text[i]))
            ++i;
        const std::string_view token = text.substr(start, i - start);
        if (token.empty())
            continue;
        if (!foundTime && parseTime(token, hour, minute, second)) {
            foundTime = true;
            continue;
        }
        if (!day) {
            if ((day = leadingNumber(token, 1, 2)))
                continue;
        }
        if (!month) {
            if ((month = parseMonth(token)))
                continue;
        }
        if (!year)
            year = leadingNumber(token, 2, 4);
    }
    if (!foundTime || !day || !month || !year)
        return std::nullopt;
    int y = *year;
    if (y >= 70 && y <= 99)
        y += 1900;
    else if (y >= 0 && y <= 69)
        y += 2000;
    if (y < 1601 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const std::chrono::year_month_day date { std::chrono::year(y), std::chrono::month(static_cast<unsigned>(*month)),
        std::chrono::day(static_cast<unsigned>(*day)) };
    if (!date.ok())
        return std::nullopt;
    return CookieTime(std::chrono::sys_days(date)) + std::chrono::hours(hour) + std::chrono::minutes(minute)
        + std::chrono::seconds(second);
}

bool cookieDomainMatches(std::string_view host, std::string_view domain)
{
    if (host == domain)
        return true;
    return !domain.empty() && host.size() > domain.size() && host.ends_with(domain)
        && host[host.size() - domain.size() - 1] == '.' && !isIPAddress(host);
}

bool cookiePathMatches(std::string_view requestPath, std::string_view cookiePath)
{
    if (requestPath.empty() || requestPath.front() != '/')
        requestPath = "/";
    if (requestPath == cookiePath)
        return true;
    return requestPath.starts_with(cookiePath) && (cookiePath.ends_with('/') || requestPath[cookiePath.size()] == '/');
}

std::string defaultCookiePath(std::string_view requestPath)
{
    if (requestPath.empty() || requestPath.front() != '/')
        return "/";
    const auto last = requestPath.rfind('/');
    return last == 0 ? std::string("/") : std::string(requestPath.substr(0, last));
}

CookieTime cookieNow()
{
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

bool HTTPCookie::matches(const URL& url) const
{
    const bool hostMatches = hostOnly ? url.host() == domain : cookieDomainMatches(url.host(), domain);
    return hostMatches && cookiePathMatches(url.path(), path) && (!secure || url.scheme() == "https");
}

std::optional<HTTPCookie> HTTPCookie::parse(std::string_view setCookie, const URL& url, CookieTime now)
{
    if (url.host().empty())
        return std::nullopt;
    const auto semicolon = setCookie.find(';');
    const std::string_view pair = setCookie.substr(0, semicolon);
    const auto equals = pair.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    HTTPCookie cookie;
    cookie.name = ascii::trimBlanks(pair.substr(0, equals));
    cookie.value = ascii::trimBlanks(pair.substr(equals + 1));
    if (cookie.name.empty() || hasControl(cookie.name) || hasControl(cookie.value)
        || cookie.name.size() + cookie.value.size() > maxNameValueLength)
        return std::nullopt;

    std::optional<CookieTime> expires, maxAge;
    std::optional<std::string> domainAttribute, pathAttribute;
    std::string_view rest = semicolon == std::string_view::npos ? std::string_view() : setCookie.substr(semicolon);
    while (!rest.empty()) {
        rest.remove_prefix(1); // the ';'
        const auto next = rest.find(';');
        const std::string_view av = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next);
        const auto eq = av.find('=');
        const std::string_view name = ascii::trimBlanks(av.substr(0, eq));
        const std::string_view value
            = eq == std::string_view::npos ? std::string_view() : ascii::trimBlanks(av.substr(eq + 1));
        // The last occurrence of an attribute is the one that counts.
        if (ascii::equalsIgnoringCase(name, "expires")) {
            if (const auto date = parseCookieDate(value))
                expires = date;
        } else if (ascii::equalsIgnoringCase(name, "max-age")) {
            const bool negative = !value.empty() && value.front() == '-';
            const std::string_view digits = negative ? value.substr(1) : value;
            if (digits.empty() || !std::all_of(digits.begin(), digits.end(), ascii::isDigit))
                continue;
            long long delta = 0;
            for (char c : digits) {
                delta = delta * 10 + (c - '0');
                if (delta > std::numeric_limits<int>::max())
                    break;
            }
            // Zero or less: the server wants the cookie gone at once.
            maxAge = negative || delta == 0 ? CookieTime {} : now + std::chrono::seconds(delta);
        } else if (ascii::equalsIgnoringCase(name, "domain")) {
            std::string_view domain = value;
            if (!domain.empty() && domain.front() == '.')
                domain.remove_prefix(1);
            // An empty Domain is ignored, not taken as "no domain".
            if (!domain.empty())
                domainAttribute = ascii::lowered(domain);
        } else if (ascii::equalsIgnoringCase(name, "path")) {
            pathAttribute = value.empty() || value.front() != '/' ? std::nullopt : std::optional<std::string>(value);
        } else if (ascii::equalsIgnoringCase(name, "secure")) {
            cookie.secure = true;
        } else if (ascii::equalsIgnoringCase(name, "httponly")) {
            cookie.httpOnly = true;
        }
    }

    cookie.expires = maxAge ? maxAge : expires;
    cookie.originHost = url.host();
    cookie.created = now;
    cookie.path = pathAttribute ? *pathAttribute : defaultCookiePath(url.path());

    cookie.hostOnly = true;
    cookie.domain = url.host();
    if (domainAttribute) {
        const std::string& domain = *domainAttribute;
        if (domain.find('.') == std::string::npos) {
            // A name without a dot is a top-level domain, or a single-label intranet host: a
            // server may set a cookie for itself that way, never for every host under it.
            if (domain != url.host())
                return std::nullopt;
        } else {
            if (!cookieDomainMatches(url.host(), domain))
                return std::nullopt;
            cookie.hostOnly = false;
            cookie.domain = domain;
        }
    }
    return cookie;
}

std::vector<HTTPCookie> HTTPCookie::parseAll(const std::vector<std::string>& setCookies, const URL& url, CookieTime now)
{
    std::vector<HTTPCookie> cookies;
    for (const std::string& header : setCookies)
        if (auto cookie = parse(header, url, now))
            cookies.push_back(std::move(*cookie));
    return cookies;
}

std::string cookieHeaderValue(const std::vector<HTTPCookie>& cookies)
{
    std::string header;
    for (const HTTPCookie& cookie : cookies) {
        if (!header.empty())
            header += "; ";
        header += cookie.name + "=" + cookie.value;
    }
    return header;
}

} // namespace norvane
