#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"

#include "platform/Log.h"
#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace norvane;

namespace {

// A network that the test describes, with a pipe standing in for the routing socket.
class ScriptedNetwork : public NetworkStateSource {
public:
    ~ScriptedNetwork() override
    {
        if (writeEnd_ >= 0)
            ::close(writeEnd_);
    }
    std::optional<NetworkState> snapshot() const override
    {
        std::lock_guard lock(mutex_);
        return state_;
    }
    int openChangeChannel() const override
    {
        if (!channelWorks)
            return -1;
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
            return -1;
        writeEnd_ = fds[1];
        return fds[0];
    }
    void set(std::optional<NetworkState> state)
    {
        std::lock_guard lock(mutex_);
        state_ = std::move(state);
    }
    void poke() const { ASSERT_EQ(::write(writeEnd_, "x", 1), 1); }
    void closeWriteEnd()
    {
        ::close(writeEnd_);
        writeEnd_ = -1;
    }

    bool channelWorks = true;

private:
    mutable std::mutex mutex_;
    std::optional<NetworkState> state_ = NetworkState {};
    mutable int writeEnd_ = -1;
};

InterfaceAddress addr(std::string_view text, unsigned prefix)
{
    return { *NetworkAddress::parse(text), prefix };
}

NetworkInterfaceInfo eth(std::vector<InterfaceAddress> addresses, bool up = true)
{
    return { "eth0", up, false, std::move(addresses) };
}

NetworkInterfaceInfo lo()
{
    return { "lo", true, true, { addr("127.0.0.1", 8), addr("::1", 128) } };
}

NetworkRouteInfo route(std::string_view destination, unsigned prefix, bool viaGateway, std::string name = "eth0")
{
    return { std::move(name), *NetworkAddress::parse(destination), prefix, viaGateway };
}

std::optional<ReachabilityFlags> flagsOf(std::unique_ptr<Reachability> target)
{
    return target ? target->flags() : std::nullopt;
}

class ReachabilityTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        CurrentNetworkStatus::setStateSource(nullptr);
        CurrentNetworkStatus::setDebug(false);
        Log::setSink({});
    }
    std::shared_ptr<ScriptedNetwork> net = std::make_shared<ScriptedNetwork>();
};

constexpr ReachabilityFlags R = kReachabilityFlagReachable;
constexpr ReachabilityFlags D = kReachabilityFlagIsDirect;
constexpr ReachabilityFlags L = kReachabilityFlagIsLocalAddress;

} // namespace

TEST_F(ReachabilityTest, DecodesStatusFlags)
{
    constexpr ReachabilityFlags required = kReachabilityFlagConnectionRequired;
    constexpr ReachabilityFlags onDemand = kReachabilityFlagConnectionOnDemand;
    constexpr ReachabilityFlags onTraffic = kReachabilityFlagConnectionOnTraffic;
    constexpr ReachabilityFlags intervention = kReachabilityFlagInterventionRequired;
    EXPECT_EQ(Reachability::networkStatusForFlags(R), NetworkStatusReachable);
    EXPECT_EQ(Reachability::networkStatusForFlags(R | required | onDemand), NetworkStatusReachable);
    EXPECT_EQ(Reachability::networkStatusForFlags(R | required | onTraffic), NetworkStatusReachable);
    EXPECT_EQ(Reachability::networkStatusForFlags(R | required | onDemand | intervention), NetworkStatusNotReachable);
    EXPECT_EQ(Reachability::networkStatusForFlags(R | required), NetworkStatusNotReachable);
    EXPECT_EQ(Reachability::networkStatusForFlags(D | onDemand | L), NetworkStatusNotReachable);

    EXPECT_EQ(Reachability::localWiFiStatusForFlags(R | D), NetworkStatusReachable);
    EXPECT_EQ(Reachability::localWiFiStatusForFlags(R), NetworkStatusNotReachable);
    EXPECT_EQ(Reachability::localWiFiStatusForFlags(D), NetworkStatusNotReachable);
}

