#include "server/store/EntryNames.h"

#include "server/store/PrintableText.h"

namespace norvane::server {

bool isValidEntryName(std::string_view name)
{
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxEntryNameBytes)
        return false;
    return name.find_first_of("/\\") == std::string_view::npos && isPrintableText(name);
}

bool isValidEntryPath(const std::vector<std::string>& path)
{
    for (const auto& name : path) {
        if (!isValidEntryName(name))
            return false;
    }
    return true;
}

std::string pathText(const std::vector<std::string>& path)
{
    if (path.empty())
        return "/";
    std::string text;
    for (const auto& name : path)
        text += "/" + name;
    return text;
}

std::string foldCase(std::string_view text)
{
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

} // namespace norvane::server
