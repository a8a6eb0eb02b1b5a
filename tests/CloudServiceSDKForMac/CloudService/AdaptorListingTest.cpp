#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"
#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "LocalStoreTestHome.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

namespace norvane {
namespace {

using test::Reply;
using test::ScriptedHttpServer;
using A = RestStorageServiceAdaptor;

const std::string kNs = A::kListingNamespaceURI;

std::string listingOf(const std::string& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult xmlns=\"" + kNs + "\"><Name>bucket</Name>"
        + entries + "</ListBucketResult>";
}

// An entry as the server writes one, numbered so that every entry differs.
std::string entryXml(int n)
{
    const std::string i = std::to_string(n);
    return "<Contents><Name>file" + i + ".txt</Name><resourcename>/FILE/d/file" + i
        + ".txt</resourcename><Type>file</Type><Size>" + std::to_string(1000 + n)
        + "</Size><LastModified>2024-05-01T10:00:00Z</LastModified><fullpath>/FILE/d/file" + i
        + ".txt</fullpath><owner>u" + i + "</owner><ownername>Owner " + i + "</ownername></Contents>";
}

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// Runs both listing parsers over body; they must agree on the code and on every record.
std::int32_t parseBoth(std::string_view body, FileInfoList& records, std::string_view what)
{
    Bytes data = bytesOf(body);
    FileInfoList streamed;
    FileInfoList document;
    ErrorValue streamError;
    ErrorValue documentError;
    std::int32_t a = A::parseListing(data, streamed, &streamError);
    std::int32_t b = A::parseListingDocument(data, document, &documentError);
    EXPECT_EQ(a, b) << what;
    EXPECT_EQ(streamed.size(), document.size()) << what;
    for (std::size_t i = 0; i < std::min(streamed.size(), document.size()); ++i) {
        EXPECT_TRUE(streamed[i]->compareFileInformation(*document[i])) << what << " entry " << i << "\n"
                                                                       << streamed[i]->description() << "\n"
                                                                       << document[i]->description();
        EXPECT_EQ(streamed[i]->isManager, document[i]->isManager) << what;
        EXPECT_EQ(streamed[i]->isReadOnly, document[i]->isReadOnly) << what;
    }
    if (a != ResultSuccess) {
        EXPECT_EQ(streamError.domain, "GDataXMLErrorDomain") << what;
        EXPECT_EQ(documentError.domain, "GDataXMLErrorDomain") << what;
    }
    records = std::move(streamed);
    return a;
}

TEST(ListingParserTest, EveryElementOfAnEntryFillsItsField)
{
    const std::string entry = "<Contents><Name>報告書 &amp; メモ.docx</Name><resourcename>/FILE/rs-1</resourcename>"
                              "<folderid>F10</folderid><fatherid>F9</fatherid><author>a01</author>"
                              "<deviceid>dc09AA</deviceid><Type>folder</Type><Size>6442450944</Size>"
                              "<LastModified>Wed, 01 May 2024 10:00:00 GMT</LastModified><isEmpty>true</isEmpty>"
                              "<isowner>1</isowner><editpermission>1</editpermission>"
                              "<timestamp>1714557600000</timestamp><fullpath>/FILE/報告書</fullpath>"
                              "<ownername>山田 太郎</ownername><creationdate>2024-01-02</creationdate>"
                              "<owner>u1</owner><authorname>佐藤 花子</authorname><offlineflg>1</offlineflg>"
                              "<expiretime>30</expiretime><isReadOnly>Y</isReadOnly><lockUserId>u7</lockUserId>"
                              "<lockUserName>鈴木</lockUserName><lockStartTime>2024-05-01 09:00</lockStartTime>"
                              "<actionType>copy</actionType><actionFileType>folder</actionFileType>"
                              "<actionProgress>40</actionProgress><actionSrc>/FILE/a</actionSrc>"
                              "<actionDest>/FILE/b</actionDest><isManager>1</isManager></Contents>";
    FileInfoList records;
    ASSERT_EQ(parseBoth(listingOf(entry), records, "full entry"), ResultSuccess);
    ASSERT_EQ(records.size(), 1u);
    const fileInformation& f = *records[0];
    EXPECT_EQ(f.displayName, "報告書 & メモ.docx");
    EXPECT_EQ(f.uk, "/FILE/rs-1");
    EXPECT_EQ(f.folderid, "F10");
    EXPECT_EQ(f.fatherid, "F9");
    EXPECT_EQ(f.author, "a01");
    EXPECT_EQ(f.deviceid, "dc09AA");
    EXPECT_EQ(f.fileType, 1u);
    EXPECT_EQ(f.fileSize, 6442450944u);
    EXPECT_EQ(f.lastModifiedTime, "Wed, 01 May 2024 10:00:00 GMT");
    EXPECT_TRUE(f.isEmpty);
    EXPECT_EQ(f.canEdit, 1);
    EXPECT_EQ(f.editpermission, 1);
    EXPECT_EQ(f.timestamp, "1714557600000");
    EXPECT_EQ(f.fullPath, "/FILE/報告書");
    EXPECT_EQ(f.ownername, "山田 太郎");
    EXPECT_EQ(f.creationdate, "2024-01-02");
    EXPECT_EQ(f.owner, "u1");
    EXPECT_EQ(f.authorname, "佐藤 花子");
    EXPECT_EQ(f.offlineflg, 1);
    EXPECT_EQ(f.expiretime, 30);
    EXPECT_TRUE(f.isReadOnly);
    EXPECT_EQ(f.lockUserId, "u7");
    EXPECT_EQ(f.lockUserName, "鈴木");
    EXPECT_EQ(f.lockStartTime, "2024-05-01 09:00");
    EXPECT_EQ(f.actionType, "copy");
    EXPECT_EQ(f.actionFileType, "folder");
    EXPECT_EQ(f.actionProgress, "40");
    EXPECT_EQ(f.actionSrc, "/FILE/a");
    EXPECT_EQ(f.actionDest, "/FILE/b");
    EXPECT_TRUE(f.isManager);
    EXPECT_EQ(f.accessType(), FileAccessOwner);
}

TEST(ListingParserTest, MissingElementsKeepDefaultsAndOddValuesReadAsTheServerMeantThem)
{
    FileInfoList records;
    ASSERT_EQ(parseBoth(listingOf("<Contents/><Contents><Name/><Type>Folder</Type><Size>-5</Size>"
                                  "<isowner> 12abc</isowner><editpermission>x</editpermission>"
                                  "<offlineflg>99999999999</offlineflg><expiretime>-7</expiretime>"
                                  "<isEmpty>007</isEmpty><isReadOnly>no</isReadOnly><isManager>00</isManager>"
                                  "<Size>77</Size></Contents><Contents><Size>99999999999999999999999</Size>"
                                  "<isowner>-99999999999999999999</isowner><isEmpty>+T</isEmpty></Contents>"),
                  records, "odd values"),
        ResultSuccess);
    ASSERT_EQ(records.size(), 3u);
    const fileInformation& empty = *records[0];
    EXPECT_FALSE(empty.displayName);
    EXPECT_FALSE(empty.fullPath);
    EXPECT_TRUE(empty.isFile());
    EXPECT_EQ(empty.offlineflg, -1);
    EXPECT_EQ(empty.expiretime, -1);
    EXPECT_FALSE(empty.isManager);

    const fileInformation& odd = *records[1];
    EXPECT_EQ(odd.displayName, ""); // present but empty is not absent
    EXPECT_TRUE(odd.isFile()); // only "folder" itself makes a folder
    EXPECT_EQ(odd.fileSize, 0u); // the first Size counts, and a size is never negative
    EXPECT_EQ(odd.canEdit, 12);
    EXPECT_EQ(odd.editpermission, 0);
    EXPECT_EQ(odd.offlineflg, INT32_MAX);
    EXPECT_EQ(odd.expiretime, -7);
    EXPECT_TRUE(odd.isEmpty);
    EXPECT_FALSE(odd.isReadOnly);
    EXPECT_FALSE(odd.isManager);

    EXPECT_EQ(records[2]->fileSize, static_cast<std::uint64_t>(INT64_MAX));
    EXPECT_EQ(records[2]->canEdit, INT64_MIN);
    EXPECT_TRUE(records[2]->isEmpty);
}

TEST(ListingParserTest, OnlyEntriesOfTheListingNamespaceCountWhereverTheyAre)
{
    FileInfoList records;
    // No namespace, another namespace, a prefix bound to the listing namespace, an entry inside an
    // entry (both count, outer first) and prefixed children (never a field).
    const std::string body = "<r xmlns:s=\"" + kNs + "\" xmlns:o=\"urn:other\"><Contents><Name>plain</Name></Contents>"
        + "<o:Contents><Name>other</Name></o:Contents><s:Contents><Name>prefixed</Name><s:Size>5</s:Size></s:Contents>"
        + "<deep><s:Contents><Name>outer</Name><s:Contents><Name>inner</Name></s:Contents><Size>3</Size>"
        + "</s:Contents></deep></r>";
    ASSERT_EQ(parseBoth(body, records, "namespaces"), ResultSuccess);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]->displayName, "prefixed");
    EXPECT_EQ(records[0]->fileSize, 0u);
    EXPECT_EQ(records[1]->displayName, "outer");
    EXPECT_EQ(records[1]->fileSize, 3u);
    EXPECT_EQ(records[2]->displayName, "inner");

