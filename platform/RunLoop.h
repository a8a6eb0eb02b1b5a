#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace norvane {

// The event loop of one thread: timers, tasks posted from any thread and file-descriptor sources,
// processed while the thread runs the loop in slices (runFor). Every callback runs on the loop's
// own thread, never while the loop holds its lock, so a callback may add or remove timers and
// sources, post, stop the loop or run it again (nested) without deadlock. An exception escaping
// a callback is caught, logged and dropped.
//
// Each thread gets its loop on first use of current(). Other threads keep a shared_ptr handle to
// it; once the owning thread has ended, the loop is inert: post() and the other mutators drop
// what they are given and report failure, so a late post to a finished thread is harmless.
//
// Stopping: stop() may be called from any thread. It ends the innermost runFor in progress on the
// loop's thread; when no runFor is in progress, the stop is kept and the next runFor returns
// Stopped at once without processing anything. Either way a stop is consumed by exactly one
// runFor, so the following one runs normally.
//
// Readiness is waited for with poll(2), rebuilt from the source table on every pass: that keeps
// interest changes, removals and fds closed behind the loop's back (reported once as Error, then
// dropped) simple and safe. The number of sources per thread is small (a few sockets).
class RunLoop : public std::enable_shared_from_this<RunLoop> {
public:
    using Callback = std::function<void()>;
    using TimerId = std::uint64_t; // 0 is never a valid id

    // Interest and readiness bits of a file-descriptor source.
    enum Event : unsigned {
        None = 0,
        Readable = 1u << 0,
        Writable = 1u << 1,
        Error = 1u << 2, // POLLERR, or the fd is not open; always reported while interest is not None
        HangUp = 1u << 3, // POLLHUP; always reported while interest is not None
    };
    using FdCallback = std::function<void(int fd, unsigned events)>;

    enum class RunResult {
        TimedOut, // the slice ended
        Stopped, // stop() ended it, or the loop cannot run on this thread
    };

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;
    ~RunLoop();

    // The calling thread's loop, created on first use.
    static std::shared_ptr<RunLoop> current();

    // True when called on the thread that owns this loop.
    bool isCurrent() const;
    // False once the owning thread has ended.
    bool isAlive() const;

    // Runs events for up to `seconds` (negative means 0: one pass over what is ready now). Only
    // the owning thread may run its loop; any other thread gets Stopped at once.
    RunResult runFor(double seconds);
    void stop();

    // Queues fn to run on the loop's thread, in posting order, and wakes the loop. Returns false
    // (and destroys fn on the calling thread) when the owning thread has ended.
    bool post(Callback fn);

    // A timer firing after `delaySeconds`, then every `repeatSeconds` when that is positive.
    // Timers due in the same pass fire in order of due time, then of creation. Callable from any
    // thread; returns 0 when the loop has ended.
    TimerId addTimer(double delaySeconds, Callback fn, double repeatSeconds = 0);
    // True when the timer existed: a one-shot timer cancelled this way never fires; a repeating
    // one fires no more after the invocation (if any) that is running at this moment.
    bool cancelTimer(TimerId id);

    // File-descriptor sources, keyed by fd (one source per fd). setSource adds the fd or replaces
    // its interest and callback; setInterest changes only the interest (None pauses the source
    // without removing it). The loop never closes an fd. This maps one to one onto a socket
    // callback that says "watch this socket for in/out/both" or "remove it".
    bool setSource(int fd, unsigned interest, FdCallback fn);
    bool setInterest(int fd, unsigned interest);
    bool removeSource(int fd);
    bool hasSource(int fd) const;

    // Objects that live as long as the loop's thread, kept by key (for instance the thread's
    // transfer engine). They are destroyed on the owning thread when it ends, before the loop
    // turns inert, so their destructors may still remove sources and timers.
    void setAttachment(const std::string& key, std::shared_ptr<void> object);
    std::shared_ptr<void> attachment(std::string_view key) const;

private:
    using Clock = std::chrono::steady_clock;

    struct Timer {
        Clock::time_point due;
        Clock::duration repeat;
        std::shared_ptr<Callback> fn;
    };
    struct Source {
        unsigned interest;
        std::uint64_t serial; // tells a re-added fd from the one poll reported on
        std::shared_ptr<FdCallback> fn;
    };
    struct Ready {
        int fd;
        std::uint64_t serial;
        short revents;
    };

    explicit RunLoop(bool alive);
    void wake();
    void detachFromThread(); // the owning thread is ending
    void runPosted();
    void fireTimers();
    void pollAndDispatch(Clock::time_point deadline);
    bool takeStop();

    friend struct RunLoopThreadSlot;

    const std::thread::id owner_;
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    bool alive_ = true;
    bool stopRequested_ = false;
    std::deque<Callback> posted_;
    TimerId nextTimerId_ = 1;
    std::map<TimerId, Timer> timers_;
    std::set<std::pair<Clock::time_point, TimerId>> timerOrder_;
    std::uint64_t nextSerial_ = 1;
    std::map<int, Source> sources_;
    std::map<std::string, std::shared_ptr<void>, std::less<>> attachments_;
};

} // namespace norvane
