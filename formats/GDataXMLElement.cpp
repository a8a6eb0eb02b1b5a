#include "formats/GDataXMLElement.h"

#include "formats/GDataXMLPrivate.h"

#include <libxml/tree.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

namespace norvane {

using namespace gdataxml;

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

bool isXmlPrefix(const xmlChar* prefix)
{
    return view(prefix) == "xml";
}

// libxml2 creates a new declaration of the "xml" prefix on every lookup of it in a tree that has no
// document; reuse the one that such a lookup already made.
xmlNsPtr searchPrefix(xmlNodePtr scope, const xmlChar* prefix)
{
    if (isXmlPrefix(prefix) && !scope->doc) {
        for (xmlNodePtr node = scope; node && node->type == XML_ELEMENT_NODE; node = node->parent)
            for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
                if (isXmlPrefix(ns->prefix))
                    return ns;
    }
    return xmlSearchNs(scope->doc, scope, prefix);
}

xmlNsPtr searchHref(xmlNodePtr scope, const xmlChar* href)
{
    if (view(href) == kXmlNamespace)
        return searchPrefix(scope, reinterpret_cast<const xmlChar*>("xml"));
    return xmlSearchNsByHref(scope->doc, scope, href);
}

// An attribute is in a namespace only through a prefix: the default namespace does not apply to it.
xmlNsPtr searchPrefixedHref(xmlNodePtr scope, const xmlChar* href)
{
    if (view(href) == kXmlNamespace)
        return searchHref(scope, href);
    for (xmlNodePtr node = scope; node && node->type == XML_ELEMENT_NODE; node = node->parent)
        for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
            if (ns->prefix && xmlStrEqual(ns->href, href) && searchPrefix(scope, ns->prefix) == ns)
                return ns;
    return nullptr;
}

// The URI a prefix stands for in scope, without touching the tree.
std::optional<std::string> uriForPrefix(xmlNodePtr scope, const std::string& prefix)
{
    if (prefix == "xml")
        return std::string(kXmlNamespace);
    xmlNsPtr ns = xmlSearchNs(scope->doc, scope, xml(prefix));
    if (!ns || !ns->href)
        return std::nullopt;
    return std::string(view(ns->href));
}

// Declares href on target under preferred (or, when that prefix is already bound in scope of user, a
// fresh "nsN" prefix) so that user, an element at or below target, can use it.
xmlNsPtr declareNamespace(
    xmlNodePtr target, xmlNodePtr user, const xmlChar* href, const xmlChar* preferred, bool needsPrefix)
{
    if ((preferred || !needsPrefix) && !isXmlPrefix(preferred) && !xmlSearchNs(user->doc, user, preferred))
        return xmlNewNs(target, href, preferred);
    for (int i = 0; i < 1000; ++i) {
        const std::string candidate = "ns" + std::to_string(i);
        if (!xmlSearchNs(user->doc, user, xml(candidate)))
            return xmlNewNs(target, href, xml(candidate));
    }
    return nullptr;
}

struct ResolvedName {
    xmlNsPtr ns = nullptr;
    std::size_t localStart = 0; // where the local part begins in the raw name
    std::string bracedURI; // the URI of a "{URI}:local" name
};

// What the raw name of a node that is in no namespace yet stands for in scope: "p:local" by prefix,
// "{URI}:local" by URI, an unprefixed element name by the default namespace. A name ending in ':' is
// left alone.
ResolvedName resolveName(xmlNodePtr scope, std::string_view name, bool isAttribute)
{
    ResolvedName resolved;
    const auto colon = name.rfind(':');
    if (colon == std::string_view::npos) {
        if (!isAttribute)
            resolved.ns = xmlSearchNs(scope->doc, scope, nullptr);
    } else if (colon + 1 < name.size()) {
        const std::string_view prefixPart = name.substr(0, colon);
        resolved.localStart = colon + 1;
        if (prefixPart.size() >= 3 && prefixPart.front() == '{' && prefixPart.back() == '}') {
            resolved.bracedURI = prefixPart.substr(1, prefixPart.size() - 2);
            const xmlChar* uri = xml(resolved.bracedURI);
            resolved.ns = isAttribute ? searchPrefixedHref(scope, uri) : searchHref(scope, uri);
        } else {
            resolved.ns = searchPrefix(scope, xml(std::string(prefixPart)));
        }
    }
    // xmlns="" undeclares the default namespace: it is no namespace to join.
    if (resolved.ns && view(resolved.ns->href).empty())
        resolved.ns = nullptr;
    return resolved;
}

// Puts grafted nodes into the namespaces in scope where they were grafted:
// - a node in no namespace whose name resolves (resolveName) is put into that namespace, and its name
//   becomes the local part;
// - a "{URI}:local" name whose URI is not in scope gets a declaration of its own (on the element, or on
//   the attribute's element), since the braced form would not be well-formed XML;
// - a declaration on a grafted element that repeats, with the same prefix, what is already in scope is
//   deleted, and the nodes that used it use the declaration in scope instead.
class NamespaceFixUp {
public:
    explicit NamespaceFixUp(Tree& tree)
        : tree_(tree)
    { }

