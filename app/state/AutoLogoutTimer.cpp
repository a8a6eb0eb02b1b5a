#include "app/state/AutoLogoutTimer.h"

#include "platform/MainQueue.h"

#include <algorithm>
#include <chrono>

namespace norvane {

// Everything here is touched on the main queue only, except `running`, which any thread may read,
// and `lastAccessPosted`, which workers share.
struct AutoLogoutTimer::Core : std::enable_shared_from_this<Core> {
    std::shared_ptr<MainQueue> mainQueue;
    PolicyReader policy;
    LogoutAction logout;
    MainQueue::Token token = 0;
    std::atomic<bool> running { false };
    std::atomic<std::chrono::steady_clock::rep> lastAccessPosted { 0 }; // by a worker, steady clock

    // The seconds until the logout, or 0 when the policy asks for none.
    std::int64_t delay() const
    {
        const Policy now = policy ? policy() : Policy {};
        if (!now.isAutoSignOut || now.expireTime <= 0)
            return 0;
        return std::min(now.expireTime, kLongestExpireTime);
    }

    void cancel()
    {
        if (token != 0)
            mainQueue->cancel(token);
        token = 0;
    }

    void schedule(std::int64_t seconds)
    {
        std::weak_ptr<Core> weak = weak_from_this();
        token = mainQueue->postDelayed(static_cast<double>(seconds), [weak] {
            if (auto self = weak.lock()) {
                self->token = 0;
                self->fire();
            }
        });
    }

    void fire()
    {
        if (!policy || !policy().isAutoSignOut)
            return;
        cancel();
        running = false;
        if (logout)
            logout();
    }
};

AutoLogoutTimer::AutoLogoutTimer(std::shared_ptr<MainQueue> mainQueue, PolicyReader policy, LogoutAction logout)
    : core_(std::make_shared<Core>())
{
    core_->mainQueue = mainQueue ? std::move(mainQueue) : MainQueue::shared();
    core_->policy = std::move(policy);
    core_->logout = std::move(logout);
}

AutoLogoutTimer::~AutoLogoutTimer()
{
    // A delayed task still pending holds only a weak reference; cancelling spares the queue.
    if (core_->mainQueue->isMainThread())
        core_->cancel();
}

void AutoLogoutTimer::onMain(std::function<void(Core&)> step)
{
    if (core_->mainQueue->isMainThread()) {
        step(*core_);
        return;
    }
    // Posted, not waited for: a worker that reports a server access must never wait for a main
    // thread that may be waiting for it. The queue keeps the order of the steps.
    std::weak_ptr<Core> weak = core_;
    core_->mainQueue->post([weak, step = std::move(step)] {
        if (auto core = weak.lock())
            step(*core);
    });
}

void AutoLogoutTimer::start()
{
    onMain([](Core& core) {
        if (core.running)
            return;
        if (const std::int64_t seconds = core.delay(); seconds > 0) {
            core.schedule(seconds);
            core.running = true;
        }
    });
}

void AutoLogoutTimer::stop()
{
    onMain([](Core& core) {
        core.cancel();
        core.running = false;
    });
}

void AutoLogoutTimer::serverAccessed()
{
    // A transfer reports an access for every chunk; the restart that a worker asks for is passed
    // to the main thread at most once a second (the wait is minutes long).
    if (!core_->mainQueue->isMainThread()) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        auto last = core_->lastAccessPosted.load();
        if (now - last < std::chrono::steady_clock::duration(std::chrono::seconds(1)).count()
            || !core_->lastAccessPosted.compare_exchange_strong(last, now))
            return;
    }
    onMain([](Core& core) {
        core.cancel();
        if (!core.running)
            return;
        if (const std::int64_t seconds = core.delay(); seconds > 0)
            core.schedule(seconds);
        else
            core.running = false;
    });
}

void AutoLogoutTimer::fire()
{
    onMain([](Core& core) { core.fire(); });
}

bool AutoLogoutTimer::isRunning() const
{
    return core_->running;
}

} // namespace norvane
