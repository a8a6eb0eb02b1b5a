#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"

#include "platform/Log.h"
#include "platform/RunLoop.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <mutex>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <unistd.h>

namespace norvane {

namespace {

// Route flags as the kernel prints them in its route tables.
constexpr unsigned kRouteUp = 0x0001; // RTF_UP
constexpr unsigned kRouteGateway = 0x0002; // RTF_GATEWAY
constexpr unsigned kRouteReject = 0x0200; // RTF_REJECT: an "unreachable" route, not a way out

// A route table of a router can be large; a desktop's is a few lines. Past this much text the rest
// is ignored rather than read on every reachability query.
constexpr std::size_t kMaxRouteTableBytes = 4 * 1024 * 1024;

std::atomic<bool> gDebugUnreachable { false };
std::mutex gSourceMutex;
std::shared_ptr<const NetworkStateSource> gSourceOverride; // guarded by gSourceMutex

// ---- addresses -------------------------------------------------------------------------------

bool prefixMatches(const NetworkAddress& a, const NetworkAddress& b, unsigned prefixLength)
{
    if (a.family != b.family)
        return false;
    prefixLength = std::min<unsigned>(prefixLength, static_cast<unsigned>(a.size() * 8));
    std::size_t whole = prefixLength / 8;
    if (!std::equal(a.bytes.begin(), a.bytes.begin() + static_cast<std::ptrdiff_t>(whole), b.bytes.begin()))
        return false;
    unsigned rest = prefixLength % 8;
    if (rest == 0)
        return true;
    auto mask = static_cast<std::uint8_t>(0xFFu << (8 - rest));
    return (a.bytes[whole] & mask) == (b.bytes[whole] & mask);
}

// ::ffff:a.b.c.d is an IPv4 peer, whatever the socket family says.
NetworkAddress unmapped(const NetworkAddress& address)
{
    static const std::uint8_t mappedPrefix[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF };
    if (address.family != AF_INET6 || !std::equal(mappedPrefix, mappedPrefix + 12, address.bytes.begin()))
        return address;
    return NetworkAddress::v4(address.bytes[12], address.bytes[13], address.bytes[14], address.bytes[15]);
}

bool isUnspecified(const NetworkAddress& address)
{
    return std::all_of(address.bytes.begin(), address.bytes.begin() + static_cast<std::ptrdiff_t>(address.size()),
        [](std::uint8_t b) { return b == 0; });
}

bool isLoopback(const NetworkAddress& address)
{
    if (address.family == AF_INET)
        return address.bytes[0] == 127;
    NetworkAddress one;
    one.family = AF_INET6;
    one.bytes[15] = 1;
    return address == one;
}

bool isLinkLocal(const NetworkAddress& address)
{
    if (address.family == AF_INET)
        return address.bytes[0] == 169 && address.bytes[1] == 254;
    return address.bytes[0] == 0xFE && (address.bytes[1] & 0xC0) == 0x80;
}

unsigned prefixLengthOfMask(const std::uint8_t* mask, std::size_t size)
{
    unsigned length = 0;
    for (std::size_t i = 0; i < size; ++i) {
        std::uint8_t byte = mask[i];
        while (byte & 0x80) {
            ++length;
            byte = static_cast<std::uint8_t>(byte << 1);
        }
        if (mask[i] != 0xFF)
            break;
    }
    return length;
}

// ---- the reachability rules ----------------------------------------------------------------

const NetworkInterfaceInfo* findInterface(const NetworkState& state, std::string_view name)
{
    for (const auto& interface : state.interfaces)
        if (interface.name == name)
            return &interface;
    return nullptr;
}

bool usableInterface(const NetworkInterfaceInfo& interface)
{
    return interface.up && !interface.loopback;
}

// Routes through the loopback device or through an interface that is down lead nowhere. A route
// whose interface getifaddrs did not list is taken at its word.
bool usableRoute(const NetworkState& state, const NetworkRouteInfo& route)
{
    if (const auto* interface = findInterface(state, route.interfaceName))
        return usableInterface(*interface);
    return route.interfaceName != "lo";
}

constexpr ReachabilityFlags kLocalFlags
    = kReachabilityFlagReachable | kReachabilityFlagIsLocalAddress | kReachabilityFlagIsDirect;

ReachabilityFlags internetFlags(const NetworkState& state)
{
    bool defaultRoute = false;
    bool viaGateway = false;
    for (const auto& route : state.routes) {
        if (route.prefixLength != 0 || !usableRoute(state, route))
            continue;
        defaultRoute = true;
        viaGateway = viaGateway || route.viaGateway;
    }
    bool configuredLink = false;
    for (const auto& interface : state.interfaces) {
        if (!usableInterface(interface))
            continue;
        for (const auto& entry : interface.addresses)
            if (entry.address.family == AF_INET || !isLinkLocal(entry.address))
                configuredLink = true;
    }
    if (!defaultRoute && !configuredLink)
        return 0;
    return kReachabilityFlagReachable | (viaGateway ? 0 : kReachabilityFlagIsDirect);
}

ReachabilityFlags addressFlags(const NetworkState& state, const NetworkAddress& target)
{
    NetworkAddress address = unmapped(target);
    if (isUnspecified(address))
        return internetFlags(state);
    if (isLoopback(address))
        return kLocalFlags;
    for (const auto& interface : state.interfaces) {
        if (!interface.up)
            continue;
        for (const auto& entry : interface.addresses)
            if (entry.address == address)
                return kLocalFlags;
    }
    bool linkOfFamily = false;
    for (const auto& interface : state.interfaces) {
        if (!usableInterface(interface))
            continue;
        for (const auto& entry : interface.addresses) {
            if (entry.address.family != address.family)
                continue;
            linkOfFamily = true;
            if (entry.prefixLength > 0 && prefixMatches(entry.address, address, entry.prefixLength))
                return kReachabilityFlagReachable | kReachabilityFlagIsDirect;
        }
    }
    if (isLinkLocal(address) && linkOfFamily)
        return kReachabilityFlagReachable | kReachabilityFlagIsDirect;

    const NetworkRouteInfo* best = nullptr;
    for (const auto& route : state.routes) {
        if (!usableRoute(state, route) || !prefixMatches(route.destination, address, route.prefixLength))
            continue;
        if (!best || route.prefixLength > best->prefixLength)
            best = &route;
    }
    if (!best)
        return 0;
    return kReachabilityFlagReachable | (best->viaGateway ? 0 : kReachabilityFlagIsDirect);
}

bool isLocalhostName(std::string_view name)
{
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto endsWith = [&](std::string_view suffix) {
        return name.size() >= suffix.size()
            && std::equal(suffix.begin(), suffix.end(), name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                [&](char a, char b) { return a == lower(b); });
    };
    return name.size() == 9 ? endsWith("localhost") : endsWith(".localhost");
}

ReachabilityFlags targetFlags(
    const NetworkState& state, const std::optional<NetworkAddress>& address, const std::string& hostName)
{
    if (address)
        return addressFlags(state, *address);
    if (auto numeric = NetworkAddress::parse(hostName))
        return addressFlags(state, *numeric);
    if (isLocalhostName(hostName))
        return kLocalFlags;
    return internetFlags(state);
}

// ---- reading the machine's state -----------------------------------------------------------

std::optional<std::string> readProcFile(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[8192];
    while (text.size() < kMaxRouteTableBytes) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

template <typename Fn> void forEachLine(std::string_view text, Fn fn)
{
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        fn(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Exactly 1..8 hex digits.
std::optional<std::uint32_t> parseHex32(std::string_view text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        int digit = hexDigit(c);
        if (digit < 0)
            return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value;
}

// 32 hex digits, most significant byte first: an IPv6 address in network order.
std::optional<NetworkAddress> parseHexIPv6(std::string_view text)
{
    if (text.size() != 32)
        return std::nullopt;
    NetworkAddress address;
    address.family = AF_INET6;
    for (std::size_t i = 0; i < 16; ++i) {
        int high = hexDigit(text[2 * i]);
        int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        address.bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return address;
}

// The IPv4 table prints each address as the 32-bit word the kernel holds in network order, so
// storing the parsed word back into memory gives the address bytes on any byte order.
NetworkAddress ipv4FromWord(std::uint32_t word)
{
    NetworkAddress address;
    address.family = AF_INET;
    std::memcpy(address.bytes.data(), &word, 4);
    return address;
}

void addInterfaceAddress(NetworkInterfaceInfo& interface, const ifaddrs& entry)
{
    InterfaceAddress result;
    if (entry.ifa_addr->sa_family == AF_INET) {
        sockaddr_in in {};
        std::memcpy(&in, entry.ifa_addr, sizeof in);
        result.address.family = AF_INET;
        std::memcpy(result.address.bytes.data(), &in.sin_addr, 4);
        result.prefixLength = 32;
        sockaddr_in maskIn {};
        if (entry.ifa_netmask) {
            std::memcpy(&maskIn, entry.ifa_netmask, sizeof maskIn);
            result.prefixLength = prefixLengthOfMask(reinterpret_cast<const std::uint8_t*>(&maskIn.sin_addr), 4);
        }
    } else {
        sockaddr_in6 in6 {};
        std::memcpy(&in6, entry.ifa_addr, sizeof in6);
        result.address.family = AF_INET6;
        std::memcpy(result.address.bytes.data(), &in6.sin6_addr, 16);
        result.prefixLength = 128;
        sockaddr_in6 maskIn6 {};
        if (entry.ifa_netmask) {
            std::memcpy(&maskIn6, entry.ifa_netmask, sizeof maskIn6);
            result.prefixLength = prefixLengthOfMask(reinterpret_cast<const std::uint8_t*>(&maskIn6.sin6_addr), 16);
        }
    }
    interface.addresses.push_back(result);
}

} // namespace

// ---- NetworkAddress ------------------------------------------------------------------------------

NetworkAddress NetworkAddress::v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    NetworkAddress address;
    address.family = AF_INET;
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    return address;
}

std::optional<NetworkAddress> NetworkAddress::parse(std::string_view text)
{
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    // A zone ("fe80::1%eth0") names the interface, not the peer.
    if (auto percent = text.find('%'); percent != std::string_view::npos && text.find(':') != std::string_view::npos)
        text = text.substr(0, percent);
    if (text.empty() || text.size() > INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::string terminated(text);
    NetworkAddress address;
    if (::inet_pton(AF_INET, terminated.c_str(), address.bytes.data()) == 1) {
        address.family = AF_INET;
        return address;
    }
    if (::inet_pton(AF_INET6, terminated.c_str(), address.bytes.data()) == 1) {
        address.family = AF_INET6;
        return address;
    }
    return std::nullopt;
}

std::optional<NetworkAddress> NetworkAddress::fromSockaddr(const sockaddr* address, socklen_t length)
{
    if (!address || length < static_cast<socklen_t>(sizeof(sa_family_t)))
        return std::nullopt;
    sa_family_t family = 0;
    std::memcpy(&family, reinterpret_cast<const char*>(address) + offsetof(sockaddr, sa_family), sizeof family);
    NetworkAddress result;
    if (family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in {};
        std::memcpy(&in, address, sizeof in);
        result.family = AF_INET;
        std::memcpy(result.bytes.data(), &in.sin_addr, 4);
        return result;
    }
    if (family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6 {};
        std::memcpy(&in6, address, sizeof in6);
        result.family = AF_INET6;
        std::memcpy(result.bytes.data(), &in6.sin6_addr, 16);
        return result;
    }
    return std::nullopt;
}

// ---- the system source ---------------------------------------------------------------------------

std::shared_ptr<const NetworkStateSource> NetworkStateSource::system()
{
    static const std::shared_ptr<const NetworkStateSource> instance = std::make_shared<SystemNetworkStateSource>();
    return instance;
}

std::optional<NetworkState> SystemNetworkStateSource::snapshot() const
{
    // Every request asks (whether to announce the server access): the interfaces and routes are
    // read at most once a second, not for every chunk of a transfer.
    static std::mutex mutex;
    static std::optional<NetworkState> last;
    static std::chrono::steady_clock::time_point readAt;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex);
    if (last && now - readAt < std::chrono::seconds(1))
        return last;
    last = readSystemState();
    readAt = now;
    return last;
}

std::optional<NetworkState> SystemNetworkStateSource::readSystemState()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    NetworkState state;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name)
            continue;
        NetworkInterfaceInfo* interface = nullptr;
        for (auto& known : state.interfaces)
            if (known.name == entry->ifa_name)
                interface = &known;
        if (!interface) {
            interface = &state.interfaces.emplace_back();
            interface->name = entry->ifa_name;
            interface->up = (entry->ifa_flags & IFF_UP) && (entry->ifa_flags & IFF_RUNNING);
            interface->loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        }
        if (entry->ifa_addr && (entry->ifa_addr->sa_family == AF_INET || entry->ifa_addr->sa_family == AF_INET6))
            addInterfaceAddress(*interface, *entry);
    }
    ::freeifaddrs(list);