    void run(xmlNodePtr grafted, xmlNodePtr treeNode)
    {
        if (grafted->type == XML_ATTRIBUTE_NODE) {
            fixName(grafted, grafted->parent ? grafted->parent : treeNode, true);
            return;
        }
        if (grafted->type != XML_ELEMENT_NODE)
            return;
        // (element, the node whose scope its own declarations are compared with)
        std::vector<std::pair<xmlNodePtr, xmlNodePtr>> pending { { grafted, treeNode } };
        while (!pending.empty()) {
            auto [element, outer] = pending.back();
            pending.pop_back();
            dropRepeatedDeclarations(element, outer);
            fixName(element, element, false);
            for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next)
                fixName(reinterpret_cast<xmlNodePtr>(attribute), element, true);
            for (xmlNodePtr child = element->children; child; child = child->next)
                if (child->type == XML_ELEMENT_NODE)
                    pending.emplace_back(child, element);
        }
    }

private:
    void dropRepeatedDeclarations(xmlNodePtr element, xmlNodePtr outer)
    {
        xmlNsPtr* link = &element->nsDef;
        while (xmlNsPtr ns = *link) {
            xmlNsPtr inScope = (outer && ns->href && !isXmlPrefix(ns->prefix)) ? searchHref(outer, ns->href) : nullptr;
            if (inScope && inScope != ns && xmlStrEqual(inScope->prefix, ns->prefix)) {
                *link = ns->next;
                ns->next = nullptr;
                replaced_[ns] = inScope;
                tree_.retireNamespace(ns);
                xmlFreeNs(ns);
                continue;
            }
            link = &ns->next;
        }
    }

    void fixName(xmlNodePtr node, xmlNodePtr scope, bool isAttribute)
    {
        if (node->ns) {
            // Only the pointer is compared: a replaced declaration is already freed.
            if (auto found = replaced_.find(node->ns); found != replaced_.end())
                xmlSetNs(node, found->second);
            return;
        }
        const std::string name(view(node->name));
        ResolvedName resolved = resolveName(scope, name, isAttribute);
        if (!resolved.ns && !resolved.bracedURI.empty())
            resolved.ns = declareNamespace(isAttribute ? scope : node, scope, xml(resolved.bracedURI), nullptr, true);
        if (!resolved.ns)
            return;
        xmlSetNs(node, resolved.ns);
        if (resolved.localStart > 0)
            xmlNodeSetName(node, xml(name.substr(resolved.localStart)));
    }

    Tree& tree_;
    std::unordered_map<xmlNsPtr, xmlNsPtr> replaced_;
};

bool hasAttribute(xmlNodePtr element, std::string_view localName, const std::string* uri)
{
    for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next) {
        if (view(attribute->name) != localName)
            continue;
        if (uri ? (attribute->ns && view(attribute->ns->href) == *uri) : !attribute->ns)
            return true;
    }
    return false;
}

std::string braced(std::string_view uri, std::string_view localName)
{
    return "{" + std::string(uri) + "}:" + std::string(localName);
}

} // namespace

GDataXMLElement::GDataXMLElement(gdataxml::Tree* tree, _xmlNode* node)
    : GDataXMLNode(tree, node, nullptr)
{ }

std::unique_ptr<GDataXMLElement> GDataXMLElement::initWithXMLString(std::string_view text, ErrorValue* error)
{
    xmlDocPtr doc = parse(text.data(), text.size(), error);
    if (!doc)
        return nullptr;
    xmlNodePtr root = xmlDocCopyNode(xmlDocGetRootElement(doc), nullptr, 1);
    xmlFreeDoc(doc);
    if (!root) {
        setError(error, kParseErrorCode);
        return nullptr;
    }
    return std::unique_ptr<GDataXMLElement>(static_cast<GDataXMLElement*>(adopt(root, nullptr).release()));
}

std::unique_ptr<GDataXMLElement> GDataXMLElement::copy() const
{
    return std::unique_ptr<GDataXMLElement>(static_cast<GDataXMLElement*>(GDataXMLNode::copy().release()));
}

