#pragma once

#include <string>

namespace norvane {

// The logged-in account as the login server describes it. Every field is text and empty when the
// login response did not carry it. QorID, VarID, KigyoID and UserKey make up the authorization
// value of every storage request.
struct AccountInformation {
    std::string AccountStatus;
    std::string UserKey;
    std::string VarID;
    std::string KigyoID;
    std::string QorID;
    std::string UsedSpaceSize;
    std::string NorvaneVersion;
    std::string Information;
    std::string SpaceSize;
    std::string UserName;
    // The user name that was typed at login (not sent by the server).
    std::string UserId;

    // All four parts of the authorization value are known.
    bool validateCheck() const { return !QorID.empty() && !VarID.empty() && !KigyoID.empty() && !UserKey.empty(); }
    // "QorID:VarID:KigyoID:UserKey": no digest or signature, the server checks the parts.
    std::string authorizationValue() const { return QorID + ":" + VarID + ":" + KigyoID + ":" + UserKey; }

    friend bool operator==(const AccountInformation&, const AccountInformation&) = default;
};

} // namespace norvane
