#pragma once

#include "formats/GDataXMLNode.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// An element node: lookups by name, attributes, namespace declarations and editing. Ownership and
// lifetime rules are those of GDataXMLNode.
//
// Editing: every mutation invalidates the cached lists and names of the whole tree (they are rebuilt
// on the next read); the borrowing wrappers themselves stay valid unless their node was freed.
class GDataXMLElement : public GDataXMLNode {
public:
    using ElementList = std::vector<GDataXMLElement*>;

    // Parses text and keeps a copy of its root element; nullptr and the parse error on failure.
    static std::unique_ptr<GDataXMLElement> initWithXMLString(std::string_view text, ErrorValue* error = nullptr);

    // A deep copy of this element as a consuming wrapper.
    std::unique_ptr<GDataXMLElement> copy() const;

    // The direct child elements named name. A prefix that is declared in scope matches by namespace
    // URI and local name (whatever prefix the children use); otherwise the qualified names must be
    // equal, so an unprefixed name finds the unprefixed children of a default namespace.
    ElementList elementsForName(std::string_view name) const;
    // The direct child elements with that local name in the namespace URI (or, not yet grafted, named
    // in the braced form "{URI}:local").
    ElementList elementsForLocalName(std::string_view localName, std::string_view URI) const;

    NodeList attributes() const;
    // The attribute of exactly that name, else (for a prefixed name whose prefix is declared in scope)
    // the attribute with the local name in that namespace.
    GDataXMLNode* attributeForName(std::string_view name) const;
    GDataXMLNode* attributeForLocalName(std::string_view localName, std::string_view URI) const;

    // The namespaces declared on this element, except the "xml" one.
    NodeList namespaces() const;
    // Declares a namespace (a Kind::Namespace node) here; false when its prefix is already declared on
    // this element. Names below that are still unresolved (no namespace yet) are resolved against it.
    bool addNamespace(const GDataXMLNode& namespaceNode);
    // Replaces all declarations of this element. Nodes that were in a dropped namespace stay in it:
    // they use a matching declaration in scope, or one that is declared again here.
    void setNamespaces(const std::vector<const GDataXMLNode*>& namespaceNodes);

    // Appends a deep copy of node (an attribute is added as with addAttribute) and resolves the names
    // of the copy against the namespaces in scope here: an unprefixed element joins the default
    // namespace. The caller's node is never moved. Gives the borrowing wrapper of the added node
    // (text may merge into a preceding text node, which is then given), nullptr when nothing was
    // added (documents, DTDs and namespace declarations cannot be children).
    GDataXMLNode* addChild(const GDataXMLNode& node);
    // Removes and frees a child (or an attribute) of this element; its wrapper, and those of the nodes
    // below it, become invalid. False when node is not a child of this element.
    bool removeChild(GDataXMLNode& node);
    // Adds a copy of the attribute unless this element already has one of that name in that
    // namespace; declares the attribute's namespace here when it is not in scope. Gives the new
    // attribute's wrapper, nullptr when nothing was added.
    GDataXMLNode* addAttribute(const GDataXMLNode& attribute);

    // The prefix under which URI is declared in scope ("" for the default namespace), none when it is
    // not declared.
    std::optional<std::string> resolvePrefixForNamespaceURI(std::string_view URI) const;

    GDataXMLElement* asElement() override { return this; }
    const GDataXMLElement* asElement() const override { return this; }

private:
    friend class GDataXMLNode;
    friend class gdataxml::Tree;

    GDataXMLElement(gdataxml::Tree* tree, _xmlNode* node);
};

} // namespace norvane
