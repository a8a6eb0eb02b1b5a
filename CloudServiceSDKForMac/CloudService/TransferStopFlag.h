#pragma once

#include <atomic>

namespace norvane {

// Raised while the whole process is being interrupted (the command line's interrupt, the desktop's
// quit): every request, waiting or about to start, gives up with ResultCancelled for as long as it
// stays raised. No request lowers it; a new command service does. It is not the way to stop one
// transfer: that is the command's own stop (CloudServiceCommand::stop), which no other command
// sees.
inline std::atomic<bool> transferStopFlag { false };

// The stop of the command that runs on this thread. The command service holds one of these for
// as long as it runs a command, so that the requests and waits made for that command, and only
// those, see the command's stop. Scopes nest: the inner one counts until it ends.
class CommandStopScope {
public:
    explicit CommandStopScope(const std::atomic<bool>& stop)
        : previous_(current())
    {
        current() = &stop;
    }
    ~CommandStopScope() { current() = previous_; }
    CommandStopScope(const CommandStopScope&) = delete;
    CommandStopScope& operator=(const CommandStopScope&) = delete;

    // The command running on this thread was asked to stop.
    static bool raised()
    {
        const std::atomic<bool>* stop = current();
        return stop && stop->load();
    }

private:
    static const std::atomic<bool>*& current()
    {
        thread_local const std::atomic<bool>* stop = nullptr;
        return stop;
    }

    const std::atomic<bool>* previous_;
};

// Whether what this thread waits for must be given up: the process is being interrupted, or the
// command it runs was stopped.
inline bool transfersMustStop()
{
    return transferStopFlag.load() || CommandStopScope::raised();
}

} // namespace norvane
