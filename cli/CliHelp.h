#pragma once

#include <string>

namespace norvane::cli {

// The texts of --help: the whole usage, or one command's.
class CliHelp {
public:
    static std::string full();
    // Empty for an unknown command.
    static std::string command(const std::string& name);
};

} // namespace norvane::cli
