#pragma once

#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"

#include <cstddef>
#include <mutex>
#include <string_view>
#include <vector>

namespace norvane {

// The commands of a running transfer, as the window shows and cancels them. The operation appends
// on its worker thread while the window reads and cancels on the main thread, hence the lock.
class CommandProgressList {
public:
    // A command appended after cancelAll() is stopped at once: the transfer it belongs to was
    // cancelled as a whole.
    void append(const CloudServiceCommandPtr& command);
    std::vector<CloudServiceCommandPtr> commands() const;
    std::size_t size() const;
    // Stops every command of the list, running or yet to come, and no other.
    void cancelAll();
    bool isCancelled() const;

private:
    mutable std::mutex mutex_;
    std::vector<CloudServiceCommandPtr> commands_;
    bool cancelled_ = false;
};

// Told of every command of a tree download when it is built, so that it can follow the command's
// progress value (context "downloadFolder").
class CommandProgressObserver {
public:
    virtual ~CommandProgressObserver() = default;
    virtual void observeProgress(const CloudServiceCommandPtr& command, std::string_view context) = 0;
};

} // namespace norvane
