// The throttle of logins and password checks: failures are counted in the database (so that a
// restart forgets nothing) under three keys, the account, the account from one address, and the
// address. An address that logged in to an account lately is not held up by the failures that
// others caused on that account elsewhere: a guesser slows the account down for strangers, but
// cannot keep its user out.

#include "server/store/StoreState.h"

#include <algorithm>

namespace norvane::server {

namespace {

constexpr std::int64_t kKnownAddressMs = 30LL * 24 * 3600 * 1000;

std::string accountKey(const LoginAttempt& attempt)
{
    return "account\n" + attempt.account;
}

std::string pairKey(const LoginAttempt& attempt)
{
    return "pair\n" + attempt.account + "\n" + attempt.address;
}

std::string addressKey(const LoginAttempt& attempt)
{
    return "address\n" + attempt.address;
}

std::int64_t milliseconds(std::chrono::seconds seconds)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(seconds).count();
}

// Milliseconds the key still has to wait at `now`; 0 when it need not.
std::int64_t waitOf(
    Database& db, const LoginThrottleLimits& limits, const std::string& key, int freeFailures, std::int64_t now)
{
    auto row = db.prepare("SELECT failures, last_failure FROM login_failures WHERE key = ?1");
    row.with(key);
    if (!row.step())
        return 0;
    const std::int64_t failures = row.int64(0);
    const std::int64_t last = row.int64(1);
    if (failures < freeFailures || now - last >= milliseconds(std::max(limits.forgetAfter, limits.maxDelay)))
        return 0;
    std::int64_t delay = milliseconds(limits.firstDelay);
    const std::int64_t most = milliseconds(limits.maxDelay);
    for (std::int64_t extra = failures - freeFailures; extra > 0 && delay < most; --extra)
        delay *= 2;
    return std::max<std::int64_t>(0, last + std::min(delay, most) - now);
}

} // namespace

std::optional<std::chrono::seconds> ServerStore::loginWait(const LoginAttempt& attempt)
{
    try {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        const auto& limits = s.limits.logins;
        const std::int64_t now = s.ruleMilliseconds();
        std::int64_t wait = std::max(waitOf(*s.db, limits, addressKey(attempt), limits.addressFreeFailures, now),
            waitOf(*s.db, limits, pairKey(attempt), limits.accountFreeFailures, now));
        const bool known = s.db->scalar("SELECT last_success FROM login_addresses WHERE account = ?1 AND address = ?2",
                               0, attempt.account, attempt.address)
            > now - kKnownAddressMs;
        if (!known)
            wait = std::max(wait, waitOf(*s.db, limits, accountKey(attempt), limits.accountFreeFailures, now));
        if (wait <= 0)
            return std::nullopt;
        return std::chrono::seconds((wait + 999) / 1000);
    } catch (const std::exception& error) {
        // A throttle that cannot read its counts lets nobody guess: the try waits.
        Log::line(std::string("store: loginWait failed: ") + error.what());
        return std::chrono::seconds(1);
    }
}

void ServerStore::loginFailed(const LoginAttempt& attempt)
{
    try {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        const std::int64_t now = s.ruleMilliseconds();
        const std::int64_t forget = milliseconds(std::max(s.limits.logins.forgetAfter, s.limits.logins.maxDelay));
        Transaction tx(*s.db);
        for (const auto& key : { accountKey(attempt), pairKey(attempt), addressKey(attempt) })
            s.db->prepare(R"sql(
                INSERT INTO login_failures (key, failures, last_failure) VALUES (?1, 1, ?2)
                ON CONFLICT (key) DO UPDATE SET last_failure = ?2,
                    failures = CASE WHEN ?2 - last_failure >= ?3 THEN 1 ELSE failures + 1 END)sql")
                .with(key, now, forget)
                .run();
        tx.commit();
    } catch (const std::exception& error) {
        Log::line(std::string("store: loginFailed failed: ") + error.what());
    }
}

void ServerStore::loginSucceeded(const LoginAttempt& attempt)
{
    try {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        Transaction tx(*s.db);
        s.db->prepare("DELETE FROM login_failures WHERE key IN (?1, ?2)")
            .with(accountKey(attempt), pairKey(attempt))
            .run();
        s.db->prepare("INSERT INTO login_addresses (account, address, last_success) VALUES (?1, ?2, ?3) "
                      "ON CONFLICT (account, address) DO UPDATE SET last_success = excluded.last_success")
            .with(attempt.account, attempt.address, s.ruleMilliseconds())
            .run();
        tx.commit();
    } catch (const std::exception& error) {
        Log::line(std::string("store: loginSucceeded failed: ") + error.what());
    }
}

std::int64_t ServerStore::State::pruneLoginFailures()
{
    const std::int64_t now = ruleMilliseconds();
    const auto& logins = limits.logins;
    db->prepare("DELETE FROM login_failures WHERE last_failure <= ?1")
        .with(now - milliseconds(std::max(logins.forgetAfter, logins.maxDelay)))
        .run();
    std::int64_t removed = db->changes();
    db->prepare("DELETE FROM login_addresses WHERE last_success <= ?1").with(now - kKnownAddressMs).run();
    removed += db->changes();
    return removed;
}

} // namespace norvane::server
