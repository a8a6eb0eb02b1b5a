#pragma once

// What the desktop client's benchmarks share: a meter of the event loop's longest stall, waiting
// while the loop turns, the process's resident set, and a client signed in to a norvane-server
// of its own.

#include "app/ui/AppDelegate.h"
#include "e2e/ServerProcess.h"

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <functional>

class QWidget;

namespace norvane::bench {

// The longest gap between two turns of the event loop while it is being watched.
class StallMeter {
public:
    StallMeter();
    void start();
    // Seconds beyond the ticking interval.
    double stop();
    // When the longest stall ended, in seconds from the start; how many stood still over 50 ms.
    double worstEndedAt() const { return static_cast<double>(worstAt_) / 1e9; }
    int longStalls() const { return longStalls_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 worst_ = 0;
    qint64 worstAt_ = 0;
    int longStalls_ = 0;
    static constexpr qint64 kLongStallNs = 50'000'000;
};

// Fills the login form with the company, user and password and presses its button.
void signInThroughForm(QWidget* loginForm, const QString& company, const QString& user, const QString& password);

// Turns the event loop until `done` says so; false after timeoutMs.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000);

// The resident set of this process in KiB (VmRSS), -1 when unknown.
long residentKiB();

// Starts `server` as the tests start it, with the company "benchco" and its user "bench"
// (password "bench-pass"); empty, or why not.
std::string startServerWithBenchAccount(test::ServerProcess& server);
// A client that watches no reachability, asks for no system proxies and opens no files.
AppDelegate::Options quietClientOptions();
// Points the client's settings at the server, launches it, signs in with the bench account
// through the login form and waits for the file window, sized 1100 x 700; empty, or why not.
std::string signInToFileWindow(AppDelegate& app, test::ServerProcess& server);

} // namespace norvane::bench
