#pragma once

// Internals shared by GDataXMLNode, GDataXMLElement and GDataXMLDocument. Not for callers: nothing
// outside formats/GDataXML*.cpp includes this header.

#include "formats/GDataXMLNode.h"
#include "platform/ErrorValue.h"

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace norvane::gdataxml {

inline constexpr const char* kErrorDomain = "GDataXMLErrorDomain";
inline constexpr long kParseErrorCode = -1;

inline const xmlChar* xml(const std::string& text)
{
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

inline std::string_view view(const xmlChar* text)
{
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// Fills *error (when the caller asked for it) with an error of the model's domain.
void setError(ErrorValue* error, long code, ValueMap userInfo = {});

// Initialises libxml2 once per process and hardens it: external entities and DTDs are never fetched.
void ensureInitialised();

// Parses with the hardened options. Gives nullptr, and the parse error in *error, on any failure.
// References to entities declared in a DTD are dropped from the tree, so no later read can expand them.
xmlDocPtr parse(const char* bytes, std::size_t size, ErrorValue* error);

// Silences libxml2's error output on this thread while it lives (errors come back as values instead).
class QuietErrors {
public:
    QuietErrors();
    ~QuietErrors();
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
    xmlGenericErrorFunc generic_;
    void* genericContext_;
};

// The namespace a node is in; only elements and attributes have one (other node structs lack the field).
inline xmlNsPtr namespaceOf(xmlNodePtr node)
{
    return (node && (node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE)) ? node->ns : nullptr;
}

// The first child, for the node kinds whose children are part of the tree. Entity references and
// declarations are leaves here: their children belong to the DTD.
xmlNodePtr firstChild(xmlNodePtr node);

// Concatenated text of the text and CDATA nodes below node, without expanding entity references.
std::string collectText(xmlNodePtr node);

// Lazily built lists of a wrapper; valid while their generation equals the tree's.
struct WrapperCaches {
    std::uint64_t childrenGeneration = 0;
    GDataXMLNode::NodeList children;
    std::uint64_t attributesGeneration = 0;
    GDataXMLNode::NodeList attributes;
    std::uint64_t namespacesGeneration = 0;
    GDataXMLNode::NodeList namespaces;
};

// Everything that borrows into one libxml2 tree: the tree of a document, or the free-standing tree of
// a consuming wrapper.
//
// - There is at most one wrapper per libxml2 node. The tree owns the borrowing wrappers; they live as
//   long as the tree, so a pointer handed out by a lookup never dangles while its document lives.
// - When a mutation frees nodes, their wrappers are retired first: they stay allocated (still owned
//   here) but no longer point at anything, and every operation on them gives none.
// - Every mutation bumps the generation, which invalidates the cached lists and names of all wrappers.
// - Names are interned: each distinct name is stored once per tree, and name() hands out a reference.
class Tree {
public:
    // root: the consuming wrapper that owns this tree's top node (none for a document's tree).
    explicit Tree(GDataXMLNode* root = nullptr);
    ~Tree();
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    GDataXMLNode* wrap(xmlNodePtr node);
    GDataXMLElement* wrapElement(xmlNodePtr node);
    GDataXMLNode* wrapNamespace(xmlNsPtr ns);

    // Retires the wrappers of node and everything below it (attributes, declarations, children).
    // Call before libxml2 frees them.
    void retireSubtree(xmlNodePtr node);
    void retireNamespace(xmlNsPtr ns);

    const std::string& intern(std::string_view prefix, std::string_view local);

    std::uint64_t generation() const { return generation_; }
    void changed() { ++generation_; }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };

    GDataXMLNode* wrapKey(const void* key, xmlNodePtr node, xmlNsPtr ns);
    void retireKey(const void* key);

    GDataXMLNode* root_;
    const void* rootKey_;
    std::unordered_map<const void*, std::unique_ptr<GDataXMLNode>> wrappers_;
    std::vector<std::unique_ptr<GDataXMLNode>> retired_;
    std::unordered_set<std::string, Hash, std::equal_to<>> names_;
    std::string scratch_;
    std::uint64_t generation_ = 1;
};

// Resolves the names of a grafted node (and everything below it) against the namespaces in scope of
// treeNode, drops repeated declarations and declares what a "{URI}:local" name needs.
void fixUpNamespaces(Tree& tree, xmlNodePtr grafted, xmlNodePtr treeNode);

// XPath with context as the context node; results are wrapped through tree.
std::optional<GDataXMLNode::NodeList> evaluateXPath(Tree& tree, xmlNodePtr context, std::string_view expression,
    const GDataXMLNode::NamespaceMap* namespaces, ErrorValue* error);

} // namespace norvane::gdataxml
