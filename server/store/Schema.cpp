#include "server/store/Schema.h"

#include "server/store/Database.h"

namespace norvane::server {

namespace {

constexpr int kSchemaVersion = 3;

// Entries of every area live in one table: area_kind 0 is a user's personal area (area_owner is
// the user id), 1 a company's shared area (area_owner is the company id). The root of an area is
// the entry without a parent. Blob ids, lock holders and owners are kept as ids; the texts beside
// them are what listings show.
constexpr const char* kSchema = R"sql(
CREATE TABLE companies (
    id INTEGER PRIMARY KEY,
    code TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL DEFAULT '',
    require_device INTEGER NOT NULL DEFAULT 0,
    max_file_size INTEGER NOT NULL DEFAULT 0,
    quota INTEGER NOT NULL DEFAULT 0,
    information_seq TEXT NOT NULL DEFAULT '0',
    information_text TEXT NOT NULL DEFAULT ''
);
CREATE TABLE company_headers (
    company_id INTEGER NOT NULL REFERENCES companies(id) ON DELETE CASCADE,
    name TEXT NOT NULL,
    value TEXT NOT NULL,
    PRIMARY KEY (company_id, name)
);
CREATE TABLE users (
    id INTEGER PRIMARY KEY,
    company_id INTEGER NOT NULL REFERENCES companies(id) ON DELETE CASCADE,
    login TEXT NOT NULL,
    full_name TEXT NOT NULL DEFAULT '',
    user_key TEXT NOT NULL UNIQUE,
    password TEXT NOT NULL,
    suspended INTEGER NOT NULL DEFAULT 0,
    UNIQUE (company_id, login)
);
CREATE TABLE devices (
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    device_id TEXT NOT NULL,
    registered INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (user_id, device_id)
);
CREATE TABLE sessions (
    qor_id TEXT PRIMARY KEY,
    var_id TEXT NOT NULL,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    device_id TEXT NOT NULL DEFAULT '',
    created_at INTEGER NOT NULL
);
CREATE TABLE entries (
    id INTEGER PRIMARY KEY,
    parent_id INTEGER REFERENCES entries(id),
    area_kind INTEGER NOT NULL,
    area_owner INTEGER NOT NULL,
    name TEXT NOT NULL,
    is_folder INTEGER NOT NULL,
    size INTEGER NOT NULL DEFAULT 0,
    blob_id TEXT,
    md5 TEXT NOT NULL DEFAULT '',
    created_at INTEGER NOT NULL,
    modified_at INTEGER NOT NULL,
    stamp INTEGER NOT NULL,
    owner_id INTEGER REFERENCES users(id) ON DELETE SET NULL,
    owner TEXT NOT NULL DEFAULT '',
    owner_name TEXT NOT NULL DEFAULT '',
    author TEXT NOT NULL DEFAULT '',
    author_name TEXT NOT NULL DEFAULT '',
    creation_date TEXT NOT NULL DEFAULT '',
    device_id TEXT NOT NULL DEFAULT '',
    edit_permission INTEGER NOT NULL DEFAULT 0,
    read_only INTEGER NOT NULL DEFAULT 0,
    lock_owner INTEGER REFERENCES users(id) ON DELETE SET NULL,
    lock_user_id TEXT NOT NULL DEFAULT '',
    lock_user_name TEXT NOT NULL DEFAULT '',
    lock_start_time TEXT NOT NULL DEFAULT '',
    action_type TEXT NOT NULL DEFAULT '',
    action_file_type TEXT NOT NULL DEFAULT '',
    action_progress TEXT NOT NULL DEFAULT '',
    action_src TEXT NOT NULL DEFAULT '',
    action_dest TEXT NOT NULL DEFAULT ''
);
CREATE UNIQUE INDEX entries_by_name ON entries(parent_id, name);
CREATE UNIQUE INDEX entries_root ON entries(area_kind, area_owner) WHERE parent_id IS NULL;
CREATE INDEX entries_by_area ON entries(area_kind, area_owner);
CREATE INDEX entries_by_blob ON entries(blob_id) WHERE blob_id IS NOT NULL;
CREATE INDEX entries_by_owner ON entries(owner_id);
CREATE INDEX entries_copying ON entries(action_type) WHERE action_type <> '';
CREATE TABLE managers (
    folder_id INTEGER NOT NULL REFERENCES entries(id) ON DELETE CASCADE,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    PRIMARY KEY (folder_id, user_id)
);
CREATE TABLE uploads (
    id TEXT PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    path TEXT NOT NULL,
    md5 TEXT NOT NULL,
    size INTEGER NOT NULL,
    received INTEGER NOT NULL DEFAULT 0,
    UNIQUE (user_id, path, md5)
);
CREATE TABLE share_links (
    key TEXT PRIMARY KEY,
    entry_id INTEGER NOT NULL REFERENCES entries(id) ON DELETE CASCADE,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    password TEXT NOT NULL DEFAULT '',
    valid_until INTEGER NOT NULL,
    download_limit INTEGER NOT NULL DEFAULT 0,
    download_count INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE print_jobs (
    seq INTEGER PRIMARY KEY,
    key TEXT NOT NULL UNIQUE,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    result_code TEXT NOT NULL DEFAULT '',
    file_name TEXT NOT NULL DEFAULT '',
    print_id TEXT NOT NULL DEFAULT '',
    upload_date TEXT NOT NULL DEFAULT '',
    end_date TEXT NOT NULL DEFAULT '',
    thumbnail TEXT NOT NULL DEFAULT '',
    access_key TEXT NOT NULL DEFAULT '',
    printable_count TEXT NOT NULL DEFAULT '',
    print_finish_count TEXT NOT NULL DEFAULT ''
);
CREATE INDEX print_jobs_by_user ON print_jobs(user_id, seq);
)sql";

// Version 2: sessions end (their last use is kept), failed logins are counted, and share links
// count wrong passwords for good.
constexpr const char* kUpgradeTo2 = R"sql(
ALTER TABLE sessions ADD COLUMN last_used_at INTEGER NOT NULL DEFAULT 0;
UPDATE sessions SET last_used_at = created_at;
CREATE INDEX sessions_by_user ON sessions(user_id, device_id);
ALTER TABLE share_links ADD COLUMN wrong_passwords INTEGER NOT NULL DEFAULT 0;
CREATE TABLE login_failures (
    key TEXT PRIMARY KEY,
    failures INTEGER NOT NULL,
    last_failure INTEGER NOT NULL
);
CREATE TABLE login_addresses (
    account TEXT NOT NULL,
    address TEXT NOT NULL,
    last_success INTEGER NOT NULL,
    PRIMARY KEY (account, address)
);
)sql";

// Version 3: the bytes each user is charged for, kept up to date by triggers, so that the storage
// gauge of every answer and the quota checks read one row instead of summing a whole area. A
// personal area charges its user for every file in it, the shared area each file's owner.
constexpr const char* kUpgradeTo3 = R"sql(
CREATE TABLE usage (
    area_kind INTEGER NOT NULL,
    area_owner INTEGER NOT NULL,
    user_id INTEGER NOT NULL,
    bytes INTEGER NOT NULL,
    PRIMARY KEY (area_kind, area_owner, user_id)
) WITHOUT ROWID;
INSERT INTO usage
    SELECT area_kind, area_owner, CASE area_kind WHEN 0 THEN area_owner ELSE owner_id END, SUM(size)
    FROM entries WHERE is_folder = 0 AND (area_kind = 0 OR owner_id IS NOT NULL) GROUP BY 1, 2, 3;
CREATE TRIGGER usage_added AFTER INSERT ON entries
    WHEN NEW.is_folder = 0 AND (NEW.area_kind = 0 OR NEW.owner_id IS NOT NULL)
BEGIN
    INSERT INTO usage SELECT NEW.area_kind, NEW.area_owner,
            CASE NEW.area_kind WHEN 0 THEN NEW.area_owner ELSE NEW.owner_id END, NEW.size WHERE 1
        ON CONFLICT DO UPDATE SET bytes = bytes + excluded.bytes;
END;
CREATE TRIGGER usage_removed AFTER DELETE ON entries
    WHEN OLD.is_folder = 0 AND (OLD.area_kind = 0 OR OLD.owner_id IS NOT NULL)
BEGIN
    UPDATE usage SET bytes = bytes - OLD.size WHERE area_kind = OLD.area_kind AND area_owner = OLD.area_owner
        AND user_id = CASE OLD.area_kind WHEN 0 THEN OLD.area_owner ELSE OLD.owner_id END;
END;
CREATE TRIGGER usage_changed AFTER UPDATE OF size, is_folder, area_kind, area_owner, owner_id ON entries
BEGIN
    UPDATE usage SET bytes = bytes - OLD.size
        WHERE OLD.is_folder = 0 AND (OLD.area_kind = 0 OR OLD.owner_id IS NOT NULL)
            AND area_kind = OLD.area_kind AND area_owner = OLD.area_owner
            AND user_id = CASE OLD.area_kind WHEN 0 THEN OLD.area_owner ELSE OLD.owner_id END;
    INSERT INTO usage SELECT NEW.area_kind, NEW.area_owner,
            CASE NEW.area_kind WHEN 0 THEN NEW.area_owner ELSE NEW.owner_id END, NEW.size
            WHERE NEW.is_folder = 0 AND (NEW.area_kind = 0 OR NEW.owner_id IS NOT NULL)
        ON CONFLICT DO UPDATE SET bytes = bytes + excluded.bytes;
END;
)sql";

} // namespace

void applySchema(Database& db)
{
    const std::int64_t version = db.scalar("PRAGMA user_version", 0);
    if (version == kSchemaVersion)
        return;
    if (version > kSchemaVersion)
        throw DatabaseError("the database was written by a newer server (schema " + std::to_string(version) + ")", 1);
    Transaction tx(db);
    if (version < 1)
        db.exec(kSchema);
    if (version < 2)
        db.exec(kUpgradeTo2);
    if (version < 3)
        db.exec(kUpgradeTo3);
    db.exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
    tx.commit();
}

} // namespace norvane::server
