#include "CloudServiceSDKForMac/ASIHTTP/ProxyAutoConfig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>

using namespace norvane;
using namespace std::chrono;
using Type = ProxyEntry::Type;

namespace {

ProxyEntry http(std::string host, int port)
{
    return { Type::Http, std::move(host), port, {} };
}
ProxyEntry socks(std::string host, int port)
{
    return { Type::Socks, std::move(host), port, {} };
}

// Runs a script whose FindProxyForURL returns the given JS expressions as a JSON array.
std::string evaluateAll(const std::string& expressions, const ProxyAutoConfig::Options& options = {})
{
    std::string script = "function FindProxyForURL(url, host) { return JSON.stringify([" + expressions + "]); }";
    auto result = ProxyAutoConfig::run(script, "http://example.com/", "example.com", options);
    EXPECT_EQ(result.outcome, ProxyAutoConfig::Outcome::Ok) << result.message;
    return result.answer;
}

ProxyAutoConfig::Options at(system_clock::time_point when)
{
    ProxyAutoConfig::Options options;
    options.clock = [when] { return when; };
    return options;
}

system_clock::time_point utc(int y, unsigned m, unsigned d, int hh, int mm, int ss)
{
    return sys_days { year { y } / month { m } / day { d } } + hours { hh } + minutes { mm } + seconds { ss };
}

} // namespace

TEST(ProxyAutoConfig, ParsesResultStrings)
{
    EXPECT_EQ(parsePacResult("PROXY 127.0.0.1:3128; SOCKS socks.example; DIRECT"),
        (std::vector<ProxyEntry> { http("127.0.0.1", 3128), socks("socks.example", 1080), {} }));
    EXPECT_EQ(parsePacResult("  proxy\tcache.example ;direct;;  socks5 [::1]:9050 "),
        (std::vector<ProxyEntry> { http("cache.example", 80), {}, socks("::1", 9050) }));
    // Unusable entries are skipped, the rest kept in order.
    EXPECT_EQ(parsePacResult("PROXY a:0; PROXY b:65536; PROXY c:x; PROXY; HTTPS h:1; PROXY u@h:1; PROXY ::1:80; "
                             "DIRECT now; PROXY a b; FOO; PROXY ok:8080"),
        (std::vector<ProxyEntry> { http("ok", 8080) }));
    EXPECT_TRUE(parsePacResult("").empty());
}

TEST(ProxyAutoConfig, HostHelpers)
{
    EXPECT_EQ(evaluateAll("isPlainHostName('www'), isPlainHostName('www.example.com'),"
                          "dnsDomainIs('www.Example.com', '.example.COM'), dnsDomainIs('www', '.example.com'),"
                          "dnsDomainIs('www.mcom.com', '.example.com'),"
                          "localHostOrDomainIs('www.example.com', 'www.example.com'),"
                          "localHostOrDomainIs('www', 'www.example.com'),"
                          "localHostOrDomainIs('www.mcom.com', 'www.example.com'),"
                          "localHostOrDomainIs('home.example.com', 'www.example.com'),"
                          "dnsDomainLevels('www'), dnsDomainLevels('www.example.com')"),
        "[true,false,true,false,false,true,true,false,false,0,2]");
    EXPECT_EQ(evaluateAll("shExpMatch('http://home.example.com/people/ari/index.html', '*/ari/*'),"
                          "shExpMatch('http://home.example.com/people/montulli/index.html', '*/ari/*'),"
                          "shExpMatch('abc', 'a?c'), shExpMatch('ac', 'a?c'), shExpMatch('a.b', 'a*b'),"
                          "shExpMatch('axb', 'a.b'), shExpMatch('x', ''), shExpMatch('', '*'),"
                          "shExpMatch('a(b)+c', 'a(b)+*'), shExpMatch('abcabd', '*ab?'),"
                          "shExpMatch('"
                  + std::string(60, 'a') + "', '*a*a*a*a*a*a*a*a*a*a*a*a*a*b')"),
        "[true,false,true,false,true,false,false,true,true,true,false]");
}

