#include "platform/Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <syslog.h>

namespace norvane {

namespace {
std::mutex& sinkMutex()
{
    static std::mutex m;
    return m;
}

Log::Sink& currentSink()
{
    static Log::Sink sink;
    return sink;
}

void defaultSink(std::string_view text)
{
    const char* target = std::getenv("NORVANE_LOG");
    if (target && std::strcmp(target, "stderr") == 0) {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
        return;
    }
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("norvane", LOG_PID, LOG_USER); });
    syslog(LOG_INFO, "%.*s", static_cast<int>(text.size()), text.data());
}
} // namespace

void Log::line(std::string_view text)
{
    std::lock_guard lock(sinkMutex());
    if (currentSink())
        currentSink()(text);
    else
        defaultSink(text);
}

void Log::setSink(Sink sink)
{
    std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
}

} // namespace norvane
