#include "app/logic/CommandProgressList.h"

namespace norvane {

void CommandProgressList::append(const CloudServiceCommandPtr& command)
{
    std::lock_guard lock(mutex_);
    if (cancelled_ && command)
        command->stop();
    commands_.push_back(command);
}

void CommandProgressList::cancelAll()
{
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    for (const auto& command : commands_) {
        if (command)
            command->stop();
    }
}

bool CommandProgressList::isCancelled() const
{
    std::lock_guard lock(mutex_);
    return cancelled_;
}

std::vector<CloudServiceCommandPtr> CommandProgressList::commands() const
{
    std::lock_guard lock(mutex_);
    return commands_;
}

std::size_t CommandProgressList::size() const
{
    std::lock_guard lock(mutex_);
    return commands_.size();
}

} // namespace norvane