TEST(ProxyAutoConfig, AddressHelpersAskTheParentsResolver)
{
    std::vector<std::string> asked;
    ProxyAutoConfig::Options options;
    options.resolve = [&asked](const std::string& host) -> std::optional<std::string> {
        asked.push_back(host);
        static const std::map<std::string, std::string> known { { "intranet.example", "10.1.2.3" },
            { "liar.example", "10.0.0.1; PROXY evil:1" } };
        auto it = known.find(host);
        return it == known.end() ? std::nullopt : std::optional(it->second);
    };
    options.localAddress = [] { return std::string("192.0.2.7"); };
    EXPECT_EQ(evaluateAll("isInNet('10.1.2.3', '10.0.0.0', '255.0.0.0'),"
                          "isInNet('10.1.2.3', '10.1.3.0', '255.255.255.0'),"
                          "isInNet('intranet.example', '10.1.0.0', '255.255.0.0'),"
                          "isInNet('unknown.example', '0.0.0.0', '0.0.0.0'),"
                          "isInNet('200.1.1.1', '200.1.1.1', '255.255.255.255'),"
                          "isInNet('200.1.1.1', '200.1.1.0', '255.255.255.256'),"
                          "dnsResolve('intranet.example'), dnsResolve('unknown.example'), dnsResolve('liar.example'),"
                          "isResolvable('intranet.example'), isResolvable('unknown.example'), myIpAddress()",
                  options),
        "[true,false,true,false,true,false,\"10.1.2.3\",null,null,true,false,\"192.0.2.7\"]");
    // Literal addresses never reach the resolver.
    EXPECT_EQ(asked,
        (std::vector<std::string> { "intranet.example", "unknown.example", "intranet.example", "unknown.example",
            "liar.example", "intranet.example", "unknown.example" }));
}

