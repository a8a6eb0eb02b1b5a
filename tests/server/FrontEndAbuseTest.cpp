// The front end against clients that do not play fair: thousands of slow ones, idle ones, heads
// of endless header lines, and guessers of passwords from one or many addresses.

#include "FrontEndFixture.h"

#include <poll.h>
#include <sys/resource.h>

#include <iostream>
#include <thread>

namespace norvane::server::testing {
namespace {

class FrontEndAbuseTest : public FrontEndFixture {
protected:
    void configure(FrontEndSettings& settings) override
    {
        settings.headTimeout = std::chrono::milliseconds(3000);
        settings.keepAliveIdle = std::chrono::milliseconds(300);
    }

    // Milliseconds until GET /Version is answered.
    double versionMilliseconds()
    {
        const auto start = std::chrono::steady_clock::now();
        const Answer answer = call("GET", "/Version");
        EXPECT_EQ(answer.status, 200);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(FrontEndAbuseTest, TwoThousandSlowClientsHoldNoWorkerAndEachHeadHasItsDeadline)
{
    // Both ends of every connection are descriptors of this process.
    rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 4500)
        GTEST_SKIP() << "the descriptor limit " << limit.rlim_max << " is too low for 2,000 connections";
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

    const auto opened = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<Wire>> slow;
    for (int i = 0; i < 2000; ++i) {
        slow.push_back(std::make_unique<Wire>(frontEnd->port()));
        ASSERT_TRUE(slow.back()->sendRaw("GET /Version HTTP/1.1\r\nHo"));
    }
    // Each keeps sending, a byte at a time, while a normal request comes and goes.
    double slowest = 0;
    for (int round = 0; round < 3; ++round) {
        for (auto& wire : slow)
            wire->sendRaw("s");
        slowest = std::max(slowest, versionMilliseconds());
    }
    std::cout << "GET /Version answered in at most " << slowest << " ms with 2,000 slow connections open\n";
    RecordProperty("versionMillisecondsWithSlowClients", static_cast<int>(slowest));
    EXPECT_LT(slowest, 1000.0);

    // None of them finishes its head in time: each is told so and closed, however it trickles.
    std::size_t timedOut = 0;
    for (auto& wire : slow) {
        const Answer answer = wire->receive();
        timedOut += answer.status == 408 && wire->closedByPeer() ? 1 : 0;
    }
    EXPECT_EQ(timedOut, slow.size());
    EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(3000));
    EXPECT_LT(versionMilliseconds(), 1000.0);
}

TEST_F(FrontEndAbuseTest, IdleConnectionsEndAtTheirDeadlinesAndBusyOnesStay)
{
    Wire silent(frontEnd->port());
    Wire kept(frontEnd->port());
    kept.send("GET", "/Version");
    EXPECT_EQ(kept.receive().status, 200);
    // Used again within the idle time, the connection serves on.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    kept.send("GET", "/Version");
    EXPECT_EQ(kept.receive().status, 200);
    const auto idleSince = std::chrono::steady_clock::now();
    EXPECT_TRUE(kept.closedByPeer());
    const auto idle = std::chrono::steady_clock::now() - idleSince;
    EXPECT_GE(idle, std::chrono::milliseconds(250));
    EXPECT_LT(idle, std::chrono::milliseconds(2000));
    // A connection that never sends a byte has the head's deadline.
    EXPECT_TRUE(silent.closedByPeer());
}

TEST_F(FrontEndAbuseTest, HeadsOfTooManyLinesOrBytesAre431AndTheConnectionEnds)
{
    auto headers = [](int count, std::size_t valueBytes) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += "X-Filler-" + std::to_string(i) + ": " + std::string(valueBytes, 'v') + "\r\n";
        return text;
    };
    // A hundred header lines are fine; the one beyond, or too many bytes in few lines, are not.
    Wire full(frontEnd->port());
    full.sendRaw("GET /Version HTTP/1.1\r\nHost: x\r\n" + headers(99, 10) + "\r\n");
    EXPECT_EQ(full.receive().status, 200);
    for (const std::string& excess : { headers(100, 10), headers(10, 7000) }) {
        Wire wire(frontEnd->port());
        wire.sendRaw("GET /Version HTTP/1.1\r\nHost: x\r\n" + excess + "\r\n");
        const Answer answer = wire.receive();
        EXPECT_EQ(answer.status, 431);
        EXPECT_EQ(answer.header("connection"), "close");
        EXPECT_NE(answer.body.find("<Code>RequestHeaderFieldsTooLarge</Code>"), std::string::npos) << answer.body;
        EXPECT_TRUE(wire.closedByPeer());
    }

