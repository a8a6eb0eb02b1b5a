#include "CloudServiceSDKForMac/ASIHTTP/CookieStore.h"
#include "CloudServiceSDKForMac/ASIHTTP/HTTPCookie.h"

#include <gtest/gtest.h>

#include <thread>

using namespace norvane;
using namespace std::chrono;

namespace {

CookieTime at(int y, unsigned m, unsigned d, int hh, int mm, int ss)
{
    return CookieTime(sys_days(year(y) / month(m) / day(d))) + hours(hh) + minutes(mm) + seconds(ss);
}

const CookieTime t0 = at(2024, 3, 1, 12, 0, 0);

URL url(const char* text)
{
    auto parsed = URL::parse(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(*URL::parse("http://invalid/"));
}

HTTPCookie cookie(const char* setCookie, const char* from, CookieTime now = t0)
{
    auto parsed = HTTPCookie::parse(setCookie, url(from), now);
    EXPECT_TRUE(parsed) << setCookie;
    return parsed.value_or(HTTPCookie {});
}

std::string names(const std::vector<HTTPCookie>& cookies)
{
    std::string out;
    for (const auto& c : cookies)
        out += (out.empty() ? "" : ",") + c.name;
    return out;
}

} // namespace

TEST(HTTPCookie, ParsesEveryAttribute)
{
    const auto c = HTTPCookie::parse(
        " SID = abc 123 ; domain=.Example.COM; Path=/docs; Expires=Wed, 09 Jun 2027 10:18:14 GMT; Secure; HTTPONLY;"
        " Unknown=1; =x",
        url("https://www.example.com/docs/list"), t0);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->name, "SID");
    EXPECT_EQ(c->value, "abc 123");
    EXPECT_EQ(c->domain, "example.com");
    EXPECT_FALSE(c->hostOnly);
    EXPECT_EQ(c->path, "/docs");
    EXPECT_EQ(c->expires, at(2027, 6, 9, 10, 18, 14));
    EXPECT_TRUE(c->secure);
    EXPECT_TRUE(c->httpOnly);
    EXPECT_EQ(c->originHost, "www.example.com");
    EXPECT_FALSE(c->isSession());

    const HTTPCookie plain = cookie("k=v", "http://Host.example.com/a/b/c");
    EXPECT_TRUE(plain.hostOnly);
    EXPECT_EQ(plain.domain, "host.example.com");
    EXPECT_EQ(plain.path, "/a/b");
    EXPECT_TRUE(plain.isSession());
    EXPECT_FALSE(plain.secure || plain.httpOnly);
    EXPECT_EQ(cookie("k=", "http://h/").value, "");
}

TEST(HTTPCookie, RefusesMalformedHeaders)
{
    for (const char* bad : { "novalue", "=v", " =v; Path=/", "a=1\x01", "a\r\nX-Injected: 1=1", "" })
        EXPECT_FALSE(HTTPCookie::parse(bad, url("http://h.example/"), t0)) << bad;
    EXPECT_FALSE(HTTPCookie::parse("a=" + std::string(5000, 'x'), url("http://h.example/"), t0));
    EXPECT_TRUE(HTTPCookie::parse("a=" + std::string(4000, 'x'), url("http://h.example/"), t0));

    // One bad header among several costs only itself.
    const auto all
        = HTTPCookie::parseAll({ "a=1", "broken", "b=2; Domain=other.org", "c=3" }, url("http://www.example.com/"), t0);
    EXPECT_EQ(names(all), "a,c");
}

