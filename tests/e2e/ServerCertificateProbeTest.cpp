// The certificate probe against norvane-server: over TLS it reads the key pin the server announces,
// and a plain-http port gives an error, not a certificate.

#include "CloudServiceSDKForMac/ASIHTTP/ServerCertificateProbe.h"
#include "e2e/ServerProcess.h"

#include <gtest/gtest.h>

namespace norvane::test {
namespace {

ServerCertificateProbe::Target loopbackTarget(int port)
{
    ServerCertificateProbe::Target target;
    target.host = "127.0.0.1";
    target.port = port;
    target.proxyHost = "none"; // a host without a port: direct, whatever the system's settings say
    target.timeOutSeconds = 10;
    return target;
}

TEST(ServerCertificateProbeTest, ReadsTheKeyPinSubjectAndValidityOfATlsServer)
{
    ServerProcess::Options options;
    options.tls = true;
    ServerProcess server(options);
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_FALSE(server.pin().empty());

    auto outcome = ServerCertificateProbe::probe(loopbackTarget(server.port()));
    ASSERT_TRUE(outcome.certificate) << outcome.error->description;
    EXPECT_FALSE(outcome.error);
    const auto& certificate = *outcome.certificate;
    EXPECT_EQ(certificate.publicKeyPin, server.pin());
    EXPECT_FALSE(certificate.subject.empty());
    // Self-signed: the issuer is the subject, and no authority of the system vouches for it.
    EXPECT_EQ(certificate.issuer, certificate.subject);
    EXPECT_FALSE(certificate.trustedBySystem);
    EXPECT_FALSE(certificate.untrustedReason.empty());
    auto now = std::chrono::system_clock::now();
    EXPECT_LT(certificate.notBefore, now);
    EXPECT_GT(certificate.notAfter, now);
    EXPECT_EQ(certificateDateText(certificate.notAfter).size(), 23u) << certificateDateText(certificate.notAfter);
}

TEST(ServerCertificateProbeTest, APlainHttpPortIsNoTlsServer)
{
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.error();
    auto outcome = ServerCertificateProbe::probe(loopbackTarget(server.port()));
    EXPECT_FALSE(outcome.certificate);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain, kServerCertificateProbeErrorDomain);
    EXPECT_EQ(outcome.error->code, ProbeNoTLS) << outcome.error->description;
}

} // namespace
} // namespace norvane::test