    // A client that sends header lines without end is answered while it still sends, not when it
    // stops; what it sends on is not kept.
    Wire flood(frontEnd->port());
    std::atomic<bool> sending { true };
    std::thread sender([&] {
        flood.sendRaw("GET /Version HTTP/1.1\r\n");
        const std::string lines = headers(1000, 1);
        for (int i = 0; i < 1000 && sending.load(); ++i) {
            if (!flood.sendRaw(lines))
                break;
        }
    });
    const Answer answer = flood.receive();
    sending.store(false);
    EXPECT_EQ(answer.status, 431);
    sender.join();
    EXPECT_LT(versionMilliseconds(), 1000.0);
}

// Two workers only, and half a second of patience with trickling peers.
class FrontEndTrickleTest : public FrontEndAbuseTest {
protected:
    void configure(FrontEndSettings& settings) override
    {
        FrontEndAbuseTest::configure(settings);
        settings.maxWorkers = 2;
        settings.timeouts.waitAllowance = std::chrono::milliseconds(500);
    }
};

TEST_F(FrontEndTrickleTest, ClientsThatTrickleTheirBodiesAreCutOffAndFreeTheirWorkers)
{
    const std::string auth = session("alice");
    const std::string md5 = md5Hex(std::string(100000, 'x'));
    std::vector<std::unique_ptr<Wire>> trickling;
    for (int i = 0; i < 4; ++i) {
        const std::string target = "/FILE/Memo/slow" + std::to_string(i) + ".bin?md5=" + md5 + "&size=100000";
        trickling.push_back(std::make_unique<Wire>(frontEnd->port()));
        ASSERT_TRUE(trickling.back()->sendRaw("POST " + target + " HTTP/1.1\r\nHost: x\r\nAuthorization: " + auth
            + "\r\nx-zel-file-write-range: 0-99999\r\nContent-Length: 100000\r\n\r\nxx"));
    }
    // While every one of them goes on sending a byte now and then, a normal request is served.
    std::atomic<bool> sending { true };
    std::thread trickle([&] {
        while (sending.load()) {
            for (auto& wire : trickling)
                wire->sendRaw("x");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call("GET", "/Version").status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    sending.store(false);
    trickle.join();
    for (auto& wire : trickling) {
        const Answer cut = wire->receive();
        EXPECT_TRUE(cut.status == 0 || cut.status >= 400) << cut.status;
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(store->uploadOffset(alice.id, "/FILE/Memo/slow" + std::to_string(i) + ".bin", md5), 0)
            << "nothing of a cut chunk is kept";
}

TEST_F(FrontEndAbuseTest, AnAddressGuessingAcrossAccountsWaitsButTheAccountsOwnAddressDoesNot)
{
    // Time stands still: no wait runs out while the test runs.
    const auto frozen = std::chrono::system_clock::now();
    store->setClock([frozen] { return frozen; });
    ASSERT_EQ(login("alice", "alice-secret", "dev-1", "127.0.0.1").status, 200);

    // Twenty wrong logins on as many accounts are free for an address, the next one waits.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(login("nobody" + std::to_string(i), "guess", "dev-9", "127.0.0.2").status, 400) << i;
    const Answer sprayed = login("bob", "bob-secret", "dev-9", "127.0.0.2");
    EXPECT_EQ(sprayed.status, 429);
    EXPECT_EQ(sprayed.header("retry-after"), "1");
    EXPECT_EQ(login("bob", "bob-secret", "dev-2", "127.0.0.3").status, 200) << "other addresses are not held up";

    // Guesses on alice's account from elsewhere slow strangers down, not alice where she logs in.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(login("alice", "guess", "dev-9", "127.0.0.4").status, 400) << i;
    EXPECT_EQ(login("alice", "alice-secret", "dev-9", "127.0.0.4").status, 429);
    EXPECT_EQ(login("alice", "alice-secret", "dev-9", "127.0.0.5").status, 429);
    EXPECT_EQ(login("alice", "alice-secret", "dev-1", "127.0.0.1").status, 200);

    // The counts are kept in the store: a restart forgets none of them.
    frontEnd.reset();
    reopen();
    store->setClock([frozen] { return frozen; });
    FrontEndSettings settings;
    frontEnd = std::make_unique<HttpFrontEnd>(*store, faults, settings);
    ASSERT_FALSE(frontEnd->start());
    EXPECT_EQ(login("alice", "alice-secret", "dev-9", "127.0.0.4").status, 429);
    store->setClock([frozen] { return frozen + std::chrono::seconds(1); });
    EXPECT_EQ(login("alice", "alice-secret", "dev-9", "127.0.0.4").status, 200);
}

} // namespace
} // namespace norvane::server::testing
