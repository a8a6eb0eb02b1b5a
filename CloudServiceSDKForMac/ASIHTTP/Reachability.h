#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace norvane {

class RunLoop;

enum NetworkStatus : int {
    NetworkStatusNotReachable = 0,
    NetworkStatusReachable = 1,
};

// Reachability flags of a target, in the bit values that the status decoding and the diagnostic
// line use everywhere in the client.
using ReachabilityFlags = std::uint32_t;
inline constexpr ReachabilityFlags kReachabilityFlagTransientConnection = 0x1;
inline constexpr ReachabilityFlags kReachabilityFlagReachable = 0x2;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionRequired = 0x4;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionOnTraffic = 0x8;
inline constexpr ReachabilityFlags kReachabilityFlagInterventionRequired = 0x10;
inline constexpr ReachabilityFlags kReachabilityFlagConnectionOnDemand = 0x20;
inline constexpr ReachabilityFlags kReachabilityFlagIsLocalAddress = 0x10000;
inline constexpr ReachabilityFlags kReachabilityFlagIsDirect = 0x20000;

// An IPv4 or IPv6 address as raw network-order bytes (IPv4 uses the first four).
struct NetworkAddress {
    int family = AF_INET; // AF_INET or AF_INET6
    std::array<std::uint8_t, 16> bytes {};

    static NetworkAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    // Numeric IPv4 or IPv6 text ("10.0.0.1", "fe80::1", "[::1]"); nullopt for anything else.
    static std::optional<NetworkAddress> parse(std::string_view text);
    // AF_INET or AF_INET6 socket addresses of at least their full size; nullopt otherwise.
    static std::optional<NetworkAddress> fromSockaddr(const sockaddr* address, socklen_t length);

    std::size_t size() const { return family == AF_INET ? 4 : 16; }
    friend bool operator==(const NetworkAddress&, const NetworkAddress&) = default;
};

struct InterfaceAddress {
    NetworkAddress address;
    unsigned prefixLength = 0;
};

struct NetworkInterfaceInfo {
    std::string name;
    bool up = false; // administratively up and running
    bool loopback = false;
    std::vector<InterfaceAddress> addresses;
};

// A usable route: only routes that are up and not reject routes are kept.
struct NetworkRouteInfo {
    std::string interfaceName;
    NetworkAddress destination;
    unsigned prefixLength = 0;
    bool viaGateway = false;
};

// What the reachability rules look at: the interfaces with their addresses, and the routes.
struct NetworkState {
    std::vector<NetworkInterfaceInfo> interfaces;
    std::vector<NetworkRouteInfo> routes;
};

// Where reachability reads the machine's network state and hears about changes. The system
// source reads getifaddrs and the kernel's route tables and listens on a routing netlink socket;
// tests put a scripted source in its place so that nothing depends on the machine they run on.
class NetworkStateSource {
public:
    virtual ~NetworkStateSource() = default;

    // The current state; nullopt when it cannot be read at all. Callable from any thread.
    virtual std::optional<NetworkState> snapshot() const = 0;

    // A non-blocking descriptor that turns readable when the network configuration may have
    // changed. The caller owns it and closes it; -1 when no such channel can be opened.
    virtual int openChangeChannel() const = 0;

    // The source of this machine (one shared instance).
    static std::shared_ptr<const NetworkStateSource> system();
};

class SystemNetworkStateSource : public NetworkStateSource {
public:
    std::optional<NetworkState> snapshot() const override;
    int openChangeChannel() const override;

    // The text of /proc/net/route and /proc/net/ipv6_route; malformed lines are skipped.
    static std::vector<NetworkRouteInfo> parseIPv4Routes(std::string_view text);
    static std::vector<NetworkRouteInfo> parseIPv6Routes(std::string_view text);

private:
    static std::optional<NetworkState> readSystemState();
};

