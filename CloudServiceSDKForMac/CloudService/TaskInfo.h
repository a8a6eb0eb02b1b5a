#pragma once

#include "formats/KeyedArchive.h"

#include <cstdint>
#include <memory>
#include <string>

namespace norvane {

// One entry of the batch queue: what the batch list shows and where the queued command's archive
// lies. Archived under its field names; "filesize" is 64-bit.
class TaskInfo {
public:
    std::string displayName;
    std::string fileName; // path of the queued command's archive file
    float progress = 0.0f; // 0.0 - 1.0
    std::uint64_t filesize = 0;

    std::shared_ptr<TaskInfo> copy() const { return std::make_shared<TaskInfo>(*this); }
    std::string description() const;

    void encodeWithCoder(KeyedArchiver& coder) const;
    // Missing keys read as defaults; never null.
    static std::shared_ptr<TaskInfo> initWithCoder(const KeyedUnarchiver& coder);
};

} // namespace norvane
