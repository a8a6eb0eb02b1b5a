#pragma once

#include "server/demo/DemoAssets.h"
#include "server/store/ServerStore.h"

#include <string>
#include <vector>

namespace norvane::server {

// An account made by the demo seed, to be shown to whoever started the server.
struct DemoAccount {
    std::string companyCode;
    std::string login;
    std::string password;
    // The device id registered for the account where its company admits registered devices
    // only; empty elsewhere.
    std::string deviceId;
};

struct DemoSeedOptions {
    // Size of the generated photos; tests make them small.
    int photoWidth = DemoAssets::kPhotoWidth;
    int photoHeight = DemoAssets::kPhotoHeight;
};

inline constexpr const char* kDemoCompanyCode = "demo";
inline constexpr const char* kSecureCompanyCode = "secure";
inline constexpr const char* kDemoDeviceId = "norvane-demo-device";

// Fills a database that has no company yet with two demo companies:
// - "demo" (Norvane Demo): the manager "manager" and the member "member", each with photos in
//   Photos, memos in Memo and the guide PDF at the top; a shared area with "Projects" and
//   "Public" (both managed by "manager"; Public and Projects/Design editable by everyone, the rest
//   of Projects the manager's alone), a file locked by the manager and a read-only one;
// - "secure" (Norvane Secure): logins from registered devices only, with the user "staff" and the
//   device kDemoDeviceId registered.
// Passwords are random. Every file goes in through the store's upload path. Returns the accounts
// made; an empty list when the database already had a company, which is left as it was.
StoreResult<std::vector<DemoAccount>> seedDemo(ServerStore& store, const DemoSeedOptions& options = {});

} // namespace norvane::server
