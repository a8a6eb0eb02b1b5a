// Sessions: made at login, named by the authorization value of every storage request, ended by
// idleness, by age and by a password change, and pruned in the background.

#include "server/store/Random.h"
#include "server/store/StoreState.h"

namespace norvane::server {

namespace {

// A session's last use is written at most this often: a request costs no write of its own.
constexpr std::int64_t kUseGranularitySeconds = 60;

std::vector<std::string> splitAuthorization(const std::string& authorization)
{
    std::vector<std::string> parts(1);
    for (char c : authorization) {
        if (c == ':')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

} // namespace

StoreResult<Session> ServerStore::createSession(std::int64_t userId, const std::string& deviceId)
{
    return guarded<Session>("createSession", [&] {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        if (!s.loadUser(userId))
            refuse(StoreError::NotFound, "no user " + std::to_string(userId));
        const std::int64_t now = s.ruleSeconds();
        Session session { randomHex(16), randomHex(16), userId, deviceId, now, now };
        s.db->prepare("INSERT INTO sessions (qor_id, var_id, user_id, device_id, created_at, last_used_at) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
            .with(session.qorId, session.varId, session.userId, session.deviceId, session.createdAt, now)
            .run();
        return session;
    });
}

StoreResult<Session> ServerStore::sessionByAuthorization(const std::string& authorization)
{
    return guarded<Session>("sessionByAuthorization", [&] {
        const auto parts = splitAuthorization(authorization);
        if (parts.size() != 4 || parts[0].empty())
            refuse(StoreError::NotFound, "not a session");
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        auto stmt = s.db->prepare("SELECT s.var_id, s.user_id, s.device_id, s.created_at, s.last_used_at, "
                                  "u.company_id, u.user_key FROM sessions s JOIN users u ON u.id = s.user_id "
                                  "WHERE s.qor_id = ?1");
        stmt.with(parts[0]);
        if (!stmt.step())
            refuse(StoreError::NotFound, "not a session");
        Session session { parts[0], stmt.text(0), stmt.int64(1), stmt.text(2), stmt.int64(3), stmt.int64(4) };
        // Every part must match; the secret ones are compared in constant time.
        const bool matches = sameSecret(session.varId, parts[1]) && std::to_string(stmt.int64(5)) == parts[2]
            && sameSecret(stmt.text(6), parts[3]);
        if (!matches)
            refuse(StoreError::NotFound, "not a session");

        const auto& limits = s.limits.sessions;
        const std::int64_t now = s.ruleSeconds();
        if (now - session.lastUsedAt >= limits.idle.count() || now - session.createdAt >= limits.lifetime.count()) {
            s.db->prepare("DELETE FROM sessions WHERE qor_id = ?1").with(session.qorId).run();
            refuse(StoreError::NotFound, "the session has ended");
        }
        if (now - session.lastUsedAt >= kUseGranularitySeconds) {
            s.db->prepare("UPDATE sessions SET last_used_at = ?2 WHERE qor_id = ?1").with(session.qorId, now).run();
            session.lastUsedAt = now;
        }
        return session;
    });
}

std::int64_t ServerStore::State::pruneSessions()
{
    const std::int64_t now = ruleSeconds();
    db->prepare("DELETE FROM sessions WHERE last_used_at <= ?1 OR created_at <= ?2")
        .with(now - limits.sessions.idle.count(), now - limits.sessions.lifetime.count())
        .run();
    return db->changes();
}

StoreResult<std::int64_t> ServerStore::pruneExpired()
{
    return guarded<std::int64_t>("pruneExpired", [&] {
        std::lock_guard lock(state_->mutex);
        return state_->pruneSessions() + state_->pruneLoginFailures();
    });
}

void ServerStore::State::runPruner()
{
    std::unique_lock lock(mutex);
    while (true) {
        changed.wait_for(lock, limits.pruneEvery, [this] { return stopping || pruneNow; });
        if (stopping)
            return;
        pruneNow = false;
        try {
            if (const std::int64_t removed = pruneSessions() + pruneLoginFailures(); removed > 0)
                Log::line("store: pruned " + std::to_string(removed) + " ended sessions and old login failures");
        } catch (const std::exception& error) {
            Log::line(std::string("store: prune failed: ") + error.what());
        }
    }
}

} // namespace norvane::server
