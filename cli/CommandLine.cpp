#include "cli/CommandLine.h"

#include <algorithm>
#include <charconv>

namespace norvane::cli {

namespace {

const std::vector<std::string> kGlobalValueOptions { "home" };
const std::vector<std::string> kGlobalFlags { "json", "yes", "no", "help", "version" };

bool contains(const std::vector<std::string>& list, std::string_view name)
{
    return std::find(list.begin(), list.end(), name) != list.end();
}

} // namespace

std::optional<std::string> Invocation::value(std::string_view name) const
{
    auto found = values.find(std::string(name));
    if (found == values.end())
        return std::nullopt;
    return found->second;
}

const std::vector<CommandSpec>& CommandLine::commands()
{
    static const std::vector<CommandSpec> table {
        { "config", 0, 0, { "server", "login-server", "proxy", "proxy-user", "trust-key" },
            { "https", "http", "system-proxy", "no-proxy", "proxy-pass" },
            "config [--server HOST:PORT] [--login-server HOST:PORT] [--https|--http]\n"
            "       [--proxy HOST:PORT [--proxy-user U --proxy-pass] | --system-proxy | --no-proxy]\n"
            "       [--trust-key SHA256PIN]",
            "show or change the servers, the proxy and the trusted server key" },
        { "login", 2, 2, {}, { "password-stdin" }, "login COMPANY USER [--password-stdin]",
            "sign in and keep the credentials for the following commands" },
        { "logout", 0, 0, {}, {}, "logout", "sign out and forget the stored password" },
        { "info", 0, 0, {}, {}, "info", "the account, its storage use and the server's policies" },
        { "ls", 0, 1, {}, {}, "ls [PATH]", "list a folder (my:/ when no path is given)" },
        { "search", 2, 2, {}, { "author" }, "search PATH TEXT [--author]",
            "find files below a folder by name, or by author" },
        { "get", 1, 2, {}, {}, "get PATH [LOCAL]", "download a file or a folder tree" },
        { "put", 2, kUnbounded, {}, {}, "put LOCAL... PATH", "upload files and folder trees into a folder" },
        { "mkdir", 1, kUnbounded, {}, {}, "mkdir PATH...", "create folders" },
        { "cp", 2, kUnbounded, {}, {}, "cp SRC... DEST", "copy into a folder" },
        { "mv", 2, kUnbounded, {}, {}, "mv SRC... DEST", "move into a folder, or one entry to a new path" },
        { "rename", 2, 2, {}, {}, "rename PATH NEWNAME", "rename a file or a folder" },
        { "rm", 1, kUnbounded, {}, {}, "rm PATH...", "delete files and folders (asks first)" },
        { "lock", 1, kUnbounded, {}, {}, "lock PATH...", "lock files against changes by others" },
        { "unlock", 1, kUnbounded, {}, {}, "unlock PATH...", "unlock files" },
        { "chmod", 2, 2, {}, {}, "chmod PATH on|off", "let others edit a shared entry, or not" },
        { "share", 1, 1, { "days", "count" }, {}, "share PATH [--days N] [--count N]",
            "make a web download link with a password" },
        { "print", 1, 1, { "password", "days" }, {}, "print PATH [--password NNNN] [--days N]",
            "register a file for printing" },
        { "jobs", 0, 0, {}, {}, "jobs", "list the registered print jobs" },
        { "passwd", 0, 0, {}, { "password-stdin" }, "passwd [--password-stdin]", "change the password" },
        { "device-id", 0, 0, {}, { "new" }, "device-id [--new]", "show the device identifier, or make a new one" },
        { "edit", 1, 1, {}, {}, "edit PATH",
            "open a file in $VISUAL, $EDITOR or the desktop's application and upload every save" },
        { "help", 0, 1, {}, {}, "help [COMMAND]", "this text" },
    };
    return table;
}

const CommandSpec* CommandLine::find(std::string_view name)
{
    for (const CommandSpec& spec : commands())
        if (name == spec.name)
            return &spec;
    return nullptr;
}

CommandLine::Result CommandLine::parse(const std::vector<std::string>& arguments)
{
    Result result;
    Invocation& invocation = result.invocation;
    const auto fail = [&result](std::string message) {
        if (result.error.empty())
            result.error = std::move(message);
    };

    // Which options take a value is known for certain only once the command is known, and the
    // command may come after its options. Any name that takes a value somewhere takes the next
    // word here; the options are checked against the command afterwards.
    std::set<std::string> anyValueOption(kGlobalValueOptions.begin(), kGlobalValueOptions.end());
    for (const CommandSpec& spec : commands())
        anyValueOption.insert(spec.valueOptions.begin(), spec.valueOptions.end());

    struct Option {
        std::string name;
        std::optional<std::string> value;
    };
    std::vector<Option> options;
    std::vector<std::string> positional;
    bool endOfOptions = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (endOfOptions || word == "-" || !word.starts_with("-")) {
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            endOfOptions = true;
            continue;
        }
        if (word == "-h") {
            options.push_back({ "help", std::nullopt });
            continue;
        }
        if (!word.starts_with("--")) {
            fail("unknown option " + word);
            continue;
        }
        Option option { word.substr(2), std::nullopt };
        if (auto equals = option.name.find('='); equals != std::string::npos) {
            option.value = option.name.substr(equals + 1);
            option.name.resize(equals);
        } else if (anyValueOption.count(option.name)) {
            if (i + 1 < arguments.size())
                option.value = arguments[++i];
            else
                fail("--" + option.name + " needs a value");
        }
        options.push_back(std::move(option));
    }