    // A listing without entries is a listing.
    ASSERT_EQ(parseBoth(listingOf(""), records, "no entries"), ResultSuccess);
    EXPECT_TRUE(records.empty());
}

TEST(ListingParserTest, TextIsReadTheSameWayByTheStreamAndTheDocument)
{
    const std::string dtd = "<!DOCTYPE ListBucketResult [<!ENTITY e \"EXPANDED\">"
                            "<!ENTITY x SYSTEM \"file:///etc/hostname\">]>";
    const std::vector<std::string> bodies = {
        listingOf("<Contents>\n  <Name>  spaced  </Name>\n  <owner>\n  </owner>\n</Contents>"),
        listingOf("<Contents><Name><![CDATA[a <b> & c]]></Name><owner>x<!-- c -->y<?pi z?></owner></Contents>"),
        listingOf("<Contents><Name>&#x3042;&lt;&#10;</Name><fullpath>a<i>b<j>c</j></i>d</fullpath></Contents>"),
        listingOf("<Contents><Name>\n  <x>a</x>\n  <y>b</y>\n</Name></Contents>"),
        "<?xml version=\"1.0\"?>" + dtd + "<ListBucketResult xmlns=\"" + kNs
            + "\"><Contents><Name>a&e;b</Name><owner>&e;&x;</owner></Contents></ListBucketResult>",
        listingOf("<Contents><Name>first</Name><Name>second</Name><name>lower</name></Contents>"),
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r xmlns=\"" + kNs + "\"><Contents><Name>caf\xe9</Name>"
            + "</Contents></r>",
    };
    for (const auto& body : bodies) {
        FileInfoList records;
        EXPECT_EQ(parseBoth(body, records, body), ResultSuccess);
        EXPECT_EQ(records.size(), 1u) << body;
    }
    FileInfoList records;
    parseBoth(bodies[4], records, "entities");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->displayName, "ab"); // never expanded, never fetched
    EXPECT_EQ(records[0]->owner, "");
    parseBoth(bodies[6], records, "latin-1");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->displayName, "café");
}

