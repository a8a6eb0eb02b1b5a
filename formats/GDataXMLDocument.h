#pragma once

#include "formats/GDataXMLNode.h"
#include "platform/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

struct _xmlDoc;

namespace norvane {

class GDataXMLElement;

// A whole XML document. It owns its tree: the root element and every node, list or XPath result
// taken from it borrow, and are valid while the document lives (see GDataXMLNode).
//
// Parsing is hardened: no external entity or DTD is ever loaded, entities are never expanded
// (references to DTD-declared entities are dropped), and the libxml2 size and depth limits apply.
class GDataXMLDocument {
public:
    ~GDataXMLDocument();
    GDataXMLDocument(const GDataXMLDocument&) = delete;
    GDataXMLDocument& operator=(const GDataXMLDocument&) = delete;

    // nullptr and an error of domain "GDataXMLErrorDomain", code -1, when the bytes are not a
    // well-formed document (empty, truncated, not XML, too deep, ...).
    static std::unique_ptr<GDataXMLDocument> initWithData(
        std::span<const std::uint8_t> data, ErrorValue* error = nullptr);
    static std::unique_ptr<GDataXMLDocument> initWithXMLString(std::string_view text, ErrorValue* error = nullptr);
    // A new document (version "1.0") whose root is a deep copy of element; names still in the braced
    // "{URI}:local" form get their namespace declared.
    static std::unique_ptr<GDataXMLDocument> initWithRootElement(const GDataXMLElement& element);

    GDataXMLElement* rootElement() const;

    // Replace the version and encoding of the XML declaration; none removes them.
    void setVersion(std::optional<std::string_view> version);
    void setCharacterEncoding(std::optional<std::string_view> encoding);

    // The document serialised with its XML declaration, without indentation; none when it cannot be
    // serialised (for example an unknown character encoding).
    std::optional<Bytes> XMLData() const;

    // XPath with the document node as context; see GDataXMLNode::nodesForXPath.
    std::optional<GDataXMLNode::NodeList> nodesForXPath(std::string_view expression, ErrorValue* error = nullptr) const;
    std::optional<GDataXMLNode::NodeList> nodesForXPath(
        std::string_view expression, const GDataXMLNode::NamespaceMap& namespaces, ErrorValue* error = nullptr) const;

private:
    explicit GDataXMLDocument(_xmlDoc* doc);

    _xmlDoc* doc_;
    std::unique_ptr<gdataxml::Tree> tree_;
};

} // namespace norvane
