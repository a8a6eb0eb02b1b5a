#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"

#include <algorithm>

namespace norvane {

namespace {
std::chrono::steady_clock::duration seconds(double s)
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}
} // namespace

ConnectionPool& ConnectionPool::shared()
{
    static ConnectionPool* pool = new ConnectionPool; // lives for the process, as connections do
    return *pool;
}

std::chrono::steady_clock::time_point ConnectionPool::now() const
{
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void ConnectionPool::setClock(Clock clock)
{
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
}

void ConnectionPool::reset()
{
    std::lock_guard lock(mutex_);
    for (auto& e : entries_)
        SocketRegistry::shutdown(e->stream);
    entries_.clear();
    nextConnectionId_ = 0;
    nextRequestId_ = 0;
}

bool ConnectionPool::otherRequestRunning(const PoolEntry* except) const
{
    return std::any_of(
        entries_.begin(), entries_.end(), [&](const auto& e) { return e.get() != except && e->request.has_value(); });
}

void ConnectionPool::expireLocked(std::chrono::steady_clock::time_point t)
{
    // Expired entries wait for a moment when nothing runs (see otherRequestRunning).
    if (otherRequestRunning(nullptr))
        return;
    std::erase_if(entries_, [&](const std::shared_ptr<PoolEntry>& e) {
        if (e->request || (e->expires && *e->expires > t))
            return false;
        SocketRegistry::shutdown(e->stream);
        return true;
    });
}

void ConnectionPool::expirePersistentConnections()
{
    std::lock_guard lock(mutex_);
    expireLocked(now());
}

ConnectionPool::Taken ConnectionPool::take(const std::string& scheme, const std::string& host, std::int32_t port,
    std::shared_ptr<PoolEntry> current, bool attemptPersistentConnection)
{
    std::lock_guard lock(mutex_);
    auto t = now();
    expireLocked(t);

    Taken taken;
    if (host.empty() || scheme.empty()) {
        if (current)
            current->request.reset();
        taken.attemptPersistentConnection = false;
        return taken;
    }
    if (!attemptPersistentConnection) {
        taken.attemptPersistentConnection = false;
        taken.entry = std::move(current);
        return taken;
    }

    std::shared_ptr<PoolEntry> entry;
    if (current && current->host == host && current->scheme == scheme && current->port == port) {
        if (current->expires && *current->expires < t) {
            std::erase(entries_, current);
            if (!otherRequestRunning(current.get()))
                SocketRegistry::shutdown(current->stream);
        } else {
            entry = current;
        }
    }
    if (!entry) {
        for (auto& e : entries_) {
            const bool expired = e->expires && *e->expires < t; // left open while others run
            if (!e->request && !expired && e->host == host && e->scheme == scheme && e->port == port)
                entry = e; // the last match in pool order
        }
    }
    if (!entry) {
        entry = std::make_shared<PoolEntry>();
        entry->id = ++nextConnectionId_;
        entry->host = host;
        entry->port = port;
        entry->scheme = scheme;
        entries_.push_back(entry);
        taken.isNewEntry = true;
    }
    entry->request = ++nextRequestId_;
    taken.requestNumber = *entry->request;
    taken.entry = std::move(entry);
    return taken;
}

void ConnectionPool::attachStream(const std::shared_ptr<PoolEntry>& entry, SocketRef stream)
{
    if (!entry)
        return;
    std::lock_guard lock(mutex_);
    if (entry->stream != stream && entry->stream.valid()) {
        // curl ended this request on another entry's connection: that entry now has this one's.
        auto other = std::find_if(
            entries_.begin(), entries_.end(), [&](const auto& e) { return e != entry && e->stream == stream; });
        if (other != entries_.end())
            (*other)->stream = entry->stream;
        else if (!otherRequestRunning(entry.get()))
            SocketRegistry::shutdown(entry->stream); // the old connection was replaced: let it go
    }
    entry->stream = stream;
}

void ConnectionPool::release(
    const std::shared_ptr<PoolEntry>& entry, bool canUsePersistentConnection, double closeStreamTime)
{
    if (!entry)
        return;
    std::lock_guard lock(mutex_);
    if (!canUsePersistentConnection) {
        SocketRegistry::shutdown(entry->stream);
        entry->stream = {};
    }
    entry->request.reset();
    entry->expires = now() + seconds(closeStreamTime);
}

void ConnectionPool::drop(
    const std::shared_ptr<PoolEntry>& entry, bool canUsePersistentConnection, double closeStreamTime)
{
    if (!entry)
        return;
    std::lock_guard lock(mutex_);
    entry->request.reset();
    std::erase(entries_, entry);
    if (canUsePersistentConnection)
        entry->expires = now() + seconds(closeStreamTime);
    else
        SocketRegistry::shutdown(entry->stream);
}

std::vector<PoolEntry> ConnectionPool::snapshot() const
{
    std::lock_guard lock(mutex_);
    std::vector<PoolEntry> out;
    for (auto& e : entries_)
        out.push_back(*e);
    return out;
}

} // namespace norvane
