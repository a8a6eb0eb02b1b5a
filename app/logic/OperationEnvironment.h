#pragma once

#include <memory>
#include <string>

namespace norvane {

class CloudService;
class fileInformation;

// The account values the operations read from the settings.
struct AccountSettings {
    std::string companyCode;
    std::string userName;
    std::string userPass;
    std::string deviceID;
    std::string oldPass; // a password change: the current password
    std::string theNewPass; // a password change: the new password
    std::string fullName;
};

// What a successful login hands over to the settings.
struct LoginValues {
    std::string information;
    std::string spaceSize;
    std::string usedSpaceSize;
    std::string fullName;
    std::string userKey;
    std::string kigyoID;
    std::string authorization;
    std::string lastLoginTime; // RFC 1123
};

// What the operations need from the application's state: the one command service, the account
// settings, the inactivity timer and the permission rules. The data manager implements it; tests
// give a fake. Every member may be called from a worker thread.
class OperationEnvironment {
public:
    virtual ~OperationEnvironment() = default;

    // The command service, built on first use. Held by the operation while its commands run, so a
    // service replaced meanwhile (new network settings) stays alive until they are done. Null when
    // none can be built: the operation then fails with ResultFailed.
    virtual std::shared_ptr<CloudService> cloudService() = 0;
    virtual AccountSettings accountSettings() = 0;
    // Stores the values in the settings and saves them.
    virtual void storeLoginValues(const LoginValues& values) = 0;
    // The automatic logout after inactivity; called on the main thread.
    virtual void startAutoLogoutTime() = 0;
    virtual void stopAutoLogoutTime() = 0;

    // Permission rules for the signed-in user.
    virtual bool isShareFile(const fileInformation& entry) const = 0;
    virtual bool isOwnerFile(const fileInformation& entry) const = 0;
    virtual bool isFileReadOnly(const fileInformation& entry) const = 0;

    // The process-wide environment; null until the application sets one.
    static std::shared_ptr<OperationEnvironment> shared();
    static void setShared(std::shared_ptr<OperationEnvironment> environment);
};

} // namespace norvane
