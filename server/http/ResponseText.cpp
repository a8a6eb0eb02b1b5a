#include "server/http/ResponseText.h"

#include "server/store/PrintableText.h"

#include <libxml/entities.h>
#include <libxml/xmlmemory.h>

namespace norvane::server {

std::string xmlText(std::string_view text)
{
    const std::string clean = printableText(text, Layout::TabsAndLineFeeds);
    if (clean.empty())
        return clean;
    xmlChar* escaped = xmlEncodeSpecialChars(nullptr, reinterpret_cast<const xmlChar*>(clean.c_str()));
    if (!escaped)
        return {}; // out of memory in libxml2: nothing rather than unescaped text
    std::string out(reinterpret_cast<const char*>(escaped));
    xmlFree(escaped);
    return out;
}

XmlWriter::XmlWriter()
    : out_("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n")
{ }

XmlWriter& XmlWriter::open(std::string_view name)
{
    out_ += '<';
    out_ += name;
    out_ += '>';
    return *this;
}

XmlWriter& XmlWriter::open(std::string_view name, std::string_view attribute, std::string_view value)
{
    out_ += '<';
    out_ += name;
    out_ += ' ';
    out_ += attribute;
    out_ += "=\"";
    out_ += xmlText(value);
    out_ += "\">";
    return *this;
}

XmlWriter& XmlWriter::close(std::string_view name)
{
    out_ += "</";
    out_ += name;
    out_ += '>';
    return *this;
}

XmlWriter& XmlWriter::element(std::string_view name, std::string_view text)
{
    open(name);
    out_ += xmlText(text);
    return close(name);
}

XmlWriter& XmlWriter::element(std::string_view name, long long number)
{
    return element(name, std::to_string(number));
}

std::string errorDocument(std::string_view code, std::string_view message, std::string_view requestId)
{
    XmlWriter xml;
    xml.open("Error").element("Code", code).element("Message", message).element("RequestId", requestId).close("Error");
    return xml.take();
}

void appendCsvRecord(std::string& out, const std::vector<std::string>& fields)
{
    bool first = true;
    for (const auto& field : fields) {
        if (!first)
            out += ',';
        first = false;
        out += '"';
        for (char c : printableText(field)) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    out += "\r\n";
}

} // namespace norvane::server
