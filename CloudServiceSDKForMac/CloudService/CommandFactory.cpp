#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"

#include <atomic>

namespace norvane {

namespace {

std::atomic<std::int64_t> nextCommandId { 1 };

} // namespace

std::int64_t CommandFactory::getCommandId()
{
    return nextCommandId.fetch_add(1, std::memory_order_relaxed);
}

std::shared_ptr<CloudServiceCommand> CommandFactory::initCommand(std::int32_t type)
{
    auto command = std::make_shared<CloudServiceCommand>();
    command->commandId = getCommandId();
    command->commandType = type;
    command->commandErr.reset();
    command->commandRes = ResultNone;
    command->inputParameter = std::make_shared<CommandParameter>();
    command->outputParameter = std::make_shared<CommandParameter>();
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeConnectCommand()
{
    return initCommand(CommandTypeConnect);
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeLoginCommand(const std::string& auth)
{
    auto command = initCommand(CommandTypeLogin);
    command->inputParameter->authString = auth;
    command->outputParameter->cmdOption = ValueMap {};
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeChangePasswordCommand(const std::string& auth)
{
    auto command = initCommand(CommandTypeChangePassword);
    command->inputParameter->authString = auth;
    command->outputParameter->cmdOption = ValueMap {};
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeLogoutCommand()
{
    return initCommand(CommandTypeLogout);
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeLsCommand(const std::string& path)
{
    auto command = initCommand(CommandTypeLs);
    command->inputParameter->pathName = path;
    command->outputParameter->fileInfo = std::make_shared<FileInfoList>();
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeSearchCommand(const std::string& path)
{
    auto command = initCommand(CommandTypeSearch);
    command->inputParameter->pathName = path;
    command->outputParameter->fileInfo = std::make_shared<FileInfoList>();
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeNetPrintCommand(
    const std::string& file, const std::string& password, const std::string& day)
{
    auto command = initCommand(CommandTypeNetPrint);
    command->inputParameter->pathName = file;
    command->outputParameter->cmdOption = ValueMap {};
    command->inputParameter->cmdOption = ValueMap { { kOptionPassword, password }, { kOptionDay, day } };
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeMakeDirCommand(const std::string& path)
{
    auto command = initCommand(CommandTypeMkdir);
    command->inputParameter->pathName = path;
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makePutCommand(
    const std::string& localFile, const std::string& remoteFile, std::shared_ptr<Bytes> uploadData)
{
    auto command = initCommand(CommandTypePut);
    command->inputParameter->localFileName = localFile;
    command->inputParameter->remoteFileName = remoteFile;
    command->inputParameter->memoryData = std::move(uploadData);
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeGetCommand(
    const std::string& localFile, const std::string& remoteFile, std::shared_ptr<Bytes> downloadData)
{
    auto command = initCommand(CommandTypeGet);
    command->inputParameter->localFileName = localFile;
    command->inputParameter->remoteFileName = remoteFile;
    command->outputParameter->memoryData = std::move(downloadData);
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeRmCommand(
    const std::string& localFile, const std::string& remoteFile)
{
    auto command = initCommand(CommandTypeRm);
    command->inputParameter->localFileName = localFile;
    command->inputParameter->remoteFileName = remoteFile;
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeCpCommand(
    const std::string& source, const std::string& destination, const ValueMap& optionFlags)
{
    auto command = initCommand(CommandTypeCp);
    command->inputParameter->localFileName = source;
    command->inputParameter->remoteFileName = destination;
    command->inputParameter->cmdOption = optionFlags;
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeMvCommand(
    const std::string& source, const std::string& destination)
{
    auto command = initCommand(CommandTypeMv);
    command->inputParameter->localFileName = source;
    command->inputParameter->remoteFileName = destination;
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makeChmodCommand(
    const std::string& remoteFile, const ValueMap& optionFlags)
{
    auto command = initCommand(CommandTypeChmod);
    command->inputParameter->remoteFileName = remoteFile;
    command->inputParameter->cmdOption = optionFlags;
    return command;
}

std::shared_ptr<CloudServiceCommand> CommandFactory::makePublishCommand(
    const std::string& localFile, const std::string& remoteFile)
{
    auto command = initCommand(CommandTypePublish);
    command->inputParameter->localFileName = localFile;
    command->inputParameter->remoteFileName = remoteFile;
    command->outputParameter->memoryData = std::make_shared<Bytes>();
    return command;
}

} // namespace norvane