GDataXMLElement::ElementList GDataXMLElement::elementsForName(std::string_view name) const
{
    if (!node_)
        return {};
    if (auto prefix = prefixForName(name)) {
        if (auto uri = uriForPrefix(node_, *prefix))
            return elementsForLocalName(localNameForName(name), *uri);
    }
    ElementList found;
    for (xmlNodePtr child = node_->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        // The qualified name, compared in pieces so that no name is built per child.
        const std::string_view local = view(child->name);
        const std::string_view prefix = child->ns ? view(child->ns->prefix) : std::string_view();
        const bool matches = prefix.empty()
            ? name == local
            : (name.size() == prefix.size() + 1 + local.size() && name.starts_with(prefix) && name[prefix.size()] == ':'
                && name.ends_with(local));
        if (matches)
            found.push_back(tree_->wrapElement(child));
    }
    return found;
}

GDataXMLElement::ElementList GDataXMLElement::elementsForLocalName(
    std::string_view localName, std::string_view URI) const
{
    if (!node_)
        return {};
    const std::string unresolved = braced(URI, localName);
    ElementList found;
    for (xmlNodePtr child = node_->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        const bool matches = child->ns ? (view(child->ns->href) == URI && view(child->name) == localName)
                                       : view(child->name) == unresolved;
        if (matches)
            found.push_back(tree_->wrapElement(child));
    }
    return found;
}

GDataXMLNode::NodeList GDataXMLElement::attributes() const
{
    if (!node_)
        return {};
    WrapperCaches& cache = caches();
    if (cache.attributesGeneration != tree_->generation()) {
        cache.attributes.clear();
        for (xmlAttrPtr attribute = node_->properties; attribute; attribute = attribute->next)
            cache.attributes.push_back(tree_->wrap(reinterpret_cast<xmlNodePtr>(attribute)));
        cache.attributesGeneration = tree_->generation();
    }
    return cache.attributes;
}

GDataXMLNode* GDataXMLElement::attributeForName(std::string_view name) const
{
    if (!node_)
        return nullptr;
    for (xmlAttrPtr attribute = node_->properties; attribute; attribute = attribute->next)
        if (view(attribute->name) == name)
            return tree_->wrap(reinterpret_cast<xmlNodePtr>(attribute));
    if (auto prefix = prefixForName(name)) {
        if (auto uri = uriForPrefix(node_, *prefix))
            return attributeForLocalName(localNameForName(name), *uri);
    }
    return nullptr;
}

GDataXMLNode* GDataXMLElement::attributeForLocalName(std::string_view localName, std::string_view URI) const
{
    if (!node_)
        return nullptr;
    for (xmlAttrPtr attribute = node_->properties; attribute; attribute = attribute->next)
        if (attribute->ns && view(attribute->ns->href) == URI && view(attribute->name) == localName)
            return tree_->wrap(reinterpret_cast<xmlNodePtr>(attribute));
    const std::string unresolved = braced(URI, localName);
    for (xmlAttrPtr attribute = node_->properties; attribute; attribute = attribute->next)
        if (!attribute->ns && view(attribute->name) == unresolved)
            return tree_->wrap(reinterpret_cast<xmlNodePtr>(attribute));
    return nullptr;
}

GDataXMLNode::NodeList GDataXMLElement::namespaces() const
{
    if (!node_)
        return {};
    WrapperCaches& cache = caches();
    if (cache.namespacesGeneration != tree_->generation()) {
        cache.namespaces.clear();
        for (xmlNsPtr ns = node_->nsDef; ns; ns = ns->next)
            if (!isXmlPrefix(ns->prefix))
                cache.namespaces.push_back(tree_->wrapNamespace(ns));
        cache.namespacesGeneration = tree_->generation();
    }
    return cache.namespaces;
}

bool GDataXMLElement::addNamespace(const GDataXMLNode& namespaceNode)
{
    if (!node_ || !namespaceNode.ns_ || !namespaceNode.ns_->href)
        return false;
    if (!xmlNewNs(node_, namespaceNode.ns_->href, namespaceNode.ns_->prefix))
        return false;
    fixUpNamespaces(*tree_, node_, node_);
    tree_->changed();
    return true;
}

