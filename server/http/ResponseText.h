#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace norvane::server {

// The namespace of listings and print-job lists.
inline constexpr const char* kStorageNamespace = "http://norvane.invalid/storage/2009-01-01/";

// Text as XML character data or attribute value: markup characters escaped by libxml2, of the
// printable text (see PrintableText.h) with its tabs and line feeds. Also fit for HTML text and
// quoted attributes.
std::string xmlText(std::string_view text);

// Builds an XML document as text: every text and attribute value goes through xmlText, element
// names are fixed by the caller.
class XmlWriter {
public:
    XmlWriter(); // starts with the XML declaration
    XmlWriter& open(std::string_view name);
    XmlWriter& open(std::string_view name, std::string_view attribute, std::string_view value);
    XmlWriter& close(std::string_view name);
    XmlWriter& element(std::string_view name, std::string_view text);
    XmlWriter& element(std::string_view name, long long number);
    std::string take() { return std::move(out_); }
    const std::string& text() const { return out_; }

private:
    std::string out_;
};

// <Error><Code>code</Code><Message>message</Message><RequestId>id</RequestId></Error>
std::string errorDocument(std::string_view code, std::string_view message, std::string_view requestId);

// One CSV record: every field quoted, quotes doubled, CRLF at the end; each field is printable text
// of one line (see PrintableText.h), so a row never carries a control character.
void appendCsvRecord(std::string& out, const std::vector<std::string>& fields);

} // namespace norvane::server
