// Share links: a random key that lets anyone with it (and the password, when one was asked for)
// download one file a limited number of times until a day.

#include "server/store/Random.h"
#include "server/store/StoreState.h"

namespace norvane::server {

namespace {

constexpr std::size_t kKeyLength = 24;
constexpr std::size_t kPasswordDigits = 4;
constexpr int kMaxValidDays = 36500; // keeps the expiry far from overflowing

std::optional<ShareLink> findLink(Database& db, const std::string& key, int wrongPasswordsAllowed)
{
    auto stmt = db.prepare("SELECT key, entry_id, user_id, password, valid_until, download_limit, download_count, "
                           "wrong_passwords FROM share_links WHERE key = ?1");
    stmt.with(key);
    if (!stmt.step())
        return std::nullopt;
    ShareLink link { stmt.text(0), stmt.int64(1), stmt.int64(2), stmt.text(3), stmt.int64(4), stmt.int64(5),
        stmt.int64(6), stmt.int64(7) };
    link.disabled = link.wrongPasswords >= wrongPasswordsAllowed;
    return link;
}

} // namespace

StoreResult<ShareLink> ServerStore::createShareLink(
    const User& user, const Entry& file, int validDays, std::int64_t downloadLimit, bool needPassword)
{
    return guarded<ShareLink>("createShareLink", [&] {
        if (validDays <= 0 || validDays > kMaxValidDays || downloadLimit < 0)
            refuse(StoreError::Invalid, "unacceptable validity or download limit");
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        auto node = s.nodeById(file.id);
        if (!node)
            refuse(StoreError::NotFound, "the file is gone");
        if (node->entry.isFolder)
            refuse(StoreError::NotAFile, "only files are shared by link");
        s.requireArea(user, node->entry.area);
        s.requireNotCopying(*node, false);
        ShareLink link;
        link.key = randomUrlToken(kKeyLength);
        link.entryId = node->id();
        link.userId = user.id;
        link.password = needPassword ? randomDigits(kPasswordDigits) : std::string();
        link.validUntil = nowSeconds() + static_cast<std::int64_t>(validDays) * 86400;
        link.downloadLimit = downloadLimit;
        s.db->prepare("INSERT INTO share_links (key, entry_id, user_id, password, valid_until, download_limit) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
            .with(link.key, link.entryId, link.userId, link.password, link.validUntil, link.downloadLimit)
            .run();
        return link;
    });
}

StoreResult<ShareLink> ServerStore::shareLink(const std::string& key)
{
    return guarded<ShareLink>("shareLink", [&] {
        std::lock_guard lock(state_->mutex);
        auto link = findLink(*state_->db, key, state_->limits.shareLinkWrongPasswords);
        if (!link)
            refuse(StoreError::NotFound, "no such link");
        return *link;
    });
}

StoreResult<ShareLink> ServerStore::unlockShareLink(const std::string& key, const std::string& password)
{
    return guarded<ShareLink>("unlockShareLink", [&] {
        std::lock_guard lock(state_->mutex);
        Database& db = *state_->db;
        auto link = findLink(db, key, state_->limits.shareLinkWrongPasswords);
        if (!link)
            refuse(StoreError::NotFound, "no such link");
        // Four digits are soon tried: the link takes a bounded number of wrong ones in all, and
        // then no password opens it any more.
        if (link->disabled)
            refuse(StoreError::Forbidden, "the link is disabled after too many wrong passwords");
        if (sameSecret(password, link->password))
            return *link;
        db.prepare("UPDATE share_links SET wrong_passwords = wrong_passwords + 1 WHERE key = ?1").with(key).run();
        refuse(StoreError::Invalid, "wrong password");
    });
}

StoreResult<ShareLink> ServerStore::countShareDownload(const std::string& key)
{
    return guarded<ShareLink>("countShareDownload", [&] {
        std::lock_guard lock(state_->mutex);
        Transaction tx(*state_->db);
        auto link = findLink(*state_->db, key, state_->limits.shareLinkWrongPasswords);
        if (!link)
            refuse(StoreError::NotFound, "no such link");
        if (nowSeconds() > link->validUntil)
            refuse(StoreError::Forbidden, "the link has expired");
        if (link->downloadLimit > 0 && link->downloadCount >= link->downloadLimit)
            refuse(StoreError::Forbidden, "the link has been used up");
        if (link->disabled)
            refuse(StoreError::Forbidden, "the link is disabled");
        state_->db->prepare("UPDATE share_links SET download_count = download_count + 1 WHERE key = ?1")
            .with(key)
            .run();
        tx.commit();
        ++link->downloadCount;
        return *link;
    });
}

} // namespace norvane::server
