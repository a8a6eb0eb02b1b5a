#include "cli/RemotePath.h"

#include <array>
#include <utility>

namespace norvane::cli {

namespace {

constexpr std::string_view kPersonalScheme = "my:";
constexpr std::string_view kSharedScheme = "shared:";

struct KeyForm {
    std::string_view prefix;
    RemotePath::Area area;
};
// Longest first where one prefix begins another's text ("/SHAREFOLDER" is not "/SHAREFILE").
constexpr std::array<KeyForm, 4> kKeyForms { {
    { "/SHAREFOLDER", RemotePath::Area::Shared },
    { "/SHAREFILE", RemotePath::Area::Shared },
    { "/FOLDER", RemotePath::Area::Personal },
    { "/FILE", RemotePath::Area::Personal },
} };

bool hasControlCharacter(std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F)
            return true;
        // C1 controls (U+0080-U+009F) in UTF-8.
        if (byte == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F)
                return true;
        }
    }
    return false;
}

std::vector<std::string> split(std::string_view text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t slash = text.find('/', start);
        if (slash == std::string_view::npos)
            slash = text.size();
        if (slash > start)
            parts.emplace_back(text.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

std::string joined(std::string_view base, const std::vector<std::string>& components)
{
    std::string out(base);
    for (const std::string& component : components) {
        out += '/';
        out += component;
    }
    return out;
}

} // namespace

bool RemotePath::looksRemote(std::string_view text)
{
    return text.starts_with(kPersonalScheme) || text.starts_with(kSharedScheme);
}

std::optional<RemotePath> RemotePath::parse(std::string_view text, std::string* error)
{
    const auto refuse = [error](std::string why) -> std::optional<RemotePath> {
        if (error)
            *error = std::move(why);
        return std::nullopt;
    };
    Area area = Area::Personal;
    if (text.starts_with(kPersonalScheme)) {
        text.remove_prefix(kPersonalScheme.size());
    } else if (text.starts_with(kSharedScheme)) {
        area = Area::Shared;
        text.remove_prefix(kSharedScheme.size());
    } else {
        return refuse("a remote path begins with my: or shared:");
    }
    if (hasControlCharacter(text))
        return refuse("a remote path cannot hold control characters");
    std::vector<std::string> components = split(text);
    for (const std::string& component : components)
        if (component == "." || component == "..")
            return refuse("a remote path cannot hold \".\" or \"..\"");
    return RemotePath(area, std::move(components));
}

std::optional<RemotePath> RemotePath::fromKey(std::string_view key)
{
    for (const KeyForm& form : kKeyForms) {
        if (!key.starts_with(form.prefix))
            continue;
        const std::string_view rest = key.substr(form.prefix.size());
        if (!rest.empty() && rest.front() != '/')
            continue; // "/FILEX" is no key of ours
        return RemotePath(form.area, split(rest));
    }
    return std::nullopt;
}

std::string RemotePath::name() const
{
    return components_.empty() ? std::string() : components_.back();
}

RemotePath RemotePath::parent() const
{
    RemotePath up = *this;
    if (!up.components_.empty())
        up.components_.pop_back();
    return up;
}

RemotePath RemotePath::child(const std::string& name) const
{
    RemotePath down = *this;
    down.components_.push_back(name);
    return down;
}

std::string RemotePath::folderKey() const
{
    return joined(area_ == Area::Personal ? "/FOLDER" : "/SHAREFOLDER", components_);
}

std::string RemotePath::fileKey() const
{
    return joined(area_ == Area::Personal ? "/FILE" : "/SHAREFILE", components_);
}

std::string RemotePath::text() const
{
    std::string out(area_ == Area::Personal ? kPersonalScheme : kSharedScheme);
    if (components_.empty())
        return out + "/";
    return joined(out, components_);
}

} // namespace norvane::cli