TEST(ListingParserTest, BrokenBodiesFailWithoutRecords)
{
    const std::string good = listingOf(entryXml(1) + entryXml(2));
    FileInfoList records;
    // Every cut of a good listing short of its end.
    for (std::size_t cut = 0; cut + 1 < good.size(); ++cut) {
        records.clear();
        ASSERT_EQ(parseBoth(good.substr(0, cut), records, "cut at " + std::to_string(cut)), ResultFailed);
        ASSERT_TRUE(records.empty());
    }
    for (std::string bad :
        { std::string(), std::string("   "), std::string("<html><br></html>"), std::string("502 Bad Gateway"),
            std::string("\0\0\0\0", 4), good + "<extra/>", good + "garbage", std::string("<r>&undeclared;</r>") }) {
        records.clear();
        EXPECT_EQ(parseBoth(bad, records, "bad body"), ResultFailed);
    }
    // A well-formed page that is not a listing holds no entries, in whatever encoding; an external
    // DTD is never fetched.
    for (std::string page :
        { std::string("<html><body><p>Service Unavailable</p></body></html>"), std::string("\xff\xfe<\0r\0/\0>\0", 10),
            std::string("<!DOCTYPE r SYSTEM \"file:///etc/passwd\"><r>&undeclared;</r>") }) {
        EXPECT_EQ(parseBoth(page, records, "page"), ResultSuccess);
        EXPECT_TRUE(records.empty());
    }

    // What was in the list before stays, and nothing is added on failure.
    FileInfoList kept { std::make_shared<fileInformation>() };
    EXPECT_EQ(A::parseListing(bytesOf(good.substr(0, good.size() - 3)), kept), ResultFailed);
    EXPECT_EQ(kept.size(), 1u);
    EXPECT_EQ(A::parseListing(bytesOf(good), kept), ResultSuccess);
    EXPECT_EQ(kept.size(), 3u);
}

