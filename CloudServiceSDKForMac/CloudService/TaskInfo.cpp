#include "CloudServiceSDKForMac/CloudService/TaskInfo.h"

#include "formats/DescriptionBuilder.h"

namespace norvane {

std::string TaskInfo::description() const
{
    return DescriptionBuilder("TaskInfo", this)
        .text("displayName", std::string_view(displayName))
        .text("fileName", std::string_view(fileName))
        .real("progress", progress)
        .uint64("filesize", filesize)
        .str();
}

void TaskInfo::encodeWithCoder(KeyedArchiver& coder) const
{
    coder.encodeString("displayName", displayName);
    coder.encodeString("fileName", fileName);
    coder.encodeFloat("progress", progress);
    // Unsigned sizes beyond INT64_MAX travel as their bit pattern.
    coder.encodeInt64("filesize", static_cast<std::int64_t>(filesize));
}

std::shared_ptr<TaskInfo> TaskInfo::initWithCoder(const KeyedUnarchiver& coder)
{
    auto out = std::make_shared<TaskInfo>();
    out->displayName = coder.decodeString("displayName").value_or(std::string());
    out->fileName = coder.decodeString("fileName").value_or(std::string());
    out->progress = coder.decodeFloat("progress");
    out->filesize = static_cast<std::uint64_t>(coder.decodeInt64("filesize"));
    return out;
}

} // namespace norvane
