#include "FrontEndFixture.h"

#include "server/demo/DemoAssets.h"
#include "server/http/TlsMaterial.h"

#include <openssl/ssl.h>

namespace norvane::server::testing {
namespace {

using FrontEndFamiliesTest = FrontEndFixture;

const std::string kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

TEST_F(FrontEndFamiliesTest, PasswordChangeNoticeTextAndPolicyHeaders)
{
    auto change = [&](const std::string& current, const std::string& next) {
        return call("GET", "/Storage9/QORPrivateStorage/changepassword/" + alice.userKey,
            { { "Authorization", "ZEL 3f0a9c27d41e8b65c0d2e" }, { "x-tkv-password", current },
                { "x-tkv-newpassword", next } });
    };
    // A wrong current password and the change taking effect are checked end to end.
    const Answer tooLong = change("alice-secret", std::string(65, 'x'));
    EXPECT_EQ(tooLong.status, 200);
    EXPECT_NE(tooLong.body.find("<ChangePasswordResult><Code>PE002</Code>"), std::string::npos) << tooLong.body;
    const Answer done = change("alice-secret", "new-one");
    EXPECT_EQ(done.status, 200);
    EXPECT_TRUE(done.body.empty()) << "a change that was made answers no document";

    Company changed = company;
    changed.informationText = "Maintenance on <Sunday> & Monday";
    changed.informationSeq = "7";
    changed.policyHeaders
        = { { "X-Zel-Usecache", "1" }, { "x-zel-broken", "a\r\nInjected: yes" }, { "Content-Length", "0" } };
    ASSERT_TRUE(store->updateCompany(changed));
    const std::string auth = session("bob");
    const Answer notice = as(auth, "GET", "/Storage9/QORPrivateStorage/information/7");
    EXPECT_EQ(notice.status, 200);
    EXPECT_NE(
        notice.body.find("<Information>Maintenance on &lt;Sunday&gt; &amp; Monday</Information>"), std::string::npos)
        << notice.body;
    EXPECT_EQ(notice.header("x-zel-informationseq"), "7");
    EXPECT_EQ(notice.header("x-zel-usecache"), "1");
    EXPECT_EQ(notice.header("x-zel-broken"), "aInjected: yes") << "line breaks are never kept";
    EXPECT_FALSE(notice.headers.contains("injected"));
    EXPECT_EQ(notice.header("content-length"), std::to_string(notice.body.size()));
    EXPECT_EQ(call("GET", "/Storage9/QORPrivateStorage/information/7").status, 401);
}

TEST_F(FrontEndFamiliesTest, LockRefusalsNameTheHolderAndUnknownFlagsAreRefused)
{
    const std::string owner = session("carol"); // manages Team
    const std::string holder = session("alice");
    const std::string other = session("bob");
    const std::string content = "plan";
    const std::string upload = "/SHAREFILE/Team/plan.txt?md5=" + md5Hex(content) + "&size=4";
    ASSERT_EQ(
        as(owner, "POST", upload, { { "x-zel-file-write-range", "0-3" }, { "x-zel-editpermission", "1" } }, content)
            .status,
        200);
    const std::string lockTarget = "/LOCKSHAREFILE/Team/plan.txt?md5=" + kEmptyMd5 + "&size=0";
    auto lock = [&](const std::string& who, const std::string& flag, const std::string& id, const std::string& name) {
        return as(who, "PUT", lockTarget,
            { { "x-zel-lock-flg", flag }, { "x-zel-lock-userid", id }, { "x-zel-lock-username", name } });
    };
    EXPECT_EQ(as(holder, "GET", "/LOCKSHAREFILE/Team/plan.txt?md5=" + kEmptyMd5).body.find("<offset>0</offset>")
            != std::string::npos,
        true);
    ASSERT_EQ(lock(holder, "1", "alice", "Alice%20A").status, 200);
    // The other user's refusals and the release are checked end to end; here the holder's name
    // as it arrives (escaped) and as it is answered, and a flag that is neither.
    const Answer refused = as(other, "PUT", "/SHAREFILE/Team/plan.txt?md5=" + md5Hex("new!") + "&size=4",
        { { "x-zel-file-write-range", "0-3" } }, "new!");
    EXPECT_EQ(refused.status, 409);
    EXPECT_NE(refused.body.find("<LockFileResult><Code>FileStatusError_locked</Code><UserId>alice</UserId>"
                                "<UserName>Alice A</UserName></LockFileResult>"),
        std::string::npos)
        << refused.body;
    EXPECT_EQ(lock(holder, "2", "alice", "Alice").status, 400);

    EXPECT_EQ(lock(holder, "0", "alice", "Alice%20A").status, 200);
}

TEST_F(FrontEndFamiliesTest, SearchAnswersCsvAndRefusesMissingFoldersAndKeywords)
{
    put(alice, mine(alice), { "Memo", "R&D \"plan\".txt" }, "1");
    const std::string auth = session("alice");

    // Finding by name and by author below a folder is checked end to end; here the answer's type,
    // a keyword with an escaped ampersand and a quoted name in the answer.
    const Answer byName = as(auth, "GET", "/SEARCH?filename=r%26d");
    EXPECT_EQ(byName.status, 200);
    EXPECT_NE(byName.header("content-type").find("text/csv"), std::string::npos);
    EXPECT_NE(byName.body.find("\"/FILE/Memo/R&D \"\"plan\"\".txt\""), std::string::npos) << byName.body;
    EXPECT_EQ(as(auth, "GET", "/SEARCH/Nowhere?filename=a").status, 404);
    EXPECT_EQ(as(auth, "GET", "/SEARCH").status, 400) << "a search names its keyword";
}

TEST_F(FrontEndFamiliesTest, WebLinksAreHeldToTheCompanyLimitsAndItsBan)
{
    put(alice, mine(alice), { "Memo", "report.txt" }, "the report");
    Company policy = company;
    policy.policyHeaders = { { "x-zel-file-web-publish-max-day", "5" }, { "x-zel-file-web-publish-max-count", "2" } };
    ASSERT_TRUE(store->updateCompany(policy));
    const std::string auth = session("alice");
    const Answer made = as(auth, "POST", "/MAKEURL",
        { { "x-zel-makeurl-file", "%2FFILE%2FMemo%2Freport%2Etxt" }, { "x-zel-makeurl-valid-day", "90" },
            { "x-zel-makeurl-download-limit", "99" }, { "x-zel-makeurl-needpass", "1" } });
    ASSERT_EQ(made.status, 200) << made.body;
    const std::string link = between(made.body, "<download-key>", "</download-key>");
    const std::string password = between(made.body, "<download-password>", "</download-password>");
    ASSERT_EQ(link.rfind("/s/", 0), 0u) << made.body;
    ASSERT_EQ(password.size(), 4u);
    const std::string path = link.substr(link.find("/s/"));
    auto shareLink = store->shareLink(path.substr(3));
    ASSERT_TRUE(shareLink);
    EXPECT_EQ(shareLink->downloadLimit, 2) << "held to the company's most";
    EXPECT_LE(shareLink->validUntil - std::time(nullptr), 5 * 86400 + 5);

    // Pages, wrong passwords, the form and the spent limit are checked end to end.
    const Answer byQuery = call("GET", path + "?password=" + password);
    EXPECT_EQ(byQuery.body, "the report");
    EXPECT_EQ(byQuery.header("content-disposition").rfind("attachment; filename=\"report.txt\"", 0), 0u);

    policy.policyHeaders["x-zel-disableWebDownload"] = "1";
    ASSERT_TRUE(store->updateCompany(policy));
    EXPECT_EQ(as(auth, "POST", "/MAKEURL", { { "x-zel-makeurl-file", "/FILE/Memo/report.txt" } }).status, 403);
}

TEST_F(FrontEndFamiliesTest, PrintJobsAreListedInTheStorageNamespaceUpToTheirLimit)
{
    put(alice, mine(alice), { "Memo", "one.txt" }, "print me");
    const std::string auth = session("alice");
    auto registration = [&](const std::string& key) {
        const Answer answer = as(auth, "POST", "/NETPRINT",
            { { "x-zel-netprint-file", key }, { "x-zel-netprint-password", "" }, { "x-zel-netprint-keepday", "3" } });
        EXPECT_EQ(answer.status, 200) << answer.body;
        return between(answer.body, "<detail>", "</detail>");
    };
    const std::string number = registration("/FILE/Memo/one.txt");
    // Numbers, the refusals of missing and large files and the jobs of other users are checked
    // end to end; here the list's namespace, the job limit and deleting twice.
    const Answer list = as(auth, "GET", "/NETPRINT");
    EXPECT_NE(list.body.find("<NetPrintList xmlns=\"http://norvane.invalid/storage/2009-01-01/\"><FileInfo><Key>"),
        std::string::npos)
        << list.body;
    EXPECT_NE(list.body.find("<printID>" + number + "</printID>"), std::string::npos);
    const std::string key = between(list.body, "<Key>", "</Key>");
    for (int i = 1; i < 50; ++i) {
        PrintJob job;
        job.key = "k" + std::to_string(i);
        job.userId = alice.id;
        job.printId = std::to_string(10000000 + i);
        ASSERT_TRUE(store->addPrintJob(job));
    }
    EXPECT_EQ(registration("/FILE/Memo/one.txt"), "-4");
    EXPECT_EQ(as(auth, "DELETE", "/NETPRINT/" + key).status, 200);
    EXPECT_EQ(as(auth, "DELETE", "/NETPRINT/" + key).status, 404);
    EXPECT_EQ(registration("/FILE/Memo/one.txt").size(), 8u);
}

TEST_F(FrontEndFamiliesTest, PicturesOfPhotosAndPdfPagesAreMadeOnceAndKept)
{
    auto photo = DemoAssets::photo(0, 64, 48);
    ASSERT_TRUE(photo);
    put(alice, mine(alice), { "Photos", "a b.jpg" }, *photo);
    put(alice, mine(alice), { "Memo", "note.txt" }, "not a picture");
    put(alice, mine(alice), { "Memo", "doc.pdf" }, DemoAssets::pdf("Doc", { { "One", { "x" } }, { "Two", { "y" } } }));
    const std::string auth = session("alice");

    const Answer thumbnail = as(auth, "GET", "/FILE/Photos/a%2520b.jpg?thumbnail=32x32");
    EXPECT_EQ(thumbnail.status, 200);
    EXPECT_EQ(thumbnail.header("content-type"), "image/jpeg");
    ASSERT_GT(thumbnail.body.size(), 2u);
    EXPECT_EQ(thumbnail.body.substr(0, 2), "\xFF\xD8");
    std::size_t cached = 0;
    for (const auto& item : fs::directory_iterator(dir / "cache"))
        cached += item.path().extension() == ".jpg";
    EXPECT_EQ(cached, 1u);
    EXPECT_EQ(as(auth, "GET", "/FILE/Photos/a%2520b.jpg?thumbnail=32x32").body, thumbnail.body);
    EXPECT_EQ(as(auth, "GET", "/FILE/Photos/a%2520b.jpg?thumbnail=0x32").status, 400);
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/note.txt?thumbnail=32x32").status, 404);

    const Answer page = as(auth, "GET", "/PDF/FILE/Memo/doc.pdf?pageno=2");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(as(auth, "GET", "/PDF/FILE/Memo/doc.pdf?pageno=3").status, 404);
    EXPECT_EQ(as(auth, "GET", "/PDF/FILE/Memo/doc.pdf?pageno=0").status, 400);
    EXPECT_EQ(
        as(auth, "GET", "/PDF/FILE/Memo/doc.pdf?pageno=1", { { "If-Modified-Since", "Fri, 01 Jan 2100 00:00:00 GMT" } })
            .status,
        304);
}

TEST_F(FrontEndFamiliesTest, ConnectionsSurviveRefusalsButNotCutBodiesOrMalformedRequests)
{
    const std::string auth = session("alice");
    // A refused upload's body is read and dropped, and the next request is served.
    Wire wire(frontEnd->port());
    wire.send("POST", "/FILE/NoSuchFolder/a?md5=" + md5Hex("xyz") + "&size=3",
        { { "Authorization", auth }, { "x-zel-file-write-range", "0-2" } }, "xyz");
    EXPECT_EQ(wire.receive().status, 404);
    wire.send("GET", "/FOLDER", { { "Authorization", auth } });
    EXPECT_EQ(wire.receive().status, 200);

    // A chunked body is taken as well.
    Wire chunked(frontEnd->port());
    chunked.send("POST", "/FILE/Memo/c.txt?md5=" + md5Hex("abc") + "&size=3",
        { { "Authorization", auth }, { "x-zel-file-write-range", "0-2" }, { "Transfer-Encoding", "chunked" } },
        "2\r\nab\r\n1\r\nc\r\n0\r\n\r\n");
    EXPECT_EQ(chunked.receive().status, 200);
    EXPECT_EQ(as(auth, "GET", "/FILE/Memo/c.txt").body, "abc");

    // An upload that a fault rule cuts gets no answer, and none of its bytes count.
    ASSERT_FALSE(faults.replaceFromJson(R"([{"method": "POST", "path": "/FILE/Memo/cut.bin", "dropAfterBytes": 10}])"));
    const std::string body(5000, 'c');
    Wire cut(frontEnd->port());
    cut.send("POST", "/FILE/Memo/cut.bin?md5=" + md5Hex(body) + "&size=5000",
        { { "Authorization", auth }, { "x-zel-file-write-range", "0-4999" } }, body);
    EXPECT_EQ(cut.receive().status, 0);
    faults.clear();
    EXPECT_NE(
        as(auth, "GET", "/FILE/Memo/cut.bin?md5=" + md5Hex(body)).body.find("<offset>0</offset>"), std::string::npos);

    // What httplib cannot read ends the connection instead of being read as further requests.
    Wire garbage(frontEnd->port());
    garbage.send("NOT A REQUEST", "x");
    EXPECT_EQ(garbage.receive().status, 400);
    EXPECT_TRUE(garbage.closedByPeer());
}

class TlsFrontEndTest : public FrontEndFixture {
protected:
    void configure(FrontEndSettings& settings) override
    {
        auto material = ensureSelfSigned(dir);
        ASSERT_TRUE(material.ok());
        settings.tls = true;
        settings.certificateFile = material.material.certificatePath;
        settings.keyFile = material.material.keyPath;
    }
};

TEST_F(TlsFrontEndTest, AnswersOverTlsAndNotInPlainText)
{
    EXPECT_EQ(frontEnd->url().rfind("https://127.0.0.1:", 0), 0u);
    Wire plain(frontEnd->port());
    plain.send("GET", "/Version");
    EXPECT_EQ(plain.receive().status, 0) << "no answer without a handshake";

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(frontEnd->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    ASSERT_EQ(SSL_connect(ssl), 1);
    const std::string request = "GET /Version HTTP/1.1\r\nHost: x\r\nrange: 0-4096\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(SSL_write(ssl, request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
    std::string answer;
    char buffer[4096];
    int n = 0;
    while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
        answer.append(buffer, static_cast<std::size_t>(n));
    SSL_free(ssl);
    SSL_CTX_free(context);
    ::close(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.1 206", 0), 0u) << answer;
    EXPECT_NE(answer.find("<version>norvane-server"), std::string::npos);
}

} // namespace
} // namespace norvane::server::testing
