#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace norvane {

// A result code together with the place a downloaded file was moved to, if it was.
class CloudResponse {
public:
    std::int32_t res = 0; // result code (ResultCode)
    std::optional<std::string> localFileMoved;

    void copyself(const CloudResponse& other)
    {
        res = other.res;
        localFileMoved = other.localFileMoved;
    }

    std::string description() const;
};

} // namespace norvane