    const CommandSpec* spec = nullptr;
    if (!positional.empty()) {
        invocation.command = positional.front();
        positional.erase(positional.begin());
        spec = find(invocation.command);
        if (!spec)
            fail("unknown command \"" + invocation.command + "\"");
    }

    for (const Option& option : options) {
        const bool takesValue
            = contains(kGlobalValueOptions, option.name) || (spec && contains(spec->valueOptions, option.name));
        const bool isFlag = contains(kGlobalFlags, option.name) || (spec && contains(spec->flagOptions, option.name));
        if (takesValue) {
            if (!option.value)
                continue; // reported above
            if (invocation.values.count(option.name))
                fail("--" + option.name + " given twice");
            invocation.values[option.name] = *option.value;
        } else if (isFlag && !option.value) {
            invocation.flags.insert(option.name);
        } else if (isFlag) {
            fail("--" + option.name + " takes no value");
        } else {
            fail("unknown option --" + option.name + (spec ? " for " + std::string(spec->name) : std::string()));
        }
    }

    invocation.json = invocation.has("json");
    invocation.home = invocation.value("home").value_or("");
    invocation.version = invocation.has("version");
    invocation.help = invocation.has("help") || invocation.command == "help";
    // Nothing to do is a mistake of the line, not a request for help: a script that lost its
    // command must not go on as if something had been done.
    if (invocation.command.empty() && !invocation.help && !invocation.version)
        fail("no command given");
    if (invocation.has("yes") && invocation.has("no"))
        fail("--yes and --no exclude each other");
    invocation.answers = invocation.has("yes") ? AnswerPolicy::Yes
        : invocation.has("no")                 ? AnswerPolicy::No
                                               : AnswerPolicy::Ask;
    if (invocation.values.count("home") && invocation.home.empty())
        fail("--home needs a folder");

    invocation.arguments = std::move(positional);
    if (spec && !invocation.help) {
        const std::size_t count = invocation.arguments.size();
        if (count < spec->minArguments || count > spec->maxArguments)
            fail(std::string("usage: norvane-cli ") + spec->synopsis);
    }
    return result;
}

std::optional<std::pair<std::string, int>> CommandLine::hostAndPort(std::string_view text)
{
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        // An IPv6 address needs its brackets, or its colons would be read as the port's.
        if (host.find(':') != std::string_view::npos)
            return std::nullopt;
    }
    if (host.empty())
        return std::nullopt;
    for (char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '[' || c == ']')
            return std::nullopt;
    }
    const auto number = CommandLine::number(port, 1, 65535);
    if (!number)
        return std::nullopt;
    return std::pair { std::string(host), static_cast<int>(*number) };
}

std::optional<long> CommandLine::number(std::string_view text, long low, long high)
{
    long value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    auto [rest, error] = std::from_chars(begin, end, value);
    if (begin == end || error != std::errc() || rest != end || value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace norvane::cli