TEST(HTTPCookie, DomainMustCoverTheHost)
{
    const URL www = url("http://www.example.com/");
    for (const char* refused : { "a=1; Domain=other.com", "a=1; Domain=com", "a=1; Domain=.com",
             "a=1; Domain=ample.com", "a=1; Domain=sub.www.example.com", "a=1; Domain=www.example.com.evil" })
        EXPECT_FALSE(HTTPCookie::parse(refused, www, t0)) << refused;

    const HTTPCookie own = cookie("a=1; Domain=WWW.example.com", "http://www.example.com/");
    EXPECT_FALSE(own.hostOnly) << "a Domain equal to the host still reaches subdomains";
    EXPECT_EQ(cookie("a=1; Domain=", "http://www.example.com/").domain, "www.example.com");

    // A single-label host may name itself, and gets a host-only cookie.
    const HTTPCookie local = cookie("a=1; Domain=localhost", "http://localhost:8080/");
    EXPECT_TRUE(local.hostOnly);
    EXPECT_EQ(local.domain, "localhost");

    // An IP address has no subdomains.
    EXPECT_FALSE(HTTPCookie::parse("a=1; Domain=0.0.5", url("http://10.0.0.5/"), t0));
    EXPECT_FALSE(cookieDomainMatches("10.0.0.5", "0.0.5"));
    EXPECT_FALSE(cookieDomainMatches("::1", "1"));
    EXPECT_TRUE(cookieDomainMatches("a.b.example.com", "example.com"));
    EXPECT_FALSE(cookieDomainMatches("badexample.com", "example.com"));
}

TEST(HTTPCookie, PathDefaultsAndMatching)
{
    EXPECT_EQ(defaultCookiePath(""), "/");
    EXPECT_EQ(defaultCookiePath("/"), "/");
    EXPECT_EQ(defaultCookiePath("/file"), "/");
    EXPECT_EQ(defaultCookiePath("/dir/"), "/dir");
    EXPECT_EQ(defaultCookiePath("/a/b/c"), "/a/b");
    EXPECT_EQ(cookie("a=1; Path=relative", "http://h.example/x/y").path, "/x");
    EXPECT_EQ(cookie("a=1; Path=/elsewhere", "http://h.example/x/y").path, "/elsewhere");
    EXPECT_EQ(cookie("a=1; Path=/p; Path=", "http://h.example/x/y").path, "/x") << "the last Path counts";

    EXPECT_TRUE(cookiePathMatches("/docs", "/docs"));
    EXPECT_TRUE(cookiePathMatches("/docs/", "/docs"));
    EXPECT_TRUE(cookiePathMatches("/docs/x", "/docs"));
    EXPECT_FALSE(cookiePathMatches("/docsx", "/docs"));
    EXPECT_TRUE(cookiePathMatches("/docs/x", "/docs/"));
    EXPECT_FALSE(cookiePathMatches("/docs", "/docs/"));
    EXPECT_TRUE(cookiePathMatches("", "/"));
}

TEST(HTTPCookie, Lifetimes)
{
    const char* from = "http://h.example/";
    // Max-Age wins over Expires wherever it stands.
    EXPECT_EQ(cookie("a=1; Max-Age=60; Expires=Wed, 09 Jun 2027 10:18:14 GMT", from).expires, t0 + seconds(60));
    EXPECT_EQ(cookie("a=1; Expires=Wed, 09 Jun 2027 10:18:14 GMT; max-age=60", from).expires, t0 + seconds(60));
    EXPECT_EQ(
        cookie("a=1; Max-Age=1x; Expires=Wed, 09 Jun 2027 10:18:14 GMT", from).expires, at(2027, 6, 9, 10, 18, 14))
        << "a malformed Max-Age is ignored";
    EXPECT_TRUE(cookie("a=1; Max-Age=0", from).isExpired(t0));
    EXPECT_TRUE(cookie("a=1; Max-Age=-5", from).isExpired(t0));
    EXPECT_TRUE(cookie("a=1; Expires=Thu, 01 Jan 1970 00:00:00 GMT", from).isExpired(t0));
    EXPECT_TRUE(cookie("a=1; Expires=not a date", from).isSession());
    const HTTPCookie longLived = cookie("a=1; Max-Age=99999999999999999999", from);
    ASSERT_TRUE(longLived.expires);
    EXPECT_GT(*longLived.expires, t0 + years(50)) << "an absurd Max-Age is clamped, not wrapped";
}

