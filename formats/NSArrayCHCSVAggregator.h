#pragma once

#include "formats/CHCSVParser.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

using CHCSVRow = std::vector<std::string>;
using CHCSVRows = std::vector<CHCSVRow>;

// Collects a parse into rows of field texts. Lines without any field (comment lines, the blank line
// at the end of a document) add no row.
class NSArrayCHCSVAggregator final : public CHCSVParserDelegate {
public:
    void parserDidStartDocument(CHCSVParser&) override;
    void parserDidStartLine(CHCSVParser&, std::uint64_t lineNumber) override;
    void parserDidReadField(CHCSVParser&, const std::string& field) override;
    void parserDidEndLine(CHCSVParser&, std::uint64_t lineNumber) override;
    void parserDidFailWithError(CHCSVParser&, const ErrorValue& error) override;

    const CHCSVRows& lines() const { return lines_; }
    CHCSVRows takeLines() { return std::move(lines_); }
    const std::optional<ErrorValue>& error() const { return error_; }

private:
    CHCSVRows lines_;
    CHCSVRow currentRow_;
    std::optional<ErrorValue> error_;
};

// Parses CSV into rows of fields. On failure (input that cannot be opened, read or decoded,
// malformed CSV, an unusable delimiter) gives none, even when some rows were read, and the error
// in *error. The text is UTF-8 and is read as bytes in the given encoding; a stream or a file
// without an encoding has it detected.
std::optional<CHCSVRows> arrayWithContentsOfCSVString(std::string_view text,
    CHCSVEncoding encoding = CHCSVEncoding::UTF8, ErrorValue* error = nullptr, std::string_view delimiter = ",");
std::optional<CHCSVRows> arrayWithContentsOfCSVStream(std::unique_ptr<CHCSVInputStream> stream,
    std::optional<CHCSVEncoding> encoding = std::nullopt, ErrorValue* error = nullptr,
    std::string_view delimiter = ",");
std::optional<CHCSVRows> arrayWithContentsOfCSVFile(const std::string& path,
    std::optional<CHCSVEncoding> encoding = std::nullopt, ErrorValue* error = nullptr,
    std::string_view delimiter = ",");

} // namespace norvane
