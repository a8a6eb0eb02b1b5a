#include "formats/DescriptionBuilder.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>

namespace norvane {

namespace {

constexpr std::string_view kNull = "(null)";

std::string hexIdentity(const void* identity)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(identity));
    return buffer;
}

template <class Integer> std::string decimal(Integer value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

} // namespace

DescriptionBuilder::DescriptionBuilder(std::string_view className, const void* identity)
{
    text_ += '<';
    text_ += className;
    text_ += ": ";
    text_ += hexIdentity(identity);
    text_ += ";\n";
}

DescriptionBuilder& DescriptionBuilder::append(std::string_view name, std::string_view value)
{
    // Fields are separated, not terminated, by ";\n": the separator goes before every field
    // but the first one, which follows the header's own ";\n".
    if (hasFields_)
        text_ += ";\n";
    hasFields_ = true;
    text_ += name;
    text_ += " = ";
    text_ += value;
    return *this;
}

DescriptionBuilder& DescriptionBuilder::text(std::string_view name, const std::optional<std::string>& value)
{
    if (!value)
        return append(name, kNull);
    return text(name, std::string_view(*value));
}

DescriptionBuilder& DescriptionBuilder::text(std::string_view name, std::string_view value)
{
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted += '"';
    quoted += value;
    quoted += '"';
    return append(name, quoted);
}

DescriptionBuilder& DescriptionBuilder::object(std::string_view name, const std::optional<std::string>& description)
{
    return append(name, description ? std::string_view(*description) : kNull);
}

DescriptionBuilder& DescriptionBuilder::opaqueObject(
    std::string_view name, std::string_view className, const void* identity)
{
    std::string value = "<";
    value += className;
    value += ": ";
    value += hexIdentity(identity);
    value += '>';
    return append(name, value);
}

DescriptionBuilder& DescriptionBuilder::symbol(std::string_view name, std::string_view symbolName)
{
    return append(name, symbolName);
}

DescriptionBuilder& DescriptionBuilder::cString(std::string_view name, const char* value)
{
    return append(name, value ? std::string_view(value) : kNull);
}

DescriptionBuilder& DescriptionBuilder::flag(std::string_view name, bool value)
{
    return append(name, value ? "YES" : "NO");
}

DescriptionBuilder& DescriptionBuilder::boolean(std::string_view name, bool value)
{
    return append(name, value ? "true" : "false");
}

DescriptionBuilder& DescriptionBuilder::real(std::string_view name, double value)
{
    // to_chars rather than "%f": the locale must not turn the point into a comma in logs.
    char buffer[512];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    if (result.ec != std::errc {})
        return append(name, "?");
    return append(name, std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

DescriptionBuilder& DescriptionBuilder::int16(std::string_view name, std::int16_t value)
{
    return append(name, decimal(value));
}

DescriptionBuilder& DescriptionBuilder::uint16(std::string_view name, std::uint16_t value)
{
    return append(name, decimal(value));
}

DescriptionBuilder& DescriptionBuilder::int32(std::string_view name, std::int32_t value)
{
    return append(name, decimal(value));
}

DescriptionBuilder& DescriptionBuilder::uint32(std::string_view name, std::uint32_t value)
{
    return append(name, decimal(value));
}

DescriptionBuilder& DescriptionBuilder::int64(std::string_view name, std::int64_t value)
{
    return append(name, decimal(value));
}

DescriptionBuilder& DescriptionBuilder::uint64(std::string_view name, std::uint64_t value)
{
    return append(name, decimal(value));
}

DescriptionBuilder& DescriptionBuilder::character(std::string_view name, unsigned char value)
{
    const char c = static_cast<char>(value);
    return append(name, std::string_view(&c, 1));
}

DescriptionBuilder& DescriptionBuilder::pointer(std::string_view name, const void* value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", value);
    return append(name, buffer);
}

DescriptionBuilder& DescriptionBuilder::structure(std::string_view name)
{
    return append(name, {});
}

DescriptionBuilder& DescriptionBuilder::typeCode(std::string_view name, std::string_view code)
{
    return append(name, code);
}

std::string DescriptionBuilder::str() const
{
    return text_ + '>';
}

} // namespace norvane
