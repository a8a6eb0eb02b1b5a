#include "formats/GDataXMLElement.h"
#include "formats/GDataXMLDocument.h"

#include <gtest/gtest.h>

namespace norvane {
namespace {

std::unique_ptr<GDataXMLElement> parsed(std::string_view text)
{
    ErrorValue error;
    auto element = GDataXMLElement::initWithXMLString(text, &error);
    EXPECT_TRUE(element) << error.code << " " << text;
    // A stand-in keeps the following checks failing instead of crashing.
    return element ? std::move(element) : GDataXMLNode::elementWithName("parse-failed");
}

TEST(GDataXMLElement, NameLookupsInADefaultNamespace)
{
    auto root = parsed(R"(<r xmlns="urn:x" xmlns:p="urn:x" xmlns:q="urn:q"><Name>a</Name><q:Name>q</q:Name>)"
                       R"(<Other/><Name>b</Name></r>)");
    auto names = root->elementsForName("Name");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0]->stringValue(), "a");
    EXPECT_EQ(names[1]->stringValue(), "b");
    EXPECT_EQ(names[0]->URI(), "urn:x");
    // A declared prefix matches by namespace, whatever prefix the children carry.
    EXPECT_EQ(root->elementsForName("p:Name").size(), 2u);
    EXPECT_EQ(root->elementsForName("q:Name").size(), 1u);
    EXPECT_EQ(root->elementsForLocalName("Name", "urn:q")[0]->stringValue(), "q");
    EXPECT_TRUE(root->elementsForName("Missing").empty());
    EXPECT_TRUE(root->elementsForLocalName("Name", "urn:other").empty());

    EXPECT_EQ(root->resolvePrefixForNamespaceURI("urn:q"), "q");
    EXPECT_FALSE(root->resolvePrefixForNamespaceURI("urn:none"));
    EXPECT_EQ(names[0]->resolvePrefixForNamespaceURI("urn:q"), "q");
    EXPECT_EQ(root->namespaces().size(), 3u);
}

TEST(GDataXMLElement, AddChildGraftsIndependentCopies)
{
    auto parent = GDataXMLNode::elementWithName("parent");
    auto child = GDataXMLNode::elementWithName("child", "v");
    auto* first = parent->addChild(*child);
    auto* second = parent->addChild(*child);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    ASSERT_EQ(parent->childCount(), 2u);
    first->setStringValue("changed");
    EXPECT_EQ(second->stringValue(), "v");
    EXPECT_EQ(child->stringValue(), "v");
    EXPECT_TRUE(child->ownsNode());
    EXPECT_EQ(parent->XMLString(), "<parent><child>changed</child><child>v</child></parent>");
}

TEST(GDataXMLElement, GraftedNamesResolveAgainstTheNamespacesInScope)
{
    auto root = parsed(R"(<r xmlns="urn:d" xmlns:p="urn:p"/>)");
    auto* plain = root->addChild(*GDataXMLNode::elementWithName("Name", "x"))->asElement();
    EXPECT_EQ(plain->URI(), "urn:d");
    EXPECT_EQ(plain->name(), "Name");
    auto* prefixed = root->addChild(*GDataXMLNode::elementWithName("p:item"));
    EXPECT_EQ(prefixed->URI(), "urn:p");
    EXPECT_EQ(prefixed->localName(), "item");
    auto* byUri = root->addChild(*GDataXMLNode::elementWithNameURI("other:thing", "urn:p"));
    EXPECT_EQ(byUri->name(), "p:thing");

    // A URI that is not in scope (or only as the default, which attributes cannot use) is declared,
    // so that the braced form never reaches the output.
    auto* foreign = root->addChild(*GDataXMLNode::elementWithNameURI("f", "urn:f"))->asElement();
    EXPECT_EQ(foreign->URI(), "urn:f");
    EXPECT_TRUE(foreign->addAttribute(*GDataXMLNode::attributeWithName("k", "urn:d", "v")));
    EXPECT_FALSE(foreign->addAttribute(*GDataXMLNode::attributeWithName("k", "urn:d", "w")));
    auto* attribute = foreign->attributeForLocalName("k", "urn:d");
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->URI(), "urn:d");
    EXPECT_EQ(root->XMLString().find('{'), std::string::npos) << root->XMLString();

    // A graft that repeats a declaration of the parent loses it and uses the parent's.
    auto* nested = root->addChild(*parsed(R"(<p:c xmlns:p="urn:p"><p:d a="1"/></p:c>)"))->asElement();
    EXPECT_TRUE(nested->namespaces().empty());
    EXPECT_EQ(nested->elementsForLocalName("d", "urn:p").size(), 1u);
    auto reparsed = parsed(root->XMLString());
    EXPECT_EQ(reparsed->elementsForLocalName("c", "urn:p").size(), 1u);
    auto names = reparsed->elementsForName("Name");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0]->URI(), "urn:d");
    auto foreigners = reparsed->elementsForLocalName("f", "urn:f");
    ASSERT_EQ(foreigners.size(), 1u);
    ASSERT_TRUE(foreigners[0]->attributeForLocalName("k", "urn:d"));
    EXPECT_EQ(foreigners[0]->attributeForLocalName("k", "urn:d")->stringValue(), "v");
}

