#include "platform/NotificationCenter.h"

#include "platform/Log.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace norvane {

namespace detail {

struct NotificationObserver {
    NotificationObserver(std::string observedName, const void* observedObject, NotificationCenter::Callback fn)
        : name(std::move(observedName))
        , object(observedObject)
        , callback(std::move(fn))
    { }

    bool matches(const Notification& n) const
    {
        return (name.empty() || name == n.name) && (object == nullptr || object == n.object);
    }

    const std::string name;
    const void* const object;
    const NotificationCenter::Callback callback;

    std::mutex mutex;
    std::condition_variable idle; // a call finished
    bool removed = false;
    std::vector<std::thread::id> callers; // threads running the callback now
};

struct NotificationHub {
    std::mutex mutex;
    std::vector<std::shared_ptr<NotificationObserver>> observers; // in order of registration
};

} // namespace detail

namespace {

// How many notification callbacks the current thread is inside; removal does not wait there.
thread_local int deliveryDepth = 0;

} // namespace

ObserverToken& ObserverToken::operator=(ObserverToken&& other) noexcept
{
    if (this != &other) {
        remove();
        hub_ = std::move(other.hub_);
        observer_ = std::move(other.observer_);
    }
    return *this;
}

void ObserverToken::remove()
{
    if (!observer_)
        return;
    // Kept alive to the end of this function, so the observer (and what its callback captured)
    // is never destroyed under a lock.
    const auto observer = std::move(observer_);
    if (auto hub = hub_.lock()) {
        std::lock_guard lock(hub->mutex);
        auto& list = hub->observers;
        list.erase(std::remove(list.begin(), list.end(), observer), list.end());
    }
    hub_.reset();

    std::unique_lock lock(observer->mutex);
    observer->removed = true;
    if (deliveryDepth == 0)
        observer->idle.wait(lock, [&] { return observer->callers.empty(); });
}

NotificationCenter::NotificationCenter()
    : hub_(std::make_shared<detail::NotificationHub>())
{ }

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter()
{
    static auto* center = new NotificationCenter;
    return *center;
}

ObserverToken NotificationCenter::addObserver(std::string name, const void* object, Callback callback)
{
    if (!callback)
        return {};
    auto observer = std::make_shared<detail::NotificationObserver>(std::move(name), object, std::move(callback));
    {
        std::lock_guard lock(hub_->mutex);
        hub_->observers.push_back(observer);
    }
    return ObserverToken(hub_, std::move(observer));
}

void NotificationCenter::post(std::string name, const void* object, ValueMap userInfo)
{
    post(Notification { std::move(name), object, std::move(userInfo) });
}

void NotificationCenter::post(const Notification& notification)
{
    std::vector<std::shared_ptr<detail::NotificationObserver>> targets;
    {
        std::lock_guard lock(hub_->mutex);
        for (const auto& observer : hub_->observers) {
            if (observer->matches(notification))
                targets.push_back(observer);
        }
    }
    const auto self = std::this_thread::get_id();
    for (const auto& observer : targets) {
        {
            std::lock_guard lock(observer->mutex);
            if (observer->removed)
                continue;
            observer->callers.push_back(self);
        }
        ++deliveryDepth;
        try {
            observer->callback(notification);
        } catch (const std::exception& e) {
            Log::line("NotificationCenter: observer of \"" + notification.name + "\" threw: " + e.what());
        } catch (...) {
            Log::line("NotificationCenter: observer of \"" + notification.name + "\" threw a non-standard exception");
        }
        --deliveryDepth;
        {
            std::lock_guard lock(observer->mutex);
            observer->callers.erase(std::find(observer->callers.begin(), observer->callers.end(), self));
        }
        observer->idle.notify_all();
    }
}

} // namespace norvane
