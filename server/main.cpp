// norvane-server: the storage and login server. See server/README.md for what it serves.

#include "platform/Log.h"
#include "server/demo/DemoSeed.h"
#include "server/http/FaultRules.h"
#include "server/http/HttpFrontEnd.h"
#include "server/http/RandomText.h"
#include "server/http/ServerOptions.h"
#include "server/http/TlsMaterial.h"
#include "server/store/ServerStore.h"

#include <csignal>
#include <iostream>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <system_error>
#include <vector>

using namespace norvane;
using namespace norvane::server;

namespace {

int fail(const std::string& message)
{
    std::cerr << "norvane-server: " << message << std::endl;
    return 1;
}

// Every open connection holds a descriptor, also one that only waits for its client: the soft
// limit (often 1024) goes up to the hard one.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            Log::line("norvane-server: the descriptor limit stays where it was");
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    auto parse = parseServerOptions(arguments);
    if (parse.help) {
        std::cout << serverUsage();
        return 0;
    }
    if (parse.error) {
        std::cerr << "norvane-server: " << *parse.error << "\n" << serverUsage();
        return 2;
    }
    ServerOptions& options = parse.options;

    // Stop signals are taken by sigwait below, never delivered to a worker; a peer that goes away
    // mid-answer is an error of that write, not the end of the process.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::error_code error;
    std::filesystem::create_directories(options.dataDir, error);
    if (error)
        return fail("cannot create the data folder " + options.dataDir.string() + ": " + error.message());

    raiseDescriptorLimit();
    auto store = ServerStore::open(options.dataDir, options.limits);
    if (!store)
        return fail("cannot open the data folder: " + store.failure().detail);

    FaultRules faults;
    if (!options.faultsFile.empty()) {
        if (auto failure = faults.loadFile(options.faultsFile))
            return fail("fault rules: " + failure->description);
    }

    // Seeded before the first connection is accepted, so that what is announced is there.
    std::vector<DemoAccount> demoAccounts;
    if (options.demo) {
        auto seeded = seedDemo(*store.value());
        if (!seeded)
            return fail("demo seed: " + seeded.failure().detail);
        demoAccounts = std::move(seeded.value());
    }

    FrontEndSettings settings;
    settings.host = options.host;
    settings.port = options.port;
    settings.controlToken = options.controlToken.empty() ? secureRandomHex(16) : options.controlToken;
    settings.headTimeout = options.headTimeout;
    settings.keepAliveIdle = options.keepAliveIdle;
    settings.maxHeaders = options.maxHeaders;
    settings.maxHeadBytes = options.maxHeadBytes;
    settings.timeouts.bytesPerSecond = options.minTransferRate;
    std::string pin;
    if (options.tls) {
        auto material = options.certificateFile.empty() ? ensureSelfSigned(options.dataDir)
                                                        : loadTlsMaterial(options.certificateFile, options.keyFile);
        if (!material.ok())
            return fail("TLS: " + material.error->description);
        settings.tls = true;
        settings.certificateFile = material.material.certificatePath;
        settings.keyFile = material.material.keyPath;
        pin = material.material.pin;
    }

    HttpFrontEnd frontEnd(*store.value(), faults, settings);
    if (auto failure = frontEnd.start())
        return fail(failure->description);

    std::cout << "listening " << frontEnd.url() << std::endl;
    if (!pin.empty())
        std::cout << "pin " << pin << std::endl;
    for (const auto& account : demoAccounts)
        std::cout << "demo " << account.companyCode << " " << account.login << " " << account.password << std::endl;
    std::cout << "control-token " << settings.controlToken << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    Log::line("norvane-server stopping on signal " + std::to_string(received));
    frontEnd.stop();
    store.value()->waitForBackgroundCopies();
    return 0;
}
