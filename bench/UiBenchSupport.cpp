#include "bench/UiBenchSupport.h"

#include "app/ui/DesktopOpener.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/LoginWindowController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace norvane::bench {

StallMeter::StallMeter()
{
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        const qint64 now = clock_.nsecsElapsed();
        if (now - last_ > worst_) {
            worst_ = now - last_;
            worstAt_ = now;
        }
        if (now - last_ > kLongStallNs)
            ++longStalls_;
        last_ = now;
    });
    timer_.setTimerType(Qt::PreciseTimer);
}

void StallMeter::start()
{
    worst_ = 0;
    worstAt_ = 0;
    longStalls_ = 0;
    clock_.start();
    last_ = 0;
    timer_.start(2);
}

double StallMeter::stop()
{
    timer_.stop();
    worst_ = std::max(worst_, clock_.nsecsElapsed() - last_);
    return std::max(0.0, static_cast<double>(worst_) / 1e9 - 0.002);
}

void signInThroughForm(QWidget* loginForm, const QString& company, const QString& user, const QString& password)
{
    loginForm->findChild<QLineEdit*>(QStringLiteral("companyCode"))->setText(company);
    loginForm->findChild<QLineEdit*>(QStringLiteral("userName"))->setText(user);
    loginForm->findChild<QLineEdit*>(QStringLiteral("userPass"))->setText(password);
    loginForm->findChild<QAbstractButton*>(QStringLiteral("doLogin"))->click();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

long residentKiB()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    std::fclose(status);
    return kib;
}

namespace {

class NoOpener : public DesktopOpener {
public:
    bool openLocalFile(const QString&) override { return true; }
};

} // namespace

std::string startServerWithBenchAccount(test::ServerProcess& server)
{
    if (!server.start())
        return server.error();
    test::ServerProcess::CompanySpec company;
    company.code = "benchco";
    company.name = "Bench";
    if (server.createCompany(company).status / 100 != 2
        || server.createUser("benchco", "bench", "bench-pass", "Bench User").status / 100 != 2)
        return "the server refused the bench account";
    return {};
}

AppDelegate::Options quietClientOptions()
{
    AppDelegate::Options options;
    options.quit = [] {};
    options.manager.watchReachability = false;
    options.manager.systemProxies
        = [](const std::string&) { return std::optional<std::vector<ProxyEntry>>(std::vector<ProxyEntry> {}); };
    options.opener = std::make_shared<NoOpener>();
    return options;
}

std::string signInToFileWindow(AppDelegate& app, test::ServerProcess& server)
{
    ConfigInfo& config = app.manager()->configDefine();
    server.pointSettingsHere(config);
    config.save();
    app.applicationDidFinishLaunching();
    signInThroughForm(app.loginWindow().loginWindow(), QStringLiteral("benchco"), QStringLiteral("bench"),
        QStringLiteral("bench-pass"));
    FileWindowController& files = app.fileWindow();
    if (!waitUntil([&] { return files.window()->isVisible(); }))
        return "no file window after the login";
    files.window()->resize(1100, 700);
    return {};
}

} // namespace norvane::bench
