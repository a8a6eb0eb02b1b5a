#pragma once

#include "platform/Value.h"

#include <functional>
#include <memory>
#include <string>

namespace norvane {

// An application-wide event: a name, the object it concerns (an identity only, never
// dereferenced; nullptr when none) and a map of details.
struct Notification {
    std::string name;
    const void* object = nullptr;
    ValueMap userInfo;
};

namespace detail {
struct NotificationHub;
struct NotificationObserver;
} // namespace detail

// Keeps an observer registered; resetting, removing or destroying it unregisters the observer.
// Move-only. An empty token (default-constructed, moved from or removed) does nothing.
class ObserverToken {
public:
    ObserverToken() = default;
    ObserverToken(ObserverToken&& other) noexcept = default;
    ObserverToken& operator=(ObserverToken&& other) noexcept;
    ObserverToken(const ObserverToken&) = delete;
    ObserverToken& operator=(const ObserverToken&) = delete;
    ~ObserverToken() { remove(); }

    // After remove() returns, the callback is never started again. When remove() is called
    // outside any notification callback, it also waits for calls of this observer still running
    // on other threads, so what the callback uses may be destroyed right afterwards. Called from
    // inside a callback (the observer's own or another's), it does not wait: waiting there could
    // deadlock two callbacks that remove each other's observers; a call already running on
    // another thread then finishes normally.
    void remove();
    void reset() { remove(); }
    bool isActive() const { return observer_ != nullptr; }
    explicit operator bool() const { return isActive(); }

private:
    friend class NotificationCenter;
    ObserverToken(std::weak_ptr<detail::NotificationHub> hub, std::shared_ptr<detail::NotificationObserver> observer)
        : hub_(std::move(hub))
        , observer_(std::move(observer))
    { }

    std::weak_ptr<detail::NotificationHub> hub_;
    std::shared_ptr<detail::NotificationObserver> observer_;
};

// Delivers notifications synchronously on the posting thread, to the matching observers in the
// order they were added. Any thread may post, add or remove at any time; no lock is held while a
// callback runs, so a callback may post, add observers or remove any observer (itself included).
// An observer added during a post is not called by that post; one removed during a post is not
// called after its removal. An exception escaping a callback is caught and logged, and delivery
// goes on with the next observer.
class NotificationCenter {
public:
    using Callback = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process-wide centre; it is never destroyed, so tokens may outlive everything else.
    static NotificationCenter& defaultCenter();

    // Observes notifications named `name` (an empty name: every name) concerning `object`
    // (nullptr: any object, including none).
    [[nodiscard]] ObserverToken addObserver(std::string name, const void* object, Callback callback);

    void post(std::string name, const void* object = nullptr, ValueMap userInfo = {});
    void post(const Notification& notification);

private:
    std::shared_ptr<detail::NotificationHub> hub_;
};

} // namespace norvane
