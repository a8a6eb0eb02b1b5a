#include "platform/RunLoop.h"

#include "platform/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace norvane {

namespace {

// Longer waits are clamped: nobody needs a slice or timer of more than three years, and the
// clamp keeps the nanosecond arithmetic far from overflow.
constexpr double maxSeconds = 1e8;
// Without a wake-up descriptor (the process ran out of them) the loop falls back to polling.
constexpr auto fallbackPollInterval = std::chrono::milliseconds(10);
constexpr auto minimumRepeat = std::chrono::milliseconds(1);

std::chrono::steady_clock::duration toDuration(double seconds)
{
    if (!(seconds > 0)) // also catches NaN
        return std::chrono::steady_clock::duration::zero();
    seconds = std::min(seconds, maxSeconds);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

template <typename F> void invokeGuarded(const char* what, F&& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        Log::line(std::string("RunLoop: ") + what + " threw: " + e.what());
    } catch (...) {
        Log::line(std::string("RunLoop: ") + what + " threw a non-standard exception");
    }
}

// Set once the thread's slot has been destroyed; trivially destructible, so it stays readable
// from destructors of other thread-local objects that run later.
thread_local bool threadSlotGone = false;

} // namespace

// Holds the thread's loop; its destruction at thread exit turns the loop inert.
struct RunLoopThreadSlot {
    std::shared_ptr<RunLoop> loop;

    ~RunLoopThreadSlot()
    {
        threadSlotGone = true;
        if (loop)
            loop->detachFromThread();
    }

    static RunLoopThreadSlot& get()
    {
        static thread_local RunLoopThreadSlot slot;
        return slot;
    }
};

RunLoop::RunLoop(bool alive)
    : owner_(std::this_thread::get_id())
    , alive_(alive)
{
    if (!alive)
        return;
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0)
        Log::line(std::string("RunLoop: no wake-up descriptor, polling instead: ") + std::strerror(errno));
}

