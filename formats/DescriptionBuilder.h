#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// The field dump that records return as their description, for logs:
//
//   <fileInformation: 0x55d0c2a4f2b0;
//   fileId = (null);
//   displayName = "report.pdf";
//   isEmpty = false>
//
// A record appends its fields in declaration order, each with the append function of its type,
// and takes the text with str(). The identity is the record's address, so two dumps of the same
// object can be told apart from dumps of an equal copy.
class DescriptionBuilder {
public:
    DescriptionBuilder(std::string_view className, const void* identity);

    // Text in double quotes; a missing text is written as (null) without quotes.
    DescriptionBuilder& text(std::string_view name, const std::optional<std::string>& value);
    DescriptionBuilder& text(std::string_view name, std::string_view value);
    // A nested object's own description, unquoted; a missing object is (null).
    DescriptionBuilder& object(std::string_view name, const std::optional<std::string>& description);
    // An object that has no description of its own: "<ClassName: 0x...>".
    DescriptionBuilder& opaqueObject(std::string_view name, std::string_view className, const void* identity);
    // A class or selector: its bare name.
    DescriptionBuilder& symbol(std::string_view name, std::string_view symbolName);
    // A C string as it is; a null pointer is (null).
    DescriptionBuilder& cString(std::string_view name, const char* value);
    DescriptionBuilder& flag(std::string_view name, bool value); // 8-bit flag: YES / NO
    DescriptionBuilder& boolean(std::string_view name, bool value); // true / false
    DescriptionBuilder& real(std::string_view name, double value); // six decimals, always a '.'
    DescriptionBuilder& int16(std::string_view name, std::int16_t value);
    DescriptionBuilder& uint16(std::string_view name, std::uint16_t value);
    DescriptionBuilder& int32(std::string_view name, std::int32_t value);
    DescriptionBuilder& uint32(std::string_view name, std::uint32_t value);
    DescriptionBuilder& int64(std::string_view name, std::int64_t value);
    DescriptionBuilder& uint64(std::string_view name, std::uint64_t value);
    DescriptionBuilder& character(std::string_view name, unsigned char value);
    DescriptionBuilder& pointer(std::string_view name, const void* value);
    // A structure: the name and " = " with nothing after them.
    DescriptionBuilder& structure(std::string_view name);
    // Anything else: the field's type code.
    DescriptionBuilder& typeCode(std::string_view name, std::string_view code);

    std::string str() const;

private:
    DescriptionBuilder& append(std::string_view name, std::string_view value);

    std::string text_;
    bool hasFields_ = false;
};

} // namespace norvane
