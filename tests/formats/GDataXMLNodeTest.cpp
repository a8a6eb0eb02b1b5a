#include "formats/GDataXMLNode.h"
#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"

#include <gtest/gtest.h>

namespace norvane {
namespace {

using Kind = GDataXMLNode::Kind;

TEST(GDataXMLNode, CreatedNodesReportKindNameAndValue)
{
    auto element = GDataXMLNode::elementWithName("serverIP", "example.test");
    ASSERT_TRUE(element);
    EXPECT_EQ(element->kind(), Kind::Element);
    EXPECT_TRUE(element->ownsNode());
    EXPECT_EQ(element->name(), "serverIP");
    EXPECT_EQ(element->stringValue(), "example.test");
    EXPECT_EQ(element->XMLString(), "<serverIP>example.test</serverIP>");
    EXPECT_FALSE(element->URI());

    auto attribute = GDataXMLNode::attributeWithName("type", "string");
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->kind(), Kind::Attribute);
    EXPECT_EQ(attribute->stringValue(), "string");

    auto text = GDataXMLNode::textWithStringValue("a < b");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->kind(), Kind::Text);
    EXPECT_EQ(text->XMLString(), "a &lt; b");

    auto ns = GDataXMLNode::namespaceWithName("p", "urn:p");
    ASSERT_TRUE(ns);
    EXPECT_EQ(ns->kind(), Kind::Namespace);
    EXPECT_EQ(ns->name(), "p");
    EXPECT_EQ(ns->stringValue(), "urn:p");
    EXPECT_EQ(ns->XMLString(), "xmlns:p=\"urn:p\"");
    EXPECT_EQ(GDataXMLNode::namespaceWithName("", "urn:d")->name(), "");

    auto braced = GDataXMLNode::elementWithNameURI("q:item", "urn:q");
    EXPECT_EQ(braced->name(), "{urn:q}:item");
    EXPECT_EQ(braced->localName(), "item");

    EXPECT_FALSE(GDataXMLNode::elementWithName(""));
}

TEST(GDataXMLNode, NameHelpersSplitAtTheFirstColon)
{
    EXPECT_EQ(GDataXMLNode::localNameForName("p:a:b"), "a:b");
    EXPECT_EQ(GDataXMLNode::localNameForName("plain"), "plain");
    EXPECT_EQ(GDataXMLNode::localNameForName("p:"), "p:");
    EXPECT_EQ(GDataXMLNode::prefixForName("p:a"), "p");
    EXPECT_FALSE(GDataXMLNode::prefixForName("plain"));
}

TEST(GDataXMLNode, ChildrenIncludeEveryKindAndStopAtTheCount)
{
    auto root = GDataXMLElement::initWithXMLString("<a>x<b/><!--c-->y</a>");
    ASSERT_TRUE(root);
    ASSERT_EQ(root->childCount(), 4u);
    auto children = root->children();
    ASSERT_EQ(children.size(), 4u);
    EXPECT_EQ(children[0]->kind(), Kind::Text);
    EXPECT_EQ(children[1]->kind(), Kind::Element);
    EXPECT_EQ(children[2]->kind(), Kind::Comment);
    EXPECT_EQ(children[3]->stringValue(), "y");
    EXPECT_EQ(root->childAtIndex(1), children[1]);
    EXPECT_EQ(root->childAtIndex(root->childCount()), nullptr);
    EXPECT_EQ(root->stringValue(), "xy");
    // One wrapper per node: looking again gives the same object.
    EXPECT_EQ(root->children()[1], children[1]);
    EXPECT_TRUE(children[0]->children().empty());
    EXPECT_FALSE(children[0]->ownsNode());
}

TEST(GDataXMLNode, XPathOnATreeOutsideAnyDocumentLeavesItUnchanged)
{
    auto root = GDataXMLNode::elementWithName("root");
    auto item = GDataXMLNode::elementWithName("item", "1");
    root->addChild(*item);
    root->addChild(*item);
    auto* first = root->childAtIndex(0)->asElement();
    ASSERT_TRUE(first);
    const std::string before = root->XMLString();

    ErrorValue error;
    auto found = first->nodesForXPath("//item", &error);
    ASSERT_TRUE(found) << error.code;
    ASSERT_EQ(found->size(), 2u);
    EXPECT_EQ((*found)[0], first);
    EXPECT_EQ((*found)[1], root->childAtIndex(1));
    // The document node of the temporary document is not handed out.
    auto top = root->nodesForXPath("/");
    ASSERT_TRUE(top);
    EXPECT_TRUE(top->empty());

    EXPECT_EQ(root->XMLString(), before);
    // Still outside any document: a second evaluation works the same way.
    EXPECT_EQ(root->nodesForXPath("item")->size(), 2u);

    auto text = GDataXMLNode::textWithStringValue("loose");
    EXPECT_FALSE(text->nodesForXPath("/", &error));
    EXPECT_EQ(error.domain, "GDataXMLErrorDomain");
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.userInfo["error"], Value("invalid node"));
}

TEST(GDataXMLNode, CopiesAreIndependentAndEqualityIsStructural)
{
    auto original = GDataXMLElement::initWithXMLString("<a><b>1</b></a>");
    auto copy = original->copy();
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->ownsNode());
    EXPECT_TRUE(copy->isEqual(*original));
    copy->childAtIndex(0)->setStringValue("2");
    EXPECT_EQ(original->stringValue(), "1");
    EXPECT_EQ(copy->stringValue(), "2");

    auto other = GDataXMLElement::initWithXMLString("<a><c/><d/></a>");
    EXPECT_FALSE(other->isEqual(*original));
}

} // namespace
} // namespace norvane
