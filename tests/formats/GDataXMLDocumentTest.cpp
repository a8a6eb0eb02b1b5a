#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"

#include <gtest/gtest.h>

#include <string>

namespace norvane {
namespace {

const std::string kStorageNamespace = "urn:norvane:test:storage";

std::string text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

TEST(GDataXMLDocument, BlankTextIsDroppedAndCDataIsText)
{
    auto doc = GDataXMLDocument::initWithXMLString("<a>\n   <b>x</b>\n  </a>");
    ASSERT_TRUE(doc);
    auto* root = doc->rootElement();
    ASSERT_EQ(root->childCount(), 1u);
    EXPECT_EQ(root->childAtIndex(0)->name(), "b");
    EXPECT_EQ(root->stringValue(), "x");
    EXPECT_EQ(doc->rootElement(), root);

    auto cdata = GDataXMLDocument::initWithXMLString("<a><![CDATA[<x> & y]]></a>");
    ASSERT_TRUE(cdata);
    auto* child = cdata->rootElement()->childAtIndex(0);
    ASSERT_TRUE(child);
    EXPECT_EQ(child->kind(), GDataXMLNode::Kind::Text);
    EXPECT_EQ(child->stringValue(), "<x> & y");
}

TEST(GDataXMLDocument, MalformedInputGivesTheParseError)
{
    const std::vector<std::string> inputs { "", "<a><b>x</b>", "<a", "not xml at all", "<a></b>",
        std::string("<a>\0</a>", 8), "\xff\xfe<\x00" };
    for (const auto& input : inputs) {
        ErrorValue error;
        Bytes bytes(input.begin(), input.end());
        EXPECT_FALSE(GDataXMLDocument::initWithData(bytes, &error)) << input;
        EXPECT_EQ(error.domain, "GDataXMLErrorDomain") << input;
        EXPECT_EQ(error.code, -1) << input;
    }
    EXPECT_FALSE(GDataXMLDocument::initWithData(Bytes {}));
    EXPECT_FALSE(GDataXMLElement::initWithXMLString("<a>"));
}

TEST(GDataXMLDocument, ListingQueriesWithARegisteredPrefix)
{
    const std::string listing = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ListBucketResult xmlns=\""
        + kStorageNamespace
        + "\"><Name>root</Name><Contents><Name>a.txt</Name><Size>12</Size></Contents>"
          "<Contents><Name>sub</Name><Type>folder</Type></Contents></ListBucketResult>";
    auto doc = GDataXMLDocument::initWithXMLString(listing);
    ASSERT_TRUE(doc);

    ErrorValue error;
    auto contents = doc->nodesForXPath("//foo:Contents", { { "foo", kStorageNamespace } }, &error);
    ASSERT_TRUE(contents) << error.code;
    ASSERT_EQ(contents->size(), 2u);
    auto* first = (*contents)[0]->asElement();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->elementsForName("Name").size(), 1u);
    EXPECT_EQ(first->elementsForName("Name")[0]->stringValue(), "a.txt");
    EXPECT_TRUE(first->elementsForName("Type").empty());
    EXPECT_EQ((*contents)[1]->asElement()->elementsForName("Type")[0]->stringValue(), "folder");

    // Without a map the root's default namespace is reachable only as "_def_ns".
    auto plain = doc->nodesForXPath("//Contents");
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->empty());
    EXPECT_EQ(doc->nodesForXPath("//_def_ns:Contents")->size(), 2u);
    EXPECT_EQ(doc->rootElement()->nodesForXPath("_def_ns:Contents/_def_ns:Name")->size(), 2u);
    // Results are the same wrappers as the tree lookups give.
    EXPECT_EQ((*contents)[0], doc->rootElement()->elementsForName("Contents")[0]);
}