TEST_F(ReachabilityTest, StatusOperationsLogTheFlagsAsLetters)
{
    std::vector<std::string> lines;
    Log::setSink([&](std::string_view text) { lines.emplace_back(text); });
    Reachability::networkStatusForFlags(
        R | kReachabilityFlagConnectionRequired | kReachabilityFlagConnectionOnDemand | D);
    Reachability::localWiFiStatusForFlags(kReachabilityFlagTransientConnection | kReachabilityFlagConnectionOnTraffic
        | kReachabilityFlagInterventionRequired | L);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Reachability Flag Status: R -c--D-d networkStatusForFlags");
    EXPECT_EQ(lines[1], "Reachability Flag Status: - t-Ci-l- localWiFiStatusForFlags");
}

TEST_F(ReachabilityTest, InternetReachabilityFollowsRoutesAndInterfaces)
{
    CurrentNetworkStatus::setStateSource(net);
    auto internet = [&] { return flagsOf(Reachability::reachabilityForInternetConnection(net)); };

    net->set(NetworkState {});
    EXPECT_EQ(internet(), 0u);
    EXPECT_FALSE(CurrentNetworkStatus::reachable());

    net->set(NetworkState { { lo() }, { route("::", 0, false, "lo") } });
    EXPECT_EQ(internet(), 0u) << "loopback leads nowhere";
    EXPECT_FALSE(CurrentNetworkStatus::reachable());

    net->set(NetworkState { { eth({ addr("fe80::1", 64) }), lo() }, {} });
    EXPECT_EQ(internet(), 0u) << "an IPv6 link-local address is no network";

    net->set(NetworkState { { eth({ addr("192.168.1.5", 24) }, false) }, { route("0.0.0.0", 0, true) } });
    EXPECT_EQ(internet(), 0u) << "routes through a down interface";

    net->set(NetworkState { {}, { route("0.0.0.0", 0, true) } });
    EXPECT_EQ(internet(), R);
    EXPECT_TRUE(CurrentNetworkStatus::reachable());

    net->set(NetworkState { { eth({ addr("192.168.1.5", 24) }), lo() }, {} });
    EXPECT_EQ(internet(), R | D);
    EXPECT_TRUE(CurrentNetworkStatus::reachable());

    CurrentNetworkStatus::setDebug(true);
    EXPECT_FALSE(CurrentNetworkStatus::reachable());
    CurrentNetworkStatus::setDebug(false);

    net->set(std::nullopt);
    EXPECT_FALSE(CurrentNetworkStatus::reachable());
    auto target = Reachability::reachabilityForInternetConnection(net);
    EXPECT_EQ(target->flags(), std::nullopt);
    EXPECT_EQ(target->currentReachabilityStatus(), NetworkStatusNotReachable);
    EXPECT_FALSE(target->connectionRequired());
}

