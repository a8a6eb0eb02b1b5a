#include "CloudServiceSDKForMac/CloudService/ValueDescription.h"

#include <cstdio>
#include <string_view>
#include <type_traits>

namespace norvane {

namespace {

void append(std::string& out, const Value& value, int depth);

void appendQuoted(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

void indent(std::string& out, int depth)
{
    out.append(static_cast<std::size_t>(depth) * 4, ' ');
}

void append(std::string& out, const Value& value, int depth)
{
    std::visit(
        [&](const auto& item) {
            using T = std::decay_t<decltype(item)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                out += "(null)";
            } else if constexpr (std::is_same_v<T, bool>) {
                out += item ? "true" : "false";
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                out += std::to_string(item);
            } else if constexpr (std::is_same_v<T, double>) {
                char buffer[64];
                std::snprintf(buffer, sizeof buffer, "%g", item);
                out += buffer;
            } else if constexpr (std::is_same_v<T, std::string>) {
                appendQuoted(out, item);
            } else if constexpr (std::is_same_v<T, Bytes>) {
                out += "{length = " + std::to_string(item.size()) + "}";
            } else if constexpr (std::is_same_v<T, ValueList>) {
                out += "(";
                bool first = true;
                for (const auto& element : item) {
                    out += first ? "\n" : ",\n";
                    first = false;
                    indent(out, depth + 1);
                    append(out, element, depth + 1);
                }
                if (!first) {
                    out += "\n";
                    indent(out, depth);
                }
                out += ")";
            } else {
                out += "{";
                for (const auto& [key, element] : item) {
                    out += "\n";
                    indent(out, depth + 1);
                    appendQuoted(out, key);
                    out += " = ";
                    append(out, element, depth + 1);
                    out += ";";
                }
                if (!item.empty()) {
                    out += "\n";
                    indent(out, depth);
                }
                out += "}";
            }
        },
        value.storage());
}

} // namespace

std::string describeValue(const Value& value)
{
    std::string out;
    append(out, value, 0);
    return out;
}

} // namespace norvane
