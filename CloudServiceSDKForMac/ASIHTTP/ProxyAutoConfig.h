#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// One way of reaching a server: directly, through an HTTP proxy (CONNECT for https), through a
// SOCKS proxy, or "ask this auto-configuration script" (only the system settings name scripts).
struct ProxyEntry {
    enum class Type { Direct, Http, Socks, AutoConfig };
    Type type = Type::Direct;
    std::string host; // Http and Socks: the proxy's host name or address (IPv6 without brackets)
    int port = 0; // Http and Socks: 1..65535
    std::string url; // AutoConfig: where the script lives

    friend bool operator==(const ProxyEntry&, const ProxyEntry&) = default;
};

// Reads the answer of FindProxyForURL: entries separated by ';', each a keyword (DIRECT, PROXY,
// HTTP, SOCKS, SOCKS4, SOCKS5; any case) and for proxies "host[:port]" ("[v6]:port" too). A
// missing port is 80 for HTTP proxies and 1080 for SOCKS. Entries we cannot use are skipped, so
// the list may come back empty, which means a direct connection.
std::vector<ProxyEntry> parsePacResult(std::string_view text);

// "host", "host:port" or "[v6]:port" as an Http or Socks entry with that type's default port;
// nullopt for anything that is not a plain host name or address with a valid port.
std::optional<ProxyEntry> parseProxyAddress(ProxyEntry::Type type, std::string_view text);

// Limits and injectable sources of one script evaluation.
struct PacOptions {
    std::chrono::milliseconds timeout { 5000 };
    std::size_t memoryLimit = std::size_t { 64 } << 20;
    // The moment the date and time helpers see; empty = the system clock.
    std::function<std::chrono::system_clock::time_point()> clock;
    // Host name -> dotted IPv4 text, nullopt when it does not resolve; empty = resolveIPv4.
    std::function<std::optional<std::string>(const std::string& host)> resolve;
    // What myIpAddress() answers; empty = localIPv4Address.
    std::function<std::string()> localAddress;
};

// Runs proxy auto-configuration scripts. Scripts come from the network, so they are treated as
// hostile: each evaluation runs in a forked child process with a deadline (killed when it is
// exceeded) and a JavaScript heap that refuses to grow past a limit. Name lookups the script asks
// for are answered by the calling process, so the child only computes.
class ProxyAutoConfig {
public:
    using Options = PacOptions;

    enum class Outcome {
        Ok, // FindProxyForURL returned a string
        ScriptError, // syntax or run-time error, heap limit reached, no FindProxyForURL, not a string
        TimedOut, // the deadline passed; the child was killed
        Failed // the child could not be started or died without an answer
    };

    struct Result {
        Outcome outcome = Outcome::Failed;
        std::string answer; // the raw string FindProxyForURL returned (Ok only)
        std::string message; // what went wrong, for the log
    };

    // Evaluates `script` and calls FindProxyForURL(url, host).
    static Result run(
        std::string_view script, const std::string& url, const std::string& host, const Options& options = {});

    // The proxy list for the URL; nullopt when the script could not be evaluated.
    static std::optional<std::vector<ProxyEntry>> evaluate(
        std::string_view script, const std::string& url, const std::string& host, const Options& options = {});

    // getaddrinfo restricted to IPv4; the first address as dotted text.
    static std::optional<std::string> resolveIPv4(const std::string& host);
    // The first IPv4 address of an interface that is up and not loopback; "127.0.0.1" without one.
    static std::string localIPv4Address();
};

} // namespace norvane