TEST_F(ReachabilityTest, AddressAndNameTargets)
{
    net->set(NetworkState { { eth({ addr("192.168.1.5", 24), addr("fd00::2", 64) }), lo() },
        { route("0.0.0.0", 0, true), route("10.8.0.0", 16, false, "tun0"), route("10.0.0.0", 8, true) } });
    auto of = [&](std::string_view text) { return flagsOf(Reachability::reachabilityWithAddress(text, net)); };

    EXPECT_EQ(of("127.0.0.2"), R | L | D);
    EXPECT_EQ(of("::1"), R | L | D);
    EXPECT_EQ(of("192.168.1.5"), R | L | D);
    EXPECT_EQ(of("::ffff:192.168.1.5"), R | L | D);
    EXPECT_EQ(of("192.168.1.77"), R | D);
    EXPECT_EQ(of("[fd00::9]"), R | D);
    EXPECT_EQ(of("10.8.3.4"), R | D) << "the longest prefix decides";
    EXPECT_EQ(of("10.9.3.4"), R);
    EXPECT_EQ(of("2001:db8::1"), 0u) << "no IPv6 route";
    EXPECT_EQ(of("fe80::1%eth0"), R | D);

    auto wifi = Reachability::reachabilityForLocalWiFi(net);
    EXPECT_TRUE(wifi->isLocalWiFi());
    EXPECT_EQ(wifi->currentReachabilityStatus(), NetworkStatusReachable);
    net->set(NetworkState { { eth({ addr("fd00::2", 64) }), lo() }, { route("0.0.0.0", 0, true) } });
    EXPECT_EQ(wifi->currentReachabilityStatus(), NetworkStatusNotReachable);
    EXPECT_EQ(
        Reachability::reachabilityForInternetConnection(net)->currentReachabilityStatus(), NetworkStatusReachable);

    net->set(NetworkState {});
    EXPECT_EQ(flagsOf(Reachability::reachabilityWithHostName("LocalHost.", net)), R | L | D);
    EXPECT_EQ(flagsOf(Reachability::reachabilityWithHostName("127.0.0.1", net)), R | L | D);
    EXPECT_EQ(flagsOf(Reachability::reachabilityWithHostName("mylocalhost", net)), 0u);
    net->set(NetworkState { {}, { route("::", 0, true) } });
    EXPECT_EQ(flagsOf(Reachability::reachabilityWithHostName("storage.example.com", net)), R);

    EXPECT_EQ(Reachability::reachabilityWithHostName("", net), nullptr);
    EXPECT_EQ(Reachability::reachabilityWithHostName("bad host", net), nullptr);
    EXPECT_EQ(Reachability::reachabilityWithHostName(std::string(256, 'a'), net), nullptr);
    EXPECT_EQ(Reachability::reachabilityWithAddress("300.1.1.1", net), nullptr);
    sockaddr_in in {};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* sa = reinterpret_cast<const sockaddr*>(&in);
    EXPECT_EQ(Reachability::reachabilityWithAddress(sa, sizeof in - 1, net), nullptr);
    EXPECT_EQ(Reachability::reachabilityWithAddress(nullptr, sizeof in, net), nullptr);
    EXPECT_EQ(flagsOf(Reachability::reachabilityWithAddress(sa, sizeof in, net)), R | L | D);
}

TEST_F(ReachabilityTest, ParsesKernelRouteTables)
{
    auto v4 = SystemNetworkStateSource::parseIPv4Routes(
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth1\t0000000A\t00000000\t0000\t0\t0\t0\t000000FF\t0\t0\t0\n" // not up
        "eth1\t0000000A\t00000000\t0201\t0\t0\t0\t000000FF\t0\t0\t0\n" // reject
        "eth1\tZZ\n");
    ASSERT_EQ(v4.size(), 2u);
    EXPECT_EQ(v4[0].prefixLength, 0u);
    EXPECT_TRUE(v4[0].viaGateway);
    EXPECT_EQ(v4[1].destination, NetworkAddress::v4(192, 0, 2, 0));
    EXPECT_EQ(v4[1].prefixLength, 24u);
    EXPECT_FALSE(v4[1].viaGateway);

    auto v6 = SystemNetworkStateSource::parseIPv6Routes(
        "fd000000000000000000000000000000 40 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth0\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "fd000000000000000000000000000001 00000400 00000002 00000000 00000003     eth0\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n"
        "fd00 40 short line\n");
    ASSERT_EQ(v6.size(), 2u);
    EXPECT_EQ(v6[0].destination, *NetworkAddress::parse("fd00::"));
    EXPECT_EQ(v6[0].prefixLength, 64u);
    EXPECT_FALSE(v6[0].viaGateway);
    EXPECT_EQ(v6[1].prefixLength, 0u);
    EXPECT_TRUE(v6[1].viaGateway);
}

