#include "app/ui/DragRecords.h"

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"
#include "app/logic/Path.h"
#include "app/state/PermissionRules.h"

#include <charconv>
#include <string_view>

namespace norvane::DragRecords {

namespace {

constexpr std::string_view kSeparator = "#ABBA#";

template <class Number> std::optional<Number> number(std::string_view text)
{
    Number value {};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// "#" and "%" of a field are written as "%23" and "%25", so that no name can hold the separator
// or a line break ("%0A") and every record splits into its six fields.
std::string escaped(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (char c : field) {
        if (c == '#')
            out += "%23";
        else if (c == '%')
            out += "%25";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

std::optional<std::string> unescaped(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out += field[i];
            continue;
        }
        const std::string_view code = field.substr(i + 1, 2);
        if (code == "23")
            out += '#';
        else if (code == "25")
            out += '%';
        else if (code == "0A")
            out += '\n';
        else
            return std::nullopt;
        i += 2;
    }
    return out;
}

std::string parentOf(const std::string& key)
{
    const auto slash = key.rfind('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

} // namespace

std::string record(const Row& row)
{
    std::string out = escaped(row.uk);
    for (const std::string& field : { escaped(row.displayName), std::to_string(row.sourceColumn),
             std::to_string(row.fileType), escaped(row.fullPath), std::string(row.canMove ? "1" : "0") }) {
        out += kSeparator;
        out += field;
    }
    return out;
}

std::optional<Row> parse(const std::string& text)
{
    std::vector<std::string_view> fields;
    std::string_view rest(text);
    for (auto at = rest.find(kSeparator); at != std::string_view::npos; at = rest.find(kSeparator)) {
        fields.push_back(rest.substr(0, at));
        rest.remove_prefix(at + kSeparator.size());
    }
    fields.push_back(rest);
    if (fields.size() != 6)
        return std::nullopt;
    const auto column = number<std::int64_t>(fields[2]);
    const auto type = number<std::uint64_t>(fields[3]);
    auto uk = unescaped(fields[0]);
    auto name = unescaped(fields[1]);
    auto fullPath = unescaped(fields[4]);
    if (!column || !type || (fields[5] != "0" && fields[5] != "1") || !uk || !name || !fullPath)
        return std::nullopt;
    Row row;
    row.uk = std::move(*uk);
    row.displayName = std::move(*name);
    row.sourceColumn = *column;
    row.fileType = *type;
    row.fullPath = std::move(*fullPath);
    row.canMove = fields[5] == "1";
    return row;
}

std::string encode(const std::vector<Row>& rows)
{
    std::string out;
    for (const Row& row : rows) {
        out += record(row);
        out += '\n';
    }
    return out;
}

std::vector<Row> decode(const std::string& data)
{
    std::vector<Row> rows;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\n', start);
        if (end == std::string::npos)
            end = data.size();
        if (auto row = parse(data.substr(start, end - start)))
            rows.push_back(std::move(*row));
        start = end + 1;
    }
    return rows;
}

bool acceptsDrops(const fileInformation& target)
{
    const std::string uk = target.uk.value_or("");
    return !target.isFile() && !target.isReadOnly && !Path::isFavoriteFolder(uk) && uk != "/SHAREFOLDER"
        && !Path::isBackupFolder(target) && !uk.empty();
}

Decision decide(const std::vector<Row>& rows, const fileInformation& target, std::uint64_t modifierFlags)
{
    Decision decision;
    if (!acceptsDrops(target))
        return decision;
    for (const Row& row : rows)
        if (row.fileType == 0)
            decision.files.push_back(row);
    const auto intoFiles = fileFormOfFolder(target.uk.value_or(""));
    if (decision.files.empty() || !intoFiles)
        return {};
    for (const Row& file : decision.files)
        if (Path::isFavoriteFolder(file.uk) || file.uk.starts_with("/FILE/.Favorite./")
            || parentOf(file.uk) == *intoFiles)
            return {};
    const Row& first = decision.files.front();
    const bool copy = PermissionRules::needCopyBySrc({ first.uk, first.fullPath }, target, modifierFlags);
    if (!copy && decision.files.size() == 1 && !first.canMove)
        return {};
    decision.operation = copy ? Operation::Copy : Operation::Move;
    return decision;
}

std::optional<std::string> fileFormOfFolder(const std::string& folderKey)
{
    for (const auto& [folder, file] : { std::pair<std::string_view, std::string_view> { "/SHAREFOLDER", "/SHAREFILE" },
             std::pair<std::string_view, std::string_view> { "/FOLDER", "/FILE" } }) {
        if (folderKey == folder || folderKey.starts_with(std::string(folder) + "/"))
            return std::string(file) + folderKey.substr(folder.size());
    }
    return std::nullopt;
}

} // namespace norvane::DragRecords
