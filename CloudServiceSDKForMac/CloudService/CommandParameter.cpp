#include "CloudServiceSDKForMac/CloudService/CommandParameter.h"

#include "CloudServiceSDKForMac/CloudService/ValueDescription.h"
#include "formats/DescriptionBuilder.h"

namespace norvane {

namespace {

std::optional<std::string> describeList(const std::shared_ptr<FileInfoList>& list)
{
    if (!list)
        return std::nullopt;
    std::string out = "(";
    for (const auto& entry : *list) {
        out += "\n";
        out += entry ? entry->description() : "(null)";
        out += ",";
    }
    if (!list->empty())
        out.back() = '\n';
    out += ")";
    return out;
}

} // namespace

std::string CommandParameter::description() const
{
    std::optional<std::string> data;
    if (memoryData)
        data = "{length = " + std::to_string(memoryData->size()) + "}";
    // Descriptions end up in logs; the credential string must not.
    DescriptionBuilder builder("CommandParameter", this);
    if (authString.empty())
        builder.text("authString", std::string_view(authString));
    else
        builder.object("authString", std::string("<hidden>"));
    return builder.text("pathName", std::string_view(pathName))
        .text("localFileName", std::string_view(localFileName))
        .text("remoteFileName", std::string_view(remoteFileName))
        .object("memoryData", data)
        .object("fileInfo", describeList(fileInfo))
        .text("displayName", std::string_view(displayName))
        .object("cmdOption", describeValue(Value(cmdOption)))
        .str();
}

void CommandParameter::encodeWithCoder(KeyedArchiver& coder) const
{
    coder.encodeString("authString", authString);
    coder.encodeString("pathName", pathName);
    coder.encodeString("localFileName", localFileName);
    coder.encodeString("remoteFileName", remoteFileName);
    if (memoryData)
        coder.encodeBytes("memoryData", *memoryData);
    if (fileInfo)
        coder.encodeObjectList("fileInfo", *fileInfo);
    coder.encodeString("displayName", displayName);
    coder.encodeValue("cmdOption", Value(cmdOption));
}

std::shared_ptr<CommandParameter> CommandParameter::initWithCoder(const KeyedUnarchiver& coder)
{
    auto out = std::make_shared<CommandParameter>();
    out->authString = coder.decodeString("authString").value_or(std::string());
    out->pathName = coder.decodeString("pathName").value_or(std::string());
    out->localFileName = coder.decodeString("localFileName").value_or(std::string());
    out->remoteFileName = coder.decodeString("remoteFileName").value_or(std::string());
    if (auto data = coder.decodeBytes("memoryData"))
        out->memoryData = std::make_shared<Bytes>(std::move(*data));
    if (coder.containsValueForKey("fileInfo"))
        out->fileInfo = std::make_shared<FileInfoList>(coder.decodeObjectList<fileInformation>("fileInfo"));
    out->displayName = coder.decodeString("displayName").value_or(std::string());
    Value options = coder.decodeValue("cmdOption");
    if (auto* map = options.map())
        out->cmdOption = std::move(*map);
    return out;
}

} // namespace norvane
