#include "platform/NotificationCenter.h"

#include "ThreadingTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace norvane {
namespace {

using testing::eventually;
using testing::LogCapture;

TEST(NotificationCenterTest, DeliversByNameAndObjectInRegistrationOrder)
{
    NotificationCenter center;
    const int sender = 0, other = 0;
    std::vector<std::string> seen;
    auto byName = center.addObserver("STORAGE_SIZE_CHANGE", nullptr,
        [&](const Notification& n) { seen.push_back("name:" + n.userInfo.at("size").stringOr("?")); });
    auto byObject = center.addObserver("USE_CACHE_CHANGE", &sender, [&](const Notification& n) {
        EXPECT_EQ(n.object, &sender);
        seen.push_back("object");
    });
    auto everything = center.addObserver("", nullptr, [&](const Notification& n) { seen.push_back("any:" + n.name); });

    center.post("STORAGE_SIZE_CHANGE", &other, { { "size", "12" } });
    center.post("USE_CACHE_CHANGE", &other);
    center.post("USE_CACHE_CHANGE", &sender);
    center.post("USE_CACHE_CHANGE");
    EXPECT_EQ(seen,
        (std::vector<std::string> { "name:12", "any:STORAGE_SIZE_CHANGE", "any:USE_CACHE_CHANGE", "object",
            "any:USE_CACHE_CHANGE", "any:USE_CACHE_CHANGE" }));
}

TEST(NotificationCenterTest, TokenUnregistersOnRemoveResetAndDestruction)
{
    NotificationCenter center;
    int calls = 0;
    {
        auto token = center.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
        EXPECT_TRUE(token);
        ObserverToken moved = std::move(token);
        EXPECT_FALSE(token);
        center.post("N");
        EXPECT_EQ(calls, 1);
        moved.reset();
        EXPECT_FALSE(moved);
        center.post("N");
        EXPECT_EQ(calls, 1);

        auto scoped = center.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
        ObserverToken replaced = center.addObserver("N", nullptr, [&](const Notification&) { calls += 100; });
        replaced = std::move(scoped); // drops the observer it held
        center.post("N");
        EXPECT_EQ(calls, 2);
    }
    center.post("N");
    EXPECT_EQ(calls, 2);

    // A token may outlive its centre.
    ObserverToken orphan;
    {
        NotificationCenter shortLived;
        orphan = shortLived.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
    }
    orphan.remove();
    EXPECT_FALSE(orphan);
}

TEST(NotificationCenterTest, CallbacksMayRemoveObserversPostAndThrow)
{
    NotificationCenter center;
    int selfCalls = 0;
    ObserverToken self;
    self = center.addObserver("N", nullptr, [&](const Notification&) {
        ++selfCalls;
        self.remove();
    });
    center.post("N");
    center.post("N");
    EXPECT_EQ(selfCalls, 1);

    // The first observer removes the second during the same post: the second is not called.
    int laterCalls = 0;
    ObserverToken later;
    auto first = center.addObserver("M", nullptr, [&](const Notification&) { later.reset(); });
    later = center.addObserver("M", nullptr, [&](const Notification&) { ++laterCalls; });
    center.post("M");
    EXPECT_EQ(laterCalls, 0);

    int inner = 0;
    auto outerToken = center.addObserver("outer", nullptr, [&](const Notification&) { center.post("inner"); });
    auto innerToken = center.addObserver("inner", nullptr, [&](const Notification&) { ++inner; });
    center.post("outer");
    EXPECT_EQ(inner, 1);

    LogCapture log;
    bool afterThrow = false;
    auto thrower
        = center.addObserver("E", nullptr, [](const Notification&) { throw std::runtime_error("observer failed"); });
    auto next = center.addObserver("E", nullptr, [&](const Notification&) { afterThrow = true; });
    center.post("E");
    EXPECT_TRUE(afterThrow);
    EXPECT_TRUE(log.contains("observer failed"));
}

TEST(NotificationCenterTest, RemovalWaitsForCallsInProgressOnOtherThreads)
{
    NotificationCenter center;
    std::atomic<int> inside { 0 }, calls { 0 }, posts { 0 };
    std::atomic<bool> removed { false }, calledAfterRemoval { false }, stop { false };
    auto token = center.addObserver("tick", nullptr, [&](const Notification&) {
        ++inside;
        if (removed)
            calledAfterRemoval = true;
        ++calls;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        --inside;
    });
    std::vector<std::thread> posters;
    for (int i = 0; i < 2; ++i) {
        posters.emplace_back([&] {
            while (!stop) {
                center.post("tick");
                ++posts;
            }
        });
    }
    EXPECT_TRUE(eventually([&] { return calls >= 50; }));
    token.remove();
    removed = true;
    EXPECT_EQ(inside, 0); // no call still running once remove() has returned
    const int postsAtRemoval = posts;
    EXPECT_TRUE(eventually([&] { return posts >= postsAtRemoval + 200; }));
    stop = true;
    for (auto& poster : posters)
        poster.join();
    EXPECT_FALSE(calledAfterRemoval);
}

} // namespace
} // namespace norvane
