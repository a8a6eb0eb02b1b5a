// The certificate probe where no certificate can be had: what it tells about a proxy that refuses
// the tunnel, a closed port and an unusable address. What it reads off a real server is checked
// against norvane-server in the end-to-end suite.

#include "CloudServiceSDKForMac/ASIHTTP/ServerCertificateProbe.h"
#include "CloudServiceSDKForMac/ASIHTTP/ASIHTTPRequest.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

namespace norvane::test {
namespace {

long proxyStatusOf(const ErrorValue& error)
{
    auto it = error.userInfo.find("proxyStatus");
    return it == error.userInfo.end() ? 0 : it->second.toInt64();
}

TEST(ServerCertificateProbeTest, AProxyRefusingTheTunnelIsToldApartFromTheServerWithItsStatus)
{
    ScriptedHttpServer proxy;
    ASSERT_TRUE(proxy.ok()) << proxy.startError();
    proxy.setHandler([](const RecordedRequest&) {
        return Reply::status(407).header("Proxy-Authenticate", "Basic realm=\"office\"").withContentLength();
    });

    ServerCertificateProbe::Target target;
    target.host = "storage.example.invalid";
    target.port = 8443;
    target.proxyHost = "127.0.0.1";
    target.proxyPort = proxy.port();
    target.proxyUser = "alice";
    target.proxyPassword = "wrong";
    target.timeOutSeconds = 10;
    auto outcome = ServerCertificateProbe::probe(target);

    ASSERT_FALSE(outcome.certificate);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain, kServerCertificateProbeErrorDomain);
    EXPECT_EQ(outcome.error->code, ProbeProxyRefused);
    EXPECT_EQ(proxyStatusOf(*outcome.error), 407);
    // The tunnel was asked for the server's address, with the credentials the engine would send.
    ASSERT_GE(proxy.requestCount(), 1u);
    auto connect = proxy.requests()[0];
    EXPECT_EQ(connect.method, "CONNECT");
    EXPECT_EQ(connect.target, "storage.example.invalid:8443");
    const std::string basic = "alice:wrong";
    EXPECT_EQ(connect.header("Proxy-Authorization"),
        "Basic "
            + ASIHTTPRequest::base64forData({ reinterpret_cast<const std::uint8_t*>(basic.data()), basic.size() }));
}

TEST(ServerCertificateProbeTest, NoServerAndNoUsableAddressAreErrorsWithoutACertificate)
{
    int closedPort = 0;
    {
        ScriptedHttpServer gone;
        ASSERT_TRUE(gone.ok());
        closedPort = gone.port();
    }
    ServerCertificateProbe::Target target;
    target.host = "127.0.0.1";
    target.port = closedPort;
    target.proxyHost = "none"; // a host without a port: direct, whatever the system's settings say
    target.timeOutSeconds = 5;
    auto closed = ServerCertificateProbe::probe(target);
    ASSERT_TRUE(closed.error);
    EXPECT_FALSE(closed.certificate);
    EXPECT_EQ(closed.error->code, ProbeConnectFailed) << closed.error->description;

    for (auto [host, port] : { std::pair<std::string, int> { "", 443 }, { "a/b", 443 }, { "user@host", 443 },
             { "127.0.0.1", 0 }, { "127.0.0.1", 70000 } }) {
        target.host = host;
        target.port = port;
        auto bad = ServerCertificateProbe::probe(target);
        ASSERT_TRUE(bad.error) << host << ":" << port;
        EXPECT_EQ(bad.error->code, ProbeBadAddress) << host << ":" << port;
    }
}

} // namespace
} // namespace norvane::test
