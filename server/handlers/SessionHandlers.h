#pragma once

#include "server/http/Exchange.h"

namespace norvane::server {

// The fixed authorization value of login-server requests.
inline constexpr const char* kLoginServerAuthorization = "ZEL 3f0a9c27d41e8b65c0d2e";

// GET /Version: the connection probe. Answered with or without a session.
void handleVersion(Exchange& exchange);
// GET /Storage9/QORPrivateStorage/account/<user>: the login.
void handleLogin(Exchange& exchange);
// GET /Storage9/QORPrivateStorage/changepassword/<userKey>.
void handleChangePassword(Exchange& exchange);
// GET /Storage9/QORPrivateStorage/information/<seq> (authorized).
void handleInformation(Exchange& exchange);

// Checks the authorization of a storage request and fills the exchange's session, user and
// company. Answers 401 (no live session, or a device no longer registered) or 403 (suspended)
// and returns false when the request may not go on.
bool authorizeStorageRequest(Exchange& exchange);

} // namespace norvane::server
