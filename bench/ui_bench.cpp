// The desktop client's responsiveness, offscreen, against a norvane-server started here:
//   ui_start_to_login_window     from the start of the process to the login form on screen
//   ui_login_to_file_window      from "Sign In" to the file window on screen (median of rounds)
//   ui_login_worst_stall         the longest the event loop stood still during those logins
//   ui_proxy_commit_worst_stall  the same while the system's proxy settings are read (as slow as
//                                a libproxy or credential-store answer can be: a second)
// Prints BENCH lines; exits 1 when a figure misses its target, 2 when a run failed.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/LoginWindowController.h"
#include "bench/UiBenchSupport.h"
#include "e2e/ServerProcess.h"
#include "support/FixedNetworkState.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QRadioButton>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace norvane;
using norvane::bench::StallMeter;
using norvane::bench::waitUntil;

namespace {

// Seconds since the kernel started this process (exec and loading included), to 10 ms.
double secondsSinceProcessStart()
{
    std::FILE* stat = std::fopen("/proc/self/stat", "r");
    if (!stat)
        return -1;
    char buffer[1024] = {};
    const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, stat);
    std::fclose(stat);
    // The fields after the command name (which may hold blanks) start after its closing ')'.
    const char* rest = std::strrchr(buffer, ')');
    if (!rest || got == 0)
        return -1;
    unsigned long long startTicks = 0;
    // State is field 3; starttime is field 22.
    if (std::sscanf(
            rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu", &startTicks)
        != 1)
        return -1;
    timespec now {};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const double started = static_cast<double>(startTicks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9 - started;
}

int failures = 0;

void report(const char* name, double value, double target)
{
    const bool pass = value <= target;
    failures += pass ? 0 : 1;
    std::printf("BENCH %s %.3f s target <= %.2f %s\n", name, value, target, pass ? "PASS" : "FAIL");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int rounds = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));

    QTemporaryDir home;
    ::setenv("NORVANE_HOME", qPrintable(home.path()), 1);
    // The bench machine may have no default route; the loopback server is reachable all the same.
    CurrentNetworkStatus::setStateSource(std::make_shared<test::FixedNetworkState>(true));

    QApplication application(argc, argv);
    AppDelegate::installQtTranslations();
    AppDelegate::Options options;
    options.quit = [] {};
    options.manager.watchReachability = false;
    options.manager.systemProxies = [](const std::string& url) -> std::optional<std::vector<ProxyEntry>> {
        // A slow system: each answer takes half a second (the secure and the plain proxy are
        // asked one after the other), and names no proxy, so the settings keep what they had.
        (void)url;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return std::vector<ProxyEntry> {};
    };
    AppDelegate app(options);
    app.applicationDidFinishLaunching();
    LoginWindowController& login = app.loginWindow();
    if (!waitUntil([&] { return login.loginWindow()->isVisible(); }))
        return 2;
    QApplication::processEvents();
    const double started = secondsSinceProcessStart();
    if (started < 0)
        return 2;
    report("ui_start_to_login_window", started, 1.0);

    // Started by this thread: the server ends with the thread that started it.
    test::ServerProcess server;
    if (!server.start()) {
        std::fprintf(stderr, "norvane-server did not start: %s\n", server.error().c_str());
        return 2;
    }
    test::ServerProcess::CompanySpec spec;
    spec.code = "benchco";
    spec.name = "Bench";
    const auto company = server.createCompany(spec);
    const auto user = server.createUser("benchco", "bench", "bench-pass", "Bench User");
    if (company.status / 100 != 2 || user.status / 100 != 2) {
        std::fprintf(stderr, "the server refused the bench account: %s %s\n", company.body.c_str(), user.body.c_str());
        return 2;
    }
    ConfigInfo& config = app.manager()->configDefine();
    server.pointSettingsHere(config);
    config.save();
    app.manager()->initCloudService();

    StallMeter meter;
    std::vector<double> loginTimes;
    double loginStall = 0;
    FileWindowController& files = app.fileWindow();
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer took;
        meter.start();
        took.start();
        bench::signInThroughForm(
            login.loginWindow(), QStringLiteral("benchco"), QStringLiteral("bench"), QStringLiteral("bench-pass"));
        if (!waitUntil([&] { return files.window()->isVisible(); })) {
            std::fprintf(stderr, "the login did not reach the file window\n");
            return 2;
        }
        QApplication::processEvents();
        loginTimes.push_back(static_cast<double>(took.nsecsElapsed()) / 1e9);
        loginStall = std::max(loginStall, meter.stop());
        files.doLogout();
        if (!waitUntil([&] { return login.loginWindow()->isVisible(); }))
            return 2;
    }
    std::sort(loginTimes.begin(), loginTimes.end());
    report("ui_login_to_file_window", loginTimes[loginTimes.size() / 2], 1.0);
    report("ui_login_worst_stall", loginStall, 0.05);

    double commitStall = 0;
    for (int round = 0; round < std::min(rounds, 3); ++round) {
        login.doSetting();
        login.proxyFields().rowButton(2)->click();
        meter.start();
        login.netSettingCommit();
        if (!waitUntil([&] { return login.loginWindow()->isVisible(); }))
            return 2;
        commitStall = std::max(commitStall, meter.stop());
    }
    report("ui_proxy_commit_worst_stall", commitStall, 0.05);
    CurrentNetworkStatus::setStateSource(nullptr);
    return failures == 0 ? 0 : 1;
}
