#include "server/http/ServerOptions.h"

#include <algorithm>
#include <charconv>

namespace norvane::server {

std::optional<std::pair<std::string, int>> parseListenAddress(std::string_view text)
{
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        auto close = text.find("]:");
        if (close == std::string_view::npos)
            return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        auto colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return std::nullopt; // an IPv6 address needs its brackets
    }
    if (host.empty() || port.empty() || port.size() > 5)
        return std::nullopt;
    for (char c : host) {
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.'
            || c == '-' || c == ':' || c == '_';
        if (!allowed)
            return std::nullopt;
    }
    int value = 0;
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (error != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535)
        return std::nullopt;
    return std::make_pair(std::string(host), value);
}

namespace {

// The limits that the command line sets, each a whole number in a range.
struct NumberOption {
    std::string_view name;
    long long least;
    long long most;
    void (*apply)(ServerOptions&, long long);
};

constexpr long long kDay = 86400;

const NumberOption kNumberOptions[] = {
    { "--session-idle", 60, 365 * kDay,
        [](ServerOptions& o, long long v) { o.limits.sessions.idle = std::chrono::seconds(v); } },
    { "--session-lifetime", 60, 3650 * kDay,
        [](ServerOptions& o, long long v) { o.limits.sessions.lifetime = std::chrono::seconds(v); } },
    { "--prune-every", 1, kDay, [](ServerOptions& o, long long v) { o.limits.pruneEvery = std::chrono::seconds(v); } },
    { "--login-free-tries", 1, 1000,
        [](ServerOptions& o, long long v) { o.limits.logins.accountFreeFailures = static_cast<int>(v); } },
    { "--address-free-tries", 1, 100000,
        [](ServerOptions& o, long long v) { o.limits.logins.addressFreeFailures = static_cast<int>(v); } },
    { "--login-max-delay", 1, 3600,
        [](ServerOptions& o, long long v) { o.limits.logins.maxDelay = std::chrono::seconds(v); } },
    { "--link-password-tries", 1, 10000,
        [](ServerOptions& o, long long v) { o.limits.shareLinkWrongPasswords = static_cast<int>(v); } },
    { "--head-timeout", 1, 3600, [](ServerOptions& o, long long v) { o.headTimeout = std::chrono::seconds(v); } },
    { "--keep-alive", 1, 3600, [](ServerOptions& o, long long v) { o.keepAliveIdle = std::chrono::seconds(v); } },
    { "--max-headers", 1, 10000, [](ServerOptions& o, long long v) { o.maxHeaders = static_cast<std::size_t>(v); } },
    { "--max-head-bytes", 1024, 16 * 1024 * 1024,
        [](ServerOptions& o, long long v) { o.maxHeadBytes = static_cast<std::size_t>(v); } },
    { "--min-transfer-rate", 1, 1LL << 30,
        [](ServerOptions& o, long long v) { o.minTransferRate = static_cast<std::size_t>(v); } },
};

} // namespace

ServerOptionsParse parseServerOptions(std::span<const std::string> arguments)
{
    ServerOptionsParse parse;
    ServerOptions& options = parse.options;
    auto fail = [&](std::string message) {
        parse.error = std::move(message);
        return parse;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty())
                return false;
            out = arguments[++i];
            return true;
        };
        std::string text;
        if (argument == "--help" || argument == "-h") {
            parse.help = true;
        } else if (argument == "--data") {
            if (!value(text))
                return fail("--data needs a folder");
            options.dataDir = text;
        } else if (argument == "--listen") {
            if (!value(text))
                return fail("--listen needs HOST:PORT");
            auto address = parseListenAddress(text);
            if (!address)
                return fail("--listen: '" + text + "' is not HOST:PORT");
            options.host = address->first;
            options.port = address->second;
        } else if (argument == "--tls") {
            options.tls = true;
        } else if (argument == "--cert") {
            if (!value(text))
                return fail("--cert needs a file");
            options.certificateFile = text;
        } else if (argument == "--key") {
            if (!value(text))
                return fail("--key needs a file");
            options.keyFile = text;
        } else if (argument == "--demo") {
            options.demo = true;
        } else if (argument == "--faults") {
            if (!value(text))
                return fail("--faults needs a file");
            options.faultsFile = text;
        } else if (argument == "--control-token") {
            if (!value(text))
                return fail("--control-token needs a token");
            for (char c : text) {
                if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
                    return fail("--control-token: the token must be printable without blanks");
            }
            options.controlToken = text;
        } else if (auto option = std::find_if(std::begin(kNumberOptions), std::end(kNumberOptions),
                       [&](const NumberOption& known) { return known.name == argument; });
                   option != std::end(kNumberOptions)) {
            long long number = 0;
            if (!value(text)
                || std::from_chars(text.data(), text.data() + text.size(), number).ptr != text.data() + text.size()
                || number < option->least || number > option->most)
                return fail(argument + " needs a whole number from " + std::to_string(option->least) + " to "
                    + std::to_string(option->most));
            option->apply(options, number);
        } else {
            return fail("unknown argument '" + argument + "'");
        }
    }
    if (parse.help)
        return parse;
    if (options.dataDir.empty())
        return fail("--data DIR is required");
    if (options.certificateFile.empty() != options.keyFile.empty())
        return fail("--cert and --key go together");
    if (!options.certificateFile.empty() && !options.tls)
        return fail("--cert and --key need --tls");
    return parse;
}

std::string serverUsage()
{
    return "usage: norvane-server --data DIR [--listen HOST:PORT] [--tls [--cert FILE --key FILE]] [--demo]\n"
           "                      [--faults FILE] [--control-token TOKEN]\n"
           "  --data DIR            the data folder (created when missing)\n"
           "  --listen HOST:PORT    where to accept connections (default 127.0.0.1:0, a free port)\n"
           "  --tls                 HTTPS with the data folder's self-signed certificate, or --cert/--key\n"
           "  --demo                seed demo companies, users and files\n"
           "  --faults FILE         fault-injection rules (JSON array)\n"
           "  --control-token TOKEN the token of the /_control endpoint (default: a random one)\n"
           "limits (see server/README.md):\n"
           "  --session-idle S       a session ends S seconds after its last request (43200)\n"
           "  --session-lifetime S   and S seconds after its login, however busy (604800)\n"
           "  --prune-every S        ended sessions are removed every S seconds (600)\n"
           "  --login-free-tries N   failed logins of an account before tries must wait (5)\n"
           "  --address-free-tries N failed logins from one address before tries must wait (20)\n"
           "  --login-max-delay S    the longest wait between tries (60)\n"
           "  --link-password-tries N wrong passwords that disable a share link (50)\n"
           "  --head-timeout S       the TLS handshake and each request head must arrive in S seconds (10)\n"
           "  --keep-alive S         an idle connection is closed after S seconds (5)\n"
           "  --max-headers N        more header lines are answered 431 (100)\n"
           "  --max-head-bytes N     a longer request head is answered 431 (65536)\n"
           "  --min-transfer-rate N  a request's peer may make the server wait 10 s, plus 1 s per N\n"
           "                         bytes of body or answer moved; then it is cut off (4096)\n";
}

} // namespace norvane::server
