#include "app/logic/CommandProgressList.h"

namespace norvane {

void CommandProgressList::append(const CloudServiceCommandPtr& command)
{
    std::lock_guard lock(mutex_);
    commands_.push_back(command);
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
