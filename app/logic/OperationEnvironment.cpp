#include "app/logic/OperationEnvironment.h"

#include <mutex>

namespace norvane {

namespace {

std::mutex& slotMutex()
{
    static std::mutex m;
    return m;
}

std::shared_ptr<OperationEnvironment>& slot()
{
    static std::shared_ptr<OperationEnvironment> environment;
    return environment;
}

} // namespace

std::shared_ptr<OperationEnvironment> OperationEnvironment::shared()
{
    std::lock_guard lock(slotMutex());
    return slot();
}

void OperationEnvironment::setShared(std::shared_ptr<OperationEnvironment> environment)
{
    std::lock_guard lock(slotMutex());
    slot() = std::move(environment);
}

} // namespace norvane
