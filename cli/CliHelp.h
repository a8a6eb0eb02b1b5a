#pragma once

#include <string>
#include <vector>

namespace norvane::cli {

// The texts of --help: the whole usage, or one command's.
class CliHelp {
public:
    static std::string full();
    // The short usage, line by line, for a command line without a command.
    static std::vector<std::string> usage();
    // Empty for an unknown command.
    static std::string command(const std::string& name);
};

} // namespace norvane::cli
