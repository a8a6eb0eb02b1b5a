// What norvane-cli tells when something is refused: the cause behind the result code (wrong
// credentials, the account, the device, no permission, the proxy, the server's certificate, a
// lock and its holder) with its own exit status, and server text that reaches the terminal only
// escaped.

#include "cli/CliEndToEndFixture.h"
#include "support/ScriptedHttpServer.h"

namespace norvane::test {
namespace {

class CliFailureCauses : public CliEndToEnd {
protected:
    void configure(const ServerProcess& server, const std::string& scheme, const fs::path& home = {})
    {
        const std::string address = "127.0.0.1:" + std::to_string(server.port());
        ASSERT_EQ(cli({ "config", "--server", address, scheme }, {}, {}, home).exitStatus, 0);
    }
    CliResult login(const std::string& password, const std::string& user = "ann", const fs::path& home = {})
    {
        return cli({ "--json", "login", company_, user, "--password-stdin" }, password + "\n", {}, home);
    }
    static std::string alertText(const CliResult& result)
    {
        std::string text;
        const nlohmann::json object = result.json();
        for (const auto& alert : object["alerts"])
            text += alert["title"].get<std::string>() + "|" + alert["message"].get<std::string>() + "\n";
        return text;
    }
};

TEST_F(CliFailureCauses, SignInRefusalsSayWhatHappenedAndExitWithTheirCause)
{
    makeCompany();
    configure(*server_, "--http");

    // A wrong password is said to be one, and keeps nobody signed in.
    const CliResult wrong = login("not-it");
    EXPECT_EQ(wrong.exitStatus, 67) << wrong.err;
    EXPECT_EQ(wrong.json()["reason"], "wrong-credentials");
    EXPECT_NE(alertText(wrong).find("the password is wrong"), std::string::npos) << wrong.out;
    EXPECT_EQ(alertText(wrong).find("argument was invalid"), std::string::npos) << wrong.out;
    EXPECT_EQ(cli({ "--json", "config" }).json()["config"]["signedIn"], false);
    EXPECT_EQ(cli({ "ls" }).exitStatus, 65);
    // A wrong password for another account leaves the one signed in as it was.
    ASSERT_EQ(login(password("ann")).exitStatus, 0);
    EXPECT_EQ(login("not-it", "ben").exitStatus, 67);
    const nlohmann::json kept = cli({ "--json", "config" }).json()["config"];
    EXPECT_EQ(kept["signedIn"], true);
    EXPECT_EQ(kept["user"], "ann");
    EXPECT_EQ(cli({ "ls" }).exitStatus, 0);

    // The stored account signs in so that the server's reasons come through.
    ASSERT_LT(server_->suspend(company_, "ann").status, 300);
    const CliResult suspended = cli({ "--json", "ls" });
    EXPECT_EQ(suspended.exitStatus, 21) << suspended.err;
    EXPECT_EQ(suspended.json()["reason"], "account-suspended");
    EXPECT_NE(alertText(suspended).find("suspended"), std::string::npos) << suspended.out;
    ASSERT_LT(server_->suspend(company_, "ann", false).status, 300);

    ASSERT_LT(server_
                  ->setFaults(R"([{"path": "/Storage9/QORPrivateStorage/account/*", "status": 403,
        "body": "<Error><Code>AccessDenied</Code><Message>not from here</Message></Error>"}])")
                  .status,
        300);
    const CliResult refused = cli({ "--json", "ls" });
    server_->clearFaults();
    EXPECT_EQ(refused.exitStatus, 77) << refused.err;
    EXPECT_EQ(refused.json()["reason"], "no-permission");
    EXPECT_NE(alertText(refused).find("no permission"), std::string::npos) << refused.out;
    EXPECT_EQ(alertText(refused).find("sign in again"), std::string::npos) << refused.out;

    // Nothing to do at all is a mistake of the command line, told with the usage.
    const CliResult nothing = cli({});
    EXPECT_EQ(nothing.exitStatus, 64);
    EXPECT_NE(nothing.err.find("usage: norvane-cli"), std::string::npos) << nothing.err;
    EXPECT_TRUE(nothing.out.empty());
}

TEST_F(CliFailureCauses, ADeviceThatIsNoLongerRegisteredIsNamedByItsId)
{
    makeCompany(true);
    configure(*server_, "--http");
    const std::string device = cli({ "--json", "device-id", "--new" }).json()["deviceId"];
    ASSERT_LT(server_->registerDevice(company_, "ann", device).status, 300);
    ASSERT_EQ(login(password("ann")).exitStatus, 0);
    const nlohmann::json unregister { { "company", company_ }, { "user", "ann" }, { "device", device },
        { "registered", false } };
    ASSERT_LT(server_->control("POST", "/_control/devices", unregister.dump()).status, 300);

    const CliResult refused = cli({ "--json", "ls" });
    EXPECT_EQ(refused.exitStatus, 16) << refused.err;
    EXPECT_EQ(refused.json()["reason"], "device-not-registered");
    EXPECT_NE(alertText(refused).find(device), std::string::npos) << refused.out;
    EXPECT_NE(refused.err.find(device), std::string::npos) << refused.err;
}

TEST_F(CliFailureCauses, AProxyThatWantsOtherCredentialsIsToldAsSuchNotAsAWrongServerAddress)
{
    makeCompany();
    ScriptedHttpServer proxy;
    ASSERT_TRUE(proxy.ok()) << proxy.startError();
    proxy.setHandler([](const RecordedRequest&) {
        return Reply::status(407).header("Proxy-Authenticate", "Basic realm=\"office\"").withContentLength();
    });
    const std::string address = "127.0.0.1:" + std::to_string(server_->port());
    const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.port());
    ASSERT_EQ(
        cli({ "config", "--server", address, "--http", "--proxy", proxyAddress, "--proxy-user", "pu", "--proxy-pass" },
            "wrong-proxy-word\n")
            .exitStatus,
        0);

    const CliResult refused = login(password("ann"));
    EXPECT_EQ(refused.exitStatus, 68) << refused.err;
    EXPECT_EQ(refused.json()["reason"], "proxy-refused");
    const std::string told = alertText(refused);
    EXPECT_NE(told.find("proxy"), std::string::npos) << told;
    EXPECT_NE(told.find("407"), std::string::npos) << told;
    EXPECT_EQ(told.find("Server Address"), std::string::npos) << told;
    // The account password never went to the proxy that refused the way on.
    for (const auto& request : proxy.requests())
        EXPECT_FALSE(request.header("UserPassWord")) << request.target;
}

TEST_F(CliFailureCauses, AServerBehindTlsIsReachedThroughItsTrustedKeyAndAnotherKeyIsToldWithThePinToTrust)
{
    ServerProcess::Options options;
    options.tls = true;
    ServerProcess secure(options);
    ASSERT_TRUE(secure.start()) << secure.error();
    ServerProcess::CompanySpec spec;
    spec.code = company_;
    ASSERT_LT(secure.createCompany(spec).status, 300);
    ASSERT_LT(secure.createUser(company_, "ann", password("ann"), "Member ann").status, 300);
    configure(secure, "--https");

    const CliResult untrusted = login(password("ann"));
    EXPECT_EQ(untrusted.exitStatus, 69) << untrusted.err;
    EXPECT_EQ(untrusted.json()["reason"], "untrusted-certificate");
    EXPECT_EQ(untrusted.json()["certificate"]["pin"], secure.pin()) << untrusted.out;
    EXPECT_NE(untrusted.err.find("norvane-cli config --trust-key " + secure.pin()), std::string::npos) << untrusted.err;
    EXPECT_EQ(alertText(untrusted).find("Server Address"), std::string::npos) << untrusted.out;

    // A key trusted for the server that the server no longer shows: both are named.
    const std::string otherPin = "sha256//" + std::string(43, 'A') + "=";
    ASSERT_EQ(cli({ "config", "--trust-key", otherPin }).exitStatus, 0);
    const CliResult changed = login(password("ann"));
    EXPECT_EQ(changed.exitStatus, 69) << changed.err;
    EXPECT_EQ(changed.json()["reason"], "untrusted-key");
    EXPECT_EQ(changed.json()["certificate"]["pin"], secure.pin());
    EXPECT_EQ(changed.json()["certificate"]["trustedPin"], otherPin);
    EXPECT_NE(alertText(changed).find(otherPin), std::string::npos) << changed.out;

    EXPECT_EQ(cli({ "config", "--trust-key", "sha256//not-base64!" }).exitStatus, 64);
    const CliResult trusted = cli({ "--json", "config", "--trust-key", secure.pin() });
    ASSERT_EQ(trusted.exitStatus, 0) << trusted.err;
    EXPECT_EQ(trusted.json()["config"]["trustedKeys"][0]["server"], "127.0.0.1:" + std::to_string(secure.port()));
    ASSERT_EQ(login(password("ann")).exitStatus, 0);
    EXPECT_EQ(cli({ "ls" }).exitStatus, 0);
}

TEST_F(CliFailureCauses, ALockedFileNamesItsHolderARefusedUploadCountsNoBytesAndNoPermissionIsSaid)
{
    makeCompany();
    ASSERT_LT(server_->createSharedFolder(company_, "Team", { "ann" }).status, 300);
    signIn();
    const fs::path other = folder_ / "ben";
    signIn("ben", other);
    writeFile(work_ / "doc.txt", "ann's\n");
    writeFile(work_ / "private.txt", "only ann\n");
    ASSERT_EQ(cli({ "--yes", "put", (work_ / "doc.txt").string(), "shared:/Team" }).exitStatus, 0);
    ASSERT_EQ(cli({ "--no", "put", (work_ / "private.txt").string(), "shared:/Team" }).exitStatus, 0);
    ASSERT_EQ(cli({ "lock", "shared:/Team/doc.txt" }).exitStatus, 0);

    writeFile(work_ / "ben" / "doc.txt", "ben's\n");
    const CliResult put
        = cli({ "--yes", "--json", "put", (work_ / "ben" / "doc.txt").string(), "shared:/Team" }, {}, {}, other);
    EXPECT_EQ(put.exitStatus, 5) << put.err;
    EXPECT_NE(put.err.find("shared:/Team/doc.txt is locked by Member ann."), std::string::npos) << put.err;
    EXPECT_EQ(put.json()["bytes"], 0) << put.out;
    EXPECT_TRUE(put.json()["uploaded"].empty()) << put.out;

    const CliResult removeLocked = cli({ "--yes", "rm", "shared:/Team/doc.txt" }, {}, {}, other);
    EXPECT_EQ(removeLocked.exitStatus, 5) << removeLocked.err;
    EXPECT_NE(removeLocked.err.find("shared:/Team/doc.txt is locked by Member ann."), std::string::npos)
        << removeLocked.err;

    const CliResult removeTheirs = cli({ "--yes", "--json", "rm", "shared:/Team/private.txt" }, {}, {}, other);
    EXPECT_EQ(removeTheirs.exitStatus, 77) << removeTheirs.err;
    EXPECT_EQ(removeTheirs.json()["reason"], "no-permission");
    EXPECT_NE(alertText(removeTheirs).find("no permission"), std::string::npos) << removeTheirs.out;
    EXPECT_EQ(byName(cli({ "--json", "ls", "shared:/Team" }).json()).size(), 2u);
}

TEST_F(CliFailureCauses, ServerTextReachesTheTerminalEscapedAndTheJsonAsItIs)
{
    // What XML can carry: a carriage return that redraws the line, the 8-bit CSI that starts an
    // escape sequence, a right-to-left override that shows the name reversed. The server keeps
    // the controls out of what it stores; the override is text to it, and the terminal shows it
    // escaped.
    const std::string hostile = "Ann\r\xc2\x9b"
                                "2J\xe2\x80\xae"
                                "evil";
    const std::vector<std::string> raw { "\r", "\xc2\x9b", "\xe2\x80\xae" };
    ServerProcess::CompanySpec spec;
    spec.code = company_;
    ASSERT_LT(server_->createCompany(spec).status, 300);
    ASSERT_LT(server_->createUser(company_, "ann", password("ann"), hostile).status, 300);
    ASSERT_LT(server_
                  ->setInformation(company_, "7",
                      "Notice\r\xc2\x9b"
                      "2Kforged line")
                  .status,
        300);
    configure(*server_, "--http");
    const CliResult signedIn = cli({ "login", company_, "ann", "--password-stdin" }, password("ann") + "\n");
    ASSERT_EQ(signedIn.exitStatus, 0) << signedIn.err;
    writeFile(work_ / "memo.txt", "memo\n");
    ASSERT_EQ(cli({ "put", (work_ / "memo.txt").string(), "my:/" }).exitStatus, 0);
    ASSERT_EQ(cli({ "lock", "my:/memo.txt" }).exitStatus, 0);

    const CliResult listing = cli({ "ls" });
    const CliResult info = cli({ "info" });
    ASSERT_EQ(listing.exitStatus, 0) << listing.err;
    ASSERT_EQ(info.exitStatus, 0) << info.err;
    for (const CliResult* result : { &signedIn, &listing, &info })
        for (const std::string& bytes : raw)
            EXPECT_EQ((result->out + result->err).find(bytes), std::string::npos) << result->out << result->err;
    EXPECT_NE(listing.out.find("(locked by Ann2J\\u202eevil)"), std::string::npos) << listing.out;
    EXPECT_NE(info.out.find("information: Notice2Kforged line"), std::string::npos) << info.out;
    EXPECT_NE(signedIn.err.find("Signed in as Ann2J\\u202eevil"), std::string::npos) << signedIn.err;
    EXPECT_EQ(byName(cli({ "--json", "ls" }).json())["memo.txt"]["lockedBy"],
        "Ann2J\xe2\x80\xae"
        "evil");
}

} // namespace
} // namespace norvane::test