// ---------------------------------------------------------------------------------------------

std::string searchRow(std::vector<std::string> fields)
{
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i)
        row += (i ? "," : "") + fields[i];
    return row + "\r\n";
}

std::vector<std::string> searchFields(std::size_t count)
{
    std::vector<std::string> f = { "1", "2024-05-01 10:00", "\"議事録, 第3回.pdf\"", "5000000000", "file", "a01",
        "佐藤 花子", "2024-01-02", "/FILE/議事録/第3回.pdf", "u1", "山田 太郎", "1714557600000", "/FILE/rs-9", "1", "x",
        "u7", "鈴木", "2024-05-01 09:00", "copy", "40", "folder", "/FILE/a", "/FILE/b" };
    f.resize(count, "extra");
    return f;
}

TEST(SearchParserTest, TwentyThreeColumnsFillEveryFieldWithSixtyFourBitSizes)
{
    FileInfoList records;
    ASSERT_EQ(A::parseSearchResult(searchRow(searchFields(23)), records), ResultSuccess);
    ASSERT_EQ(records.size(), 1u);
    const fileInformation& f = *records[0];
    EXPECT_EQ(f.editpermission, 1);
    EXPECT_EQ(f.lastModifiedTime, "2024-05-01 10:00");
    EXPECT_EQ(f.displayName, "議事録, 第3回.pdf");
    EXPECT_EQ(f.fileSize, 5000000000u);
    EXPECT_TRUE(f.isFile());
    EXPECT_EQ(f.author, "a01");
    EXPECT_EQ(f.authorname, "佐藤 花子");
    EXPECT_EQ(f.creationdate, "2024-01-02");
    EXPECT_EQ(f.fullPath, "/FILE/議事録/第3回.pdf");
    EXPECT_EQ(f.owner, "u1");
    EXPECT_EQ(f.ownername, "山田 太郎");
    EXPECT_EQ(f.timestamp, "1714557600000");
    EXPECT_EQ(f.uk, "/FILE/rs-9");
    EXPECT_TRUE(f.isEmpty);
    EXPECT_EQ(f.lockUserId, "u7");
    EXPECT_EQ(f.lockUserName, "鈴木");
    EXPECT_EQ(f.lockStartTime, "2024-05-01 09:00");
    EXPECT_EQ(f.actionType, "copy");
    EXPECT_EQ(f.actionProgress, "40");
    EXPECT_EQ(f.actionFileType, "folder");
    EXPECT_EQ(f.actionSrc, "/FILE/a");
    EXPECT_EQ(f.actionDest, "/FILE/b");
}

TEST(ListingParserTest, KeysThatAreNotPathsOfTheServerAreNotTaken)
{
    // Appended to the server's address, "@host:port/..." would name another server.
    std::string entries;
    for (const char* key : { "@evil.example:8080/FILE/x", "FILE/x", "", "/FILE/kept" })
        entries += "<Contents><Name>n</Name><resourcename>" + std::string(key) + "</resourcename></Contents>";
    FileInfoList records;
    ASSERT_EQ(parseBoth(listingOf(entries), records, "keys"), ResultSuccess);
    ASSERT_EQ(records.size(), 4u) << "the entries stay, only their keys go";
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_FALSE(records[i]->uk) << i;
    EXPECT_EQ(records[3]->uk, "/FILE/kept");

    auto row = searchFields(23);
    row[12] = "@evil.example:8080/FILE/x";
    records.clear();
    ASSERT_EQ(A::parseSearchResult(searchRow(row), records), ResultSuccess);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0]->uk);
}