RunLoop::~RunLoop()
{
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

std::shared_ptr<RunLoop> RunLoop::current()
{
    if (threadSlotGone) // the thread is ending: hand out an inert loop rather than touch a dead slot
        return std::shared_ptr<RunLoop>(new RunLoop(false));
    auto& slot = RunLoopThreadSlot::get();
    if (!slot.loop)
        slot.loop = std::shared_ptr<RunLoop>(new RunLoop(true));
    return slot.loop;
}

bool RunLoop::isCurrent() const
{
    return std::this_thread::get_id() == owner_;
}

bool RunLoop::isAlive() const
{
    std::lock_guard lock(mutex_);
    return alive_;
}

void RunLoop::wake()
{
    // The owning thread is either running a callback (the next pass sees the change) or not
    // inside the loop at all, so only other threads need to interrupt the wait.
    if (isCurrent() || wakeFd_ < 0)
        return;
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(wakeFd_, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    // EAGAIN means the counter is already non-zero: the loop will wake anyway.
}

void RunLoop::detachFromThread()
{
    // Attachments go first, while the loop still accepts changes: their destructors may remove
    // sources and timers. A destructor that attaches something new gets that destroyed as well.
    for (int round = 0; round < 8; ++round) {
        std::map<std::string, std::shared_ptr<void>, std::less<>> attachments;
        {
            std::lock_guard lock(mutex_);
            attachments.swap(attachments_);
        }
        if (attachments.empty())
            break;
    }
    std::deque<Callback> posted;
    std::map<TimerId, Timer> timers;
    std::map<int, Source> sources;
    std::map<std::string, std::shared_ptr<void>, std::less<>> attachments;
    {
        std::lock_guard lock(mutex_);
        alive_ = false;
        posted.swap(posted_);
        timers.swap(timers_);
        timerOrder_.clear();
        sources.swap(sources_);
        attachments.swap(attachments_);
    }
    // Destroyed here, on the owning thread and outside the lock: a destructor that posts back to
    // this loop finds it inert instead of deadlocking.
}

bool RunLoop::post(Callback fn)
{
    if (!fn)
        return false;
    {
        std::lock_guard lock(mutex_);
        if (alive_) {
            posted_.push_back(std::move(fn));
            fn = nullptr;
        }
    }
    if (fn)
        return false; // fn is destroyed on return, outside the lock
    wake();
    return true;
}

void RunLoop::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake();
}

bool RunLoop::takeStop()
{
    std::lock_guard lock(mutex_);
    return std::exchange(stopRequested_, false);
}

RunLoop::TimerId RunLoop::addTimer(double delaySeconds, Callback fn, double repeatSeconds)
{
    if (!fn)
        return 0;
    const auto due = Clock::now() + toDuration(delaySeconds);
    auto repeat = toDuration(repeatSeconds);
    if (repeat > Clock::duration::zero() && repeat < minimumRepeat)
        repeat = minimumRepeat;
    auto shared = std::make_shared<Callback>(std::move(fn));
    TimerId id = 0;
    {
        std::lock_guard lock(mutex_);
        if (!alive_)
            return 0;
        id = nextTimerId_++;
        timers_.emplace(id, Timer { due, repeat, std::move(shared) });
        timerOrder_.emplace(due, id);
    }
    wake();
    return id;
}

bool RunLoop::cancelTimer(TimerId id)
{
    std::shared_ptr<Callback> doomed;
    std::lock_guard lock(mutex_);
    auto it = timers_.find(id);
    if (it == timers_.end())
        return false;
    timerOrder_.erase({ it->second.due, id });
    doomed = std::move(it->second.fn); // released after the lock (declared before it)
    timers_.erase(it);
    return true;
}

bool RunLoop::setSource(int fd, unsigned interest, FdCallback fn)
{
    if (fd < 0 || !fn)
        return false;
    auto shared = std::make_shared<FdCallback>(std::move(fn));
    {
        std::lock_guard lock(mutex_);
        if (!alive_)
            return false;
        auto& source = sources_[fd];
        source.interest = interest & (Readable | Writable);
        source.serial = nextSerial_++;
        shared.swap(source.fn); // the replaced callback is released after the lock
    }
    wake();
    return true;
}

bool RunLoop::setInterest(int fd, unsigned interest)
{
    {
        std::lock_guard lock(mutex_);
        auto it = sources_.find(fd);
        if (it == sources_.end())
            return false;
        it->second.interest = interest & (Readable | Writable);
    }
    wake();
    return true;
}

bool RunLoop::removeSource(int fd)
{
    std::shared_ptr<FdCallback> doomed;
    {
        std::lock_guard lock(mutex_);
        auto it = sources_.find(fd);
        if (it == sources_.end())
            return false;
        doomed = std::move(it->second.fn);
        sources_.erase(it);
    }
    wake();
    return true;
}

bool RunLoop::hasSource(int fd) const
{
    std::lock_guard lock(mutex_);
    return sources_.count(fd) != 0;
}

void RunLoop::setAttachment(const std::string& key, std::shared_ptr<void> object)
{
    std::lock_guard lock(mutex_);
    if (!alive_ || !object) {
        auto it = attachments_.find(key);
        if (it != attachments_.end()) {
            object.swap(it->second); // the old object is released after the lock
            attachments_.erase(it);
        }
        return;
    }
    attachments_[key].swap(object);
}

std::shared_ptr<void> RunLoop::attachment(std::string_view key) const
{
    std::lock_guard lock(mutex_);
    auto it = attachments_.find(key);
    return it == attachments_.end() ? nullptr : it->second;
}

RunLoop::RunResult RunLoop::runFor(double seconds)
{
    if (!isCurrent()) {
        Log::line("RunLoop: runFor called on a thread that does not own the loop");
        return RunResult::Stopped;
    }
    if (!isAlive())
        return RunResult::Stopped;
    const auto deadline = Clock::now() + toDuration(seconds);
    for (;;) {
        if (takeStop())
            return RunResult::Stopped;
        runPosted();
        if (takeStop())
            return RunResult::Stopped;
        fireTimers();
        if (takeStop())
            return RunResult::Stopped;
        pollAndDispatch(deadline);
        if (takeStop())
            return RunResult::Stopped;
        if (Clock::now() >= deadline)
            return RunResult::TimedOut;
    }
}

void RunLoop::runPosted()
{
    // Only what was queued when the pass began: a task that re-posts itself must not keep
    // timers and sources from their turn.
    std::size_t count;
    {
        std::lock_guard lock(mutex_);
        count = posted_.size();
    }
    for (; count > 0; --count) {
        Callback fn;
        {
            std::lock_guard lock(mutex_);
            if (stopRequested_ || posted_.empty())
                return;
            fn = std::move(posted_.front());
            posted_.pop_front();
        }
        invokeGuarded("posted task", fn);
    }
}

void RunLoop::fireTimers()
{
    const auto now = Clock::now();
    for (;;) {
        std::shared_ptr<Callback> fn;
        {
            std::lock_guard lock(mutex_);
            if (stopRequested_ || timerOrder_.empty() || timerOrder_.begin()->first > now)
                return;
            const TimerId id = timerOrder_.begin()->second;
            timerOrder_.erase(timerOrder_.begin());
            auto it = timers_.find(id);
            if (it->second.repeat > Clock::duration::zero()) {
                // A late loop fires a repeating timer once, not once for every missed period.
                auto next = it->second.due + it->second.repeat;
                if (next <= now)
                    next = now + it->second.repeat;
                it->second.due = next;
                timerOrder_.emplace(next, id);
                fn = it->second.fn;
            } else {
                fn = std::move(it->second.fn);
                timers_.erase(it);
            }
        }
        invokeGuarded("timer", *fn);
    }
}

void RunLoop::pollAndDispatch(Clock::time_point deadline)
{
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> serials;
    Clock::time_point wakeAt = deadline;
    bool immediate;
    {
        std::lock_guard lock(mutex_);
        fds.reserve(sources_.size() + 1);
        serials.reserve(sources_.size() + 1);
        if (wakeFd_ >= 0) {
            fds.push_back(pollfd { wakeFd_, POLLIN, 0 });
            serials.push_back(0);
        }
        for (const auto& [fd, source] : sources_) {
            short events = 0;
            if (source.interest & Readable)
                events |= POLLIN;
            if (source.interest & Writable)
                events |= POLLOUT;
            if (events == 0)
                continue; // paused: even errors wait until interest returns
            fds.push_back(pollfd { fd, events, 0 });
            serials.push_back(source.serial);
        }
        immediate = !posted_.empty() || stopRequested_;
        if (!timerOrder_.empty())
            wakeAt = std::min(wakeAt, timerOrder_.begin()->first);
    }

    auto wait = immediate ? Clock::duration::zero() : std::max(wakeAt - Clock::now(), Clock::duration::zero());
    if (wakeFd_ < 0)
        wait = std::min<Clock::duration>(wait, fallbackPollInterval);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec timeout { static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000) };
    const int ready = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
    if (ready < 0) {
        if (errno != EINTR)
            Log::line(std::string("RunLoop: poll failed: ") + std::strerror(errno));
        return;
    }
    if (ready == 0)
        return;

    for (std::size_t i = 0; i < fds.size(); ++i) {
        const short revents = fds[i].revents;
        if (revents == 0)
            continue;
        const int fd = fds[i].fd;
        if (fd == wakeFd_ && serials[i] == 0) {
            std::uint64_t count;
            while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) { }
            continue;
        }
        std::shared_ptr<FdCallback> fn;
        unsigned events = 0;
        bool invalid = false;
        {
            std::lock_guard lock(mutex_);
            if (stopRequested_)
                return; // readiness is level-triggered: the next run sees it again
            // An earlier callback of this pass may have removed, replaced or paused the source.
            auto it = sources_.find(fd);
            if (it == sources_.end() || it->second.serial != serials[i])
                continue;
            const unsigned interest = it->second.interest;
            if ((revents & POLLIN) && (interest & Readable))
                events |= Readable;
            if ((revents & POLLOUT) && (interest & Writable))
                events |= Writable;
            if (revents & (POLLERR | POLLNVAL))
                events |= Error;
            if (revents & POLLHUP)
                events |= HangUp;
            if (interest == None || events == 0)
                continue;
            fn = it->second.fn;
            if (revents & POLLNVAL) {
                // The fd was closed without removing its source; it would wake every poll forever.
                sources_.erase(it);
                invalid = true;
            }
        }
        if (invalid)
            Log::line("RunLoop: fd " + std::to_string(fd) + " is not open; its source was removed");
        invokeGuarded("fd source", [&] { (*fn)(fd, events); });
    }
}

} // namespace norvane
