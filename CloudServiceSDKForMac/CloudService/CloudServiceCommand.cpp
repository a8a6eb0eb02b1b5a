#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"

#include "CloudServiceSDKForMac/CloudService/ArchiveFields.h"
#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "CloudServiceSDKForMac/CloudService/ValueDescription.h"
#include "formats/DescriptionBuilder.h"
#include "formats/HttpDate.h"
#include "platform/FileSystem.h"

#include <filesystem>
#include <system_error>

namespace norvane {

using namespace archive_fields;

namespace {

constexpr std::string_view kCommandExtension = "cmd";
constexpr const char* kCommandCategory = "cmd";
constexpr const char* kKeptCommandCategory = "do_not_delete_command";
// What a download writes in front of the content of an offline copy.
constexpr std::size_t kOffLineFillerSize = 100;

std::string describeError(const ErrorValue& error)
{
    std::string out = "Error Domain=" + error.domain + " Code=" + std::to_string(error.code);
    out += " \"" + error.description + "\"";
    if (!error.userInfo.empty())
        out += " UserInfo=" + describeValue(Value(error.userInfo));
    return out;
}

void encodeError(KeyedArchiver& coder, std::string_view key, const ErrorValue& error)
{
    KeyedArchiver record;
    record.encodeString("domain", error.domain);
    record.encodeInt64("code", error.code);
    record.encodeString("description", error.description);
    record.encodeValue("userInfo", Value(error.userInfo));
    coder.encodeRecord(key, std::move(record));
}

std::optional<ErrorValue> decodeError(const KeyedUnarchiver& coder, std::string_view key)
{
    const auto record = coder.decodeRecord(key);
    if (!record)
        return std::nullopt;
    ErrorValue error;
    error.domain = record->decodeString("domain").value_or(std::string());
    error.code = static_cast<long>(record->decodeInt64("code"));
    error.description = record->decodeString("description").value_or(std::string());
    Value info = record->decodeValue("userInfo");
    if (auto* map = info.map())
        error.userInfo = std::move(*map);
    return error;
}

std::shared_ptr<CloudServiceCommand> readCommandFile(const std::filesystem::path& path)
{
    const auto root = readArchiveFile(path);
    if (!root)
        return nullptr;
    return root->decodeObject<CloudServiceCommand>(kArchiveRootKey);
}

bool writeCommandFile(const std::filesystem::path& path, const CloudServiceCommand& command)
{
    KeyedArchiver root;
    root.encodeObject(kArchiveRootKey, command);
    return writeArchiveFile(path, root);
}

} // namespace

CloudServiceCommand::CloudServiceCommand()
    : inputParameter(std::make_shared<CommandParameter>())
    , outputParameter(std::make_shared<CommandParameter>())
{ }

std::shared_ptr<CloudServiceCommand> CloudServiceCommand::copy() const
{
    auto out = std::make_shared<CloudServiceCommand>();
    out->commandId = commandId;
    out->commandType = commandType;
    out->applicationType = applicationType;
    out->retryCnt = retryCnt;
    out->inputParameter = inputParameter;
    out->outputParameter = outputParameter;
    out->commandErr = commandErr;
    out->commandRes = commandRes;
    out->userInfo = userInfo;
    out->userInfoObj = userInfoObj;
    out->postOrPut = postOrPut;
    out->executeMode = executeMode;
    out->uploadedSize = uploadedSize;
    out->localpath = localpath;
    out->commandRestringWhenErr = commandRestringWhenErr;
    return out;
}

std::string CloudServiceCommand::description() const
{
    std::optional<std::string> error;
    if (commandErr)
        error = describeError(*commandErr);
    std::optional<std::string> executed;
    if (lastExecuteTime)
        executed = rfc1123String(*lastExecuteTime);
    return DescriptionBuilder("CloudServiceCommand", this)
        .int64("commandId", commandId)
        .int32("commandType", commandType)
        .text("applicationType", std::string_view(applicationType))
        .int32("retryCnt", retryCnt)
        .object(
            "inputParameter", inputParameter ? std::optional<std::string>(inputParameter->description()) : std::nullopt)
        .object("outputParameter",
            outputParameter ? std::optional<std::string>(outputParameter->description()) : std::nullopt)
        .object("commandErr", error)
        .int32("commandRes", commandRes)
        .int32("userInfo", userInfo)
        .object("userInfoObj", describeValue(userInfoObj))
        .int32("postOrPut", postOrPut)
        .int32("executeMode", executeMode)
        .real("progress", progress.load(std::memory_order_relaxed))
        .object("lastExecuteTime", executed)
        .object("task", task ? std::optional<std::string>(task->description()) : std::nullopt)
        .uint64("uploadedSize", uploadedSize)
        .text("localpath", std::string_view(localpath))
        .flag("isCanUseCache", isCanUseCache)
        .text("commandRestringWhenErr", std::string_view(commandRestringWhenErr))
        .uint64("totleFileSize", totleFileSize)
        .str();
}

void CloudServiceCommand::encodeWithCoder(KeyedArchiver& coder) const
{
    coder.encodeInt64("commandId", commandId);
    coder.encodeInt32("commandType", commandType);
    coder.encodeString("applicationType", applicationType);
    coder.encodeInt32("retryCnt", retryCnt);
    coder.encodeObject("inputParameter", inputParameter);
    coder.encodeObject("outputParameter", outputParameter);
    if (commandErr)
        encodeError(coder, "commandErr", *commandErr);
    coder.encodeInt32("commandRes", commandRes);
    coder.encodeInt32("userInfo", userInfo);
    coder.encodeValue("userInfoObj", userInfoObj);
    coder.encodeInt32("postOrPut", postOrPut);
    coder.encodeInt32("executeMode", executeMode);
    encodeWideUnsigned(coder, "uploadedSize", uploadedSize);
    coder.encodeString("localpath", localpath);
    coder.encodeString("commandRestringWhenErr", commandRestringWhenErr);
}

std::shared_ptr<CloudServiceCommand> CloudServiceCommand::initWithCoder(const KeyedUnarchiver& coder)
{
    auto out = std::make_shared<CloudServiceCommand>();
    out->commandId = coder.decodeInt64("commandId");
    out->commandType = coder.decodeInt32("commandType");
    out->applicationType = coder.decodeString("applicationType").value_or(std::string());
    out->retryCnt = coder.decodeInt32("retryCnt");
    // A command always has both parameter records, so that nobody has to test them for null.
    if (auto input = coder.decodeObject<CommandParameter>("inputParameter"))
        out->inputParameter = std::move(input);
    if (auto output = coder.decodeObject<CommandParameter>("outputParameter"))
        out->outputParameter = std::move(output);
    out->commandErr = decodeError(coder, "commandErr");
    out->commandRes = coder.decodeInt32("commandRes");
    out->userInfo = coder.decodeInt32("userInfo");
    out->userInfoObj = coder.decodeValue("userInfoObj");
    out->postOrPut = coder.decodeInt32("postOrPut");
    out->executeMode = coder.decodeInt32("executeMode");
    out->uploadedSize = decodeWideUnsigned(coder, "uploadedSize");
    out->localpath = coder.decodeString("localpath").value_or(std::string());
    out->commandRestringWhenErr = coder.decodeString("commandRestringWhenErr").value_or(std::string());
    return out;
}

std::optional<std::string> CloudServiceCommand::write2File(bool keepFlag) const
{
    std::string name = LocalStorePaths::randomName();
    name += '.';
    name += kCommandExtension;
    std::string path;
    if (keepFlag) {
        // Kept commands live one level further down, in a folder of their own inside the
        // surviving category.
        const std::string folder = LocalStorePaths::fullPathOfTempFile(kCommandCategory, kKeptCommandCategory);
        if (!LocalStorePaths::createIfNotExistDir(folder))
            return std::nullopt;
        path = (std::filesystem::path(folder) / name).string();
    } else {
        path = LocalStorePaths::fullPathOfTempFile(name, kCommandCategory);
    }
    if (!writeCommandFile(path, *this))
        return std::nullopt;
    return path;
}

bool CloudServiceCommand::write2FileLocalPath() const
{
    if (localpath.empty())
        return false;
    return writeCommandFile(localpath, *this);
}

std::shared_ptr<CloudServiceCommand> CloudServiceCommand::read2Cmd(const std::string& path)
{
    if (path.empty())
        return nullptr;
    return readCommandFile(path);
}

std::optional<std::string> CloudServiceCommand::write2FileFromOffLine(const std::string& serverPath)
{
    const auto path = LocalStorePaths::getOffLineLocalPath(serverPath, std::string(kCommandExtension));
    if (!path)
        return std::nullopt;
    if (outputParameter && outputParameter->fileInfo) {
        for (const auto& entry : *outputParameter->fileInfo) {
            if (entry)
                entry->isOffLineMode = true;
        }
    }
    const auto parent = std::filesystem::path(*path).parent_path();
    if (!FileSystem::createDirectories(parent))
        return std::nullopt;
    if (!writeCommandFile(*path, *this))
        return std::nullopt;
    return path;
}

std::shared_ptr<CloudServiceCommand> CloudServiceCommand::read2CmdFromOffLine(const std::string& serverPath)
{
    const auto path = LocalStorePaths::getOffLineLocalPath(serverPath, std::string(kCommandExtension));
    if (!path)
        return nullptr;
    return readCommandFile(*path);
}

std::optional<Bytes> CloudServiceCommand::read2CmdFromOffLineFile(const std::string& serverPath)
{
    const auto path = LocalStorePaths::getOffLineLocalPath(serverPath);
    if (!path)
        return std::nullopt;
    auto content = FileSystem::readFile(*path);
    if (!content || content->size() < kOffLineFillerSize)
        return std::nullopt;
    content->erase(content->begin(), content->begin() + static_cast<std::ptrdiff_t>(kOffLineFillerSize));
    return content;
}

void CloudServiceCommand::deleteFileForOffLine(const std::string& serverPath)
{
    // Only files: a server folder's path names a directory of other entries' copies.
    const auto removeFile = [](const std::optional<std::string>& path) {
        if (!path)
            return;
        std::error_code error;
        const auto status = std::filesystem::symlink_status(*path, error);
        if (!error && std::filesystem::exists(status) && !std::filesystem::is_directory(status))
            std::filesystem::remove(*path, error);
    };
    removeFile(LocalStorePaths::getOffLineLocalPath(serverPath));
    removeFile(LocalStorePaths::getOffLineLocalPath(serverPath, std::string(kCommandExtension)));
}

} // namespace norvane
