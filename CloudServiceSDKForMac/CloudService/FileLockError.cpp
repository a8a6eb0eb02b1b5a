#include "CloudServiceSDKForMac/CloudService/FileLockError.h"

#include "formats/DescriptionBuilder.h"

namespace norvane {

std::string FileLockError::description() const
{
    return DescriptionBuilder("FileLockError", this)
        .text("lockingUserName", lockingUserName)
        .int32("type", type)
        .text("lockingUserID", lockingUserID)
        .str();
}

} // namespace norvane
