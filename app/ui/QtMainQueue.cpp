#include "app/ui/QtMainQueue.h"

#include "platform/Log.h"
#include "platform/RunLoop.h"

#include <QCoreApplication>
#include <QTimer>
#include <QTimerEvent>

#include <chrono>
#include <string>

namespace norvane {

// The receiver of the queued invocations; its end is the end of the loop for the queue.
class QtMainQueueReceiver : public QObject {
public:
    ~QtMainQueueReceiver() override
    {
        if (onDestroy)
            onDestroy();
    }

    std::function<void()> onDestroy;
};

struct QtMainQueue::State {
    std::mutex mutex;
    bool closed = false;
    QPointer<QObject> receiver;
    std::set<std::shared_ptr<SyncCall>> waiting;
    Token nextToken = 1;
    std::map<Token, QPointer<QTimer>> timers; // pending delayed tasks; null until the timer exists

    bool isClosed()
    {
        std::lock_guard lock(mutex);
        return closed;
    }

    // Queues fn on the GUI thread; false when the loop is over. Call with the lock held.
    bool invokeLocked(std::function<void()> fn)
    {
        if (closed || !receiver)
            return false;
        return QMetaObject::invokeMethod(receiver.data(), std::move(fn), Qt::QueuedConnection);
    }

    void close()
    {
        std::set<std::shared_ptr<SyncCall>> released;
        std::map<Token, QPointer<QTimer>> timersLeft;
        {
            std::lock_guard lock(mutex);
            closed = true;
            released.swap(waiting);
            timersLeft.swap(timers);
        }
        for (auto& [token, timer] : timersLeft)
            delete timer.data(); // closed on the GUI thread: the timers live there
        for (const auto& call : released)
            call->finish(false);
    }
};

QtMainQueue::QtMainQueue()
    : state_(std::make_shared<State>())
    , mainThread_(std::this_thread::get_id())
{
    auto* receiver = new QtMainQueueReceiver;
    if (auto* app = QCoreApplication::instance())
        receiver->setParent(app);
    receiver->onDestroy = [state = std::weak_ptr<State>(state_)] {
        if (auto s = state.lock())
            s->close();
    };
    state_->receiver = receiver;
}

QtMainQueue::~QtMainQueue()
{
    QObject* receiver = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        receiver = state_->receiver.data();
    }
    shutDown();
    if (receiver && isMainThread())
        delete receiver;
}

void QtMainQueue::shutDown()
{
    state_->close();
}

bool QtMainQueue::isShutDown() const
{
    std::lock_guard lock(state_->mutex);
    return state_->closed;
}

bool QtMainQueue::isMainThread() const
{
    return std::this_thread::get_id() == mainThread_;
}

void QtMainQueue::post(Task fn)
{
    if (!fn)
        return;
    std::lock_guard lock(state_->mutex);
    if (!state_->invokeLocked([fn = std::move(fn), weak = std::weak_ptr<State>(state_)] {
            // Queued before the queue was shut down: its world may be gone since.
            if (auto s = weak.lock(); s && !s->isClosed())
                runGuarded(fn);
        }))
        Log::line("MainQueue: the main loop has ended; task dropped");
}

bool QtMainQueue::runSync(Task fn)
{
    if (!fn)
        return false;
    if (isMainThread())
        return runGuarded(fn);
    auto call = std::make_shared<SyncCall>();
    {
        std::lock_guard lock(state_->mutex);
        const bool queued = state_->invokeLocked([call, fn = std::move(fn), weak = std::weak_ptr<State>(state_)] {
            // A worker let go at shut-down has gone on: what the task refers to (its stack
            // among it) may no longer be there.
            {
                std::lock_guard released(call->mutex);
                if (call->finished)
                    return;
            }
            const bool ok = runGuarded(fn);
            if (auto s = weak.lock()) {
                std::lock_guard relock(s->mutex);
                s->waiting.erase(call);
            }
            call->finish(ok);
        });
        if (!queued) {
            Log::line("MainQueue: the main loop has ended; synchronous task dropped");
            return false;
        }
        state_->waiting.insert(call);
    }
    return call->wait();
}

MainQueue::Token QtMainQueue::postDelayed(double seconds, Task fn)
{
    if (!fn)
        return 0;
    const int ms = seconds <= 0 ? 0 : seconds >= 2147483.0 ? 2147483647 : static_cast<int>(seconds * 1000.0 + 0.5);
    std::lock_guard lock(state_->mutex);
    const Token token = state_->nextToken++;
    auto start = [weak = std::weak_ptr<State>(state_), token, ms, fn = std::move(fn)] {
        auto s = weak.lock();
        if (!s)
            return;
        auto* timer = new QTimer(s->receiver.data());
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        {
            std::lock_guard relock(s->mutex);
            auto it = s->timers.find(token);
            if (it == s->timers.end()) { // cancelled before it started
                delete timer;
                return;
            }
            it->second = timer;
        }
        QObject::connect(timer, &QTimer::timeout, timer, [weak, token, fn, timer] {
            auto state = weak.lock();
            if (!state)
                return;
            {
                std::lock_guard relock(state->mutex);
                if (state->timers.erase(token) == 0)
                    return;
            }
            timer->deleteLater();
            runGuarded(fn);
        });
        timer->start(ms);
    };
    if (!state_->invokeLocked(std::move(start)))
        return 0;
    state_->timers.emplace(token, nullptr);
    return token;
}

bool QtMainQueue::cancel(Token token)
{
    QPointer<QTimer> timer;
    {
        std::lock_guard lock(state_->mutex);
        auto it = state_->timers.find(token);
        if (it == state_->timers.end())
            return false;
        timer = it->second;
        state_->timers.erase(it);
        if (timer && !isMainThread()) {
            state_->invokeLocked([timer] { delete timer.data(); });
            return true;
        }
    }
    delete timer.data();
    return true;
}

MainRunLoopPump::MainRunLoopPump(QObject* parent, int intervalMs)
    : QObject(parent)
{
    startTimer(intervalMs, Qt::CoarseTimer);
}

void MainRunLoopPump::timerEvent(QTimerEvent*)
{
    RunLoop::current()->runFor(0);
}

} // namespace norvane