TEST(GDataXMLDocument, BadXPathGivesTheEngineError)
{
    auto doc = GDataXMLDocument::initWithXMLString("<a><b/></a>");
    ErrorValue error;
    EXPECT_FALSE(doc->nodesForXPath("//[", &error));
    EXPECT_EQ(error.domain, "GDataXMLErrorDomain");
    EXPECT_GT(error.code, 1200);
    EXPECT_EQ(error.userInfo["error"], Value("//["));

    error = {};
    EXPECT_FALSE(doc->nodesForXPath("//undeclared:b", &error));
    EXPECT_NE(error.code, 0);

    std::string deep(20000, '(');
    deep += "1" + std::string(20000, ')');
    EXPECT_FALSE(doc->nodesForXPath(deep, &error));
    EXPECT_FALSE(doc->nodesForXPath(std::string("//b\0//a", 7), &error));

    // An expression whose value is not a node set selects nothing.
    auto count = doc->nodesForXPath("count(//b)");
    ASSERT_TRUE(count);
    EXPECT_TRUE(count->empty());
}

TEST(GDataXMLDocument, BuiltDocumentRoundTripsWithADefaultNamespace)
{
    auto root = GDataXMLNode::elementWithName("ConfigInfo");
    ASSERT_TRUE(root->addNamespace(*GDataXMLNode::namespaceWithName("", kStorageNamespace)));
    auto field = GDataXMLNode::elementWithName("userName", "Tanaka & \xe7\x94\xb0\xe4\xb8\xad <x>");
    field->addAttribute(*GDataXMLNode::attributeWithName("type", "string"));
    root->addChild(*field);
    root->addChild(*GDataXMLNode::elementWithName("leftRightMode", "-1"));

    auto doc = GDataXMLDocument::initWithRootElement(*root);
    ASSERT_TRUE(doc);
    doc->setCharacterEncoding("UTF-8");
    auto data = doc->XMLData();
    ASSERT_TRUE(data);
    const std::string serialised = text(*data);
    EXPECT_EQ(serialised.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << serialised;
    EXPECT_NE(serialised.find("<ConfigInfo xmlns=\"" + kStorageNamespace + "\">"), std::string::npos) << serialised;

    ErrorValue error;
    auto reread = GDataXMLDocument::initWithData(*data, &error);
    ASSERT_TRUE(reread) << error.code;
    auto* rereadRoot = reread->rootElement();
    EXPECT_EQ(rereadRoot->URI(), kStorageNamespace);
    auto names = rereadRoot->elementsForName("userName");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0]->URI(), kStorageNamespace);
    EXPECT_EQ(names[0]->stringValue(), "Tanaka & \xe7\x94\xb0\xe4\xb8\xad <x>");
    EXPECT_EQ(names[0]->asElement()->attributeForName("type")->stringValue(), "string");
    EXPECT_FALSE(names[0]->asElement()->attributeForName("type")->URI());
    EXPECT_EQ(rereadRoot->elementsForName("leftRightMode")[0]->stringValue(), "-1");
    auto braced = GDataXMLDocument::initWithRootElement(*GDataXMLNode::elementWithNameURI("r", kStorageNamespace));
    ASSERT_TRUE(braced);
    auto rebraced = GDataXMLDocument::initWithData(*braced->XMLData());
    ASSERT_TRUE(rebraced);
    EXPECT_EQ(rebraced->rootElement()->URI(), kStorageNamespace);
    // The caller's element was copied, not moved.
    EXPECT_TRUE(root->ownsNode());
    EXPECT_EQ(root->childCount(), 2u);
}

TEST(GDataXMLDocument, DeclarationCanBeChangedOrDropped)
{
    auto doc = GDataXMLDocument::initWithXMLString("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xc3\xa9</a>");
    ASSERT_TRUE(doc);
    doc->setVersion("1.1");
    doc->setCharacterEncoding(std::nullopt);
    const std::string plain = text(*doc->XMLData());
    EXPECT_EQ(plain.rfind("<?xml version=\"1.1\"?>", 0), 0u) << plain;
    doc->setCharacterEncoding("no-such-encoding");
    EXPECT_FALSE(doc->XMLData());
    doc->setCharacterEncoding("UTF-8");
    EXPECT_NE(text(*doc->XMLData()).find("<a>\xc3\xa9</a>"), std::string::npos);
}

} // namespace
} // namespace norvane