TEST(SearchParserTest, ShortRowsFillOnlyTheirColumnsOrEndTheResult)
{
    auto folderRow = searchFields(15);
    folderRow[4] = "folder";
    folderRow[13] = "0";
    const std::string body = "\r\n" + searchRow(folderRow) + searchRow(searchFields(17)) + searchRow(searchFields(18))
        + searchRow(searchFields(22)) + searchRow(searchFields(24));
    FileInfoList records;
    ASSERT_EQ(A::parseSearchResult(body, records), ResultSuccess);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_TRUE(records[0]->isFolder());
    EXPECT_FALSE(records[0]->isEmpty);
    EXPECT_FALSE(records[1]->lockUserId); // 17 fields: no lock
    EXPECT_EQ(records[2]->lockUserName, "鈴木"); // 18: lock
    EXPECT_FALSE(records[2]->actionType);
    EXPECT_EQ(records[3]->lockStartTime, "2024-05-01 09:00"); // 22: lock, no action
    EXPECT_FALSE(records[3]->actionDest);
    EXPECT_EQ(records[4]->actionDest, "/FILE/b");

    // The third row is too short: the two before it stay.
    records.clear();
    const std::string cut = searchRow(searchFields(15)) + searchRow(searchFields(15)) + searchRow(searchFields(10))
        + searchRow(searchFields(15));
    EXPECT_EQ(A::parseSearchResult(cut, records), ResultFailed);
    EXPECT_EQ(records.size(), 2u);

    for (std::string_view empty : { "", "\n", "\r\n\r\n" }) {
        records.clear();
        EXPECT_EQ(A::parseSearchResult(empty, records), ResultSuccess);
        EXPECT_TRUE(records.empty());
    }
}

TEST(SearchParserTest, BrokenTextGivesTwoWithTheReadersError)
{
    const std::string good = searchRow(searchFields(23)) + searchRow(searchFields(23));
    // Every cut: a cut inside the quoted name is malformed, elsewhere a short row or whole rows.
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        FileInfoList records;
        std::int32_t result = A::parseSearchResult(good.substr(0, cut), records);
        ASSERT_TRUE(result == ResultSuccess || result == ResultFailed) << cut;
        ASSERT_LE(records.size(), 2u);
    }
    FileInfoList records;
    ErrorValue error;
    EXPECT_EQ(A::parseSearchResult("a,\"quoted\"text,c\r\n", records, &error), ResultFailed);
    EXPECT_EQ(error.domain, "CHCSVErrorDomain");
    error = {};
    EXPECT_EQ(A::parseSearchResult(searchRow(searchFields(15)) + "\xff\xfe,\xc3", records, &error), ResultFailed);
    EXPECT_EQ(error.domain, "CHCSVErrorDomain");
    EXPECT_EQ(A::parseSearchResult("<html><body><p>Bad Gateway, try later</p></body></html>", records), ResultFailed);
    records.clear();
    EXPECT_EQ(A::parseSearchResult("<html>\n<body>Unavailable</body>\n</html>\n", records), ResultSuccess);
    EXPECT_TRUE(records.empty());
}

// ---------------------------------------------------------------------------------------------

class AdaptorListingTest : public LocalStoreTestHome {
protected:
    void SetUp() override
    {
        LocalStoreTestHome::SetUp();
        ASSERT_TRUE(server.ok()) << server.startError();
        ConnectionPool::shared().reset();
        transferStopFlag = false;
        StorageServiceConfig config;
        config.connectUrl = server.baseUrl();
        config.baseUUID = "UUID-1";
        config.maxDownloadSize = 1 << 20;
        adaptor.initWithConfig(config);
        AccountInformation account;
        account.QorID = "Q1";
        account.VarID = "V2";
        account.KigyoID = "K3";
        account.UserKey = "U4";
        adaptor.headerInfo()->setAcountInfo(account);
        adaptor.headerInfo()->setTheNewDeviceId("dc09DEVICE");
    }
    void TearDown() override
    {
        ConnectionPool::shared().reset();
        LocalStoreTestHome::TearDown();
    }

