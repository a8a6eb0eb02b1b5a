#pragma once

#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"

#include <cstdint>
#include <memory>
#include <string>

namespace norvane {

// Builds commands, one operation per command type. Each returns a new command with a fresh id,
// its type, no error, result 0 and empty parameter records, plus the fields its type needs.
class CommandFactory {
public:
    // The next number of a process-wide sequence that starts at 1. Thread-safe; not persisted.
    static std::int64_t getCommandId();
    static std::shared_ptr<CloudServiceCommand> initCommand(std::int32_t type);

    static std::shared_ptr<CloudServiceCommand> makeConnectCommand();
    static std::shared_ptr<CloudServiceCommand> makeLoginCommand(const std::string& auth);
    static std::shared_ptr<CloudServiceCommand> makeChangePasswordCommand(const std::string& auth);
    static std::shared_ptr<CloudServiceCommand> makeLogoutCommand();
    static std::shared_ptr<CloudServiceCommand> makeLsCommand(const std::string& path);
    static std::shared_ptr<CloudServiceCommand> makeSearchCommand(const std::string& path);
    static std::shared_ptr<CloudServiceCommand> makeNetPrintCommand(
        const std::string& file, const std::string& password, const std::string& day);
    static std::shared_ptr<CloudServiceCommand> makeMakeDirCommand(const std::string& path);
    // An empty local file name uploads uploadData instead.
    static std::shared_ptr<CloudServiceCommand> makePutCommand(
        const std::string& localFile, const std::string& remoteFile, std::shared_ptr<Bytes> uploadData);
    // An empty local file name downloads into downloadData instead.
    static std::shared_ptr<CloudServiceCommand> makeGetCommand(
        const std::string& localFile, const std::string& remoteFile, std::shared_ptr<Bytes> downloadData);
    static std::shared_ptr<CloudServiceCommand> makeRmCommand(
        const std::string& localFile, const std::string& remoteFile);
    static std::shared_ptr<CloudServiceCommand> makeCpCommand(
        const std::string& source, const std::string& destination, const ValueMap& optionFlags);
    static std::shared_ptr<CloudServiceCommand> makeMvCommand(
        const std::string& source, const std::string& destination);
    static std::shared_ptr<CloudServiceCommand> makeChmodCommand(
        const std::string& remoteFile, const ValueMap& optionFlags);
    static std::shared_ptr<CloudServiceCommand> makePublishCommand(
        const std::string& localFile, const std::string& remoteFile);
};

} // namespace norvane
