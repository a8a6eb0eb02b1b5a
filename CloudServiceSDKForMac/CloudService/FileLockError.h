#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace norvane {

// Who holds the lock that made the server refuse an upload, as its conflict body names them.
class FileLockError {
public:
    std::optional<std::string> lockingUserName;
    std::int32_t type = -1;
    std::optional<std::string> lockingUserID;

    std::string description() const;
};

} // namespace norvane
