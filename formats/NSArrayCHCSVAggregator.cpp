#include "formats/NSArrayCHCSVAggregator.h"

namespace norvane {

void NSArrayCHCSVAggregator::parserDidStartDocument(CHCSVParser&)
{
    lines_.clear();
    currentRow_.clear();
    error_.reset();
}

void NSArrayCHCSVAggregator::parserDidStartLine(CHCSVParser&, std::uint64_t)
{
    currentRow_.clear();
}

void NSArrayCHCSVAggregator::parserDidReadField(CHCSVParser&, const std::string& field)
{
    currentRow_.push_back(field);
}

void NSArrayCHCSVAggregator::parserDidEndLine(CHCSVParser&, std::uint64_t)
{
    if (!currentRow_.empty())
        lines_.push_back(std::move(currentRow_));
    currentRow_.clear();
}

void NSArrayCHCSVAggregator::parserDidFailWithError(CHCSVParser&, const ErrorValue& error)
{
    error_ = error;
}

namespace {

std::optional<CHCSVRows> aggregate(std::unique_ptr<CHCSVParser> parser, ErrorValue* error, std::string_view delimiter)
{
    if (!parser)
        return std::nullopt; // the constructor has filled *error
    if (auto refused = parser->setDelimiter(delimiter)) {
        if (error)
            *error = std::move(*refused);
        return std::nullopt;
    }
    NSArrayCHCSVAggregator aggregator;
    parser->setParserDelegate(&aggregator);
    if (!parser->parse() || aggregator.error()) {
        if (error)
            *error = aggregator.error().value_or(parser->error().value_or(ErrorValue {}));
        return std::nullopt;
    }
    return aggregator.takeLines();
}

} // namespace

std::optional<CHCSVRows> arrayWithContentsOfCSVString(
    std::string_view text, CHCSVEncoding encoding, ErrorValue* error, std::string_view delimiter)
{
    return aggregate(CHCSVParser::fromString(text, encoding, error), error, delimiter);
}

std::optional<CHCSVRows> arrayWithContentsOfCSVStream(std::unique_ptr<CHCSVInputStream> stream,
    std::optional<CHCSVEncoding> encoding, ErrorValue* error, std::string_view delimiter)
{
    return aggregate(CHCSVParser::fromStream(std::move(stream), encoding, error), error, delimiter);
}

std::optional<CHCSVRows> arrayWithContentsOfCSVFile(
    const std::string& path, std::optional<CHCSVEncoding> encoding, ErrorValue* error, std::string_view delimiter)
{
    return aggregate(CHCSVParser::fromFile(path, encoding, error), error, delimiter);
}

} // namespace norvane
