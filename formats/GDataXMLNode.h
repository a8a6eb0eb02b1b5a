#pragma once

#include "platform/ErrorValue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _xmlNode;
struct _xmlNs;

namespace norvane {

class GDataXMLElement;
class GDataXMLDocument;
namespace gdataxml {
class Tree;
struct WrapperCaches;
} // namespace gdataxml

// A node of an XML tree, over libxml2.
//
// Ownership. A wrapper is either consuming or borrowing:
// - The creation functions (elementWithName, textWithStringValue, copy, ...) return a consuming
//   wrapper in a std::unique_ptr: it owns its libxml2 node and the free-standing tree below it.
// - Every lookup (children, childAtIndex, attributes, elementsForName, nodesForXPath, a document's
//   rootElement, ...) returns a raw pointer to a borrowing wrapper. Borrowing wrappers belong to the
//   tree they point into (the document, or the consuming wrapper at the top of a free-standing tree)
//   and stay allocated until that owner is destroyed; there is exactly one per libxml2 node, so the
//   same node always gives the same pointer.
// - Grafting (GDataXMLElement::addChild, addAttribute) always copies: a created node stays owned by
//   its own wrapper and can be added any number of times.
// - A wrapper whose node was freed by a mutation (removeChild, setStringValue on its parent) becomes
//   invalid (isValid() is false) instead of dangling; every operation on it gives none.
//
// None. A missing text is std::nullopt, a missing node nullptr, a missing list an empty vector.
//
// Threads. Separate trees may be used on separate threads at the same time. One tree (a document
// with everything borrowed from it) must be used by one thread at a time: even the const lookups
// fill caches.
class GDataXMLNode {
public:
    enum class Kind {
        Invalid = 0,
        Document = 1,
        Element = 2,
        Attribute = 3,
        Namespace = 4,
        ProcessingInstruction = 5,
        Comment = 6,
        Text = 7,
        DTD = 8,
        EntityDeclaration = 9,
        AttributeDeclaration = 10,
        ElementDeclaration = 11,
        NotationDeclaration = 12,
    };

    using NodeList = std::vector<GDataXMLNode*>;
    // Namespace prefix -> URI, for XPath expressions.
    using NamespaceMap = std::map<std::string, std::string, std::less<>>;

    virtual ~GDataXMLNode();
    GDataXMLNode(const GDataXMLNode&) = delete;
    GDataXMLNode& operator=(const GDataXMLNode&) = delete;

    // Creation; nullptr when libxml2 cannot make the node (or the name is empty).
    static std::unique_ptr<GDataXMLElement> elementWithName(std::string_view name);
    static std::unique_ptr<GDataXMLElement> elementWithName(std::string_view name, std::string_view stringValue);
    // An element in the namespace URI, named "{URI}:local" until it is grafted where URI is declared;
    // local is the part of name after its first ':'.
    static std::unique_ptr<GDataXMLElement> elementWithNameURI(std::string_view name, std::string_view URI);
    static std::unique_ptr<GDataXMLNode> attributeWithName(std::string_view name, std::string_view stringValue);
    static std::unique_ptr<GDataXMLNode> attributeWithName(
        std::string_view name, std::string_view URI, std::string_view stringValue);
    static std::unique_ptr<GDataXMLNode> textWithStringValue(std::string_view text);
    // A namespace declaration; an empty prefix declares the default namespace.
    static std::unique_ptr<GDataXMLNode> namespaceWithName(std::string_view prefix, std::string_view URI);

    // "p:local" -> "local" (the whole name without ':' or when nothing follows it); "p:local" -> "p".
    static std::string localNameForName(std::string_view name);
    static std::optional<std::string> prefixForName(std::string_view name);

    Kind kind() const;
    bool isValid() const { return node_ != nullptr || ns_ != nullptr; }
    // True for a consuming wrapper (it frees its node).
    bool ownsNode() const { return ownedTree_ != nullptr; }

    // A declaration's URI; the text of a text, comment or instruction; the concatenated text below an
    // element, attribute or document. Entity references are not expanded (they are dropped on parsing).
    std::optional<std::string> stringValue() const;
    // A declaration's URI, or the node's content taken literally ("&" stays "&").
    void setStringValue(std::string_view text);

    // The qualified name ("prefix:local", or local in the default or no namespace); for a namespace
    // declaration its prefix ("" for the default). The reference is interned in the tree and stays
    // valid while the tree lives; it is "" for an invalid wrapper.
    const std::string& name() const;
    // The part of name() after its first ':' (after "}:" for a name still in the braced form).
    std::string_view localName() const;
    // The namespace prefix, "" when none.
    std::string prefix() const;
    // The namespace URI, none when the node is in no namespace.
    std::optional<std::string> URI() const;

    // All children in document order, of every kind (text nodes included).
    std::size_t childCount() const;
    NodeList children() const;
    GDataXMLNode* childAtIndex(std::size_t index) const;

    // The node serialised without indentation, trimmed of surrounding white space.
    std::string XMLString() const;

    // XPath with this node as context node. Without a namespace map, the namespaces declared on this
    // element (for a document: on its root element) are usable under their prefixes, and the default
    // namespace under "_def_ns". A node that is in no document is evaluated inside a temporary one
    // and its tree is left as it was. Gives none (and the error) on failure, an empty list when
    // nothing matches.
    std::optional<NodeList> nodesForXPath(std::string_view expression, ErrorValue* error = nullptr) const;
    std::optional<NodeList> nodesForXPath(
        std::string_view expression, const NamespaceMap& namespaces, ErrorValue* error = nullptr) const;

    // A deep copy as a consuming wrapper; nullptr for kinds that cannot stand alone (documents, DTDs).
    std::unique_ptr<GDataXMLNode> copy() const;

    // The same object or libxml2 node, or nodes of equal kind, name and number of children.
    bool isEqual(const GDataXMLNode& other) const;

    virtual GDataXMLElement* asElement() { return nullptr; }
    virtual const GDataXMLElement* asElement() const { return nullptr; }

protected:
    GDataXMLNode(gdataxml::Tree* tree, _xmlNode* node, _xmlNs* ns);

    gdataxml::WrapperCaches& caches() const;

private:
    friend class GDataXMLElement;
    friend class GDataXMLDocument;
    friend class gdataxml::Tree;

    // A consuming wrapper (of the right class) of a free-standing node or declaration; nullptr for none.
    static std::unique_ptr<GDataXMLNode> adopt(_xmlNode* node, _xmlNs* ns);
    void retire();

    _xmlNode* node_;
    _xmlNs* ns_;
    gdataxml::Tree* tree_;
    std::unique_ptr<gdataxml::Tree> ownedTree_;
    mutable std::unique_ptr<gdataxml::WrapperCaches> caches_;
    mutable const std::string* name_ = nullptr;
    mutable std::uint64_t nameGeneration_ = 0;
};

} // namespace norvane