    // What the listings left in their temporary category: nothing, once they have ended.
    static std::size_t leftOver()
    {
        std::error_code error;
        const std::filesystem::path folder = LocalStorePaths::temporaryDirectory() + "/" + A::kListingCategory;
        std::size_t count = 0;
        for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            ++count;
        return count;
    }

    // Serves content in the ranges asked for, as the storage server does.
    void serveRanged(std::string content)
    {
        server.setHandler(
            [content = std::move(content)](const test::RecordedRequest& r) { return Reply::range(r, content); });
    }

    ScriptedHttpServer server;
    A adaptor;
};

TEST_F(AdaptorListingTest, ListingIsAskedForAsAFolderWithItsOptionHeadersFirst)
{
    serveRanged(listingOf(entryXml(1)));
    FileInfoList records;
    EXPECT_EQ(adaptor.ls("/FOLDER/d/", records, { { "timestamp", "1714557600000" }, { "x-zel-request-type", "1" } }),
        ResultSuccess);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->displayName, "file1.txt");
    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "GET");
    EXPECT_EQ(r[0].target, "/FOLDER/d/");
    std::vector<std::string> names;
    for (auto& n : r[0].headerNames())
        if (n != "Host" && n != "Accept-Encoding")
            names.push_back(n);
    EXPECT_EQ(names,
        (std::vector<std::string> { "x-zel-timestamp", "x-zel-request-type", "Date", "x-zel-app-type", "Authorization",
            "X-Device-Id", "range" }));
    EXPECT_EQ(r[0].header("x-zel-timestamp"), "1714557600000");
    EXPECT_EQ(r[0].header("x-zel-app-type"), "folder");
    EXPECT_EQ(r[0].header("range"), "bytes=0-1073741823");
    EXPECT_FALSE(r[0].header("x-zel-css-version"));
    EXPECT_FALSE(adaptor.storageDetailErr());
}

TEST_F(AdaptorListingTest, ABigListingIsOneRequestWhateverTheChunkSizeAndLeavesNoFileBehind)
{
    // The server makes a listing anew for every request: one request per chunk would make a big
    // folder's listing cost the server the square of its size.
    std::string entries;
    for (int i = 0; i < 9000; ++i)
        entries += entryXml(i);
    const std::string body = listingOf(entries);
    ASSERT_GT(body.size(), 2u << 20);
    serveRanged(body);
    FileInfoList records;
    ASSERT_EQ(adaptor.ls("/FOLDER/big/", records, {}), ResultSuccess);
    ASSERT_EQ(records.size(), 9000u);
    EXPECT_EQ(records[8999]->displayName, "file8999.txt");
    auto r = server.requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].header("range"), "bytes=0-" + std::to_string(A::kMaxResultBodySize - 1));
    EXPECT_EQ(leftOver(), 0u);
}

TEST_F(AdaptorListingTest, MoreEntriesThanTheLimitAreRefusedAsTooLargeWithoutRecords)
{
    const std::string three = listingOf(entryXml(1) + entryXml(2) + entryXml(3));
    FileInfoList records;
    ErrorValue error;
    EXPECT_EQ(A::parseListing(bytesOf(three), records, &error, 3), ResultSuccess);
    EXPECT_EQ(records.size(), 3u);
    records.clear();
    // Also an entry nested in another counts.
    const std::string four = listingOf(entryXml(1) + entryXml(2) + "<Contents><x>" + entryXml(3) + "</x></Contents>");
    EXPECT_EQ(A::parseListing(bytesOf(four), records, &error, 3), ResultFailed);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(error.domain, kCloudServiceErrorDomain);
    EXPECT_EQ(error.code, CloudServiceErrorListingTooLarge);
    EXPECT_NE(error.description.find("3 entries"), std::string::npos) << error.description;
    // The limit of a real listing leaves room for a million entries and more.
    EXPECT_GE(A::kMaxListingEntries, 2'000'000u);
}

