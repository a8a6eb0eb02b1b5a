#pragma once

#include "platform/MainQueue.h"

#include <QObject>
#include <QPointer>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

class QTimer;

namespace norvane {

// The main queue on the Qt event loop of the thread that makes it (the GUI thread). Tasks are
// queued invocations, so they also run while a modal dialog turns a nested loop: a worker waiting
// in runSync is served even then. Delayed tasks are single-shot timers keyed by token.
//
// Once the event loop has ended (shutDown, or the destruction of the queue's receiver), posted
// tasks are dropped and every worker still waiting in runSync is released with false, so that no
// worker hangs on a loop that will never turn again.
class QtMainQueue final : public MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;

    void post(Task fn) override;
    bool runSync(Task fn) override;
    Token postDelayed(double seconds, Task fn) override;
    bool cancel(Token token) override;
    bool isMainThread() const override;

    // The event loop is over: drops what waits and refuses what comes.
    void shutDown();
    bool isShutDown() const;

private:
    struct State;
    const std::shared_ptr<State> state_;
    const std::thread::id mainThread_;
};

// Keeps the GUI thread's RunLoop turning: the lower layers keep a few things there (the network
// reachability monitor, delayed engine work), and the Qt loop does not know of them.
class MainRunLoopPump : public QObject {
    Q_OBJECT
public:
    explicit MainRunLoopPump(QObject* parent = nullptr, int intervalMs = 50);

private:
    void timerEvent(QTimerEvent* event) override;
};

} // namespace norvane
