#include "server/http/ResponseText.h"
#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"
#include "formats/NSArrayCHCSVAggregator.h"
#include "server/handlers/ListingHandlers.h"

#include <gtest/gtest.h>

#include <map>

namespace norvane::server {
namespace {

TEST(ResponseTextTest, XmlTextEscapesMarkupAndDropsWhatXmlCannotHold)
{
    EXPECT_EQ(xmlText("a<b>&\"c\""), "a&lt;b&gt;&amp;&quot;c&quot;");
    EXPECT_EQ(xmlText("</Name><Name>x"), "&lt;/Name&gt;&lt;Name&gt;x");
    EXPECT_EQ(xmlText(std::string("a\0b\x01\x1f"
                                  "c",
                  6)),
        "abc");
    EXPECT_EQ(xmlText("tab\tline\n"), "tab\tline\n");
    EXPECT_EQ(xmlText("\xE5\x86\x99\xE7\x9C\x9F"), "\xE5\x86\x99\xE7\x9C\x9F"); // kept as it is
    EXPECT_EQ(xmlText("a\xFF"
                      "b"),
        "a\xEF\xBF\xBD"
        "b"); // not UTF-8: U+FFFD
    EXPECT_EQ(xmlText("\xC3"), "\xEF\xBF\xBD"); // cut short
    EXPECT_EQ(xmlText("\xEF\xBF\xBE"), ""); // U+FFFE is no XML character

    const std::string error = errorDocument("FileExists", "a <b> & c", "42");
    auto document = GDataXMLDocument::initWithXMLString(error);
    ASSERT_TRUE(document);
    EXPECT_EQ(document->rootElement()->name(), "Error");
    EXPECT_NE(error.find("<Code>FileExists</Code>"), std::string::npos);
    auto messages = document->rootElement()->elementsForName("Message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.front()->stringValue(), "a <b> & c");
}

TEST(ResponseTextTest, CsvRecordsQuoteEveryFieldAndDoubleQuotes)
{
    std::string csv;
    appendCsvRecord(csv, { "plain", "say \"hi\"", "a,b", "line\r\nbreak", "" });
    EXPECT_EQ(csv, "\"plain\",\"say \"\"hi\"\"\",\"a,b\",\"linebreak\",\"\"\r\n")
        << "a row is one line: no field carries a control character";
    std::string cleaned;
    appendCsvRecord(cleaned, { std::string("x\0y\xFE", 4) });
    EXPECT_EQ(cleaned, "\"xy\xEF\xBF\xBD\"\r\n");
}

ListedEntry sample(std::string name, bool folder, Area area, std::vector<std::string> path)
{
    ListedEntry row;
    row.entry.name = std::move(name);
    row.entry.isFolder = folder;
    row.entry.area = { area, 7 };
    row.entry.path = std::move(path);
    row.entry.id = 12;
    row.entry.parentId = 3;
    row.entry.size = folder ? 0 : 5'000'000'000;
    row.entry.modifiedAt = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
    row.entry.timestamp = "1700000000123";
    row.entry.owner = "alice";
    row.entry.ownerName = "Alice \"A\" <admin>";
    row.entry.author = "bob";
    row.entry.authorName = "Bob, B";
    row.entry.editPermission = 1;
    row.entry.lockUserId = "alice";
    row.entry.actionType = "COPY";
    row.rights.isOwner = true;
    row.rights.isManager = folder;
    row.isEmpty = true;
    return row;
}

TEST(ResponseTextTest, ListingCarriesEveryFieldInTheStorageNamespace)
{
    const std::vector<ListedEntry> rows = {
        sample("sub & co", true, Area::Shared, { "Team", "sub & co" }),
        sample("a<b>.txt", false, Area::Personal, { "Memo", "a<b>.txt" }),
    };
    const std::string xml = listingDocument("Team", rows);
    auto document = GDataXMLDocument::initWithXMLString(xml);
    ASSERT_TRUE(document) << xml;
    auto entries = document->nodesForXPath("//foo:Contents", { { "foo", kStorageNamespace } });
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);

    std::vector<std::map<std::string, std::string>> fields;
    for (GDataXMLNode* entry : *entries) {
        auto& map = fields.emplace_back();
        for (GDataXMLNode* child : entry->children())
            map[child->name()] = child->stringValue().value_or("");
    }
    EXPECT_EQ(fields[0].size(), 30u) << "every field of the client's listing";
    EXPECT_EQ(fields[0]["Name"], "sub & co");
    EXPECT_EQ(fields[0]["resourcename"], "/SHAREFOLDER/Team/sub & co");
    EXPECT_EQ(fields[0]["Type"], "folder");
    EXPECT_EQ(fields[0]["isEmpty"], "1");
    EXPECT_EQ(fields[0]["isManager"], "1");
    EXPECT_EQ(fields[0]["fullpath"], "/Team/sub & co");
    EXPECT_EQ(fields[1]["resourcename"], "/FILE/Memo/a<b>.txt");
    EXPECT_EQ(fields[1]["Type"], "file");
    EXPECT_EQ(fields[1]["Size"], "5000000000");
    EXPECT_EQ(fields[1]["isEmpty"], "0") << "only folders are empty";
    EXPECT_EQ(fields[1]["LastModified"], "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(fields[1]["ownername"], "Alice \"A\" <admin>");
    EXPECT_EQ(fields[1]["folderid"], "12");
    EXPECT_EQ(fields[1]["fatherid"], "3");
    EXPECT_EQ(fields[1]["offlineflg"], "0");
    EXPECT_EQ(fields[1]["actionType"], "COPY");
}

TEST(ResponseTextTest, SearchResultReadsBackAsTwentyThreeFieldsPerEntry)
{
    const std::vector<ListedEntry> rows = {
        sample("report \"final\", v2.txt", false, Area::Shared, { "Team", "report \"final\", v2.txt" }),
        sample("folder", true, Area::Personal, { "folder" }),
    };
    const std::string csv = searchDocument(rows);
    auto records = arrayWithContentsOfCSVString(csv);
    ASSERT_TRUE(records) << csv;
    ASSERT_EQ(records->size(), 2u);
    const auto& file = (*records)[0];
    ASSERT_EQ(file.size(), 23u);
    EXPECT_EQ(file[0], "1");
    EXPECT_EQ(file[1], "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(file[2], "report \"final\", v2.txt");
    EXPECT_EQ(file[3], "5000000000");
    EXPECT_EQ(file[4], "file");
    EXPECT_EQ(file[6], "Bob, B");
    EXPECT_EQ(file[8], "/Team/report \"final\", v2.txt");
    EXPECT_EQ(file[12], "/SHAREFILE/Team/report \"final\", v2.txt");
    EXPECT_EQ(file[13], "0");
    EXPECT_EQ(file[15], "alice");
    EXPECT_EQ(file[18], "COPY");
    EXPECT_EQ((*records)[1][4], "folder");
    EXPECT_EQ((*records)[1][12], "/FOLDER/folder");
    EXPECT_EQ((*records)[1][13], "1");
    EXPECT_EQ(searchDocument({}), "");
}

} // namespace
} // namespace norvane::server