// One reachability target (a host name or an address) with its status decoding and an optional
// change monitor.
//
// The flags come from the state source alone and never from a name lookup, which could block:
// - the any-address (0.0.0.0 or ::), the target of the internet connection, is reachable when a
//   default route exists or an up, non-loopback interface has a configured address (an IPv6
//   link-local address does not count: the kernel gives one to every interface that comes up).
//   It is direct when none of the default routes goes through a gateway (no default route at all
//   means only the attached links are reachable);
// - loopback addresses and the machine's own addresses are reachable, local and direct;
// - an address on the subnet of an up, non-loopback interface is reachable and direct; so is a
//   link-local address (169.254/16, fe80::/10) as soon as such an interface has an address of
//   that family, since link-local peers need no route;
// - any other address is reachable when a route covers it (the longest prefix decides), direct
//   when that route has no gateway;
// - a host name is treated like the internet connection, except numeric names (their address)
//   and "localhost" (loopback).
class Reachability {
public:
    using ChangeCallback = std::function<void()>;

    // A null source means the process-wide one (see CurrentNetworkStatus::setStateSource).
    // Empty names, names with blanks or control characters and names longer than 255 bytes are
    // refused, as are addresses that are neither IPv4 nor IPv6.
    static std::unique_ptr<Reachability> reachabilityWithHostName(
        std::string_view hostName, std::shared_ptr<const NetworkStateSource> source = nullptr);
    static std::unique_ptr<Reachability> reachabilityWithAddress(
        const sockaddr* address, socklen_t length, std::shared_ptr<const NetworkStateSource> source = nullptr);
    static std::unique_ptr<Reachability> reachabilityWithAddress(
        std::string_view address, std::shared_ptr<const NetworkStateSource> source = nullptr);
    // Target 0.0.0.0.
    static std::unique_ptr<Reachability> reachabilityForInternetConnection(
        std::shared_ptr<const NetworkStateSource> source = nullptr);
    // Target 169.254.0.0, decoded as the local network.
    static std::unique_ptr<Reachability> reachabilityForLocalWiFi(
        std::shared_ptr<const NetworkStateSource> source = nullptr);

    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;
    // Stops the notifier. Safe on the thread that started it, also from inside its callback.
    ~Reachability();

    // Called on the monitoring thread's loop when the flags of the target change. Optional.
    void setChangeCallback(ChangeCallback callback);

    // Opens the change channel and watches it on the calling thread's run loop. True when both
    // succeeded (also when the notifier already runs on this loop); false when it runs on another.
    bool startNotifier();
    // Stops watching and closes the channel. Harmless when the notifier does not run.
    void stopNotifier();
    // The descriptor watched by the running notifier, -1 when it does not run.
    int notifierDescriptor() const;

    // The target's flags; nullopt when the network state cannot be read.
    std::optional<ReachabilityFlags> flags() const;

    NetworkStatus currentReachabilityStatus() const;
    static NetworkStatus networkStatusForFlags(ReachabilityFlags flags);
    static NetworkStatus localWiFiStatusForFlags(ReachabilityFlags flags);
    bool connectionRequired() const;

    bool isLocalWiFi() const { return localWiFiRef_; }

    // The diagnostic line written by the status operations: the flags as letters
    // (R t c C i D l d, "-" for a clear bit) and the name of the operation.
    static std::string flagStatusLine(ReachabilityFlags flags, std::string_view comment);

private:
    struct Monitor;

    Reachability(std::shared_ptr<const NetworkStateSource> source, std::optional<NetworkAddress> address,
        std::string hostName, bool localWiFi);

    std::shared_ptr<const NetworkStateSource> source_;
    std::optional<NetworkAddress> address_; // set for address targets
    std::string hostName_; // set for name targets
    bool localWiFiRef_ = false;
    ChangeCallback changeCallback_;
    std::shared_ptr<Monitor> monitor_;
};

// The one question the rest of the client asks before and after network work.
class CurrentNetworkStatus {
public:
    // False while the debug switch is set; otherwise whether the flags of the any-address can be
    // read and are not all zero. Callable from any thread; reads the interfaces and route tables
    // afresh on every call and keeps nothing.
    static bool reachable();
    // True simulates an unreachable network.
    static void setDebug(bool debug);

    // Replaces the process-wide state source (tests); null restores the system source.
    static void setStateSource(std::shared_ptr<const NetworkStateSource> source);
    static std::shared_ptr<const NetworkStateSource> stateSource();
};

} // namespace norvane
