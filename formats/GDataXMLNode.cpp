#include "formats/GDataXMLNode.h"

#include "formats/GDataXMLElement.h"
#include "formats/GDataXMLPrivate.h"
#include "formats/XMLHardening.h"
#include "platform/Log.h"

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <climits>
#include <mutex>

namespace norvane {

namespace gdataxml {

namespace {

// Blank text between elements is dropped and CDATA arrives as plain text. Entities are never
// substituted and no DTD is loaded, validated or used for default attributes; nothing is fetched from
// the network. The parser's own size limits stay on.
constexpr int kParseOptions = XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA | XML_PARSE_NONET;
static_assert((kParseOptions
                  & (XML_PARSE_NOENT | XML_PARSE_DTDLOAD | XML_PARSE_DTDATTR | XML_PARSE_DTDVALID | XML_PARSE_HUGE
                      | XML_PARSE_XINCLUDE))
    == 0);

void ignoreStructuredError(void*, xmlErrorPtr)
{ }
void ignoreGenericError(void*, const char*, ...)
{ }

// Drops the references to DTD-declared entities below parent (in an element's content or an
// attribute's value) and joins the text around them.
void dropEntityReferences(xmlNodePtr parent, std::vector<xmlNodePtr>& elements)
{
    for (xmlNodePtr cur = parent->children; cur;) {
        if (cur->type == XML_ENTITY_REF_NODE) {
            xmlNodePtr before = cur->prev;
            xmlNodePtr after = cur->next;
            xmlUnlinkNode(cur);
            xmlFreeNode(cur);
            if (before && after && before->type == XML_TEXT_NODE && after->type == XML_TEXT_NODE) {
                xmlNodePtr next = after->next;
                xmlTextMerge(before, after);
                cur = next;
            } else {
                cur = after;
            }
            continue;
        }
        if (cur->type == XML_ELEMENT_NODE)
            elements.push_back(cur);
        cur = cur->next;
    }
}

// An entity reference left in the tree would be expanded by every later content read (libxml2's
// xmlNodeGetContent, XPath string values), which is the billion-laughs attack all over again.
void dropEntityReferences(xmlDocPtr doc)
{
    std::vector<xmlNodePtr> elements;
    if (xmlNodePtr root = xmlDocGetRootElement(doc))
        elements.push_back(root);
    while (!elements.empty()) {
        xmlNodePtr element = elements.back();
        elements.pop_back();
        for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next)
            dropEntityReferences(reinterpret_cast<xmlNodePtr>(attribute), elements);
        dropEntityReferences(element, elements);
    }
}

bool isDocumentType(int type)
{
    return type == XML_DOCUMENT_NODE || type == XML_HTML_DOCUMENT_NODE || type == 21; // 21: DocBook document
}

std::string trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

void setError(ErrorValue* error, long code, ValueMap userInfo)
{
    if (!error)
        return;
    *error = ErrorValue { kErrorDomain, code, code == kParseErrorCode ? "XML parse error" : "XML error",
        std::move(userInfo) };
}

void ensureInitialised()
{
    initialiseHardenedXMLParser();
}

QuietErrors::QuietErrors()
    : structured_(xmlStructuredError)
    , structuredContext_(xmlStructuredErrorContext)
    , generic_(xmlGenericError)
    , genericContext_(xmlGenericErrorContext)
{
    xmlSetStructuredErrorFunc(nullptr, ignoreStructuredError);
    xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
}

QuietErrors::~QuietErrors()
{
    xmlSetStructuredErrorFunc(structuredContext_, structured_);
    xmlSetGenericErrorFunc(genericContext_, generic_);
}

xmlDocPtr parse(const char* bytes, std::size_t size, ErrorValue* error)
{
    ensureInitialised();
    if (size > static_cast<std::size_t>(INT_MAX)) {
        setError(error, kParseErrorCode);
        return nullptr;
    }
    xmlDocPtr doc = nullptr;
    {
        QuietErrors quiet;
        HardenedXMLParserDefaults defaults;
        doc = xmlReadMemory(size > 0 ? bytes : "", static_cast<int>(size), nullptr, nullptr, kParseOptions);
    }
    if (doc && !xmlDocGetRootElement(doc)) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    if (!doc) {
        setError(error, kParseErrorCode);
        return nullptr;
    }
    if (doc->intSubset || doc->extSubset)
        dropEntityReferences(doc);
    return doc;
}

xmlNodePtr firstChild(xmlNodePtr node)
{
    if (!node)
        return nullptr;
    switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
    case XML_DOCUMENT_FRAG_NODE:
    case XML_DTD_NODE:
        return node->children;
    default:
        return isDocumentType(node->type) ? node->children : nullptr;
    }
}

std::string collectText(xmlNodePtr top)
{
    std::string text;
    xmlNodePtr cur = firstChild(top);
    while (cur) {
        if ((cur->type == XML_TEXT_NODE || cur->type == XML_CDATA_SECTION_NODE) && cur->content)
            text += view(cur->content);
        if (cur->type == XML_ELEMENT_NODE && cur->children) {
            cur = cur->children;
            continue;
        }
        while (cur && cur != top && !cur->next)
            cur = cur->parent;
        if (!cur || cur == top)
            break;
        cur = cur->next;
    }
    return text;
}

// MARK: Tree

Tree::Tree(GDataXMLNode* root)
    : root_(root)
    , rootKey_(
          root ? (root->node_ ? static_cast<const void*>(root->node_) : static_cast<const void*>(root->ns_)) : nullptr)
{ }

Tree::~Tree() = default;

GDataXMLNode* Tree::wrapKey(const void* key, xmlNodePtr node, xmlNsPtr ns)
{
    if (!key)
        return nullptr;
    if (key == rootKey_)
        return root_;
    auto& slot = wrappers_[key];
    if (!slot) {
        if (node && node->type == XML_ELEMENT_NODE)
            slot.reset(new GDataXMLElement(this, node));
        else
            slot.reset(new GDataXMLNode(this, node, ns));
    }
    return slot.get();
}

GDataXMLNode* Tree::wrap(xmlNodePtr node)
{
    if (node && node->type == XML_NAMESPACE_DECL)
        return wrapNamespace(reinterpret_cast<xmlNsPtr>(node));
    return wrapKey(node, node, nullptr);
}

GDataXMLElement* Tree::wrapElement(xmlNodePtr node)
{
    if (!node || node->type != XML_ELEMENT_NODE)
        return nullptr;
    return static_cast<GDataXMLElement*>(wrapKey(node, node, nullptr));
}

GDataXMLNode* Tree::wrapNamespace(xmlNsPtr ns)
{
    return wrapKey(ns, nullptr, ns);
}

void Tree::retireKey(const void* key)
{
    auto found = wrappers_.find(key);
    if (found == wrappers_.end())
        return;
    found->second->retire();
    retired_.push_back(std::move(found->second));
    wrappers_.erase(found);
}

void Tree::retireNamespace(xmlNsPtr ns)
{
    retireKey(ns);
}

void Tree::retireSubtree(xmlNodePtr top)
{
    if (wrappers_.empty() || !top)
        return;
    std::vector<xmlNodePtr> pending { top };
    while (!pending.empty()) {
        xmlNodePtr node = pending.back();
        pending.pop_back();
        retireKey(node);
        if (node->type == XML_ELEMENT_NODE) {
            for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
                retireKey(ns);
            for (xmlAttrPtr attribute = node->properties; attribute; attribute = attribute->next)
                pending.push_back(reinterpret_cast<xmlNodePtr>(attribute));
        }
        for (xmlNodePtr child = firstChild(node); child; child = child->next)
            pending.push_back(child);
    }
}

const std::string& Tree::intern(std::string_view prefix, std::string_view local)
{
    std::string_view key = local;
    if (!prefix.empty()) {
        scratch_.assign(prefix);
        scratch_ += ':';
        scratch_ += local;
        key = scratch_;
    }
    auto found = names_.find(key);
    if (found == names_.end())
        found = names_.emplace(key).first;
    return *found;
}

// MARK: XPath

namespace {

// A node that is in no document is put into a temporary one for the evaluation (XPath needs a
// document); afterwards its tree is taken out again, unchanged.
class TemporaryDocument {
public:
    explicit TemporaryDocument(xmlNodePtr top)
        : top_(top)
        , doc_(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")))
    {
        if (doc_)
            xmlDocSetRootElement(doc_, top_);
    }
    ~TemporaryDocument()
    {
        if (!doc_)
            return;
        xmlUnlinkNode(top_);
        xmlSetTreeDoc(top_, nullptr);
        xmlFreeDoc(doc_);
    }
    TemporaryDocument(const TemporaryDocument&) = delete;
    TemporaryDocument& operator=(const TemporaryDocument&) = delete;

    xmlDocPtr doc() const { return doc_; }

private:
    xmlNodePtr top_;
    xmlDocPtr doc_;
};

struct XPathContextDeleter {
    void operator()(xmlXPathContextPtr context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};

void registerOwnNamespaces(xmlXPathContextPtr context, xmlNodePtr node, xmlDocPtr doc)
{
    xmlNodePtr element = (node->type == XML_ELEMENT_NODE) ? node : nullptr;
    if (isDocumentType(node->type))
        element = xmlDocGetRootElement(doc);
    if (!element)
        return;
    for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next) {
        if (!ns->href)
            continue;
        const xmlChar* prefix = ns->prefix ? ns->prefix : reinterpret_cast<const xmlChar*>("_def_ns");
        xmlXPathRegisterNs(context, prefix, ns->href);
    }
}

} // namespace

std::optional<GDataXMLNode::NodeList> evaluateXPath(Tree& tree, xmlNodePtr context, std::string_view expression,
    const GDataXMLNode::NamespaceMap* namespaces, ErrorValue* error)
{
    auto invalidNode = [&] {
        setError(error, -1, ValueMap { { "error", "invalid node" } });
        return std::nullopt;
    };
    if (!context || context->type == XML_NAMESPACE_DECL)
        return invalidNode();

    if (expression.find('\0') != std::string_view::npos) {
        // libxml2 would quietly evaluate only the part before the NUL.
        setError(error, XML_XPATH_EXPR_ERROR, ValueMap { { "error", "expression contains a NUL character" } });
        return std::nullopt;
    }

    std::optional<TemporaryDocument> temporary;
    xmlDocPtr doc = isDocumentType(context->type) ? reinterpret_cast<xmlDocPtr>(context) : context->doc;
    if (!doc) {
        xmlNodePtr top = context;
        while (top->parent)
            top = top->parent;
        if (top->type != XML_ELEMENT_NODE)
            return invalidNode();
        temporary.emplace(top);
        doc = temporary->doc();
        if (!doc)
            return invalidNode();
    }

    std::string text(expression);
    QuietErrors quiet;
    std::unique_ptr<xmlXPathContext, XPathContextDeleter> xpath(xmlXPathNewContext(doc));
    if (!xpath) {
        setError(error, XML_XPATH_MEMORY_ERROR);
        return std::nullopt;
    }
    xpath->node = context;
    xpath->error = ignoreStructuredError;
    if (namespaces) {
        for (const auto& [prefix, uri] : *namespaces)
            xmlXPathRegisterNs(xpath.get(), xml(prefix), xml(uri));
    } else {
        registerOwnNamespaces(xpath.get(), context, doc);
    }

    xmlResetError(&xpath->lastError);
    std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result(xmlXPathEval(xml(text), xpath.get()));
    if (!result) {
        ValueMap info;
        if (xpath->lastError.str1)
            info["error"] = std::string(xpath->lastError.str1);
        setError(error, xpath->lastError.code != 0 ? xpath->lastError.code : -1, std::move(info));
        return std::nullopt;
    }

    GDataXMLNode::NodeList nodes;
    if (xmlNodeSetPtr set = result->nodesetval) {
        nodes.reserve(static_cast<std::size_t>(set->nodeNr));
        for (int i = 0; i < set->nodeNr; ++i) {
            xmlNodePtr node = set->nodeTab[i];
            // Namespace nodes of a result are copies owned by the result, and the temporary document
            // goes away with the evaluation: neither can be handed out.
            if (!node || node->type == XML_NAMESPACE_DECL)
                continue;
            if (temporary && node == reinterpret_cast<xmlNodePtr>(temporary->doc()))
                continue;
            if (GDataXMLNode* wrapper = tree.wrap(node))
                nodes.push_back(wrapper);
        }
    }
    return nodes;
}

} // namespace gdataxml

using namespace gdataxml;

// MARK: GDataXMLNode

GDataXMLNode::GDataXMLNode(gdataxml::Tree* tree, _xmlNode* node, _xmlNs* ns)
    : node_(node)
    , ns_(ns)
    , tree_(tree)
{ }

GDataXMLNode::~GDataXMLNode()
{
    if (!ownedTree_)
        return;
    ownedTree_.reset();
    if (ns_)
        xmlFreeNs(ns_);
    else if (node_)
        xmlFreeNode(node_);
}

std::unique_ptr<GDataXMLNode> GDataXMLNode::adopt(_xmlNode* node, _xmlNs* ns)
{
    if (!node && !ns)
        return nullptr;
    std::unique_ptr<GDataXMLNode> wrapper;
    if (node && node->type == XML_ELEMENT_NODE)
        wrapper.reset(new GDataXMLElement(nullptr, node));
    else
        wrapper.reset(new GDataXMLNode(nullptr, node, ns));
    wrapper->ownedTree_ = std::make_unique<Tree>(wrapper.get());
    wrapper->tree_ = wrapper->ownedTree_.get();
    return wrapper;
}

void GDataXMLNode::retire()
{
    node_ = nullptr;
    ns_ = nullptr;
    caches_.reset();
    name_ = nullptr;
}

WrapperCaches& GDataXMLNode::caches() const
{
    if (!caches_)
        caches_ = std::make_unique<WrapperCaches>();
    return *caches_;
}

std::unique_ptr<GDataXMLElement> GDataXMLNode::elementWithName(std::string_view name)
{
    ensureInitialised();
    if (name.empty())
        return nullptr;
    auto element = adopt(xmlNewNode(nullptr, xml(std::string(name))), nullptr);
    return std::unique_ptr<GDataXMLElement>(static_cast<GDataXMLElement*>(element.release()));
}

std::unique_ptr<GDataXMLElement> GDataXMLNode::elementWithName(std::string_view name, std::string_view stringValue)
{
    auto element = elementWithName(name);
    if (!element)
        return nullptr;
    xmlNodePtr text = xmlNewText(xml(std::string(stringValue)));
    if (!text || !xmlAddChild(element->node_, text)) {
        xmlFreeNode(text);
        return nullptr;
    }
    return element;
}

std::unique_ptr<GDataXMLElement> GDataXMLNode::elementWithNameURI(std::string_view name, std::string_view URI)
{
    return elementWithName("{" + std::string(URI) + "}:" + localNameForName(name));
}

std::unique_ptr<GDataXMLNode> GDataXMLNode::attributeWithName(std::string_view name, std::string_view stringValue)
{
    ensureInitialised();
    if (name.empty())
        return nullptr;
    xmlAttrPtr attribute = xmlNewProp(nullptr, xml(std::string(name)), xml(std::string(stringValue)));
    return adopt(reinterpret_cast<xmlNodePtr>(attribute), nullptr);
}

std::unique_ptr<GDataXMLNode> GDataXMLNode::attributeWithName(
    std::string_view name, std::string_view URI, std::string_view stringValue)
{
    return attributeWithName("{" + std::string(URI) + "}:" + localNameForName(name), stringValue);
}

std::unique_ptr<GDataXMLNode> GDataXMLNode::textWithStringValue(std::string_view text)
{
    ensureInitialised();
    return adopt(xmlNewText(xml(std::string(text))), nullptr);
}

std::unique_ptr<GDataXMLNode> GDataXMLNode::namespaceWithName(std::string_view prefix, std::string_view URI)
{
    ensureInitialised();
    const std::string prefixText(prefix);
    xmlNsPtr ns = xmlNewNs(nullptr, xml(std::string(URI)), prefix.empty() ? nullptr : xml(prefixText));
    return adopt(nullptr, ns);
}

std::string GDataXMLNode::localNameForName(std::string_view name)
{
    const auto colon = name.find(':');
    if (colon == std::string_view::npos || colon + 1 == name.size())
        return std::string(name);
    return std::string(name.substr(colon + 1));
}

std::optional<std::string> GDataXMLNode::prefixForName(std::string_view name)
{
    const auto colon = name.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    return std::string(name.substr(0, colon));
}

GDataXMLNode::Kind GDataXMLNode::kind() const
{
    if (ns_)
        return Kind::Namespace;
    if (!node_)
        return Kind::Invalid;
    switch (static_cast<int>(node_->type)) {
    case XML_ELEMENT_NODE:
        return Kind::Element;
    case XML_ATTRIBUTE_NODE:
        return Kind::Attribute;
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
        return Kind::Text;
    case XML_ENTITY_REF_NODE:
    case XML_ENTITY_NODE:
    case XML_ENTITY_DECL:
        return Kind::EntityDeclaration;
    case XML_PI_NODE:
    case XML_XINCLUDE_START:
    case XML_XINCLUDE_END:
        return Kind::ProcessingInstruction;
    case XML_COMMENT_NODE:
        return Kind::Comment;
    case XML_DOCUMENT_NODE:
    case XML_DOCUMENT_TYPE_NODE:
    case XML_DOCUMENT_FRAG_NODE:
    case XML_HTML_DOCUMENT_NODE:
    case 21: // DocBook document
        return Kind::Document;
    case XML_NOTATION_NODE:
        return Kind::NotationDeclaration;
    case XML_DTD_NODE:
        return Kind::DTD;
    case XML_ELEMENT_DECL:
        return Kind::ElementDeclaration;
    case XML_ATTRIBUTE_DECL:
        return Kind::AttributeDeclaration;
    case XML_NAMESPACE_DECL:
        return Kind::Namespace;
    default:
        return Kind::Invalid;
    }
}

std::optional<std::string> GDataXMLNode::stringValue() const
{
    if (ns_)
        return ns_->href ? std::optional<std::string>(std::string(view(ns_->href))) : std::nullopt;
    if (!node_)
        return std::nullopt;
    switch (node_->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        return node_->content ? std::optional<std::string>(std::string(view(node_->content))) : std::nullopt;
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_DOCUMENT_FRAG_NODE:
        return collectText(node_);
    default:
        if (isDocumentType(node_->type))
            return collectText(node_);
        return std::nullopt;
    }
}

void GDataXMLNode::setStringValue(std::string_view text)
{
    const std::string value(text);
    if (ns_) {
        xmlFree(const_cast<xmlChar*>(ns_->href));
        ns_->href = xmlStrdup(xml(value));
        tree_->changed();
        return;
    }
    if (!node_)
        return;
    switch (node_->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE: {
        // Not xmlNodeSetContent: for an element it reads the text as markup with entity references,
        // so "a & b" would be mangled. Replace the children by one literal text node instead.
        for (xmlNodePtr child = node_->children; child; child = child->next)
            tree_->retireSubtree(child);
        xmlFreeNodeList(node_->children);
        node_->children = nullptr;
        node_->last = nullptr;
        if (!value.empty()) {
            xmlNodePtr textNode = xmlNewDocText(node_->doc, xml(value));
            if (textNode && !xmlAddChild(node_, textNode))
                xmlFreeNode(textNode);
        }
        break;
    }
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        xmlNodeSetContent(node_, xml(value));
        break;
    default:
        return;
    }
    tree_->changed();
}

const std::string& GDataXMLNode::name() const
{
    static const std::string none;
    if (!isValid())
        return none;
    if (name_ && nameGeneration_ == tree_->generation())
        return *name_;
    std::string_view prefix;
    std::string_view local;
    if (ns_) {
        local = view(ns_->prefix);
    } else if (!isDocumentType(node_->type)) {
        local = view(node_->name);
        if (xmlNsPtr ns = namespaceOf(node_))
            prefix = view(ns->prefix);
    }
    name_ = &tree_->intern(prefix, local);
    nameGeneration_ = tree_->generation();
    return *name_;
}

std::string_view GDataXMLNode::localName() const
{
    std::string_view qualified = name();
    if (!qualified.empty() && qualified.front() == '{') {
        const auto end = qualified.find("}:");
        if (end != std::string_view::npos && end + 2 < qualified.size())
            return qualified.substr(end + 2);
    }
    const auto colon = qualified.find(':');
    if (colon == std::string_view::npos || colon + 1 == qualified.size())
        return qualified;
    return qualified.substr(colon + 1);
}

std::string GDataXMLNode::prefix() const
{
    xmlNsPtr ns = namespaceOf(node_);
    return ns ? std::string(view(ns->prefix)) : std::string();
}

std::optional<std::string> GDataXMLNode::URI() const
{
    xmlNsPtr ns = namespaceOf(node_);
    if (!ns || !ns->href)
        return std::nullopt;
    return std::string(view(ns->href));
}

std::size_t GDataXMLNode::childCount() const
{
    std::size_t count = 0;
    for (xmlNodePtr child = firstChild(node_); child; child = child->next)
        ++count;
    return count;
}

GDataXMLNode::NodeList GDataXMLNode::children() const
{
    if (!node_)
        return {};
    WrapperCaches& cache = caches();
    if (cache.childrenGeneration != tree_->generation()) {
        cache.children.clear();
        for (xmlNodePtr child = firstChild(node_); child; child = child->next)
            cache.children.push_back(tree_->wrap(child));
        cache.childrenGeneration = tree_->generation();
    }
    return cache.children;
}

GDataXMLNode* GDataXMLNode::childAtIndex(std::size_t index) const
{
    if (!node_)
        return nullptr;
    WrapperCaches& cache = caches();
    if (cache.childrenGeneration != tree_->generation())
        children();
    return index < cache.children.size() ? cache.children[index] : nullptr;
}

std::string GDataXMLNode::XMLString() const
{
    xmlNodePtr target = node_ ? node_ : reinterpret_cast<xmlNodePtr>(ns_);
    if (!target)
        return {};
    xmlBufferPtr buffer = xmlBufferCreate();
    if (!buffer)
        return {};
    std::string text;
    {
        QuietErrors quiet;
        xmlDocPtr doc = node_ ? node_->doc : nullptr;
        if (xmlNodeDump(buffer, doc, target, 0, 0) >= 0)
            text = trimmed(view(xmlBufferContent(buffer)));
    }
    xmlBufferFree(buffer);
    return text;
}

std::optional<GDataXMLNode::NodeList> GDataXMLNode::nodesForXPath(std::string_view expression, ErrorValue* error) const
{
    return evaluateXPath(*tree_, node_, expression, nullptr, error);
}

std::optional<GDataXMLNode::NodeList> GDataXMLNode::nodesForXPath(
    std::string_view expression, const NamespaceMap& namespaces, ErrorValue* error) const
{
    return evaluateXPath(*tree_, node_, expression, &namespaces, error);
}

std::unique_ptr<GDataXMLNode> GDataXMLNode::copy() const
{
    if (ns_)
        return adopt(nullptr, xmlNewNs(nullptr, ns_->href, ns_->prefix));
    if (!node_)
        return nullptr;
    switch (node_->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        return adopt(xmlDocCopyNode(node_, nullptr, 1), nullptr);
    default:
        return nullptr;
    }
}

bool GDataXMLNode::isEqual(const GDataXMLNode& other) const
{
    if (this == &other)
        return true;
    if ((node_ && node_ == other.node_) || (ns_ && ns_ == other.ns_))
        return true;
    return kind() == other.kind() && name() == other.name() && childCount() == other.childCount();
}

} // namespace norvane
