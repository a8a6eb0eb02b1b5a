#include "bench/UiBenchSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>

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

} // namespace norvane::bench
