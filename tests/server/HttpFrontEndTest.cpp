#include "FrontEndFixture.h"

namespace norvane::server::testing {
namespace {

using HttpFrontEndTest = FrontEndFixture;

TEST_F(HttpFrontEndTest, LoginOpensASessionThatStorageRequestsMustNameAndThatIsCheckedEachTime)
{
    EXPECT_EQ(call("GET", "/FOLDER").status, 401);
    // Unknown sessions, wrong passwords and refused devices or accounts at login are checked end to
    // end; here a login without its credential headers and sessions checked again on each request.
    EXPECT_EQ(call("GET", "/Storage9/QORPrivateStorage/account/alice",
                  { { "Authorization", "ZEL 0" }, { "KigyoCode", "acme" }, { "UserPassWord", "alice-secret" } })
                  .status,
        400);

    const std::string auth = session("alice");
    const Answer root = as(auth, "GET", "/FOLDER");
    EXPECT_EQ(root.status, 200);
    EXPECT_EQ(root.header("x-zel-storage"), "0/0");
    EXPECT_TRUE(root.headers.contains("x-zel-informationseq"));
    EXPECT_EQ(as(auth, "GET", "/FOLDER/Nowhere").status, 404);

    // The account and the device are looked at again on every request.
    Company strict = company;
    strict.requireDevice = true;
    ASSERT_TRUE(store->updateCompany(strict));
    const Answer unregistered = as(auth, "GET", "/FOLDER");
    EXPECT_EQ(unregistered.status, 401);
    EXPECT_NE(unregistered.body.find("<Code>Device not authorized</Code>"), std::string::npos);
    ASSERT_TRUE(store->registerDevice(alice.id, "dev-1"));
    EXPECT_EQ(as(auth, "GET", "/FOLDER").status, 200);

    ASSERT_TRUE(store->setSuspended(alice.id, true));
    const Answer suspended = as(auth, "GET", "/FOLDER");
    EXPECT_EQ(suspended.status, 403);
    EXPECT_NE(suspended.body.find("<Code>SuspendAccount</Code>"), std::string::npos);
}

TEST_F(HttpFrontEndTest, RangesAreAnsweredByTheFrontEndWithTheEndHeldAtTheLastByte)
{
    std::string content(700'000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + (i * 7) % 26);
    put(alice, mine(alice), { "Memo", "big.txt" }, content);
    put(alice, mine(alice), { "Memo", "empty.txt" }, "");
    const std::string auth = session("alice");

    // Whole files, the tail held at the last byte and a start past the end are checked end to end.
    const Answer middle = as(auth, "GET", "/FILE/Memo/big.txt", { { "range", "bytes=200000-500001" } });
    EXPECT_EQ(middle.status, 206);
    EXPECT_EQ(middle.header("content-range"), "bytes 200000-500001/700000");
    EXPECT_TRUE(middle.body == content.substr(200000, 300002));

    const Answer empty = as(auth, "GET", "/FILE/Memo/empty.txt", { { "range", "bytes=0-1048575" } });
    EXPECT_EQ(empty.status, 200);
    EXPECT_TRUE(empty.body.empty());

    // The connection probe's bare range, which httplib alone would refuse.
    const Answer probe = call("GET", "/Version", { { "range", "0-1048576" } });
    EXPECT_EQ(probe.status, 206);
    EXPECT_NE(probe.body.find("<version>norvane-server"), std::string::npos);

    const Answer listing = as(auth, "GET", "/FOLDER/Memo", { { "range", "bytes=0-9" } });
    EXPECT_EQ(listing.status, 206);
    EXPECT_EQ(listing.body, "<?xml vers");

    EXPECT_EQ(
        as(auth, "GET", "/FILE/Memo/big.txt", { { "If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT" } }).status,
        200);
}

TEST_F(HttpFrontEndTest, AReaderThatHangsUpInTheMiddleOfAFileLeavesTheServerServing)
{
    // Far more than the socket buffers hold, so the server is still sending when the reader leaves.
    put(alice, mine(alice), { "Memo", "large.bin" }, std::string(32 << 20, 'x'));
    const std::string auth = session("alice");
    for (int reader = 0; reader < 3; ++reader) {
        Wire wire(frontEnd->port());
        wire.send("GET", "/FILE/Memo/large.bin", { { "Authorization", auth } });
        wire.hangUpAfter(100000);
    }
    const Answer after = as(auth, "GET", "/FILE/Memo/large.bin", { { "range", "bytes=1000-1009" } });
    EXPECT_EQ(after.status, 206);
    EXPECT_EQ(after.body, "xxxxxxxxxx");
}

TEST_F(HttpFrontEndTest, AListingReadInRangesIsOneDocumentThatFollowsEveryChangeAndEveryReader)
{
    for (int i = 0; i < 40; ++i)
        put(alice, shared(), { "Team", "file" + std::to_string(i) + ".txt" }, "x");
    const std::string aliceAuth = session("alice");
    const std::string bobAuth = session("bob");
    auto whole = [&](const std::string& auth) { return as(auth, "GET", "/SHAREFOLDER/Team").body; };
    auto inRanges = [&](const std::string& auth) {
        std::string stitched;
        for (std::size_t from = 0;; from += 1000) {
            const Answer part = as(auth, "GET", "/SHAREFOLDER/Team",
                { { "range", "bytes=" + std::to_string(from) + "-" + std::to_string(from + 999) } });
            if (part.status != 206)
                return stitched + "<status " + std::to_string(part.status) + ">";
            stitched += part.body;
            if (part.body.size() < 1000)
                return stitched;
        }
    };

    const std::string forAlice = whole(aliceAuth);
    ASSERT_GT(forAlice.size(), 3000u);
    EXPECT_EQ(inRanges(aliceAuth), forAlice);
    // Another reader has rights of their own: not the document made for the first.
    const std::string forBob = inRanges(bobAuth);
    EXPECT_NE(forBob, forAlice);
    EXPECT_NE(forAlice.find("<isowner>1</isowner>"), std::string::npos);
    EXPECT_EQ(forBob.find("<isowner>1</isowner>"), std::string::npos);
    EXPECT_EQ(forBob, whole(bobAuth));

    // A change between two reads shows in the next one, however soon it comes.
    ASSERT_TRUE(store->setReadOnly(shared(), { "Team", "file7.txt" }, true));
    const std::string afterReadOnly = inRanges(aliceAuth);
    EXPECT_NE(afterReadOnly.find("<isReadOnly>1</isReadOnly>"), std::string::npos);
    put(bob, shared(), { "Team", "late.txt" }, "y");
    EXPECT_NE(inRanges(aliceAuth).find("<Name>late.txt</Name>"), std::string::npos);
}

TEST_F(HttpFrontEndTest, TargetsThatLeaveTheirFolderAreRefusedBeforeAnythingElse)
{
    put(alice, mine(alice), { "Memo", "a.txt" }, "secret");
    const std::string auth = session("alice");
    for (const std::string target : { "/FILE/Memo/../../../etc/passwd", "/FILE/Memo/..", "/FOLDER/%2e%2e",
             "/FILE/Memo%2Fa.txt", "/FILE/Memo%2fa.txt", "/FILE/..%5C..%5Ca.txt", "/FILE/Memo/a.txt%00.jpg",
             "/FILE/Memo//a.txt", "/FILE/Memo/a%252Fb?thumbnail=10x10", "/FILE/Memo/%0d%0aX:%20y" }) {
        for (const std::string& authorization : { auth, std::string() }) {
            const Answer answer = authorization.empty() ? call("GET", target) : as(auth, "GET", target);
            EXPECT_EQ(answer.status, 400) << target;
            EXPECT_NE(answer.body.find("<Code>InvalidArgument</Code>"), std::string::npos) << target;
        }
        EXPECT_EQ(as(auth, "DELETE", target).status, 400) << target;
    }
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/a.txt").body, "secret");
}

TEST_F(HttpFrontEndTest, UploadsResumeAtTheOffsetTheServerHolds)
{
    const std::string auth = session("alice");
    std::string content(300'000, 'x');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 31 % 251);
    const std::string md5 = md5Hex(content);
    const std::string target = "/FILE/Memo/up.bin?md5=" + md5 + "&size=300000";

    EXPECT_EQ(
        as(auth, "POST", target, { { "x-zel-file-write-range", "0-99999" } }, content.substr(0, 100000)).status, 200);
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/up.bin?md5=" + md5).body.find("<offset>100000</offset>") != std::string::npos,
        true);

    // A chunk from elsewhere is refused with the offset to go on from; the connection stays usable.
    Wire wire(frontEnd->port());
    wire.send("POST", target, { { "Authorization", auth }, { "x-zel-file-write-range", "200000-299999" } },
        content.substr(200000));
    const Answer refused = wire.receive();
    EXPECT_EQ(refused.status, 416);
    EXPECT_EQ(refused.header("x-zel-offset-in-database"), "100000");
    wire.send("POST", target, { { "Authorization", auth }, { "x-zel-file-write-range", "100000-299999" } },
        content.substr(100000));
    EXPECT_EQ(wire.receive().status, 200);
    EXPECT_TRUE(as(auth, "GET", "/FILE/Memo/up.bin").body == content);

    // A chunk whose body is not its range. A digest that does not match, updates of missing files
    // and missing folders are checked end to end.
    EXPECT_EQ(as(auth, "POST", "/FILE/Memo/b.bin?md5=" + md5Hex("abc") + "&size=3",
                  { { "x-zel-file-write-range", "0-2" } }, "ab")
                  .status,
        400);
    EXPECT_EQ(as(auth, "POST", "/FILE/Memo/empty.bin?md5=" + md5Hex("") + "&size=0").status, 200);
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/empty.bin").status, 200);
}

TEST_F(HttpFrontEndTest, CopiesRefuseTakenNamesUnlessOverwriteIsAsked)
{
    put(alice, mine(alice), { "Memo", "a.txt" }, "one");
    const std::string auth = session("alice");
    EXPECT_EQ(as(auth, "PUT", "/FOLDER/Photos", { { "x-zel-copy-src", "/FILE/Memo/a.txt" } }).status, 200);
    const Answer again = as(auth, "PUT", "/FOLDER/Photos", { { "x-zel-copy-src", "%2FFILE%2FMemo%2Fa%2Etxt" } });
    EXPECT_EQ(again.status, 409);
    EXPECT_NE(again.body.find("<Code>FileExists</Code>"), std::string::npos);
    EXPECT_EQ(
        as(auth, "PUT", "/FOLDER/Photos", { { "x-zel-copy-src", "/FILE/Memo/a.txt" }, { "x-zel-uptype", "0" } }).status,
        200);
    EXPECT_EQ(as(auth, "GET", "/FILE/Photos/a.txt").body, "one");
    EXPECT_EQ(as(auth, "PUT", "/FOLDER/Photos", { { "x-zel-copy-src", "/FILE/Memo/../a.txt" } }).status, 400);
}

TEST_F(HttpFrontEndTest, FaultRulesAnswerForTheHandlerCutBodiesAndHoldRequests)
{
    put(alice, mine(alice), { "Memo", "big.bin" }, std::string(600'000, 'z'));
    const std::string auth = session("alice");
    ASSERT_FALSE(faults.replaceFromJson(R"([
        {"method": "GET", "path": "/FILE/Memo/big.bin", "times": 1, "status": 503, "body": "busy"},
        {"method": "GET", "path": "/FILE/Memo/big.bin", "times": 1, "dropAfterBytes": 1000},
        {"method": "GET", "path": "/FOLDER/Memo", "times": 1, "noAnswer": true},
        {"method": "POST", "path": "/FILE/Memo/*", "times": 1, "offset416": 12}
    ])"));

    const Answer busy = as(auth, "GET", "/FILE/Memo/big.bin");
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.body, "busy");

    const Answer cut = as(auth, "GET", "/FILE/Memo/big.bin");
    EXPECT_EQ(cut.status, 200);
    EXPECT_EQ(cut.header("content-length"), "600000");
    EXPECT_TRUE(cut.cutShort);
    EXPECT_EQ(cut.body.size(), 1000u);

    Wire held(frontEnd->port());
    held.send("GET", "/FOLDER/Memo", { { "Authorization", auth } });
    EXPECT_TRUE(held.closedByPeer()) << "a held request is never answered";

    const Answer refused = as(
        auth, "POST", "/FILE/Memo/x?md5=" + md5Hex("abc") + "&size=3", { { "x-zel-file-write-range", "0-2" } }, "abc");
    EXPECT_EQ(refused.status, 416);
    EXPECT_EQ(refused.header("x-zel-offset-in-database"), "12");

    // Every rule is used up: the requests are served again.
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/big.bin").body.size(), 600000u);
    EXPECT_EQ(as(auth, "GET", "/FOLDER/Memo").status, 200);
}

TEST_F(HttpFrontEndTest, KeptAliveConnectionsSaySoAndAskForAnnouncedBodies)
{
    const std::string auth = session("alice");
    Wire wire(frontEnd->port());
    for (int request = 0; request < 3; ++request) {
        wire.send("GET", "/Version");
        const Answer version = wire.receive();
        EXPECT_EQ(version.status, 200);
        // Clients reuse a connection only when both headers say so, with room for more than 5.
        EXPECT_EQ(version.header("connection"), "Keep-Alive");
        const std::string keepAlive = version.header("keep-alive");
        ASSERT_NE(keepAlive.find("max="), std::string::npos) << keepAlive;
        EXPECT_GT(std::stoi(keepAlive.substr(keepAlive.find("max=") + 4)), 5);
    }

    // The interim answer goes out before the body is waited for.
    ASSERT_TRUE(
        wire.sendRaw("POST /FILE/Memo/x?md5=" + md5Hex("abc") + "&size=3 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
            + auth + "\r\nx-zel-file-write-range: 0-2\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n"));
    EXPECT_EQ(wire.receive().status, 100);
    ASSERT_TRUE(wire.sendRaw("abc"));
    EXPECT_EQ(wire.receive().status, 200);
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/x").body, "abc");

    wire.send("GET", "/Version", { { "Connection", "close" } });
    const Answer last = wire.receive();
    EXPECT_EQ(last.status, 200);
    EXPECT_EQ(last.header("connection"), "close");
    EXPECT_TRUE(wire.closedByPeer());
}

TEST_F(HttpFrontEndTest, ControlEndpointNeedsItsToken)
{
    const std::string user = R"({"company": "newco", "user": "dana", "fullName": "Dana D", "password": "pw"})";
    EXPECT_EQ(call("POST", "/_control/users", {}, user).status, 403);
    EXPECT_EQ(call("POST", "/_control/users", { { "X-Control-Token", "test-tokeN" } }, user).status, 403);
    EXPECT_EQ(call("POST", "/_control/users", { { "X-Control-Token", "test-token" } }, user).status, 200);
    EXPECT_EQ(call("POST", "/_control/users", { { "X-Control-Token", "test-token" } }, "{not json").status, 400);
    const Answer dana = call("GET", "/Storage9/QORPrivateStorage/account/dana",
        { { "Authorization", "ZEL 3f0a9c27d41e8b65c0d2e" }, { "KigyoCode", "newco" }, { "UserPassWord", "pw" } });
    EXPECT_EQ(dana.status, 200);
    EXPECT_EQ(between(dana.body, "<UserName>", "</UserName>"), "Dana D");
}

} // namespace
} // namespace norvane::server::testing
