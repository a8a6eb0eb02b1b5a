#include "server/http/RenderedBodies.h"

#include <gtest/gtest.h>

using namespace norvane::server;

namespace {

std::shared_ptr<const std::string> body(std::size_t size, char fill = 'x')
{
    return std::make_shared<const std::string>(size, fill);
}

TEST(RenderedBodies, KeepsBodiesWhileAskedForAndLetsTheLeastRecentlyAskedGoFirst)
{
    auto now = std::chrono::steady_clock::time_point {};
    RenderedBodies::Limits limits;
    limits.keepFor = std::chrono::seconds(10);
    limits.maxBodies = 2;
    limits.maxBytes = 100;
    RenderedBodies bodies(limits, [&] { return now; });

    const auto a = body(10, 'a');
    bodies.keep("a", a);
    bodies.keep("b", body(10, 'b'));
    EXPECT_EQ(bodies.find("a"), a);
    EXPECT_EQ(bodies.find("nothing"), nullptr);

    // Each ask starts the time again; a body left alone for the whole time is gone.
    now += std::chrono::seconds(9);
    EXPECT_EQ(bodies.find("a"), a);
    now += std::chrono::seconds(9);
    EXPECT_EQ(bodies.find("a"), a);
    EXPECT_EQ(bodies.find("b"), nullptr);

    // Beyond the count, the one asked for longest ago goes.
    bodies.keep("b", body(10, 'b'));
    EXPECT_NE(bodies.find("a"), nullptr);
    bodies.keep("c", body(10, 'c'));
    EXPECT_EQ(bodies.find("b"), nullptr);
    EXPECT_NE(bodies.find("a"), nullptr);
    EXPECT_NE(bodies.find("c"), nullptr);

    // Beyond the bytes too; one larger than them all is not kept and sends nothing away.
    bodies.keep("big", body(95, 'g'));
    EXPECT_EQ(bodies.find("a"), nullptr);
    EXPECT_EQ(bodies.find("c"), nullptr);
    bodies.keep("huge", body(101, 'h'));
    EXPECT_EQ(bodies.find("huge"), nullptr);
    EXPECT_NE(bodies.find("big"), nullptr);

    // Keeping under a key already kept replaces its body.
    const auto newer = body(5, 'n');
    bodies.keep("big", newer);
    EXPECT_EQ(bodies.find("big"), newer);
}

} // namespace