TEST(HTTPCookie, DateForms)
{
    const CookieTime expected = at(2021, 6, 9, 10, 18, 4);
    for (const char* text :
        { "Wed, 09 Jun 2021 10:18:04 GMT", "Wednesday, 09-Jun-21 10:18:04 GMT", "Wed Jun  9 10:18:04 2021",
            "Wed, 09-Jun-2021 10:18:04 GMT", "9 june 2021 10:18:4", "2021 jun 09 10:18:04" })
        EXPECT_EQ(parseCookieDate(text), expected) << text;
    EXPECT_EQ(parseCookieDate("01 Jan 69 00:00:00"), at(2069, 1, 1, 0, 0, 0));
    EXPECT_EQ(parseCookieDate("01 Jan 70 00:00:00"), at(1970, 1, 1, 0, 0, 0));
    EXPECT_EQ(parseCookieDate("Fri, 31 Dec 9999 23:59:59 GMT"), at(9999, 12, 31, 23, 59, 59));
    for (const char* bad : { "Wed, 09 Jun 2021", "30 Feb 2021 10:00:00", "32 Jun 2021 10:00:00", "09 Jun 1600 10:00:00",
             "09 Jun 2021 24:00:00", "09 Jun 2021 10:60:00", "09 Foo 2021 10:00:00", "" })
        EXPECT_FALSE(parseCookieDate(bad)) << bad;
}

TEST(CookieStore, SendsMatchingCookiesInOrder)
{
    CookieStore store;
    const URL site = url("https://www.example.com/a/b/page");
    store.setCookies({ cookie("root1=1; Path=/", "https://www.example.com/") }, site, t0);
    store.setCookies({ cookie("deep=1; Path=/a/b", "https://www.example.com/") }, site, t0 + seconds(1));
    store.setCookies(
        { cookie("mid=1; Path=/a; Domain=example.com", "https://www.example.com/") }, site, t0 + seconds(2));
    store.setCookies({ cookie("root2=1; Path=/", "https://www.example.com/"),
                         cookie("root3=1; Path=/; Secure", "https://www.example.com/") },
        site, t0 + seconds(3));
    store.setCookies({ cookie("other=1; Path=/z", "https://www.example.com/") }, site, t0 + seconds(4));

    const auto sent = store.cookiesForURL(site, t0 + seconds(5));
    EXPECT_EQ(names(sent), "deep,mid,root1,root2,root3");
    EXPECT_EQ(cookieHeaderValue(sent), "deep=1; mid=1; root1=1; root2=1; root3=1");

    EXPECT_EQ(
        names(store.cookiesForURL(url("http://www.example.com/a/b/page"), t0 + seconds(5))), "deep,mid,root1,root2")
        << "a secure cookie never goes over http";
    EXPECT_EQ(names(store.cookiesForURL(url("https://api.example.com/a/x"), t0 + seconds(5))), "mid")
        << "host-only cookies stay with their host";
    EXPECT_EQ(names(store.cookiesForURL(url("https://example.com/a"), t0 + seconds(5))), "mid");
    EXPECT_EQ(cookieHeaderValue({}), "");
}