void GDataXMLElement::setNamespaces(const std::vector<const GDataXMLNode*>& namespaceNodes)
{
    if (!node_)
        return;
    xmlNsPtr dropped = node_->nsDef;
    node_->nsDef = nullptr;
    for (const GDataXMLNode* namespaceNode : namespaceNodes)
        if (namespaceNode && namespaceNode->ns_ && namespaceNode->ns_->href)
            xmlNewNs(node_, namespaceNode->ns_->href, namespaceNode->ns_->prefix);

    if (dropped) {
        // Nodes here and below that used a dropped declaration would point at freed memory: move them
        // to a declaration of the same URI that is in scope, or declare it again on this element.
        std::unordered_set<xmlNsPtr> droppedSet;
        for (xmlNsPtr ns = dropped; ns; ns = ns->next)
            droppedSet.insert(ns);
        auto retarget = [&](xmlNodePtr node, xmlNodePtr scope, bool isAttribute) {
            if (!node->ns || !droppedSet.contains(node->ns))
                return;
            xmlNsPtr old = node->ns;
            xmlNsPtr replacement = isAttribute ? searchPrefixedHref(scope, old->href) : searchHref(scope, old->href);
            if (!replacement)
                replacement = declareNamespace(node_, scope, old->href, old->prefix, isAttribute);
            xmlSetNs(node, replacement);
        };
        std::vector<xmlNodePtr> pending { node_ };
        while (!pending.empty()) {
            xmlNodePtr element = pending.back();
            pending.pop_back();
            retarget(element, element, false);
            for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next)
                retarget(reinterpret_cast<xmlNodePtr>(attribute), element, true);
            for (xmlNodePtr child = element->children; child; child = child->next)
                if (child->type == XML_ELEMENT_NODE)
                    pending.push_back(child);
        }
        for (xmlNsPtr ns = dropped; ns; ns = ns->next)
            tree_->retireNamespace(ns);
        xmlFreeNsList(dropped);
    }
    fixUpNamespaces(*tree_, node_, node_);
    tree_->changed();
}

GDataXMLNode* GDataXMLElement::addChild(const GDataXMLNode& node)
{
    if (!node_)
        return nullptr;
    if (node.kind() == Kind::Attribute)
        return addAttribute(node);
    if (!node.node_)
        return nullptr;
    switch (node.node_->type) {
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
        break;
    default:
        return nullptr;
    }
    xmlNodePtr copied = xmlDocCopyNode(node.node_, node_->doc, 1);
    if (!copied)
        return nullptr;
    // A text node may be merged into the preceding text node, in which case the copy is freed and the
    // surviving node is returned.
    xmlNodePtr added = xmlAddChild(node_, copied);
    if (!added) {
        xmlFreeNode(copied);
        return nullptr;
    }
    if (added == copied)
        fixUpNamespaces(*tree_, added, node_);
    tree_->changed();
    return tree_->wrap(added);
}

bool GDataXMLElement::removeChild(GDataXMLNode& node)
{
    xmlNodePtr child = node.node_;
    if (!node_ || !child || child->parent != node_)
        return false;
    tree_->retireSubtree(child);
    xmlUnlinkNode(child);
    xmlFreeNode(child);
    tree_->changed();
    return true;
}

GDataXMLNode* GDataXMLElement::addAttribute(const GDataXMLNode& attribute)
{
    xmlNodePtr source = attribute.node_;
    if (!node_ || !source || source->type != XML_ATTRIBUTE_NODE)
        return nullptr;
    const std::string name(view(source->name));
    xmlNsPtr sourceNs = (source->ns && source->ns->href) ? source->ns : nullptr;

    // Judge "already there" by the namespace and local name that the attribute will end up with, so
    // that adding "p:a" twice cannot produce two p:a attributes once "p:a" is resolved.
    std::optional<std::string> uri;
    std::string localName = name;
    if (sourceNs) {
        uri = std::string(view(sourceNs->href));
    } else if (const ResolvedName resolved = resolveName(node_, name, true); resolved.ns) {
        uri = std::string(view(resolved.ns->href));
        localName = name.substr(resolved.localStart);
    } else if (!resolved.bracedURI.empty()) {
        uri = resolved.bracedURI;
        localName = name.substr(resolved.localStart);
    }
    if (hasAttribute(node_, localName, uri ? &*uri : nullptr))
        return nullptr;

    xmlNsPtr ns = nullptr;
    if (sourceNs) {
        ns = searchPrefixedHref(node_, sourceNs->href);
        if (!ns)
            ns = declareNamespace(node_, node_, sourceNs->href, sourceNs->prefix, true);
        if (!ns)
            return nullptr;
    }
    const std::string value = collectText(source);
    xmlAttrPtr added = xmlNewNsProp(node_, ns, xml(name), xml(value));
    if (!added)
        return nullptr;
    fixUpNamespaces(*tree_, reinterpret_cast<xmlNodePtr>(added), node_);
    tree_->changed();
    return tree_->wrap(reinterpret_cast<xmlNodePtr>(added));
}

std::optional<std::string> GDataXMLElement::resolvePrefixForNamespaceURI(std::string_view URI) const
{
    if (!node_)
        return std::nullopt;
    if (URI == kXmlNamespace)
        return std::string("xml");
    xmlNsPtr ns = xmlSearchNsByHref(node_->doc, node_, xml(std::string(URI)));
    if (!ns)
        return std::nullopt;
    return std::string(view(ns->prefix));
}

namespace gdataxml {

void fixUpNamespaces(Tree& tree, xmlNodePtr grafted, xmlNodePtr treeNode)
{
    NamespaceFixUp(tree).run(grafted, treeNode);
}

} // namespace gdataxml

} // namespace norvane
