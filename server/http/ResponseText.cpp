#include "server/http/ResponseText.h"

#include <libxml/entities.h>
#include <libxml/xmlmemory.h>

#include <cstdint>

namespace norvane::server {

namespace {

void appendUtf8(std::string& out, std::uint32_t point)
{
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xc0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3f));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xe0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (point & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (point & 0x3f));
    }
}

bool isXmlCharacter(std::uint32_t point)
{
    if (point < 0x20)
        return point == 0x09 || point == 0x0a || point == 0x0d;
    return point != 0xfffe && point != 0xffff;
}

// The text as well-formed UTF-8; with `xmlOnly`, of the characters that XML 1.0 allows, else
// without NUL.
std::string cleanCharacters(std::string_view text, bool xmlOnly)
{
    constexpr std::uint32_t kReplacement = 0xfffd;
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (c < 0x80) {
            length = 1;
            point = c;
        } else if ((c & 0xe0) == 0xc0) {
            length = 2;
            point = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            length = 3;
            point = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            length = 4;
            point = c & 0x07;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xc0) == 0x80;
            point = (point << 6) | (next & 0x3f);
        }
        static constexpr std::uint32_t kSmallest[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (valid)
            valid = point >= kSmallest[length] && point <= 0x10ffff && !(point >= 0xd800 && point <= 0xdfff);
        if (!valid) {
            appendUtf8(out, kReplacement);
            ++i;
            continue;
        }
        if (xmlOnly ? isXmlCharacter(point) : point != 0)
            out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

} // namespace

std::string xmlText(std::string_view text)
{
    const std::string clean = cleanCharacters(text, true);
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
        for (char c : cleanCharacters(field, false)) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    out += "\r\n";
}

} // namespace norvane::server
