#include "CloudServiceSDKForMac/CloudService/CloudResponse.h"

#include "formats/DescriptionBuilder.h"

namespace norvane {

std::string CloudResponse::description() const
{
    return DescriptionBuilder("CloudResponse", this).int32("res", res).text("localFileMoved", localFileMoved).str();
}

} // namespace norvane
