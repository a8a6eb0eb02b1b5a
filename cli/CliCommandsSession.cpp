#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/state/Settings.h"
#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "cli/PasswordInput.h"
#include "platform/AlertPresenter.h"

#include <charconv>
#include <unistd.h>

namespace norvane::cli {

namespace {

std::string address(const std::string& host, std::int64_t port)
{
    if (host.empty())
        return {};
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The stored settings a person may look at: no password, only whether one is kept.
nlohmann::json configJson(ConfigInfo& config)
{
    nlohmann::json object = nlohmann::json::object();
    object["server"] = address(config.serverIP(), config.serverPort());
    object["loginServer"] = address(config.loginServerIP(), config.loginServerPort());
    object["https"] = config.useHttps() != 0;
    nlohmann::json proxy = nlohmann::json::object();
    proxy["enabled"] = config.useProxy() != 0;
    if (config.useProxy() != 0) {
        proxy["address"] = address(config.proxyIP(), config.proxyPort());
        proxy["user"] = config.proxyUser();
        proxy["passwordSet"] = !config.proxyPass().empty();
    }
    object["proxy"] = proxy;
    nlohmann::json keys = nlohmann::json::array();
    for (const auto& key : config.trustedServerKeys())
        keys.push_back({ { "server", key.server }, { "pin", key.pin } });
    object["trustedKeys"] = keys;
    object["company"] = config.companyCode();
    object["user"] = config.userName();
    object["signedIn"] = !config.userPass().empty();
    object["deviceId"] = config.deviceID();
    return object;
}

void printConfig(Reporter& reporter, const nlohmann::json& object)
{
    const auto text = [](const nlohmann::json& value) {
        return value.is_string() && !value.get<std::string>().empty() ? value.get<std::string>() : std::string("-");
    };
    reporter.line("server:        " + text(object["server"]) + (object["https"].get<bool>() ? " (https)" : " (http)"));
    reporter.line("login server:  " + text(object["loginServer"]));
    const nlohmann::json& proxy = object["proxy"];
    if (proxy["enabled"].get<bool>()) {
        std::string line = "proxy:         " + text(proxy["address"]);
        if (!proxy["user"].get<std::string>().empty())
            line += " as " + proxy["user"].get<std::string>();
        if (proxy["passwordSet"].get<bool>())
            line += " (password stored)";
        reporter.line(line);
    } else {
        reporter.line("proxy:         none of its own (the system's settings apply)");
    }
    for (const auto& key : object["trustedKeys"])
        reporter.line("trusted key:   " + key["server"].get<std::string>() + " " + key["pin"].get<std::string>());
    reporter.line("account:       " + text(object["company"]) + " / " + text(object["user"])
        + (object["signedIn"].get<bool>() ? "" : " (not signed in)"));
    reporter.line("device id:     " + text(object["deviceId"]));
}

} // namespace

Outcome CliCommands::config(CliSession& session)
{
    const Invocation& in = session.invocation();
    ConfigInfo& config = session.config();

    const int proxyChoices
        = (in.value("proxy") ? 1 : 0) + (in.has("system-proxy") ? 1 : 0) + (in.has("no-proxy") ? 1 : 0);
    if (proxyChoices > 1)
        return Outcome::usage("choose one of --proxy, --system-proxy and --no-proxy");
    if (in.has("https") && in.has("http"))
        return Outcome::usage("choose one of --https and --http");
    if ((in.value("proxy-user") || in.has("proxy-pass")) && !in.value("proxy"))
        return Outcome::usage("--proxy-user and --proxy-pass go with --proxy");

    // Everything is checked before anything is stored: a mistake changes nothing.
    std::optional<std::pair<std::string, int>> server;
    std::optional<std::pair<std::string, int>> loginServer;
    std::optional<std::pair<std::string, int>> proxy;
    if (auto text = in.value("server"); text && !(server = CommandLine::hostAndPort(*text)))
        return Outcome::usage("--server takes HOST:PORT");
    if (auto text = in.value("login-server"); text && !(loginServer = CommandLine::hostAndPort(*text)))
        return Outcome::usage("--login-server takes HOST:PORT");
    if (auto text = in.value("proxy"); text && !(proxy = CommandLine::hostAndPort(*text)))
        return Outcome::usage("--proxy takes HOST:PORT");
    const auto trustKey = in.value("trust-key");
    if (trustKey && !ConfigInfo::isPublicKeyPin(*trustKey))
        return Outcome::usage("--trust-key takes the SHA-256 pin of the server's public key (sha256//BASE64)");
    std::optional<std::string> proxyPassword;
    if (in.has("proxy-pass")) {
        // Typed on the terminal, or given on standard input when that is no terminal.
        proxyPassword = PasswordInput::read("Proxy password: ", ::isatty(STDIN_FILENO) == 0);
        if (!proxyPassword)
            return Outcome::usage("no proxy password was given (type it on the terminal or on standard input)");
    }

    if (server) {
        config.setServerIP(server->first);
        config.setServerPort(server->second);
        // One server for both is the common case: the login server follows until set apart.
        if (!loginServer && config.loginServerIP().empty())
            loginServer = server;
    }
    if (loginServer) {
        config.setLoginServerIP(loginServer->first);
        config.setLoginServerPort(loginServer->second);
    }
    if (in.has("https") || in.has("http"))
        config.setUseHttps(in.has("https") ? 1 : 0);
    if (proxy) {
        config.setUseProxy(1);
        config.setProxyIP(proxy->first);
        config.setProxyPort(proxy->second);
        config.setProxyUser(in.value("proxy-user").value_or(""));
        config.setProxyPass(proxyPassword.value_or(""));
    } else if (in.has("no-proxy")) {
        config.setUseProxy(0);
        config.setProxyIP("");
        config.setProxyPort(0);
        config.setProxyUser("");
        config.setProxyPass("");
    } else if (in.has("system-proxy")) {
        AppDataManager& manager = session.manager();
        DetectedProxy found = manager.detectHttpsProxy();
        if (!found.host)
            found = manager.detectHttpProxy();
        if (found.host) {
            config.setUseProxy(1);
            config.setProxyIP(*found.host);
            if (found.port != 0)
                config.setProxyPort(found.port);
            if (found.user)
                config.setProxyUser(*found.user);
            if (found.password)
                config.setProxyPass(*found.password);
        } else {
            // Without a proxy of its own every request asks the system's settings anyway.
            config.setUseProxy(0);
            session.reporter().message("The system names no proxy; its settings are asked again on every request.");
        }
    }
    if (trustKey) {
        if (config.serverIP().empty())
            return Outcome::usage("--trust-key needs a server (--server HOST:PORT)");
        // The one pin goes with every request, to the login server too.
        config.setPinnedPublicKey(config.serverIP(), config.serverPort(), *trustKey);
        if (!config.loginServerIP().empty())
            config.setPinnedPublicKey(config.loginServerIP(), config.loginServerPort(), *trustKey);
    }
    if (!config.save())
        return Outcome::localFile("the settings file cannot be written");

    nlohmann::json object = configJson(config);
    printConfig(session.reporter(), object);
    session.reporter().result()["config"] = object;
    return {};
}

Outcome CliCommands::login(CliSession& session)
{
    const Invocation& in = session.invocation();
    ConfigInfo& config = session.config();
    if (config.serverIP().empty()) {
        AlertPresenter::shared()->show("", "message_server_not_configured");
        return { ExitStatus::kNotSetUp, 0, {}, {} };
    }
    const std::optional<std::string> password = PasswordInput::read("Password: ", in.has("password-stdin"));
    if (!password)
        return Outcome::usage(in.has("password-stdin") ? "no password on standard input"
                                                       : "no terminal to ask the password on (use --password-stdin)");

    // The login runs with the entries in the settings, as the login window's does; they are kept
    // only when the server took them. A refused login leaves the account that was signed in (or
    // none) as it was, so that no later command signs in with credentials known to be wrong.
    const std::string previousCompany = config.companyCode();
    const std::string previousUser = config.userName();
    const std::string previousPassword = config.userPass();
    config.setCompanyCode(in.arguments[0]);
    config.setUserName(in.arguments[1]);
    config.setUserPass(*password);

    const std::int32_t result = session.run(
        [](std::function<void(std::int32_t)> done) { StorageServiceLogic::commonLogin(false, std::move(done)); });
    if (result != ResultSuccess) {
        config.setCompanyCode(previousCompany);
        config.setUserName(previousUser);
        config.setUserPass(previousPassword);
        config.save();
        return session.explainSignInFailure(result);
    }
    config.setSaveLoginInfo(1);
    config.save();
    session.reporter().message(
        "Signed in as " + config.fullName() + " (" + config.userName() + ", " + config.companyCode() + ")");
    auto& out = session.reporter().result();
    out["company"] = config.companyCode();
    out["user"] = config.userName();
    out["fullName"] = config.fullName();
    return Outcome::ofResult(result);
}

Outcome CliCommands::logout(CliSession& session)
{
    const std::int32_t result = session.run(
        [](std::function<void(std::int32_t)> done) { StorageServiceLogic::commonLogout(std::move(done)); });
    // The stored password is what every later command would sign in with: it goes.
    ConfigInfo& config = session.config();
    config.setUserPass("");
    config.setAuthorization("");
    if (!config.save())
        return Outcome::localFile("the settings file cannot be written");
    session.reporter().message("Signed out.");
    return Outcome::ofResult(result);
}

Outcome CliCommands::info(CliSession& session)
{
    ConfigInfo& config = session.config();
    const auto bytes = [](const std::string& text) -> nlohmann::json {
        std::int64_t value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size())
            return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
        return value;
    };
    nlohmann::json account = {
        { "company", config.companyCode() },
        { "user", config.userName() },
        { "fullName", config.fullName() },
        { "deviceId", config.deviceID() },
        { "lastLogin", config.lastLoginTime() },
    };
    nlohmann::json storage = { { "used", bytes(config.usedSpaceSize()) }, { "total", bytes(config.spaceSize()) } };
    nlohmann::json policies = {
        { "autoSignOut", config.isAutoSignOut() != 0 },
        { "signOutAfterSeconds", config.expireTime() },
        { "savePassword", config.savePasswordServer() != 0 },
        { "changePassword", config.enabledChangePassword() != 0 },
        { "localDownload", config.enabledLoaclDownload() != 0 },
        { "mail", config.enableMail() != 0 },
        { "webShare", config.webPublishEnable() != 0 },
        { "webShareMaxFileSizeMB", config.webPublishMaxFileSize() },
        { "webShareMaxDays", config.webPublishMaxDay() },
        { "webShareMaxCount", config.webPublishMaxCount() },
        { "webShareDefaultDays", config.webPublishInitDay() },
        { "webShareDefaultCount", config.webPublishInitCount() },
        { "share", config.disableShare() == 0 },
        { "pdfViewer", config.enablePDFViewer() != 0 },
        { "pdfNotes", config.disablePDFNote() == 0 },
        { "autoDeviceRegistration", config.autoDeviceRegist() != 0 },
        { "acceptFilesFromOtherApps", config.disableAcceptFileFromOtherApp() == 0 },
        { "sendFilesToOtherApps", config.disableSendFileToOtherApp() == 0 },
        { "cache", config.cacheOn() },
    };
    auto& out = session.reporter().result();
    out["account"] = account;
    out["storage"] = storage;
    out["information"] = config.information();
    out["policies"] = policies;

