// The chunks of one transfer go over the connection the engine keeps, not one connection each:
// the server counts the connections it accepts, a proxy logs every tunnel it opens.

#include "e2e/ContractTest.h"
#include "support/Tinyproxy.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace norvane::testing {
namespace {

constexpr std::size_t kChunks = 32;
const std::string kRemote = "/FILE/Memo/chunked.bin";

class ConnectionReuseTest : public ContractTest {
protected:
    // The connections clients opened to the server while `step` ran (the counting requests of the
    // fixture left out).
    long connectionsDuring(const std::function<void()>& step)
    {
        const long before = server().connectionsAccepted();
        step();
        const long after = server().connectionsAccepted();
        EXPECT_GE(before, 0) << "the server tells how many connections it accepted";
        return after - before - 1;
    }

    // A put and a get of kChunks chunks, checked byte for byte; the connections each opened.
    std::pair<long, long> roundTrip(Client& client)
    {
        const Bytes content = randomBytes(kChunks * kMiB - 5, 31);
        const std::string local = writeLocal("chunked.bin", content);
        std::size_t gets = 0;
        client.adaptor->beforeGet = [&](const std::string&, std::uint64_t) { ++gets; };
        CloudServiceCommandPtr put;
        const long putConnections = connectionsDuring([&] { put = client.run(putFile(local, kRemote)); });
        EXPECT_EQ(put->commandRes, ResultSuccess);
        EXPECT_EQ(client.adaptor->puts.size(), kChunks);

        const std::string into = (home_ / "fetched.bin").string();
        CloudServiceCommandPtr get;
        const long getConnections = connectionsDuring([&] { get = client.run(getFile(into, kRemote)); });
        client.adaptor->beforeGet = nullptr;
        EXPECT_EQ(get->commandRes, ResultSuccess);
        EXPECT_GE(gets, kChunks);
        std::ifstream in(into, std::ios::binary);
        EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == content) << "the file came back unchanged";
        return { putConnections, getConnections };
    }
};

TEST_P(ConnectionReuseTest, AThirtyTwoChunkPutAndGetEachOpenOneConnectionAtMost)
{
    const auto accounts = newCompany("reuse", 1);
    Client& client = loggedIn(accounts[0]);
    const auto [putConnections, getConnections] = roundTrip(client);
    // None at all when the login's connection is still open; one when the server had closed it.
    EXPECT_LE(putConnections, 1);
    EXPECT_LE(getConnections, 1);
}

INSTANTIATE_TEST_SUITE_P(Wire, ConnectionReuseTest, ::testing::Values(Scheme::Http, Scheme::Https), schemeName);

// Through a proxy that asks for credentials: one tunnel carries the chunks, not a tunnel (and a
// TLS handshake) each.
class ProxiedConnectionReuseTest : public ConnectionReuseTest {
protected:
    void SetUp() override
    {
        ConnectionReuseTest::SetUp();
        const std::string why = proxy_.start(server().port());
        if (!why.empty())
            GTEST_FAIL() << why;
    }
    void adjustConfig(StorageServiceConfig& config) const override
    {
        config.useProxy = true;
        config.proxyHost = "127.0.0.1";
        config.proxyPort = proxy_.port;
        config.proxyUser = test::Tinyproxy::kUser;
        config.proxyPass = test::Tinyproxy::kPassword;
    }
    std::size_t tunnels() const { return occurrences(proxy_.log(), "): CONNECT "); }

    test::Tinyproxy proxy_;
};

TEST_P(ProxiedConnectionReuseTest, AThirtyTwoChunkPutAndGetEachOpenOneTunnelAtMost)
{
    const auto accounts = newCompany("tunnel", 1);
    Client& client = loggedIn(accounts[0]);
    const std::size_t tunnelsBefore = tunnels();
    ASSERT_GE(tunnelsBefore, 1u) << "the login went through the proxy:\n" << proxy_.log();
    const auto [putConnections, getConnections] = roundTrip(client);
    EXPECT_LE(putConnections, 1);
    EXPECT_LE(getConnections, 1);
    EXPECT_LE(tunnels() - tunnelsBefore, 2u) << proxy_.log();
}

INSTANTIATE_TEST_SUITE_P(Wire, ProxiedConnectionReuseTest, ::testing::Values(Scheme::Https), schemeName);

} // namespace
} // namespace norvane::testing
