#include "server/http/ControlEndpoint.h"

#include "platform/Log.h"
#include "server/http/RandomText.h"

#include <nlohmann/json.hpp>

#include <charconv>

namespace norvane::server {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxControlBody = 1024 * 1024;

void answer(Exchange& exchange, int status, const Json& body)
{
    exchange.sendBody(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json", false);
    exchange.res.status = status;
}

void refuse(Exchange& exchange, int status, const std::string& why)
{
    answer(exchange, status, Json { { "error", why } });
}

void refuse(Exchange& exchange, const StoreFailure& failure)
{
    const int status = failure.error == StoreError::NotFound ? 404
        : failure.error == StoreError::Exists                ? 409
        : failure.error == StoreError::Io                    ? 500
                                                             : 400;
    refuse(exchange, status, failure.detail.empty() ? "refused" : failure.detail);
}

// Field readers that never throw: a missing field or one of another type gives nothing.
std::optional<std::string> text(const Json& object, const char* name)
{
    auto it = object.find(name);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::optional<bool> flag(const Json& object, const char* name)
{
    auto it = object.find(name);
    if (it == object.end() || !it->is_boolean())
        return std::nullopt;
    return it->get<bool>();
}

std::optional<std::int64_t> number(const Json& object, const char* name)
{
    auto it = object.find(name);
    if (it == object.end() || !it->is_number_integer())
        return std::nullopt;
    return it->get<std::int64_t>();
}

std::optional<std::map<std::string, std::string>> textMap(const Json& object, const char* name)
{
    auto it = object.find(name);
    if (it == object.end() || !it->is_object())
        return std::nullopt;
    std::map<std::string, std::string> map;
    for (auto entry = it->begin(); entry != it->end(); ++entry) {
        if (!entry.value().is_string())
            return std::nullopt;
        map[entry.key()] = entry.value().get<std::string>();
    }
    return map;
}

struct Request {
    Exchange& exchange;
    Json body;
};

StoreResult<Company> companyOf(Request& request)
{
    auto code = text(request.body, "company");
    if (!code)
        return storeFailure(StoreError::Invalid, "\"company\" (the company code) is required");
    return request.exchange.store.companyByCode(*code);
}

StoreResult<User> userOf(Request& request, const Company& company)
{
    auto login = text(request.body, "user");
    if (!login)
        return storeFailure(StoreError::Invalid, "\"user\" (the login name) is required");
    return request.exchange.store.userByLogin(company.id, *login);
}

std::string nextSequence(const std::string& current)
{
    long long value = 0;
    auto [end, error] = std::from_chars(current.data(), current.data() + current.size(), value);
    if (error != std::errc() || end != current.data() + current.size() || value < 0)
        return "1";
    return std::to_string(value + 1);
}

void companies(Request& request)
{
    auto& store = request.exchange.store;
    const Json& body = request.body;
    auto code = text(body, "code");
    if (!code || code->empty())
        return refuse(request.exchange, 400, "\"code\" is required");
    auto existing = store.companyByCode(*code);
    if (!existing && existing.failure().error != StoreError::NotFound)
        return refuse(request.exchange, existing.failure());
    Company company = existing ? existing.value() : Company {};
    company.code = *code;
    if (auto name = text(body, "name"))
        company.name = *name;
    else if (!existing)
        company.name = *code;
    if (auto require = flag(body, "requireDevice"))
        company.requireDevice = *require;
    if (auto size = number(body, "maxFileSize"))
        company.maxFileSize = std::max<std::int64_t>(*size, 0);
    if (auto quota = number(body, "quota"))
        company.quota = std::max<std::int64_t>(*quota, 0);
    if (auto headers = textMap(body, "headers"))
        company.policyHeaders = *headers;
    if (auto information = text(body, "information"))
        company.informationText = *information;
    if (auto sequence = text(body, "informationSeq"))
        company.informationSeq = *sequence;
    if (existing) {
        if (auto updated = store.updateCompany(company); !updated)
            return refuse(request.exchange, updated.failure());
        return answer(request.exchange, 200, Json { { "id", company.id }, { "code", company.code } });
    }
    auto created = store.createCompany(company);
    if (!created)
        return refuse(request.exchange, created.failure());
    answer(request.exchange, 200, Json { { "id", created->id }, { "code", created->code } });
}

void users(Request& request)
{
    auto& store = request.exchange.store;
    const Json& body = request.body;
    auto code = text(body, "company");
    auto login = text(body, "user");
    auto password = text(body, "password");
    if (!code || !login || !password || code->empty() || login->empty())
        return refuse(request.exchange, 400, "\"company\", \"user\" and \"password\" are required");
    auto company = store.companyByCode(*code);
    if (!company && company.failure().error == StoreError::NotFound) {
        Company fresh;
        fresh.code = *code;
        fresh.name = *code;
        company = store.createCompany(fresh);
    }
    if (!company)
        return refuse(request.exchange, company.failure());
    const std::string fullName = text(body, "fullName").value_or(text(body, "name").value_or(*login));
    auto user = store.createUser(
        company->id, *login, fullName.empty() ? *login : fullName, *password, flag(body, "suspended").value_or(false));
    if (!user)
        return refuse(request.exchange, user.failure());
    answer(
        request.exchange, 200, Json { { "id", user->id }, { "userKey", user->userKey }, { "companyId", company->id } });
}

void devices(Request& request)
{
    auto company = companyOf(request);
    if (!company)
        return refuse(request.exchange, company.failure());
    auto user = userOf(request, company.value());
    if (!user)
        return refuse(request.exchange, user.failure());
    auto device = text(request.body, "device");
    if (!device || device->empty())
        return refuse(request.exchange, 400, "\"device\" is required");
    auto registered
        = request.exchange.store.registerDevice(user->id, *device, flag(request.body, "registered").value_or(true));
    if (!registered)
        return refuse(request.exchange, registered.failure());
    answer(request.exchange, 200, Json { { "ok", true } });
}

void sharedFolders(Request& request)
{
    auto company = companyOf(request);
    if (!company)
        return refuse(request.exchange, company.failure());
    auto name = text(request.body, "name");
    if (!name)
        return refuse(request.exchange, 400, "\"name\" is required");
    std::vector<std::int64_t> managers;
    if (auto it = request.body.find("managers"); it != request.body.end()) {
        if (!it->is_array())
            return refuse(request.exchange, 400, "\"managers\" must be a list of logins");
        for (const auto& login : *it) {
            if (!login.is_string())
                return refuse(request.exchange, 400, "\"managers\" must be a list of logins");
            auto user = request.exchange.store.userByLogin(company->id, login.get<std::string>());
            if (!user)
                return refuse(request.exchange, user.failure());
            managers.push_back(user->id);
        }
    }
    auto folder = request.exchange.store.createSharedFolder(company->id, *name, managers);
    if (!folder)
        return refuse(request.exchange, folder.failure());
    answer(request.exchange, 200, Json { { "id", folder->id } });
}

void suspend(Request& request)
{
    auto company = companyOf(request);
    if (!company)
        return refuse(request.exchange, company.failure());
    auto user = userOf(request, company.value());
    if (!user)
        return refuse(request.exchange, user.failure());
    auto changed = request.exchange.store.setSuspended(user->id, flag(request.body, "suspended").value_or(true));
    if (!changed)
        return refuse(request.exchange, changed.failure());
    answer(request.exchange, 200, Json { { "ok", true } });
}

void policies(Request& request)
{
    auto company = companyOf(request);
    if (!company)
        return refuse(request.exchange, company.failure());
    auto headers = textMap(request.body, "headers");
    if (!headers)
        return refuse(request.exchange, 400, "\"headers\" must map header names to texts");
    company->policyHeaders = *headers;
    if (auto updated = request.exchange.store.updateCompany(company.value()); !updated)
        return refuse(request.exchange, updated.failure());
    answer(request.exchange, 200, Json { { "ok", true } });
}

void information(Request& request)
{
    auto company = companyOf(request);
    if (!company)
        return refuse(request.exchange, company.failure());
    auto textValue = text(request.body, "text");
    if (!textValue)
        return refuse(request.exchange, 400, "\"text\" is required");
    company->informationText = *textValue;
    company->informationSeq = text(request.body, "seq").value_or(nextSequence(company->informationSeq));
    if (auto updated = request.exchange.store.updateCompany(company.value()); !updated)
        return refuse(request.exchange, updated.failure());
    answer(request.exchange, 200, Json { { "seq", company->informationSeq } });
}

void readOnly(Request& request)
{
    auto company = companyOf(request);
    if (!company)
        return refuse(request.exchange, company.failure());
    auto keyText = text(request.body, "path");
    auto readings = keyText ? readEntryKey(*keyText) : std::vector<EntryKey>();
    if (readings.empty())
        return refuse(request.exchange, 400, "\"path\" must be an entry key such as /SHAREFOLDER/a");
    const EntryKey& key = readings.front();
    AreaRef area { Area::Shared, company->id };
    if (key.area == Area::Personal) {
        auto user = userOf(request, company.value());
        if (!user)
            return refuse(request.exchange, user.failure());
        area = AreaRef { Area::Personal, user->id };
    }
    auto changed = request.exchange.store.setReadOnly(area, key.path, flag(request.body, "readOnly").value_or(true));
    if (!changed)
        return refuse(request.exchange, changed.failure());
    answer(request.exchange, 200, Json { { "ok", true } });
}

void copySettings(Request& request)
{
    auto& store = request.exchange.store;
    if (auto above = number(request.body, "inBackgroundAbove"); above && *above >= 0)
        store.setCopyInBackgroundAbove(static_cast<std::size_t>(*above));
    if (auto delay = number(request.body, "stepDelayMs"); delay && *delay >= 0 && *delay <= 60000)
        store.setCopyStepDelayMs(static_cast<int>(*delay));
    answer(request.exchange, 200, Json { { "ok", true } });
}

// {"company", "user", "folder": "/FOLDER/big", "count": N, "prefix": "f"}: N empty files in an
// existing folder of the user's personal area or of the company's shared area.
void bulkFiles(Request& request)
{
    auto company = companyOf(request);
    if (!company)
        return refuse(request.exchange, company.failure());
    auto user = userOf(request, company.value());
    if (!user)
        return refuse(request.exchange, user.failure());
    auto keyText = text(request.body, "folder");
    auto readings = keyText ? readEntryKey(*keyText) : std::vector<EntryKey>();
    auto count = number(request.body, "count");
    if (readings.empty() || !count)
        return refuse(request.exchange, 400, "\"folder\" (an entry key such as /FOLDER/a) and \"count\" are required");
    const EntryKey& key = readings.front();
    const AreaRef area = key.area == Area::Personal ? request.exchange.store.personalArea(user.value())
                                                    : request.exchange.store.sharedArea(user.value());
    auto added = request.exchange.store.addEmptyFiles(user.value(), area, key.path,
        text(request.body, "prefix").value_or("f"), *count, text(request.body, "suffix").value_or(""));
    if (!added)
        return refuse(request.exchange, added.failure());
    answer(request.exchange, 200, Json { { "added", added.value() } });
}

// Lets time pass for the rules that depend on it (session lifetimes, login throttles).
void clock(Request& request)
{
    auto seconds = number(request.body, "advanceSeconds");
    if (!seconds || *seconds < 0 || *seconds > 100LL * 365 * 86400)
        return refuse(request.exchange, 400, "\"advanceSeconds\" must be a number of seconds, not negative");
    request.exchange.store.advanceClock(std::chrono::seconds(*seconds));
    answer(request.exchange, 200, Json { { "ok", true } });
}

} // namespace

bool isLoopbackAddress(std::string_view address)
{
    if (address.starts_with("::ffff:"))
        address.remove_prefix(7);
    return address == "::1" || address.starts_with("127.");
}

void handleControl(Exchange& exchange)
{
    const auto& token = exchange.service.controlToken;
    if (!isLoopbackAddress(exchange.req.remote_addr) || token.empty()
        || !sameSecret(exchange.header("X-Control-Token"), token))
        return refuse(exchange, 403, "the control endpoint needs a loopback connection and its token");

    const std::string& name = exchange.target.path.front();
    const std::string& method = exchange.req.method;
    if (name == "faults" && method == "DELETE") {
        exchange.service.faults.clear();
        return answer(exchange, 200, Json { { "ok", true } });
    }
    if (name == "connections" && exchange.isRead()) {
        // How many connections clients opened: what tests of connection reuse count.
        return answer(exchange, 200, Json { { "accepted", exchange.service.connectionsAccepted.load() } });
    }
    if (method != "POST")
        return refuse(exchange, 405, "use POST");
    auto body = exchange.readSmallBody(kMaxControlBody);
    if (!body)
        return refuse(exchange, 413, "the body is too large or broke off");
    if (name == "faults") {
        if (auto error = exchange.service.faults.replaceFromJson(*body))
            return refuse(exchange, 400, error->description);
        Log::line("Fault rules replaced through the control endpoint");
        return answer(exchange, 200, Json { { "ok", true } });
    }
    Request request { exchange, Json::parse(*body, nullptr, false) };
    if (request.body.is_discarded() || !request.body.is_object())
        return refuse(exchange, 400, "the body must be a JSON object");

    struct Endpoint {
        std::string_view name;
        void (*run)(Request&);
    };
    static constexpr Endpoint kEndpoints[] = {
        { "companies", companies },
        { "users", users },
        { "devices", devices },
        { "shared-folders", sharedFolders },
        { "suspend", suspend },
        { "policies", policies },
        { "information", information },
        { "read-only", readOnly },
        { "copy-settings", copySettings },
        { "bulk-files", bulkFiles },
        { "clock", clock },
    };
    for (const auto& endpoint : kEndpoints) {
        if (endpoint.name == name)
            return endpoint.run(request);
    }
    refuse(exchange, 404, "no such control endpoint");
}

} // namespace norvane::server
