#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ASIURL.h"
#include "CloudServiceSDKForMac/ASIHTTP/HTTPCookie.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace norvane {

// The cookie jar of the process: what the server set, handed back on later requests. Safe to use
// from any thread. Kept in memory only; session and persistent cookies alike end with the process.
class CookieStore {
public:
    // A server may keep this many cookies per domain; beyond it the oldest goes.
    static constexpr std::size_t maxCookiesPerDomain = 180;

    CookieStore() = default;
    CookieStore(const CookieStore&) = delete;
    CookieStore& operator=(const CookieStore&) = delete;

    static CookieStore& shared();

    // The cookies a request to url carries, longest path first and, among equal paths, the
    // earliest stored first. Secure cookies only go over https. Expired cookies are dropped
    // from the jar on the way.
    std::vector<HTTPCookie> cookiesForURL(const URL& url, CookieTime now = cookieNow());
    // Stores cookies received in a response from url. A cookie whose domain does not cover url's
    // host is skipped. A cookie replaces the stored one of the same domain, path and name (which
    // keeps its first creation time); one that has already expired only removes it. Returns how
    // many cookies were accepted, removals included.
    std::size_t setCookies(const std::vector<HTTPCookie>& cookies, const URL& url, CookieTime now = cookieNow());
    // Removes the stored cookie of the same domain, path and name; false when there was none.
    bool deleteCookie(const HTTPCookie& cookie);
    void removeAll();
    // Every stored cookie, expired ones included, in storing order.
    std::vector<HTTPCookie> allCookies() const;

private:
    struct Entry {
        HTTPCookie cookie;
        std::uint64_t sequence;
    };

    void evictBeyondDomainLimit(const std::string& domain);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::uint64_t nextSequence_ = 0;
};

// The HTTP engine's session cookie list: the cookies received in this process, shared by every
// request. Safe to use from any thread.
class SessionCookies {
public:
    SessionCookies() = default;
    SessionCookies(const SessionCookies&) = delete;
    SessionCookies& operator=(const SessionCookies&) = delete;

    static SessionCookies& shared();

    std::vector<HTTPCookie> list() const;
    // Adds a cookie; an existing one with the same domain, path and name is replaced in place.
    void add(const HTTPCookie& cookie);
    // Takes a new list. The cookies of the list being replaced are first deleted from store, so
    // that replacing the list (with an empty one, say) also ends those cookies there.
    void replace(std::vector<HTTPCookie> cookies, CookieStore& store);
    // Empties the list (the jar is left as it is).
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<HTTPCookie> cookies_;
};

} // namespace norvane
