#include "server/http/ServerOptions.h"
#include "server/http/ControlEndpoint.h"

#include <gtest/gtest.h>

namespace norvane::server {
namespace {

ServerOptionsParse parse(std::vector<std::string> arguments)
{
    return parseServerOptions(arguments);
}

TEST(ServerOptionsTest, CommandLineOfTheServer)
{
    auto full = parse({ "--data", "/tmp/d", "--listen", "[::1]:8443", "--tls", "--cert", "c.pem", "--key", "k.pem",
        "--demo", "--faults", "f.json", "--control-token", "t0k" });
    ASSERT_FALSE(full.error) << *full.error;
    EXPECT_EQ(full.options.dataDir, "/tmp/d");
    EXPECT_EQ(full.options.host, "::1");
    EXPECT_EQ(full.options.port, 8443);
    EXPECT_TRUE(full.options.tls);
    EXPECT_EQ(full.options.keyFile, "k.pem");
    EXPECT_TRUE(full.options.demo);
    EXPECT_EQ(full.options.faultsFile, "f.json");
    EXPECT_EQ(full.options.controlToken, "t0k");

    auto limits = parse({ "--data", "d", "--session-idle", "600", "--session-lifetime", "3600", "--login-free-tries",
        "3", "--address-free-tries", "50", "--link-password-tries", "10", "--head-timeout", "4", "--max-headers",
        "20" });
    ASSERT_FALSE(limits.error) << *limits.error;
    EXPECT_EQ(limits.options.limits.sessions.idle, std::chrono::minutes(10));
    EXPECT_EQ(limits.options.limits.sessions.lifetime, std::chrono::hours(1));
    EXPECT_EQ(limits.options.limits.logins.accountFreeFailures, 3);
    EXPECT_EQ(limits.options.limits.logins.addressFreeFailures, 50);
    EXPECT_EQ(limits.options.limits.shareLinkWrongPasswords, 10);
    EXPECT_EQ(limits.options.headTimeout, std::chrono::seconds(4));
    EXPECT_EQ(limits.options.maxHeaders, 20u);

    auto minimal = parse({ "--data", "d" });
    ASSERT_FALSE(minimal.error);
    EXPECT_EQ(minimal.options.host, "127.0.0.1");
    EXPECT_EQ(minimal.options.port, 0);
    EXPECT_TRUE(parse({ "--help" }).help);

    for (const auto& wrong : std::vector<std::vector<std::string>> {
             {},
             { "--data" },
             { "--data", "d", "--listen", "127.0.0.1" },
             { "--data", "d", "--listen", "127.0.0.1:65536" },
             { "--data", "d", "--listen", "::1:80" },
             { "--data", "d", "--listen", "a b:80" },
             { "--data", "d", "--cert", "c.pem" },
             { "--data", "d", "--tls", "--cert", "c.pem" },
             { "--data", "d", "--control-token", "a b" },
             { "--data", "d", "--verbose" },
             { "--data", "d", "--session-idle", "0" },
             { "--data", "d", "--max-head-bytes", "12k" },
             { "--data", "d", "--head-timeout" },
         })
        EXPECT_TRUE(parse(wrong).error) << ::testing::PrintToString(wrong);
}

TEST(ServerOptionsTest, OnlyLoopbackAddressesReachTheControlEndpoint)
{
    for (std::string_view address : { "127.0.0.1", "127.8.9.10", "::1", "::ffff:127.0.0.1" })
        EXPECT_TRUE(isLoopbackAddress(address)) << address;
    for (std::string_view address : { "10.0.0.1", "::ffff:10.0.0.1", "::2", "", "1127.0.0.1", "fe80::1" })
        EXPECT_FALSE(isLoopbackAddress(address)) << address;
}

} // namespace
} // namespace norvane::server
