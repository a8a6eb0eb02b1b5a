#include "formats/GDataXMLDocument.h"

#include "formats/GDataXMLElement.h"
#include "formats/GDataXMLPrivate.h"

#include <libxml/dict.h>
#include <libxml/tree.h>

namespace norvane {

using namespace gdataxml;

namespace {

// A parsed document may keep its declaration texts in its dictionary; only the others are ours to free.
void replaceDocumentText(xmlDocPtr doc, const xmlChar*& field, std::optional<std::string_view> text)
{
    if (field && !(doc->dict && xmlDictOwns(doc->dict, field)))
        xmlFree(const_cast<xmlChar*>(field));
    field = text ? xmlStrdup(xml(std::string(*text))) : nullptr;
}

} // namespace

GDataXMLDocument::GDataXMLDocument(_xmlDoc* doc)
    : doc_(doc)
    , tree_(std::make_unique<Tree>())
{ }

GDataXMLDocument::~GDataXMLDocument()
{
    tree_.reset();
    xmlFreeDoc(doc_);
}

std::unique_ptr<GDataXMLDocument> GDataXMLDocument::initWithData(std::span<const std::uint8_t> data, ErrorValue* error)
{
    xmlDocPtr doc = parse(reinterpret_cast<const char*>(data.data()), data.size(), error);
    if (!doc)
        return nullptr;
    return std::unique_ptr<GDataXMLDocument>(new GDataXMLDocument(doc));
}

std::unique_ptr<GDataXMLDocument> GDataXMLDocument::initWithXMLString(std::string_view text, ErrorValue* error)
{
    xmlDocPtr doc = parse(text.data(), text.size(), error);
    if (!doc)
        return nullptr;
    return std::unique_ptr<GDataXMLDocument>(new GDataXMLDocument(doc));
}

std::unique_ptr<GDataXMLDocument> GDataXMLDocument::initWithRootElement(const GDataXMLElement& element)
{
    ensureInitialised();
    if (!element.node_)
        return nullptr;
    xmlDocPtr doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    if (!doc)
        return nullptr;
    xmlNodePtr root = xmlDocCopyNode(element.node_, doc, 1);
    if (!root) {
        xmlFreeDoc(doc);
        return nullptr;
    }
    xmlDocSetRootElement(doc, root);
    auto document = std::unique_ptr<GDataXMLDocument>(new GDataXMLDocument(doc));
    // A root built with a "{URI}:local" name is declared here, so that the document is well-formed.
    fixUpNamespaces(*document->tree_, root, root);
    return document;
}

GDataXMLElement* GDataXMLDocument::rootElement() const
{
    return tree_->wrapElement(xmlDocGetRootElement(doc_));
}

void GDataXMLDocument::setVersion(std::optional<std::string_view> version)
{
    replaceDocumentText(doc_, doc_->version, version);
}

void GDataXMLDocument::setCharacterEncoding(std::optional<std::string_view> encoding)
{
    replaceDocumentText(doc_, doc_->encoding, encoding);
}

std::optional<Bytes> GDataXMLDocument::XMLData() const
{
    xmlChar* text = nullptr;
    int size = 0;
    {
        QuietErrors quiet;
        xmlDocDumpMemory(doc_, &text, &size);
    }
    if (!text)
        return std::nullopt;
    Bytes bytes(text, text + (size > 0 ? size : 0));
    xmlFree(text);
    return bytes;
}

std::optional<GDataXMLNode::NodeList> GDataXMLDocument::nodesForXPath(
    std::string_view expression, ErrorValue* error) const
{
    return evaluateXPath(*tree_, reinterpret_cast<xmlNodePtr>(doc_), expression, nullptr, error);
}

std::optional<GDataXMLNode::NodeList> GDataXMLDocument::nodesForXPath(
    std::string_view expression, const GDataXMLNode::NamespaceMap& namespaces, ErrorValue* error) const
{
    return evaluateXPath(*tree_, reinterpret_cast<xmlNodePtr>(doc_), expression, &namespaces, error);
}

} // namespace norvane