TEST_F(AdaptorListingTest, ServerThatIgnoresRangesIsReadOnce)
{
    std::string entries;
    for (int i = 0; i < 20; ++i)
        entries += entryXml(i);
    const std::string body = listingOf(entries);
    adaptor.config().maxDownloadSize = 256;
    server.setHandler([body](const test::RecordedRequest&) { return Reply::ok(body); });
    FileInfoList records;
    ASSERT_EQ(adaptor.ls("/FOLDER/d/", records, {}), ResultSuccess);
    EXPECT_EQ(records.size(), 20u);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(AdaptorListingTest, FailuresOfTheDownloadAndTheBodyGiveTheirCodes)
{
    struct Case {
        Reply reply;
        std::int32_t result;
    };
    std::vector<Case> cases;
    cases.push_back({ Reply::status(404).withContentLength(), ResultNotFound });
    cases.push_back({ Reply::status(304), ResultNotModified });
    cases.push_back({ Reply::status(503).withContentLength(), ResultFailed });
    cases.push_back(
        { Reply::status(409).withBody("<Error><Code>FileStatusError_isCopyDest</Code></Error>").withContentLength(),
            ResultIsCopyDest });
    cases.push_back(
        { Reply::status(409).withBody("<Error><Code>Busy</Code></Error>").withContentLength(), ResultConflict });
    // Refusals are told by their body's code, also now that a listing's body goes to a file.
    cases.push_back({ Reply::status(403).withBody("<Error><Code>SuspendAccount</Code></Error>").withContentLength(),
        ResultAccountSuspended });
    cases.push_back(
        { Reply::status(401).withBody("<Error><Code>Device not authorized</Code></Error>").withContentLength(),
            ResultDeviceNotAuthorized });
    cases.push_back({ Reply::status(401).withContentLength(), ResultBadRequest });
    cases.push_back({ Reply::hangUp(), ResultFailed });
    cases.push_back({ Reply::ok(listingOf(entryXml(1))).dropAfterBody(40), ResultFailed });
    cases.push_back({ Reply::ok("<html><body>Gateway"), ResultFailed });
    cases.push_back({ Reply::ok(""), ResultFailed });
    for (auto& c : cases) {
        server.enqueue(c.reply);
        FileInfoList records;
        EXPECT_EQ(adaptor.ls("/FOLDER/x/", records, {}), c.result) << c.reply.statusLine << " " << c.reply.body;
        EXPECT_TRUE(records.empty());
        EXPECT_EQ(leftOver(), 0u) << c.reply.statusLine;
    }
    // The parse failure is kept as the detail.
    server.enqueue(Reply::ok("<r><Contents>"));
    FileInfoList records;
    EXPECT_EQ(adaptor.ls("/FOLDER/x/", records, {}), ResultFailed);
    ASSERT_TRUE(adaptor.storageDetailErr());
    EXPECT_EQ(adaptor.storageDetailErr()->domain, "GDataXMLErrorDomain");
}

TEST_F(AdaptorListingTest, SearchSendsTheCsvVersionAndReadsEveryChunk)
{
    adaptor.config().maxDownloadSize = 512;
    std::string body;
    for (int i = 0; i < 10; ++i)
        body += searchRow(searchFields(23));
    ASSERT_GT(body.size(), 1024u);
    serveRanged(body);
    FileInfoList records;
    ASSERT_EQ(adaptor.search("/SEARCH?q=%E8%AD%B0", records), ResultSuccess);
    EXPECT_EQ(records.size(), 10u);
    auto r = server.requests();
    ASSERT_EQ(r.size(), (body.size() + 511) / 512 + (body.size() % 512 == 0 ? 1 : 0));
    EXPECT_EQ(r[0].target, "/SEARCH?q=%E8%AD%B0");
    EXPECT_EQ(r[0].header("x-zel-css-version"), "4.0.0");
    EXPECT_EQ(r[0].header("x-zel-app-type"), "folder");
    EXPECT_EQ(r[1].header("range"), "bytes=512-1023");

    serveRanged(searchRow(searchFields(15)) + searchRow(searchFields(3)));
    records.clear();
    EXPECT_EQ(adaptor.search("/SHARESEARCH?q=a", records), ResultFailed);
    EXPECT_EQ(records.size(), 1u);
    EXPECT_EQ(server.requests().back().header("x-zel-css-version"), "4.0.0");

    server.setHandler({});
    server.enqueue(Reply::status(404).withContentLength());
    EXPECT_EQ(adaptor.search("/SEARCH?q=b", records), ResultNotFound);
}

} // namespace
} // namespace norvane
