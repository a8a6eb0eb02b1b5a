#include "cli/LocalisedText.h"

#include "platform/Strings.h"

namespace norvane::cli {

std::string localisedFormat(std::string_view key, const std::vector<std::string>& arguments)
{
    const std::string text = Strings::text(key);
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '@') {
            out += next < arguments.size() ? arguments[next++] : std::string();
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace norvane::cli
