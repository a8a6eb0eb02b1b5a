#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/SocketRegistry.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace norvane {

// One reusable connection to a server as the engine sees it: which server it belongs to, which
// request holds it (none while idle), the connection last opened on it and when it expires.
struct PoolEntry {
    std::int32_t id = 0;
    std::string host;
    std::int32_t port = 0; // the URL's explicit port, 0 when it has none
    std::string scheme;
    std::optional<std::int32_t> request;
    SocketRef stream;
    std::optional<std::chrono::steady_clock::time_point> expires;
};

// The process-wide pool of connection entries. Requests on every thread share it; one lock guards
// the entries and both counters. Expiring or dropping an entry closes its connection for real, so
// the server sees exactly the reuse the pool describes.
class ConnectionPool {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Taken {
        std::shared_ptr<PoolEntry> entry; // null: the request does not use the pool
        std::int32_t requestNumber = 0;
        bool isNewEntry = false;
        bool attemptPersistentConnection = true;
    };

    static ConnectionPool& shared();

    // The take step of a request's stream set-up. `current` is the entry the request already
    // holds from an earlier attempt, if any.
    Taken take(const std::string& scheme, const std::string& host, std::int32_t port,
        std::shared_ptr<PoolEntry> current, bool attemptPersistentConnection);
    // Records the connection the request's transfer ended up using on its entry.
    void attachStream(const std::shared_ptr<PoolEntry>& entry, SocketRef stream);
    // End of a transfer: the entry goes idle until closeStreamTime from now; a connection the
    // reply did not allow to be reused is closed at once.
    void release(const std::shared_ptr<PoolEntry>& entry, bool canUsePersistentConnection, double closeStreamTime);
    // A failed transfer: the entry leaves the pool, its connection with it unless reusable.
    void drop(const std::shared_ptr<PoolEntry>& entry, bool canUsePersistentConnection, double closeStreamTime);
    void expirePersistentConnections();

    std::vector<PoolEntry> snapshot() const;
    void setClock(Clock clock);
    // Forgets every entry and restarts both counters (tests).
    void reset();

private:
    void expireLocked(std::chrono::steady_clock::time_point now);
    // Whether a request other than `except`'s is running. curl takes any idle connection to the
    // same server for a request, whatever entry the pool gave it; so while another request
    // runs, a connection the pool lets go may be the very one carrying it, and is left open.
    bool otherRequestRunning(const PoolEntry* except) const;
    std::chrono::steady_clock::time_point now() const;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<PoolEntry>> entries_;
    std::int32_t nextConnectionId_ = 0;
    std::int32_t nextRequestId_ = 0;
    Clock clock_;
};

} // namespace norvane
