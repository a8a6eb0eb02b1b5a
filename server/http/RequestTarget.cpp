#include "server/http/RequestTarget.h"

#include "platform/AsciiText.h"
#include "server/store/EntryNames.h"
#include "server/store/PrintableText.h"

namespace norvane::server {

namespace {

std::vector<std::string_view> splitAt(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        auto at = text.find(separator, start);
        if (at == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

// One decoding pass over a component; a "/" or "\" that appears is an encoded separator.
std::optional<std::string> decodeComponent(std::string_view raw, std::string& error)
{
    auto decoded = percentDecode(raw);
    if (!decoded) {
        error = "malformed percent escape";
        return std::nullopt;
    }
    if (decoded->find_first_of("/\\") != std::string::npos) {
        error = "encoded separator in a path component";
        return std::nullopt;
    }
    return decoded;
}

std::optional<Area> areaOfKeyword(std::string_view keyword, std::string_view personal, std::string_view shared)
{
    if (keyword == personal)
        return Area::Personal;
    if (keyword == shared)
        return Area::Shared;
    return std::nullopt;
}

// Classifies decoded components; false when they form no target of this server.
bool classify(const std::vector<std::string>& parts, RequestTarget& target)
{
    const std::string& first = parts.front();
    auto rest = [&](std::size_t from) {
        return std::vector<std::string>(parts.begin() + static_cast<long>(from), parts.end());
    };
    if (first == "Version" && parts.size() == 1) {
        target.form = TargetForm::Version;
        return true;
    }
    if (first == "Storage9") {
        if (parts.size() != 4 || parts[1] != "QORPrivateStorage")
            return false;
        if (parts[2] == "account")
            target.form = TargetForm::Login;
        else if (parts[2] == "changepassword")
            target.form = TargetForm::ChangePassword;
        else if (parts[2] == "information")
            target.form = TargetForm::Information;
        else
            return false;
        target.path = rest(3);
        return true;
    }
    struct TreeForm {
        TargetForm form;
        std::string_view personal;
        std::string_view shared;
    };
    static constexpr TreeForm kTreeForms[] = {
        { TargetForm::Folder, "FOLDER", "SHAREFOLDER" },
        { TargetForm::File, "FILE", "SHAREFILE" },
        { TargetForm::Search, "SEARCH", "SHARESEARCH" },
        { TargetForm::Lock, "LOCKFILE", "LOCKSHAREFILE" },
    };
    for (const auto& tree : kTreeForms) {
        if (auto area = areaOfKeyword(first, tree.personal, tree.shared)) {
            target.form = tree.form;
            target.area = *area;
            target.path = rest(1);
            return true;
        }
    }
    if (auto area = areaOfKeyword(first, "PDF", "SHAREPDF")) {
        const std::string_view fileKeyword = *area == Area::Personal ? "FILE" : "SHAREFILE";
        if (parts.size() < 3 || parts[1] != fileKeyword)
            return false;
        target.form = TargetForm::PdfPage;
        target.area = *area;
        target.path = rest(2);
        return true;
    }
    if (first == "MAKEURL" && parts.size() == 1) {
        target.form = TargetForm::MakeUrl;
        return true;
    }
    if (first == "NETPRINT" && parts.size() <= 2) {
        target.form = TargetForm::NetPrint;
        target.path = rest(1);
        return true;
    }
    if (first == "s" && parts.size() == 2) {
        target.form = TargetForm::PublicLink;
        target.path = rest(1);
        return true;
    }
    if (first == "_control" && parts.size() == 2) {
        target.form = TargetForm::Control;
        target.path = rest(1);
        return true;
    }
    return false;
}

} // namespace

std::optional<std::string> percentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = ascii::hexValue(text[i + 1]);
        const int low = ascii::hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

RequestTargetParse parseRequestTarget(std::string_view rawTarget)
{
    RequestTargetParse parse;
    auto refuse = [&](std::string why) {
        parse.error = std::move(why);
        return parse;
    };
    if (rawTarget.empty() || rawTarget.front() != '/')
        return refuse("the target is not an absolute path");
    if (!isPrintableText(rawTarget))
        return refuse("control character in the target");

    RequestTarget target;
    const auto question = rawTarget.find('?');
    const std::string_view rawPath = rawTarget.substr(0, question);
    const std::string_view rawQuery
        = question == std::string_view::npos ? std::string_view() : rawTarget.substr(question + 1);

    if (!rawQuery.empty()) {
        for (std::string_view pair : splitAt(rawQuery, '&')) {
            if (pair.empty())
                continue;
            auto equals = pair.find('=');
            auto name = percentDecode(pair.substr(0, equals));
            auto value = percentDecode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
            if (!name || !value)
                return refuse("malformed percent escape in the query");
            if (!isPrintableText(*name) || !isPrintableText(*value))
                return refuse("control character or invalid UTF-8 in the query");
            target.query.emplace(std::move(*name), std::move(*value));
        }
        auto equals = rawQuery.find('=');
        if (equals != std::string_view::npos) {
            auto whole = percentDecode(rawQuery.substr(equals + 1));
            if (!whole)
                return refuse("malformed percent escape in the query");
            if (!isPrintableText(*whole))
                return refuse("control character or invalid UTF-8 in the query");
            target.queryValueText = std::move(*whole);
        }
    }
    target.thumbnail = target.query.contains("thumbnail");

    std::vector<std::string> parts;
    for (std::string_view raw : splitAt(rawPath.substr(1), '/')) {
        std::string error;
        auto decoded = decodeComponent(raw, error);
        // A thumbnail's path was escaped once more by the client: the second pass may reveal an
        // escaped separator too.
        if (decoded && target.thumbnail)
            decoded = decodeComponent(*decoded, error);
        if (!decoded)
            return refuse(error);
        if (!isValidEntryName(*decoded)) {
            if (decoded->empty())
                return refuse("empty path component");
            if (*decoded == "." || *decoded == "..")
                return refuse("'.' or '..' as a path component");
            return refuse("control character, invalid UTF-8 or too long a name in a path component");
        }
        target.decodedPath += '/';
        target.decodedPath += *decoded;
        parts.push_back(std::move(*decoded));
    }
    if (!classify(parts, target)) {
        parse.unknownForm = true;
        parse.error = "no such resource";
        return parse;
    }
    parse.target = std::move(target);
    return parse;
}

namespace {

std::optional<EntryKey> keyOfComponents(const std::vector<std::string_view>& parts)
{
    if (parts.empty())
        return std::nullopt;
    EntryKey key;
    const std::string_view first = parts.front();
    if (first == "FOLDER" || first == "FILE") {
        key.area = Area::Personal;
    } else if (first == "SHAREFOLDER" || first == "SHAREFILE") {
        key.area = Area::Shared;
    } else {
        return std::nullopt;
    }
    key.folderForm = first == "FOLDER" || first == "SHAREFOLDER";
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (!isValidEntryName(parts[i]))
            return std::nullopt;
        key.path.emplace_back(parts[i]);
    }
    return key;
}

std::optional<EntryKey> keyOfText(std::string_view text)
{
    if (text.empty() || text.front() != '/')
        return std::nullopt;
    return keyOfComponents(splitAt(text.substr(1), '/'));
}

} // namespace

std::vector<EntryKey> readEntryKey(std::string_view text)
{
    std::vector<EntryKey> readings;
    if (auto raw = keyOfText(text))
        readings.push_back(std::move(*raw));
    if (auto decoded = percentDecode(text)) {
        if (auto key = keyOfText(*decoded)) {
            const bool same = !readings.empty() && readings.front().area == key->area
                && readings.front().folderForm == key->folderForm && readings.front().path == key->path;
            if (!same)
                readings.push_back(std::move(*key));
        }
    }
    return readings;
}

std::string entryKeyText(Area area, bool folder, const std::vector<std::string>& path)
{
    std::string text;
    if (folder)
        text = area == Area::Personal ? "/FOLDER" : "/SHAREFOLDER";
    else
        text = area == Area::Personal ? "/FILE" : "/SHAREFILE";
    return text + fullPathText(path);
}

std::string fullPathText(const std::vector<std::string>& path)
{
    std::string text;
    for (const auto& part : path) {
        text += '/';
        text += part;
    }
    return text;
}

} // namespace norvane::server
