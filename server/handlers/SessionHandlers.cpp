#include "server/handlers/SessionHandlers.h"

#include "Version.h"
#include "platform/Log.h"
#include "server/http/ResponseText.h"

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
    auto company = store.companyByCode(exchange.header("KigyoCode"));
    if (!company)
        return loginFailure(exchange, company.failure());
    exchange.company = company.value();
    auto user = store.userByLogin(company->id, exchange.target.path.front());
    if (!user)
        return loginFailure(exchange, user.failure());
    if (!store.checkPassword(user.value(), exchange.header("UserPassWord")))
        return loginRefusal(exchange, 400, "PE001", "The company code, user name or password is wrong");

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
    auto user = store.userByKey(exchange.target.path.front());
    if (!user)
        return loginFailure(exchange, user.failure());
    auto company = store.companyById(user->companyId);
    if (!company)
        return loginFailure(exchange, company.failure());
    exchange.company = company.value();
    const std::string device = exchange.header("X-Device-Id");
    if (company->requireDevice && (device.empty() || !store.isDeviceRegistered(user->id, device)))
        return loginRefusal(exchange, 401, "PE005", "Device not authorized");
    if (user->suspended)
        return loginRefusal(exchange, 403, "PE006", "SuspendAccount");

    if (!store.checkPassword(user.value(), exchange.header("x-tkv-password")))
        return changePasswordRefusal(exchange, "The current password is wrong.");
    const std::string newPassword = exchange.header("x-tkv-newpassword");
    if (newPassword.empty() || newPassword.size() > kMaxPasswordBytes)
        return changePasswordRefusal(exchange, "The new password must have 1 to 64 characters.");
    if (auto changed = store.setPassword(user->id, newPassword); !changed)
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
