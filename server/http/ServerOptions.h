#pragma once

#include "server/store/StoreLimits.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace norvane::server {

// The command line of norvane-server:
//   --data DIR [--listen HOST:PORT] [--tls [--cert FILE --key FILE]] [--demo] [--faults FILE]
//   [--control-token TOKEN] and the limits (see serverUsage()).
struct ServerOptions {
    std::filesystem::path dataDir;
    std::string host = "127.0.0.1";
    int port = 0; // 0: a free port, announced on start
    bool tls = false;
    std::filesystem::path certificateFile; // both empty: the data folder's self-signed identity
    std::filesystem::path keyFile;
    bool demo = false;
    std::filesystem::path faultsFile;
    std::string controlToken; // empty: a random one, announced on start
    StoreLimits limits; // sessions, login throttle, share-link passwords
    std::chrono::seconds headTimeout { 10 };
    std::chrono::seconds keepAliveIdle { 5 };
    std::size_t maxHeaders = 100;
    std::size_t maxHeadBytes = 64 * 1024;
    std::size_t minTransferRate = 4096; // bytes a second that a slow peer is allowed to fall to
};

struct ServerOptionsParse {
    ServerOptions options;
    bool help = false; // --help: print the usage and stop
    std::optional<std::string> error; // for people; the usage follows it
};

// Parses the arguments after the program name. Never throws.
ServerOptionsParse parseServerOptions(std::span<const std::string> arguments);

// "HOST:PORT" or "[IPV6]:PORT"; PORT 0..65535. Nothing for anything else.
std::optional<std::pair<std::string, int>> parseListenAddress(std::string_view text);

std::string serverUsage();

} // namespace norvane::server
