#pragma once

#include "cli/ExitStatus.h"

#include <cstdint>
#include <string>

namespace norvane::cli {

// How a command ended: its exit status, the result code of the operation that decided it (0 when
// none ran), for failures outside any operation a line saying what went wrong, and, where the
// command line could tell the cause behind a result code, a short name for it ("reason").
struct Outcome {
    int exitStatus = ExitStatus::kSuccess;
    std::int32_t result = 0;
    std::string error;
    std::string reason;

    static Outcome ofResult(std::int32_t result) { return { ExitStatus::forResult(result), result, {}, {} }; }
    static Outcome usage(std::string error) { return { ExitStatus::kUsage, 0, std::move(error), {} }; }
    static Outcome localFile(std::string error) { return { ExitStatus::kLocalFile, 0, std::move(error), {} }; }
    static Outcome because(int exitStatus, std::int32_t result, std::string reason)
    {
        return { exitStatus, result, {}, std::move(reason) };
    }
};

} // namespace norvane::cli
