#pragma once

// A network that looks the same all the time: a wired interface with a default route (the
// service sends nothing while the network looks unreachable, and a loopback-only test machine
// looks exactly so), or no network at all.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"

namespace norvane::test {

class FixedNetworkState : public NetworkStateSource {
public:
    explicit FixedNetworkState(bool reachable = true)
        : reachable_(reachable)
    { }

    std::optional<NetworkState> snapshot() const override
    {
        NetworkState state;
        if (reachable_) {
            state.interfaces.push_back({ "eth0", true, false, { { *NetworkAddress::parse("10.0.0.2"), 24 } } });
            state.routes.push_back({ "eth0", *NetworkAddress::parse("0.0.0.0"), 0, true });
        }
        return state;
    }
    int openChangeChannel() const override { return -1; }

private:
    bool reachable_;
};

} // namespace norvane::test