TEST_F(ReachabilityTest, SystemSourceAnswers)
{
    auto system = NetworkStateSource::system();
    ASSERT_TRUE(system->snapshot().has_value());
    (void)CurrentNetworkStatus::reachable();
    EXPECT_EQ(Reachability::reachabilityWithAddress("127.0.0.1", system)->currentReachabilityStatus(),
        NetworkStatusReachable);
    EXPECT_EQ(Reachability::reachabilityWithHostName("localhost")->currentReachabilityStatus(), NetworkStatusReachable);

    auto monitor = Reachability::reachabilityForInternetConnection(system);
    if (monitor->startNotifier()) { // a sandbox may refuse routing sockets
        EXPECT_TRUE(RunLoop::current()->hasSource(monitor->notifierDescriptor()));
        int fd = monitor->notifierDescriptor();
        monitor->stopNotifier();
        EXPECT_FALSE(RunLoop::current()->hasSource(fd));
    }
}

TEST_F(ReachabilityTest, NotifierCallsBackOnChangesOnly)
{
    auto loop = RunLoop::current();
    auto target = Reachability::reachabilityForInternetConnection(net);
    int calls = 0;
    target->setChangeCallback([&] { ++calls; });
    ASSERT_TRUE(target->startNotifier());
    int fd = target->notifierDescriptor();
    ASSERT_TRUE(loop->hasSource(fd));
    EXPECT_TRUE(target->startNotifier()) << "already running here";

    net->poke();
    loop->runFor(0);
    EXPECT_EQ(calls, 0) << "nothing changed";

    net->set(NetworkState { {}, { route("0.0.0.0", 0, true) } });
    net->poke();
    net->poke();
    loop->runFor(0);
    EXPECT_EQ(calls, 1);
    loop->runFor(0);
    EXPECT_EQ(calls, 1) << "the channel was drained";

    std::thread([&] { EXPECT_FALSE(target->startNotifier()) << "runs on another thread's loop"; }).join();

    target->stopNotifier();
    EXPECT_FALSE(loop->hasSource(fd));
    EXPECT_EQ(target->notifierDescriptor(), -1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the channel is closed";
}

TEST_F(ReachabilityTest, NotifierSurvivesItsOwnerAndItsChannel)
{
    auto loop = RunLoop::current();

    // The callback destroys the object that owns the monitor.
    auto target = Reachability::reachabilityForInternetConnection(net);
    target->setChangeCallback([&] { target.reset(); });
    ASSERT_TRUE(target->startNotifier());
    int fd = target->notifierDescriptor();
    net->set(NetworkState { {}, { route("0.0.0.0", 0, true) } });
    net->poke();
    loop->runFor(0);
    EXPECT_EQ(target, nullptr);
    EXPECT_FALSE(loop->hasSource(fd));

    // A channel at its end is dropped from the loop instead of waking it forever.
    auto second = Reachability::reachabilityForInternetConnection(net);
    ASSERT_TRUE(second->startNotifier());
    fd = second->notifierDescriptor();
    net->closeWriteEnd();
    loop->runFor(0);
    EXPECT_FALSE(loop->hasSource(fd));
    second.reset();

    net->channelWorks = false;
    auto third = Reachability::reachabilityForInternetConnection(net);
    EXPECT_FALSE(third->startNotifier());
    EXPECT_EQ(third->notifierDescriptor(), -1);
}

TEST_F(ReachabilityTest, NotifierStoppedFromAnotherThreadLeavesItsLoopOnItsThread)
{
    std::unique_ptr<Reachability> target = Reachability::reachabilityForInternetConnection(net);
    std::shared_ptr<RunLoop> workerLoop;
    int fd = -1;
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false, destroyed = false, sourceGone = false;
    std::thread worker([&] {
        {
            std::lock_guard lock(mutex);
            workerLoop = RunLoop::current();
            started = target->startNotifier();
            fd = target->notifierDescriptor();
        }
        cv.notify_all();
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return destroyed; });
        lock.unlock();
        workerLoop->runFor(0);
        sourceGone = !workerLoop->hasSource(fd);
    });
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return workerLoop != nullptr; });
        EXPECT_TRUE(started);
        target.reset();
        destroyed = true;
    }
    cv.notify_all();
    worker.join();
    EXPECT_TRUE(sourceGone);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "closed on the loop's thread";
}