TEST(ProxyAutoConfig, DefaultResolverAndLocalAddress)
{
    EXPECT_EQ(ProxyAutoConfig::resolveIPv4("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(ProxyAutoConfig::resolveIPv4(""), std::nullopt);
    EXPECT_EQ(ProxyAutoConfig::resolveIPv4(std::string("a\0b", 3)), std::nullopt);
    in_addr parsed {};
    EXPECT_EQ(inet_pton(AF_INET, ProxyAutoConfig::localIPv4Address().c_str(), &parsed), 1);
}

TEST(ProxyAutoConfig, DateAndTimeHelpersAcrossBoundaries)
{
    // Friday 15 March 2024, 23:30:15 GMT.
    EXPECT_EQ(
        evaluateAll("weekdayRange('MON', 'FRI', 'GMT'), weekdayRange('SAT', 'GMT'),"
                    "weekdayRange('SAT', 'MON', 'GMT'), weekdayRange('FRI', 'TUE', 'GMT'),"
                    "weekdayRange('XYZ', 'GMT'),"
                    "dateRange(15, 'GMT'), dateRange('MAR', 'GMT'), dateRange(2024, 'GMT'), dateRange(1, 14, 'GMT'),"
                    "dateRange('DEC', 'MAR', 'GMT'), dateRange(15, 'MAR', 16, 'MAR', 'GMT'),"
                    "dateRange(16, 'MAR', 1, 'APR', 'GMT'), dateRange('MAR', 2024, 'APR', 2024, 'GMT'),"
                    "dateRange(1, 'JAN', 2025, 1, 'JAN', 2026, 'GMT'), dateRange(2025, 2023, 'GMT'),"
                    "dateRange(15, 2024, 'GMT'), dateRange(15, 'MAR', 'GMT'),"
                    "timeRange(23, 'GMT'), timeRange(22, 6, 'GMT'), timeRange(9, 17, 'GMT'),"
                    "timeRange(23, 30, 23, 30, 'GMT'), timeRange(23, 30, 16, 23, 31, 0, 'GMT'),"
                    "timeRange(23, 30, 15, 23, 30, 15, 'GMT'), timeRange(24, 'GMT'), timeRange('x', 'GMT')",
            at(utc(2024, 3, 15, 23, 30, 15))),
        "[true,false,false,true,false,true,true,true,false,true,true,false,true,false,false,false,false,"
        "true,true,false,true,false,true,false,false]");
    // The last second of a year and the first of the next.
    const std::string edges
        = "dateRange(31, 'DEC', 1, 'JAN', 'GMT'), dateRange('DEC', 'GMT'), timeRange(0, 'GMT'),"
          "timeRange(23, 59, 0, 23, 59, 59, 'GMT'), weekdayRange('WED', 'GMT'), dateRange(2024, 'GMT')";
    EXPECT_EQ(evaluateAll(edges, at(utc(2024, 12, 31, 23, 59, 59))), "[true,true,false,true,false,true]");
    EXPECT_EQ(evaluateAll(edges, at(utc(2025, 1, 1, 0, 0, 0))), "[true,false,true,false,true,false]");
}

TEST(ProxyAutoConfig, WithoutGmtTheHelpersUseLocalTime)
{
    const char* saved = std::getenv("TZ");
    std::string previous = saved ? saved : "";
    setenv("TZ", "JST-9", 1);
    tzset();
    // 23:30 GMT on a Friday is 08:30 on Saturday nine hours east.
    std::string answer = evaluateAll("weekdayRange('SAT'), weekdayRange('SAT', 'GMT'), timeRange(8), dateRange(16)",
        at(utc(2024, 3, 15, 23, 30, 15)));
    if (saved)
        setenv("TZ", previous.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(answer, "[true,false,true,true]");
}

TEST(ProxyAutoConfig, RoutesHostsThroughTheProxyTheScriptNames)
{
    const std::string script = R"(
        function FindProxyForURL(url, host) {
            if (dnsDomainIs(host, ".corp.example") || shExpMatch(url, "http://build/*"))
                return "PROXY 127.0.0.1:3128; DIRECT";
            return "DIRECT";
        })";
    EXPECT_EQ(ProxyAutoConfig::evaluate(script, "https://files.corp.example/x", "files.corp.example"),
        (std::vector<ProxyEntry> { http("127.0.0.1", 3128), {} }));
    EXPECT_EQ(ProxyAutoConfig::evaluate(script, "http://build/log", "build"),
        (std::vector<ProxyEntry> { http("127.0.0.1", 3128), {} }));
    EXPECT_EQ(ProxyAutoConfig::evaluate(script, "https://www.example.org/", "www.example.org"),
        (std::vector<ProxyEntry> { {} }));
}

TEST(ProxyAutoConfig, BrokenScriptsGiveNoList)
{
    for (const char* script : {
             "function FindProxyForURL(url, host) { return 'DIRECT' ",
             "function findProxy(url, host) { return 'DIRECT'; }",
             "var FindProxyForURL = 'DIRECT';",
             "function FindProxyForURL(url, host) { return null; }",
             "function FindProxyForURL(url, host) { return 42; }",
             "function FindProxyForURL(url, host) { throw new Error('no'); }",
             "function FindProxyForURL(url, host) { return 'x' + FindProxyForURL(url, host); }",
             "throw 1;",
         }) {
        auto result = ProxyAutoConfig::run(script, "http://a.example/", "a.example");
        EXPECT_EQ(result.outcome, ProxyAutoConfig::Outcome::ScriptError) << script;
        EXPECT_FALSE(result.message.empty()) << script;
    }
    EXPECT_EQ(ProxyAutoConfig::evaluate("function FindProxyForURL(url, host) {", "http://a.example/", "a.example"),
        std::nullopt);
}

TEST(ProxyAutoConfig, HostileScriptsAreStopped)
{
    ProxyAutoConfig::Options options;
    options.timeout = milliseconds(200);
    options.memoryLimit = std::size_t { 4 } << 20;
    options.resolve = [](const std::string&) { return std::optional<std::string>("10.0.0.1"); };
    auto started = steady_clock::now();
    for (const char* script : {
             "while (true) {}",
             "function FindProxyForURL(url, host) { for (;;) {} }",
             "function FindProxyForURL(url, host) { for (;;) dnsResolve('busy.example'); }",
         }) {
        auto result = ProxyAutoConfig::run(script, "http://a.example/", "a.example", options);
        EXPECT_EQ(result.outcome, ProxyAutoConfig::Outcome::TimedOut) << script;
    }
    EXPECT_LT(steady_clock::now() - started, seconds(20)); // a hang, not a speed limit

    // The heap limit, not the clock, ends these: they run out of memory well inside the time.
    options.timeout = seconds(10);
    for (const char* script : {
             "var a = []; for (;;) a.push([1, 2, 3, 4, 5, 6, 7, 8]);",
             "function FindProxyForURL(url, host) { var s = 'x'; for (;;) s = s + s; }",
         }) {
        auto result = ProxyAutoConfig::run(script, "http://a.example/", "a.example", options);
        EXPECT_EQ(result.outcome, ProxyAutoConfig::Outcome::ScriptError) << script;
    }
}
