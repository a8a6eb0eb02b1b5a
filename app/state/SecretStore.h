#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// A user name and password kept for a proxy.
struct ProxyCredential {
    std::string user;
    std::string password;
    friend bool operator==(const ProxyCredential&, const ProxyCredential&) = default;
};

// Proxy passwords from the desktop's credential store (the Secret Service over D-Bus, through
// libsecret). Items are network passwords ("org.gnome.keyring.NetworkPassword") whose "protocol"
// is "http-proxy" or "https-proxy", whose "server" is the proxy host and whose "user" is the
// account.
//
// The store is a service of the session that may be missing, locked or slow: a lookup without a
// session bus finds nothing at once, locked items are skipped (no unlock prompt is raised), and
// every lookup gives up after its time limit, so a caller is never held up for long.
class SecretStore {
public:
    static constexpr std::chrono::milliseconds kDefaultLimit { 3000 };
    static constexpr const char* kHttpProxyProtocol = "http-proxy";
    static constexpr const char* kHttpsProxyProtocol = "https-proxy";

    // The first stored item for this proxy host; nothing when none is found in time.
    static std::optional<ProxyCredential> proxyCredential(
        std::string_view host, bool https, std::chrono::milliseconds limit = kDefaultLimit);

    // Lets a lookup that is given up on stop early: the lookup registers how to interrupt it.
    class CancelHook {
    public:
        // Runs `cancel` at once when the lookup has been given up already.
        void set(std::function<void()> cancel);
        void fire();

    private:
        struct State;
        friend class SecretStore;
        std::shared_ptr<State> state_;
    };
    using Lookup = std::function<std::optional<ProxyCredential>(CancelHook& hook)>;

    // Runs the lookup on a thread of its own and waits at most `limit` for it. On time-out the
    // hook is fired and nothing is returned; a lookup that still does not return is left to
    // finish on its own.
    static std::optional<ProxyCredential> runBounded(Lookup lookup, std::chrono::milliseconds limit);

    // A session bus can be reached: $DBUS_SESSION_BUS_ADDRESS, or the bus socket in
    // $XDG_RUNTIME_DIR. Without one nothing is looked up (and no bus is started on the way).
    static bool sessionBusAvailable();
};

} // namespace norvane
