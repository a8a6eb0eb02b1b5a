#include "CloudServiceSDKForMac/ASIHTTP/CookieStore.h"

#include <algorithm>

namespace norvane {

namespace {

// Whether a response from host may set (or replace) a cookie of this domain.
bool domainCoversHost(const HTTPCookie& cookie, const std::string& host)
{
    return cookie.hostOnly ? cookie.domain == host : cookieDomainMatches(host, cookie.domain);
}

} // namespace

CookieStore& CookieStore::shared()
{
    static CookieStore store;
    return store;
}

std::vector<HTTPCookie> CookieStore::cookiesForURL(const URL& url, CookieTime now)
{
    std::vector<Entry> matching;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(entries_, [now](const Entry& e) { return e.cookie.isExpired(now); });
        for (const Entry& e : entries_)
            if (e.cookie.matches(url))
                matching.push_back(e);
    }
    std::sort(matching.begin(), matching.end(), [](const Entry& a, const Entry& b) {
        if (a.cookie.path.size() != b.cookie.path.size())
            return a.cookie.path.size() > b.cookie.path.size();
        if (a.cookie.created != b.cookie.created)
            return a.cookie.created < b.cookie.created;
        return a.sequence < b.sequence;
    });
    std::vector<HTTPCookie> cookies;
    cookies.reserve(matching.size());
    for (Entry& e : matching)
        cookies.push_back(std::move(e.cookie));
    return cookies;
}

std::size_t CookieStore::setCookies(const std::vector<HTTPCookie>& cookies, const URL& url, CookieTime now)
{
    std::size_t taken = 0;
    std::lock_guard lock(mutex_);
    for (const HTTPCookie& cookie : cookies) {
        if (cookie.name.empty() || !domainCoversHost(cookie, url.host()))
            continue;
        ++taken;
        const auto old = std::find_if(
            entries_.begin(), entries_.end(), [&cookie](const Entry& e) { return e.cookie.sameIdentity(cookie); });
        if (cookie.isExpired(now)) {
            if (old != entries_.end())
                entries_.erase(old);
            continue;
        }
        if (old != entries_.end()) {
            const CookieTime created = old->cookie.created;
            old->cookie = cookie;
            old->cookie.created = created;
        } else {
            HTTPCookie stored = cookie;
            stored.created = now;
            entries_.push_back({ std::move(stored), nextSequence_++ });
            evictBeyondDomainLimit(cookie.domain);
        }
    }
    return taken;
}

void CookieStore::evictBeyondDomainLimit(const std::string& domain)
{
    // Entries are kept in storing order, so the first of the domain is its oldest.
    if (std::count_if(entries_.begin(), entries_.end(), [&domain](const Entry& e) { return e.cookie.domain == domain; })
        <= static_cast<std::ptrdiff_t>(maxCookiesPerDomain))
        return;
    entries_.erase(std::find_if(
        entries_.begin(), entries_.end(), [&domain](const Entry& e) { return e.cookie.domain == domain; }));
}

bool CookieStore::deleteCookie(const HTTPCookie& cookie)
{
    std::lock_guard lock(mutex_);
    return std::erase_if(entries_, [&cookie](const Entry& e) { return e.cookie.sameIdentity(cookie); }) > 0;
}

void CookieStore::removeAll()
{
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::vector<HTTPCookie> CookieStore::allCookies() const
{
    std::lock_guard lock(mutex_);
    std::vector<HTTPCookie> cookies;
    cookies.reserve(entries_.size());
    for (const Entry& e : entries_)
        cookies.push_back(e.cookie);
    return cookies;
}

SessionCookies& SessionCookies::shared()
{
    static SessionCookies cookies;
    return cookies;
}

std::vector<HTTPCookie> SessionCookies::list() const
{
    std::lock_guard lock(mutex_);
    return cookies_;
}

void SessionCookies::add(const HTTPCookie& cookie)
{
    std::lock_guard lock(mutex_);
    const auto old = std::find_if(
        cookies_.begin(), cookies_.end(), [&cookie](const HTTPCookie& c) { return c.sameIdentity(cookie); });
    if (old != cookies_.end())
        *old = cookie;
    else
        cookies_.push_back(cookie);
}

void SessionCookies::replace(std::vector<HTTPCookie> cookies, CookieStore& store)
{
    std::lock_guard lock(mutex_);
    for (const HTTPCookie& old : cookies_)
        store.deleteCookie(old);
    cookies_ = std::move(cookies);
}

void SessionCookies::clear()
{
    std::lock_guard lock(mutex_);
    cookies_.clear();
}

} // namespace norvane
