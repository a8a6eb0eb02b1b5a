#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace norvane {

class MainQueue;

// The logout after a time without server access. The timer lives on the main queue whatever
// thread asks for it: start, stop and serverAccessed may be called from any thread and take
// effect there, in the order they were asked for. The time comes from the main queue's delayed
// tasks, so tests drive it with a queue of their own instead of waiting.
//
// The policy is read afresh at every step: the logout is only scheduled while the automatic
// logout is on and the expiry time is positive (0 or less means never).
class AutoLogoutTimer {
public:
    struct Policy {
        bool isAutoSignOut = false;
        std::int64_t expireTime = 0; // seconds
    };
    using PolicyReader = std::function<Policy()>;
    using LogoutAction = std::function<void()>;

    // Longer expiry times are cut to this (a year): beyond it the timer could not count.
    static constexpr std::int64_t kLongestExpireTime = 365LL * 24 * 3600;

    AutoLogoutTimer(std::shared_ptr<MainQueue> mainQueue, PolicyReader policy, LogoutAction logout);
    ~AutoLogoutTimer();
    AutoLogoutTimer(const AutoLogoutTimer&) = delete;
    AutoLogoutTimer& operator=(const AutoLogoutTimer&) = delete;

    // Schedules the logout unless one is scheduled already or the policy is off.
    void start();
    // Cancels the scheduled logout.
    void stop();
    // A request reached the server: a scheduled logout starts counting again, or ends when the
    // policy has been switched off meanwhile. Does nothing while no logout is scheduled.
    void serverAccessed();
    // The timer went off: logs out when the policy is still on.
    void fire();
    // A logout is scheduled (isRunLogoutTime).
    bool isRunning() const;

private:
    struct Core;
    void onMain(std::function<void(Core&)> step);

    std::shared_ptr<Core> core_;
};

} // namespace norvane