    // Without the route tables (a /proc without net) the interfaces alone still answer.
    if (auto text = readProcFile("/proc/net/route"))
        state.routes = parseIPv4Routes(*text);
    if (auto text = readProcFile("/proc/net/ipv6_route")) {
        auto routes = parseIPv6Routes(*text);
        state.routes.insert(state.routes.end(), routes.begin(), routes.end());
    }
    return state;
}

int SystemNetworkStateSource::openChangeChannel() const
{
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl local {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<NetworkRouteInfo> SystemNetworkStateSource::parseIPv4Routes(std::string_view text)
{
    // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
    std::vector<NetworkRouteInfo> routes;
    forEachLine(text, [&](std::string_view line) {
        auto fields = splitFields(line);
        if (fields.size() < 8)
            return;
        auto destination = parseHex32(fields[1]);
        auto gateway = parseHex32(fields[2]);
        auto flags = parseHex32(fields[3]);
        auto mask = parseHex32(fields[7]);
        if (!destination || !gateway || !flags || !mask || !(*flags & kRouteUp) || (*flags & kRouteReject))
            return;
        NetworkRouteInfo route;
        route.interfaceName = std::string(fields[0]);
        route.destination = ipv4FromWord(*destination);
        route.prefixLength = prefixLengthOfMask(ipv4FromWord(*mask).bytes.data(), 4);
        route.viaGateway = (*flags & kRouteGateway) && *gateway != 0;
        routes.push_back(std::move(route));
    });
    return routes;
}

std::vector<NetworkRouteInfo> SystemNetworkStateSource::parseIPv6Routes(std::string_view text)
{
    // destination prefix source prefix next-hop metric refcount use flags interface
    std::vector<NetworkRouteInfo> routes;
    forEachLine(text, [&](std::string_view line) {
        auto fields = splitFields(line);
        if (fields.size() < 10)
            return;
        auto destination = parseHexIPv6(fields[0]);
        auto prefix = parseHex32(fields[1]);
        auto nextHop = parseHexIPv6(fields[4]);
        auto flags = parseHex32(fields[8]);
        if (!destination || !prefix || *prefix > 128 || !nextHop || !flags || !(*flags & kRouteUp)
            || (*flags & kRouteReject))
            return;
        NetworkRouteInfo route;
        route.interfaceName = std::string(fields[9]);
        route.destination = *destination;
        route.prefixLength = *prefix;
        route.viaGateway = (*flags & kRouteGateway) && !isUnspecified(*nextHop);
        routes.push_back(std::move(route));
    });
    return routes;
}

// ---- Reachability --------------------------------------------------------------------------------

// What the run loop's callback needs, kept apart from the Reachability object so that the
// callback stays valid when its owner is destroyed from inside the change callback.
struct Reachability::Monitor {
    int fd = -1;
    std::weak_ptr<RunLoop> loop;
    bool watching = false; // the loop's thread only
    std::function<std::optional<ReachabilityFlags>()> readFlags;
    std::optional<ReachabilityFlags> lastFlags;
    ChangeCallback callback;
};

namespace {

struct DrainResult {
    bool changed = false; // something arrived (or the kernel dropped messages for us)
    bool closed = false; // the channel is at its end or broken
};

// Reads what is waiting, without parsing it: any routing message means "look again". Bounded,
// so that a flood of messages cannot keep the loop here; the rest is read on the next pass.
DrainResult drainChannel(int fd)
{
    DrainResult result;
    char buffer[8192];
    for (int round = 0; round < 64; ++round) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            result.changed = true;
            continue;
        }
        if (n == 0) {
            result.closed = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == ENOBUFS) { // the socket overflowed: changes were lost, so there were some
            result.changed = true;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            result.closed = true;
        break;
    }
    return result;
}

} // namespace

Reachability::Reachability(std::shared_ptr<const NetworkStateSource> source, std::optional<NetworkAddress> address,
    std::string hostName, bool localWiFi)
    : source_(source ? std::move(source) : CurrentNetworkStatus::stateSource())
    , address_(address)
    , hostName_(std::move(hostName))
    , localWiFiRef_(localWiFi)
{ }

Reachability::~Reachability()
{
    stopNotifier();
}

std::unique_ptr<Reachability> Reachability::reachabilityWithHostName(
    std::string_view hostName, std::shared_ptr<const NetworkStateSource> source)
{
    if (hostName.empty() || hostName.size() > 255)
        return nullptr;
    for (char c : hostName)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
            return nullptr;
    return std::unique_ptr<Reachability>(
        new Reachability(std::move(source), std::nullopt, std::string(hostName), false));
}

std::unique_ptr<Reachability> Reachability::reachabilityWithAddress(
    const sockaddr* address, socklen_t length, std::shared_ptr<const NetworkStateSource> source)
{
    auto parsed = NetworkAddress::fromSockaddr(address, length);
    if (!parsed)
        return nullptr;
    return std::unique_ptr<Reachability>(new Reachability(std::move(source), parsed, {}, false));
}

std::unique_ptr<Reachability> Reachability::reachabilityWithAddress(
    std::string_view address, std::shared_ptr<const NetworkStateSource> source)
{
    auto parsed = NetworkAddress::parse(address);
    if (!parsed)
        return nullptr;
    return std::unique_ptr<Reachability>(new Reachability(std::move(source), parsed, {}, false));
}

std::unique_ptr<Reachability> Reachability::reachabilityForInternetConnection(
    std::shared_ptr<const NetworkStateSource> source)
{
    return std::unique_ptr<Reachability>(
        new Reachability(std::move(source), NetworkAddress::v4(0, 0, 0, 0), {}, false));
}

std::unique_ptr<Reachability> Reachability::reachabilityForLocalWiFi(std::shared_ptr<const NetworkStateSource> source)
{
    return std::unique_ptr<Reachability>(
        new Reachability(std::move(source), NetworkAddress::v4(169, 254, 0, 0), {}, true));
}

std::optional<ReachabilityFlags> Reachability::flags() const
{
    auto state = source_->snapshot();
    if (!state)
        return std::nullopt;
    return targetFlags(*state, address_, hostName_);
}

void Reachability::setChangeCallback(ChangeCallback callback)
{
    changeCallback_ = std::move(callback);
    if (monitor_)
        monitor_->callback = changeCallback_;
}

bool Reachability::startNotifier()
{
    auto loop = RunLoop::current();
    if (monitor_) {
        auto running = monitor_->loop.lock();
        if (running == loop && monitor_->watching)
            return true;
        if (running && running != loop && running->isAlive())
            return false;
        stopNotifier(); // a channel that failed, or a loop whose thread has ended
    }

    int fd = source_->openChangeChannel();
    if (fd < 0) {
        Log::line("Reachability: cannot open the network change channel");
        return false;
    }
    auto monitor = std::make_shared<Monitor>();
    monitor->fd = fd;
    monitor->loop = loop;
    monitor->readFlags = [source = source_, address = address_, hostName = hostName_] {
        auto state = source->snapshot();
        return state ? std::optional<ReachabilityFlags>(targetFlags(*state, address, hostName)) : std::nullopt;
    };
    monitor->lastFlags = monitor->readFlags();
    monitor->callback = changeCallback_;
    monitor->watching = true;

    bool scheduled = loop->setSource(fd, RunLoop::Readable, [monitor](int readyFd, unsigned events) {
        if (!monitor->watching)
            return;
        DrainResult drained = drainChannel(readyFd);
        if (drained.closed || ((events & (RunLoop::Error | RunLoop::HangUp)) && !drained.changed)) {
            // The descriptor stays open (and its number taken) until stopNotifier closes it.
            monitor->watching = false;
            RunLoop::current()->removeSource(readyFd);
            Log::line("Reachability: the network change channel failed; changes are no longer watched");
        }
        if (!drained.changed)
            return;
        auto now = monitor->readFlags();
        if (now == monitor->lastFlags)
            return;
        monitor->lastFlags = now;
        // Last, and through a copy: the callback may destroy the Reachability that owns us.
        ChangeCallback callback = monitor->callback;
        if (callback)
            callback();
    });
    if (!scheduled) {
        ::close(fd);
        return false;
    }
    monitor_ = std::move(monitor);
    return true;
}

void Reachability::stopNotifier()
{
    if (!monitor_)
        return;
    std::shared_ptr<Monitor> monitor = std::move(monitor_);
    int fd = monitor->fd;
    monitor->fd = -1;
    auto loop = monitor->loop.lock();
    if (loop && !loop->isCurrent() && loop->isAlive()) {
        // The loop may be polling or dispatching this descriptor right now; only its own thread
        // can take it out and close it without racing a reuse of the number. Should the task
        // never run, the holder still closes it.
        struct Holder {
            int fd = -1;
            ~Holder()
            {
                if (fd >= 0)
                    ::close(fd);
            }
        };
        auto holder = std::make_shared<Holder>();
        holder->fd = fd;
        if (loop->post([monitor, holder] {
                monitor->watching = false;
                RunLoop::current()->removeSource(holder->fd);
            }))
            return;
        holder->fd = -1;
    }
    monitor->watching = false;
    if (loop)
        loop->removeSource(fd);
    ::close(fd);
}

int Reachability::notifierDescriptor() const
{
    return monitor_ ? monitor_->fd : -1;
}

NetworkStatus Reachability::currentReachabilityStatus() const
{
    auto current = flags();
    if (!current)
        return NetworkStatusNotReachable;
    return localWiFiRef_ ? localWiFiStatusForFlags(*current) : networkStatusForFlags(*current);
}

NetworkStatus Reachability::networkStatusForFlags(ReachabilityFlags flags)
{
    Log::line(flagStatusLine(flags, "networkStatusForFlags"));
    if (!(flags & kReachabilityFlagReachable))
        return NetworkStatusNotReachable;
    if (!(flags & kReachabilityFlagConnectionRequired))
        return NetworkStatusReachable;
    // A connection that comes up by itself, on traffic or on demand, counts unless a person has to
    // act for it (a password, a dial-up prompt).
    if ((flags & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand))
        && !(flags & kReachabilityFlagInterventionRequired))
        return NetworkStatusReachable;
    return NetworkStatusNotReachable;
}

NetworkStatus Reachability::localWiFiStatusForFlags(ReachabilityFlags flags)
{
    Log::line(flagStatusLine(flags, "localWiFiStatusForFlags"));
    constexpr ReachabilityFlags wanted = kReachabilityFlagReachable | kReachabilityFlagIsDirect;
    return (flags & wanted) == wanted ? NetworkStatusReachable : NetworkStatusNotReachable;
}

bool Reachability::connectionRequired() const
{
    auto current = flags();
    return current && (*current & kReachabilityFlagConnectionRequired);
}

std::string Reachability::flagStatusLine(ReachabilityFlags flags, std::string_view comment)
{
    auto letter = [flags](ReachabilityFlags bit, char c) { return (flags & bit) ? c : '-'; };
    std::string line = "Reachability Flag Status: ";
    line += letter(kReachabilityFlagReachable, 'R');
    line += ' ';
    line += letter(kReachabilityFlagTransientConnection, 't');
    line += letter(kReachabilityFlagConnectionRequired, 'c');
    line += letter(kReachabilityFlagConnectionOnTraffic, 'C');
    line += letter(kReachabilityFlagInterventionRequired, 'i');
    line += letter(kReachabilityFlagConnectionOnDemand, 'D');
    line += letter(kReachabilityFlagIsLocalAddress, 'l');
    line += letter(kReachabilityFlagIsDirect, 'd');
    line += ' ';
    line += comment;
    return line;
}

// ---- CurrentNetworkStatus --------------------------------------------------------------------------

bool CurrentNetworkStatus::reachable()
{
    if (gDebugUnreachable.load())
        return false;
    auto state = stateSource()->snapshot();
    return state && internetFlags(*state) != 0;
}

void CurrentNetworkStatus::setDebug(bool debug)
{
    gDebugUnreachable.store(debug);
}

void CurrentNetworkStatus::setStateSource(std::shared_ptr<const NetworkStateSource> source)
{
    std::lock_guard lock(gSourceMutex);
    gSourceOverride = std::move(source);
}

std::shared_ptr<const NetworkStateSource> CurrentNetworkStatus::stateSource()
{
    {
        std::lock_guard lock(gSourceMutex);
        if (gSourceOverride)
            return gSourceOverride;
    }
    return NetworkStateSource::system();
}

} // namespace norvane
