#include "app/state/NetPrintInfo.h"

#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"
#include "formats/KeyedArchive.h"
#include "platform/Strings.h"

#include <gtest/gtest.h>

using namespace norvane;

namespace {

class NetPrintInfoTest : public ::testing::Test {
protected:
    void TearDown() override { Strings::reload(); }
};

} // namespace

TEST_F(NetPrintInfoTest, ElementFromAListingFillsPresentFieldsAndEmptiesMissingOnes)
{
    // As the job list arrives: in the service's namespace, one field missing, one element empty.
    auto document = GDataXMLDocument::initWithXMLString(
        "<NetPrintList xmlns=\"http://norvane.invalid/storage/2009-01-01/\"><FileInfo>"
        "<Key>k1</Key><resultCode>0</resultCode><fileName>report &amp; plan.pdf</fileName>"
        "<printID>ABC123</printID><uploadDate>2024/01/02 03:04</uploadDate><endDate/>"
        "<accessKey>ak</accessKey><printableCount>3</printableCount><printFinishCount>1</printFinishCount>"
        "</FileInfo></NetPrintList>");
    ASSERT_TRUE(document);
    auto jobs = document->nodesForXPath("//foo:FileInfo", { { "foo", "http://norvane.invalid/storage/2009-01-01/" } });
    ASSERT_TRUE(jobs && jobs->size() == 1);

    NetPrintInfo job;
    job.thumbnail = "left over";
    job.xmlElement2Entity(*(*jobs)[0]->asElement());
    EXPECT_EQ(job.key, "k1");
    EXPECT_EQ(job.fileName, "report & plan.pdf");
    EXPECT_EQ(job.printID, "ABC123");
    EXPECT_EQ(job.endDate, "");
    EXPECT_EQ(job.thumbnail, "");
    EXPECT_EQ(job.printFinishCount, "1");

    // Written back it reads the same, through XML and through the keyed archive.
    auto element = job.entity2XmlElement();
    ASSERT_TRUE(element);
    EXPECT_EQ(element->name(), "FileInfo");
    ASSERT_EQ(element->elementsForName("thumbnail").size(), 1u);
    EXPECT_EQ(element->elementsForName("thumbnail")[0]->attributeForName("type")->stringValue(), "string");
    NetPrintInfo fromXml;
    fromXml.xmlElement2Entity(*element);
    EXPECT_EQ(fromXml, job);

    KeyedArchiver archiver;
    archiver.encodeObject(kArchiveRootKey, job);
    auto data = archiveToData(archiver);
    ASSERT_TRUE(data);
    auto root = unarchiveFromData(*data);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->decodeRecord(kArchiveRootKey)->decodeString("kPrintIDKey"), "ABC123");
    auto decoded = root->decodeObject<NetPrintInfo>(kArchiveRootKey);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, job);
}

TEST_F(NetPrintInfoTest, ResultMessagesByCode)
{
    Strings::reload({ "en", "" });
    EXPECT_EQ(netPrintResultMessage("0"), "The file has been registered for printing.");
    EXPECT_EQ(netPrintResultMessage("-2"), "The file is too large to print.");
    EXPECT_EQ(netPrintResultMessage("-4"), "The maximum number of print jobs has been reached.");
    EXPECT_EQ(netPrintResultMessage("-5"), "Unknown type: -5");
    // Negative by value, but not one of the known texts.
    EXPECT_EQ(netPrintResultMessage(" -1"), "Unknown type:  -1");
    // No number at all is no registration.
    EXPECT_EQ(netPrintResultMessage(""), "Unknown type: ");
    EXPECT_EQ(netPrintResultMessage("OK"), "Unknown type: OK");

    Strings::reload({ "ja", "" });
    EXPECT_EQ(
        netPrintResultMessage("-1"), "プリントサーバーにアクセスできないため、ネットプリントに登録できませんでした。");
    EXPECT_EQ(netPrintResultMessage("-3"), "登録するファイルが存在しません。");
}
