// Companies, users, devices and sessions.

#include "server/store/PasswordHash.h"
#include "server/store/Random.h"
#include "server/store/StoreState.h"

namespace norvane::server {

namespace {

constexpr std::size_t kMaxPasswordBytes = 64;
const char* const kPersonalFolders[] = { "Photos", "Memo", "Recorder", ".Favorite." };

constexpr const char* kCompanyColumns = "id, code, name, require_device, max_file_size, quota, information_seq, "
                                        "information_text";
constexpr const char* kUserColumns = "id, company_id, login, full_name, user_key, suspended";

bool acceptablePassword(const std::string& password)
{
    return !password.empty() && password.size() <= kMaxPasswordBytes;
}

Company readCompany(Database& db, const Statement& row)
{
    Company company;
    company.id = row.int64(0);
    company.code = row.text(1);
    company.name = row.text(2);
    company.requireDevice = row.int64(3) != 0;
    company.maxFileSize = row.int64(4);
    company.quota = row.int64(5);
    company.informationSeq = row.text(6);
    company.informationText = row.text(7);
    auto headers = db.prepare("SELECT name, value FROM company_headers WHERE company_id = ?1");
    headers.with(company.id);
    while (headers.step())
        company.policyHeaders[headers.text(0)] = headers.text(1);
    return company;
}

User readUser(const Statement& row)
{
    User user;
    user.id = row.int64(0);
    user.companyId = row.int64(1);
    user.login = row.text(2);
    user.fullName = row.text(3);
    user.userKey = row.text(4);
    user.suspended = row.int64(5) != 0;
    return user;
}

std::optional<User> findUser(Database& db, const std::string& where, const auto&... values)
{
    auto stmt = db.prepare(std::string("SELECT ") + kUserColumns + " FROM users WHERE " + where);
    stmt.with(values...);
    if (!stmt.step())
        return std::nullopt;
    return readUser(stmt);
}

void writeHeaders(Database& db, const Company& company)
{
    db.prepare("DELETE FROM company_headers WHERE company_id = ?1").with(company.id).run();
    for (const auto& [name, value] : company.policyHeaders)
        db.prepare("INSERT INTO company_headers (company_id, name, value) VALUES (?1, ?2, ?3)")
            .with(company.id, name, value)
            .run();
}

// The texts of a company as they are kept: every member reads its name and notice, and the policy
// values go out as headers.
Company keptCompany(Company company)
{
    company.name = storedText(company.name);
    company.informationText = printableText(company.informationText, Layout::TabsAndLineFeeds);
    company.informationSeq = storedText(company.informationSeq);
    std::map<std::string, std::string> headers;
    for (const auto& [name, value] : company.policyHeaders)
        headers[name] = storedText(value);
    company.policyHeaders = std::move(headers);
    return company;
}

// Runs `body`; a uniqueness conflict becomes Exists.
template <typename Body> void unique(const std::string& what, Body&& body)
{
    try {
        body();
    } catch (const DatabaseError& error) {
        if (error.isConstraint())
            refuse(StoreError::Exists, what + " exists already");
        throw;
    }
}

} // namespace

std::optional<Company> ServerStore::State::loadCompany(std::int64_t id)
{
    auto stmt = db->prepare(std::string("SELECT ") + kCompanyColumns + " FROM companies WHERE id = ?1");
    stmt.with(id);
    if (!stmt.step())
        return std::nullopt;
    return readCompany(*db, stmt);
}

std::optional<User> ServerStore::State::loadUser(std::int64_t id)
{
    return findUser(*db, "id = ?1", id);
}

// --- companies ----------------------------------------------------------------------------------

StoreResult<Company> ServerStore::createCompany(const Company& given)
{
    return guarded<Company>("createCompany", [&] {
        if (given.code.empty())
            refuse(StoreError::Invalid, "a company needs a code");
        const Company company = keptCompany(given);
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        Transaction tx(*s.db);
        Company stored = company;
        unique("company " + company.code, [&] {
            s.db->prepare("INSERT INTO companies (code, name, require_device, max_file_size, quota, information_seq, "
                          "information_text) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
                .with(company.code, company.name, company.requireDevice, company.maxFileSize, company.quota,
                    company.informationSeq.empty() ? std::string("0") : company.informationSeq, company.informationText)
                .run();
        });
        stored.id = s.db->lastInsertId();
        writeHeaders(*s.db, stored);
        Node root;
        root.entry.area = { Area::Shared, stored.id };
        root.entry.isFolder = true;
        root.entry.createdAt = root.entry.modifiedAt = nowSeconds();
        root.entry.timestamp = std::to_string(s.nextStamp());
        s.insertNode(root);
        tx.commit();
        return *s.loadCompany(stored.id);
    });
}

StoreResult<Company> ServerStore::companyByCode(const std::string& code)
{
    return guarded<Company>("companyByCode", [&] {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        const std::int64_t id = s.db->scalar("SELECT id FROM companies WHERE code = ?1", 0, code);
        auto company = s.loadCompany(id);
        if (!company)
            refuse(StoreError::NotFound, "no company " + code);
        return *company;
    });
}

StoreResult<Company> ServerStore::companyById(std::int64_t id)
{
    return guarded<Company>("companyById", [&] {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        auto company = s.loadCompany(id);
        if (!company)
            refuse(StoreError::NotFound, "no company " + std::to_string(id));
        return *company;
    });
}

StoreStatus ServerStore::updateCompany(const Company& given)
{
    return guarded<Done>("updateCompany", [&] {
        if (given.code.empty())
            refuse(StoreError::Invalid, "a company needs a code");
        const Company company = keptCompany(given);
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        Transaction tx(*s.db);
        unique("company " + company.code, [&] {
            s.db->prepare("UPDATE companies SET code = ?2, name = ?3, require_device = ?4, max_file_size = ?5, "
                          "quota = ?6, information_seq = ?7, information_text = ?8 WHERE id = ?1")
                .with(company.id, company.code, company.name, company.requireDevice, company.maxFileSize, company.quota,
                    company.informationSeq, company.informationText)
                .run();
        });
        if (s.db->changes() == 0)
            refuse(StoreError::NotFound, "no company " + std::to_string(company.id));
        writeHeaders(*s.db, company);
        tx.commit();
        return Done {};
    });
}

// --- users --------------------------------------------------------------------------------------

StoreResult<User> ServerStore::createUser(std::int64_t companyId, const std::string& login,
    const std::string& givenFullName, const std::string& password, bool suspended)
{
    return guarded<User>("createUser", [&] {
        // Listings show it as owner, author and lock holder to every member.
        const std::string fullName = storedText(givenFullName);
        // The login travels as a path component and becomes the owner of entries: the same rules
        // as for names keep it printable and unambiguous.
        if (!isValidEntryName(login))
            refuse(StoreError::Invalid, "unacceptable login name");
        if (!acceptablePassword(password))
            refuse(StoreError::Invalid, "unacceptable password");
        const std::string hash = PasswordHash::make(password); // slow on purpose: outside the lock
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        if (!s.loadCompany(companyId))
            refuse(StoreError::NotFound, "no company " + std::to_string(companyId));
        Transaction tx(*s.db);
        User user;
        user.companyId = companyId;
        user.login = login;
        user.fullName = fullName;
        user.userKey = randomHex(20);
        user.suspended = suspended;
        unique("user " + login, [&] {
            s.db->prepare("INSERT INTO users (company_id, login, full_name, user_key, password, suspended) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
                .with(companyId, login, fullName, user.userKey, hash, suspended)
                .run();
        });
        user.id = s.db->lastInsertId();

        Node root;
        root.entry.area = { Area::Personal, user.id };
        root.entry.isFolder = true;
        root.entry.createdAt = root.entry.modifiedAt = nowSeconds();
        root.entry.timestamp = std::to_string(s.nextStamp());
        root.ownerId = user.id;
        root.entry.owner = root.entry.author = login;
        root.entry.ownerName = root.entry.authorName = fullName;
        root.entry.id = s.insertNode(root);
        for (const char* name : kPersonalFolders)
            s.insertNode(newNodeFor(user, root, name, true, EntryMeta {}, s.nextStamp()));
        tx.commit();
        return user;
    });
}

StoreResult<User> ServerStore::userByLogin(std::int64_t companyId, const std::string& login)
{
    return guarded<User>("userByLogin", [&] {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        auto user = findUser(*s.db, "company_id = ?1 AND login = ?2", companyId, login);
        if (!user)
            refuse(StoreError::NotFound, "no user " + login);
        return *user;
    });
}

StoreResult<User> ServerStore::userById(std::int64_t id)
{
    return guarded<User>("userById", [&] {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        auto user = s.loadUser(id);
        if (!user)
            refuse(StoreError::NotFound, "no user " + std::to_string(id));
        return *user;
    });
}

StoreResult<User> ServerStore::userByKey(const std::string& userKey)
{
    return guarded<User>("userByKey", [&] {
        State& s = *state_;
        std::lock_guard lock(s.mutex);
        auto user = findUser(*s.db, "user_key = ?1", userKey);
        if (!user)
            refuse(StoreError::NotFound, "no user with that key");
        return *user;
    });
}

bool ServerStore::checkPassword(const User& user, const std::string& password)
{
    std::string stored;
    try {
        std::lock_guard lock(state_->mutex);
        auto stmt = state_->db->prepare("SELECT password FROM users WHERE id = ?1");
        stmt.with(user.id);
        if (!stmt.step())
            return false;
        stored = stmt.text(0);
    } catch (const std::exception& error) {
        Log::line(std::string("store: checkPassword failed: ") + error.what());
        return false;
    }
    try {
        return PasswordHash::matches(stored, password);
    } catch (const std::exception& error) {
        Log::line(std::string("store: checkPassword failed: ") + error.what());
        return false;
    }
}

StoreStatus ServerStore::setPassword(std::int64_t userId, const std::string& password, const std::string& keepDevice)
{
    return guarded<Done>("setPassword", [&] {
        if (!acceptablePassword(password))
            refuse(StoreError::Invalid, "unacceptable password");
        const std::string hash = PasswordHash::make(password);
        std::lock_guard lock(state_->mutex);
        Database& db = *state_->db;
        Transaction tx(db);
        db.prepare("UPDATE users SET password = ?2 WHERE id = ?1").with(userId, hash).run();
        if (db.changes() == 0)
            refuse(StoreError::NotFound, "no user " + std::to_string(userId));
        // Whoever knew the old password may hold a session made with it: only the device that
        // made the change keeps its newest one.
        db.prepare(R"sql(
            DELETE FROM sessions WHERE user_id = ?1 AND qor_id IS NOT (
                SELECT qor_id FROM sessions WHERE user_id = ?1 AND device_id = ?2 AND ?2 <> ''
                ORDER BY last_used_at DESC, created_at DESC, rowid DESC LIMIT 1))sql")
            .with(userId, keepDevice)
            .run();
        tx.commit();
        return Done {};
    });
}

StoreStatus ServerStore::setSuspended(std::int64_t userId, bool suspended)
{
    return guarded<Done>("setSuspended", [&] {
        std::lock_guard lock(state_->mutex);
        state_->db->prepare("UPDATE users SET suspended = ?2 WHERE id = ?1").with(userId, suspended).run();
        if (state_->db->changes() == 0)
            refuse(StoreError::NotFound, "no user " + std::to_string(userId));
        return Done {};
    });
}

// --- devices ------------------------------------------------------------------------------------

StoreStatus ServerStore::rememberDevice(std::int64_t userId, const std::string& deviceId)
{
    return guarded<Done>("rememberDevice", [&] {
        if (deviceId.empty())
            refuse(StoreError::Invalid, "empty device id");
        std::lock_guard lock(state_->mutex);
        if (!state_->loadUser(userId))
            refuse(StoreError::NotFound, "no user " + std::to_string(userId));
        state_->db->prepare("INSERT OR IGNORE INTO devices (user_id, device_id, registered) VALUES (?1, ?2, 0)")
            .with(userId, deviceId)
            .run();
        return Done {};
    });
}

StoreStatus ServerStore::registerDevice(std::int64_t userId, const std::string& deviceId, bool registered)
{
    return guarded<Done>("registerDevice", [&] {
        if (deviceId.empty())
            refuse(StoreError::Invalid, "empty device id");
        std::lock_guard lock(state_->mutex);
        if (!state_->loadUser(userId))
            refuse(StoreError::NotFound, "no user " + std::to_string(userId));
        state_->db
            ->prepare("INSERT INTO devices (user_id, device_id, registered) VALUES (?1, ?2, ?3) "
                      "ON CONFLICT (user_id, device_id) DO UPDATE SET registered = excluded.registered")
            .with(userId, deviceId, registered)
            .run();
        return Done {};
    });
}

bool ServerStore::isDeviceRegistered(std::int64_t userId, const std::string& deviceId)
{
    try {
        std::lock_guard lock(state_->mutex);
        return state_->db->scalar(
                   "SELECT registered FROM devices WHERE user_id = ?1 AND device_id = ?2", 0, userId, deviceId)
            == 1;
    } catch (const std::exception& error) {
        Log::line(std::string("store: isDeviceRegistered failed: ") + error.what());
        return false;
    }
}

} // namespace norvane::server