TEST(CookieStore, ReplacesByIdentityAndDropsExpired)
{
    CookieStore store;
    const URL site = url("http://h.example.com/");
    store.setCookies({ cookie("a=1", "http://h.example.com/"), cookie("b=1", "http://h.example.com/") }, site, t0);
    store.setCookies({ cookie("a=2", "http://h.example.com/") }, site, t0 + seconds(10));
    auto sent = store.cookiesForURL(site, t0 + seconds(11));
    ASSERT_EQ(names(sent), "a,b") << "a replacement keeps the creation time of the cookie it replaces";
    EXPECT_EQ(sent[0].value, "2");

    // Same name, other path: a cookie of its own.
    store.setCookies({ cookie("a=3; Path=/x", "http://h.example.com/") }, site, t0 + seconds(12));
    EXPECT_EQ(store.allCookies().size(), 3u);

    // An already expired cookie deletes its namesake and is not stored.
    store.setCookies(
        { cookie("b=gone; Max-Age=0", "http://h.example.com/", t0 + seconds(13)) }, site, t0 + seconds(13));
    EXPECT_EQ(names(store.cookiesForURL(site, t0 + seconds(14))), "a");

    // A cookie past its time is dropped from the jar when next looked at.
    store.setCookies(
        { cookie("short=1; Max-Age=10", "http://h.example.com/", t0 + seconds(20)) }, site, t0 + seconds(20));
    EXPECT_EQ(names(store.cookiesForURL(site, t0 + seconds(29))), "a,short");
    EXPECT_EQ(names(store.cookiesForURL(site, t0 + seconds(30))), "a");
    EXPECT_EQ(store.allCookies().size(), 2u);

    EXPECT_TRUE(store.deleteCookie(cookie("a=whatever", "http://h.example.com/")));
    EXPECT_FALSE(store.deleteCookie(cookie("a=whatever", "http://h.example.com/")));
    EXPECT_EQ(names(store.allCookies()), "a") << "only the one at /x is left";
    store.removeAll();
    EXPECT_TRUE(store.allCookies().empty());
}

TEST(CookieStore, RefusesCookiesForOtherHostsAndLimitsEachDomain)
{
    CookieStore store;
    const HTTPCookie foreign = cookie("a=1", "http://evil.example.org/");
    EXPECT_EQ(store.setCookies({ foreign }, url("http://www.example.com/"), t0), 0u);
    EXPECT_TRUE(store.allCookies().empty());

    const URL site = url("http://h.example.com/");
    for (std::size_t i = 0; i <= CookieStore::maxCookiesPerDomain; ++i)
        store.setCookies({ cookie(("c" + std::to_string(i) + "=1").c_str(), "http://h.example.com/") }, site,
            t0 + seconds(static_cast<long>(i)));
    const auto kept = store.allCookies();
    ASSERT_EQ(kept.size(), CookieStore::maxCookiesPerDomain);
    EXPECT_EQ(kept.front().name, "c1") << "the oldest cookie made room";
}

TEST(CookieStore, SharedJarSurvivesConcurrentUse)
{
    CookieStore& store = CookieStore::shared();
    EXPECT_EQ(&store, &CookieStore::shared());
    store.removeAll();
    const URL site = url("http://threads.example.com/");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&store, &site, t] {
            for (int i = 0; i < 100; ++i) {
                const std::string header = "t" + std::to_string(t) + "_" + std::to_string(i % 20) + "=1";
                store.setCookies({ *HTTPCookie::parse(header, site, t0) }, site, t0);
                store.cookiesForURL(site, t0);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(store.cookiesForURL(site, t0).size(), 80u);
    store.removeAll();
}

TEST(SessionCookies, ReplacesByIdentityAndClearsTheJarOnReplace)
{
    SessionCookies session;
    session.add(cookie("a=1", "http://h.example.com/"));
    session.add(cookie("b=1", "http://h.example.com/"));
    session.add(cookie("a=2", "http://h.example.com/"));
    session.add(cookie("a=3; Path=/x", "http://h.example.com/"));
    const auto list = session.list();
    ASSERT_EQ(names(list), "a,b,a");
    EXPECT_EQ(list[0].value, "2");

    CookieStore store;
    const URL site = url("http://h.example.com/");
    store.setCookies({ cookie("a=2", "http://h.example.com/"), cookie("keep=1", "http://h.example.com/") }, site, t0);
    session.replace({ cookie("n=1", "http://h.example.com/") }, store);
    EXPECT_EQ(names(session.list()), "n");
    EXPECT_EQ(names(store.allCookies()), "keep");
    session.clear();
    EXPECT_TRUE(session.list().empty());
}
