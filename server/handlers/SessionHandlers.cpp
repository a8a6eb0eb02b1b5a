#include "server/handlers/SessionHandlers.h"

#include "Version.h"
#include "platform/Log.h"
#include "server/http/ResponseText.h"
#include "server/store/PasswordHash.h"

#include <arpa/inet.h>

#include <algorithm>

namespace norvane::server {

namespace {

constexpr std::size_t kMaxPasswordBytes = 64;

// The refusals of the login server: the client reads the code (PE...) and shows the message.
void loginRefusal(Exchange& exchange, int status, std::string_view code, std::string_view message)
{
    exchange.error(status, code, message);
}

void loginFailure(Exchange& exchange, const StoreFailure& failure)
{
    if (failure.error == StoreError::Io) {
        exchange.storeFailure(failure);
        return;
    }
    loginRefusal(exchange, 400, "PE001", "The company code, user name or password is wrong");
}

// The throttle's address of a request: an IPv6 host usually has a whole /64 network to itself,
// so that is what counts as one address.
std::string throttleAddressOf(const std::string& remote)
{
    if (remote.starts_with("::ffff:") && remote.find('.') != std::string::npos)
        return remote.substr(7);
    in6_addr address {};
    if (remote.find(':') == std::string::npos || ::inet_pton(AF_INET6, remote.c_str(), &address) != 1)
        return remote;
    char text[INET6_ADDRSTRLEN] = {};
    std::fill(std::begin(address.s6_addr) + 8, std::end(address.s6_addr), 0);
    ::inet_ntop(AF_INET6, &address, text, sizeof text);
    return std::string(text) + "/64";
}

LoginAttempt attemptOf(const Exchange& exchange, const std::string& companyCode, const std::string& login)
{
    return { companyCode + "\n" + login, throttleAddressOf(exchange.req.remote_addr) };
}

// Answers 429 when the attempt has to wait; true then.
bool answerTooSoon(Exchange& exchange, const LoginAttempt& attempt, bool passwordChange)
{
    const auto wait = exchange.store.loginWait(attempt);
    if (!wait)
        return false;
    const std::string message = "Too many wrong passwords. Try again in " + std::to_string(wait->count())
        + (wait->count() == 1 ? " second." : " seconds.");
    exchange.res.set_header("Retry-After", std::to_string(wait->count()));
    if (passwordChange) {
        // The client shows the Message of any XML answer to a password change.
        XmlWriter document;
        document.open("ChangePasswordResult")
            .element("Code", "TooManyAttempts")
            .element("Message", message)
            .close("ChangePasswordResult");
        exchange.xml(document.take(), 429);
    } else {
        exchange.error(429, "TooManyAttempts", message);
    }
    return true;
}

// The password of the user, or of nobody with the same work when there is no such user.
bool passwordMatches(Exchange& exchange, const StoreResult<User>& user, const std::string& password)
{
    return user ? exchange.store.checkPassword(user.value(), password) : PasswordHash::matchesNothing(password);
}

void changePasswordRefusal(Exchange& exchange, std::string_view message)
{
    XmlWriter document;
    document.open("ChangePasswordResult")
        .element("Code", "PE002")
        .element("Message", message)
        .close("ChangePasswordResult");
    exchange.xml(document.take());
}

} // namespace

void handleVersion(Exchange& exchange)
{
    // The probe comes before any login; a live session only adds its company's headers.
    if (exchange.hasHeader("Authorization")) {
        if (auto session = exchange.store.sessionByAuthorization(exchange.header("Authorization"))) {
            if (auto user = exchange.store.userById(session->userId)) {
                if (auto company = exchange.store.companyById(user->companyId)) {
                    exchange.session = session.value();
                    exchange.user = user.value();
                    exchange.company = company.value();
                }
            }
        }
    }
    XmlWriter document;
    document.element("version", std::string("norvane-server ") + kVersion);
    exchange.sendBody(document.take(), "application/xml", true);
}

void handleLogin(Exchange& exchange)
{
    if (exchange.header("Authorization") != kLoginServerAuthorization)
        return loginRefusal(exchange, 400, "PE001", "The request is not a login of this service");
    if (exchange.target.path.size() != 1)
        return loginRefusal(exchange, 400, "PE001", "The request names no user");
    auto& store = exchange.store;
    const std::string code = exchange.header("KigyoCode");
    const LoginAttempt attempt = attemptOf(exchange, code, exchange.target.path.front());
    if (answerTooSoon(exchange, attempt, false))
        return;
    auto company = store.companyByCode(code);
    if (!company && company.failure().error == StoreError::Io)
        return loginFailure(exchange, company.failure());
    auto user
        = company ? store.userByLogin(company->id, exchange.target.path.front()) : StoreResult<User>(company.failure());
    if (!user && user.failure().error == StoreError::Io)
        return loginFailure(exchange, user.failure());
    // Unknown companies and users cost the same work as a wrong password and count as one.
    if (!passwordMatches(exchange, user, exchange.header("UserPassWord"))) {
        store.loginFailed(attempt);
        return loginRefusal(exchange, 400, "PE001", "The company code, user name or password is wrong");
    }
    store.loginSucceeded(attempt);
    exchange.company = company.value();

    const std::string device = exchange.header("X-Device-Id");
    if (!device.empty()) {
        if (auto remembered = store.rememberDevice(user->id, device); !remembered)
            Log::line("Login device not recorded: " + remembered.failure().detail);
    }
    if (company->requireDevice && (device.empty() || !store.isDeviceRegistered(user->id, device)))
        return loginRefusal(exchange, 401, "PE005", "Device not authorized");
    if (user->suspended)
        return loginRefusal(exchange, 403, "PE006", "SuspendAccount");

    auto session = store.createSession(user->id, device);
    if (!session)
        return exchange.storeFailure(session.failure());
    exchange.user = user.value();
    exchange.session = session.value();

    XmlWriter document;
    document.open("AccountInformationResult")
        .element("AccountStatus", "active")
        .element("UserKey", user->userKey)
        .element("VarID", session->varId)
        .element("KigyoID", company->id)
        .element("QorID", session->qorId)
        .element("UsedSpaceSize", store.usedBytes(user->id))
        .element("NorvaneVersion", kVersion)
        .element("Information", company->informationText)
        .element("SpaceSize", company->quota)
        .element("UserName", user->fullName)
        .close("AccountInformationResult");
    exchange.xml(document.take());
}

void handleChangePassword(Exchange& exchange)
{
    if (exchange.header("Authorization") != kLoginServerAuthorization)
        return loginRefusal(exchange, 400, "PE001", "The request is not a request of this service");
    if (exchange.target.path.size() != 1)
        return loginRefusal(exchange, 400, "PE001", "The request names no user");
    auto& store = exchange.store;
    const std::string& userKey = exchange.target.path.front();
    auto user = store.userByKey(userKey);
    if (!user && user.failure().error == StoreError::Io)
        return loginFailure(exchange, user.failure());
    auto company = user ? store.companyById(user->companyId) : StoreResult<Company>(user.failure());
    if (user && !company)
        return loginFailure(exchange, company.failure());
    // The same account as at login, so that a guess here counts with the guesses there.
    const LoginAttempt attempt
        = company ? attemptOf(exchange, company->code, user->login) : attemptOf(exchange, {}, userKey);
    if (answerTooSoon(exchange, attempt, true))
        return;
    if (!user) {
        PasswordHash::matchesNothing(exchange.header("x-tkv-password"));
        store.loginFailed(attempt);
        return loginFailure(exchange, user.failure());
    }
    exchange.company = company.value();
    const std::string device = exchange.header("X-Device-Id");
    if (company->requireDevice && (device.empty() || !store.isDeviceRegistered(user->id, device)))
        return loginRefusal(exchange, 401, "PE005", "Device not authorized");
    if (user->suspended)
        return loginRefusal(exchange, 403, "PE006", "SuspendAccount");

    if (!store.checkPassword(user.value(), exchange.header("x-tkv-password"))) {
        store.loginFailed(attempt);
        return changePasswordRefusal(exchange, "The current password is wrong.");
    }
    store.loginSucceeded(attempt);
    const std::string newPassword = exchange.header("x-tkv-newpassword");
    if (newPassword.empty() || newPassword.size() > kMaxPasswordBytes)
        return changePasswordRefusal(exchange, "The new password must have 1 to 64 characters.");
    // Every other device's session ends; the one that asked goes on.
    if (auto changed = store.setPassword(user->id, newPassword, device); !changed)
        return exchange.storeFailure(changed.failure());
    exchange.status(200);
}

void handleInformation(Exchange& exchange)
{
    XmlWriter document;
    document.open("AccountInformationResult")
        .element("Information", exchange.company ? exchange.company->informationText : std::string())
        .close("AccountInformationResult");
    exchange.xml(document.take());
}

bool authorizeStorageRequest(Exchange& exchange)
{
    auto& store = exchange.store;
    const std::string authorization = exchange.header("Authorization");
    if (authorization.empty()) {
        exchange.status(401);
        return false;
    }
    auto session = store.sessionByAuthorization(authorization);
    if (!session) {
        if (session.failure().error == StoreError::Io)
            exchange.storeFailure(session.failure());
        else
            exchange.status(401);
        return false;
    }
    auto user = store.userById(session->userId);
    auto company = user ? store.companyById(user->companyId) : StoreResult<Company>(user.failure());
    if (!user || !company) {
        exchange.status(401);
        return false;
    }
    exchange.session = session.value();
    exchange.company = company.value();
    if (user->suspended) {
        exchange.error(403, "SuspendAccount", "The account is suspended");
        return false;
    }
    if (company->requireDevice && !store.isDeviceRegistered(user->id, exchange.deviceId())) {
        exchange.error(401, "Device not authorized", "The device is not registered");
        return false;
    }
    exchange.user = user.value();
    return true;
}

} // namespace norvane::server