TEST(GDataXMLElement, AttributesByNameAndByNamespace)
{
    auto element = parsed(R"(<e xmlns:p="urn:p" type="string" p:a="1"/>)");
    ASSERT_EQ(element->attributes().size(), 2u);
    EXPECT_EQ(element->attributeForName("type")->stringValue(), "string");
    EXPECT_EQ(element->attributeForName("p:a")->stringValue(), "1");
    auto* byUri = element->attributeForLocalName("a", "urn:p");
    EXPECT_EQ(byUri, element->attributes()[1]);
    EXPECT_EQ(byUri->URI(), "urn:p");
    EXPECT_FALSE(element->attributeForName("missing"));
    EXPECT_FALSE(element->attributeForLocalName("a", "urn:other"));

    // No second attribute of the same name, also for a prefixed name that resolves on adding.
    EXPECT_FALSE(element->addAttribute(*GDataXMLNode::attributeWithName("type", "integer")));
    EXPECT_FALSE(element->addChild(*GDataXMLNode::attributeWithName("p:a", "2")));
    EXPECT_TRUE(element->addAttribute(*GDataXMLNode::attributeWithName("p:b", "3")));
    EXPECT_EQ(element->attributeForLocalName("b", "urn:p")->stringValue(), "3");
    // An attribute from elsewhere brings its namespace along.
    auto other = parsed(R"(<o xmlns:z="urn:z" z:c="4"/>)");
    ASSERT_TRUE(element->addAttribute(*other->attributes()[0]));
    EXPECT_EQ(element->attributeForLocalName("c", "urn:z")->stringValue(), "4");
    EXPECT_EQ(parsed(element->XMLString())->attributes().size(), 4u);
}

TEST(GDataXMLElement, RemovedAndReplacedNodesInvalidateTheirWrappers)
{
    auto root = parsed("<r><a><deep>t</deep></a><b/></r>");
    auto* a = root->childAtIndex(0);
    auto* deep = a->childAtIndex(0);
    ASSERT_TRUE(root->removeChild(*a));
    EXPECT_FALSE(a->isValid());
    EXPECT_FALSE(deep->isValid());
    EXPECT_FALSE(deep->stringValue());
    EXPECT_EQ(root->childCount(), 1u);
    EXPECT_FALSE(root->removeChild(*a));

    auto stranger = GDataXMLNode::elementWithName("b");
    EXPECT_FALSE(root->removeChild(*stranger));
    EXPECT_EQ(root->childCount(), 1u);

    auto* b = root->childAtIndex(0)->asElement();
    b->addAttribute(*GDataXMLNode::attributeWithName("k", "v"));
    EXPECT_TRUE(b->removeChild(*b->attributeForName("k")));
    EXPECT_TRUE(b->attributes().empty());

    // Content is taken literally, not as markup.
    auto* text = root->childAtIndex(0);
    root->setStringValue("a & <b>");
    EXPECT_FALSE(text->isValid());
    EXPECT_EQ(root->stringValue(), "a & <b>");
    EXPECT_EQ(root->XMLString(), "<r>a &amp; &lt;b&gt;</r>");
}

TEST(GDataXMLElement, ReplacingDeclarationsKeepsEveryNodeInItsNamespace)
{
    auto root = parsed(R"(<r xmlns:p="urn:p" xmlns:q="urn:q"><p:a p:x="1"><q:b/></p:a></r>)");
    auto* a = root->childAtIndex(0)->asElement();
    auto q = GDataXMLNode::namespaceWithName("q", "urn:q");
    root->setNamespaces({ q.get() });
    ASSERT_EQ(root->namespaces().size(), 2u); // q, and p declared again for the nodes that use it
    EXPECT_EQ(a->URI(), "urn:p");
    EXPECT_EQ(a->attributeForLocalName("x", "urn:p")->stringValue(), "1");
    auto reparsed = parsed(root->XMLString());
    EXPECT_EQ(reparsed->elementsForLocalName("a", "urn:p").size(), 1u);

    EXPECT_FALSE(root->addNamespace(*q));
    auto built = GDataXMLNode::elementWithName("x:item");
    ASSERT_TRUE(built->addNamespace(*GDataXMLNode::namespaceWithName("x", "urn:x")));
    EXPECT_EQ(built->URI(), "urn:x");
    EXPECT_EQ(built->localName(), "item");
}

} // namespace
} // namespace norvane