    Reporter& reporter = session.reporter();
    reporter.line("account:     " + config.fullName() + " (" + config.userName() + ", " + config.companyCode() + ")");
    const auto size = [](const nlohmann::json& value) {
        return value.is_number_integer() ? AppDataManager::formatFileSize(value.get<std::int64_t>())
            : value.is_string()          ? value.get<std::string>()
                                         : std::string("-");
    };
    reporter.line("storage:     " + size(storage["used"]) + " of " + size(storage["total"]) + " used");
    reporter.line("device id:   " + (config.deviceID().empty() ? std::string("-") : config.deviceID()));
    reporter.line("last login:  " + config.lastLoginTime());
    if (!config.information().empty())
        reporter.line("information: " + config.information());
    reporter.line("policies:");
    for (auto& [name, value] : policies.items())
        reporter.line("  " + name + ": " + value.dump());
    return Outcome::ofResult(ResultSuccess);
}

Outcome CliCommands::passwd(CliSession& session)
{
    ConfigInfo& config = session.config();
    auto alerts = AlertPresenter::shared();
    if (config.enabledChangePassword() == 0) {
        alerts->show("message_password_change", "message_password_change_disabled");
        return Outcome::ofResult(ResultPasswordChangeFailed);
    }
    const bool fromStdin = session.invocation().has("password-stdin");
    const auto current = PasswordInput::read("Current password: ", fromStdin);
    const auto fresh = current ? PasswordInput::read("New password: ", fromStdin) : std::nullopt;
    const auto again = fresh ? PasswordInput::read("New password again: ", fromStdin) : std::nullopt;
    if (!again)
        return Outcome::usage(fromStdin ? "three lines are needed on standard input: current, new, new again"
                                        : "no terminal to ask the passwords on (use --password-stdin)");

    // The settings window's checks, in its order; the first that fails is shown.
    const char* refusal = nullptr;
    if (current->empty())
        refusal = "message_please_input_current_password";
    else if (fresh->empty())
        refusal = "message_please_input_new_password";
    else if (again->empty())
        refusal = "message_please_input_new_password2";
    else if (*current != config.userPass())
        refusal = "message_wrong_current_password";
    else if (*fresh != *again)
        refusal = "message_wrong_new_password";
    else if (fresh->front() == ' ' || fresh->back() == ' ')
        refusal = "message_password_space_have";
    if (refusal) {
        alerts->show("message_password_change", refusal);
        return Outcome::ofResult(ResultPasswordChangeFailed);
    }

    config.setOldPass(*current);
    config.setTheNewPass(*fresh);
    const std::int32_t result = session.run(
        [](std::function<void(std::int32_t)> done) { StorageServiceLogic::commonChangePassword(std::move(done)); });
    config.setOldPass("");
    config.setTheNewPass("");
    if (result == ResultSuccess)
        config.setUserPass(*fresh);
    config.save();
    return Outcome::ofResult(result);
}

Outcome CliCommands::deviceId(CliSession& session)
{
    ConfigInfo& config = session.config();
    const bool makeNew = session.invocation().has("new");
    std::string id = config.deviceID();
    if (makeNew) {
        id = session.manager().makeDeviceID(Settings::kDeviceIdPrefix);
        if (id.empty())
            return { ExitStatus::kInternal, 0, "no device identifier could be made", {} };
        session.manager().setDeviceID(id);
        AlertPresenter::shared()->show("", "message_device_id_created_send_to_admin");
    }
    session.reporter().line(id.empty() ? std::string("-") : id);
    auto& out = session.reporter().result();
    out["deviceId"] = id;
    out["new"] = makeNew;
    return {};
}

} // namespace norvane::cli
