#include "server/store/Database.h"

#include <sqlite3.h>

#include <utility>

namespace norvane::server {

namespace {

// How long a statement waits for a lock held by another connection (a second process on the
// same data folder, or a checkpoint) before it fails.
constexpr int kBusyTimeoutMs = 10000;

// Statements kept prepared per text; more simultaneous uses of one text are finalized on return.
constexpr std::size_t kIdlePerText = 2;

} // namespace

bool DatabaseError::isConstraint() const
{
    return (code_ & 0xff) == SQLITE_CONSTRAINT;
}

// ------------------------------------------------------------------------------------------------

Statement::Statement(Database& db, sqlite3_stmt* stmt, std::string sql)
    : db_(&db)
    , stmt_(stmt)
    , sql_(std::move(sql))
{ }

Statement::~Statement()
{
    if (stmt_)
        db_->giveBack(std::move(sql_), stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : db_(other.db_)
    , stmt_(std::exchange(other.stmt_, nullptr))
    , sql_(std::move(other.sql_))
{ }

Statement& Statement::bind(int index, std::int64_t value)
{
    if (int rc = sqlite3_bind_int64(stmt_, index, value); rc != SQLITE_OK)
        db_->fail("bind", rc);
    return *this;
}

Statement& Statement::bind(int index, std::string_view value)
{
    // SQLITE_TRANSIENT: SQLite copies the text, so temporaries may be bound.
    if (int rc = sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        rc != SQLITE_OK)
        db_->fail("bind", rc);
    return *this;
}

Statement& Statement::bind(int index, std::nullopt_t)
{
    if (int rc = sqlite3_bind_null(stmt_, index); rc != SQLITE_OK)
        db_->fail("bind", rc);
    return *this;
}

bool Statement::step()
{
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    db_->fail(sql_, rc);
}

void Statement::run()
{
    while (step()) { }
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Statement::int64(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

std::string Statement::text(int column) const
{
    const auto* data = sqlite3_column_text(stmt_, column);
    if (!data)
        return {};
    return std::string(
        reinterpret_cast<const char*>(data), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

// ------------------------------------------------------------------------------------------------

Database::Database(const std::filesystem::path& file)
{
    int rc = sqlite3_open_v2(
        file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string what = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw DatabaseError("cannot open " + file.string() + ": " + what, rc);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_update_hook(db_, &Database::rowChanged, this);
    auto mode = prepare("PRAGMA journal_mode=WAL");
    if (!mode.step() || mode.text(0) != "wal")
        throw DatabaseError("the database refuses write-ahead logging", SQLITE_ERROR);
    // FULL: a commit is on disk before it is acknowledged, also against a power cut.
    exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
}

Database::~Database()
{
    for (auto& [sql, stmt] : idle_)
        sqlite3_finalize(stmt);
    sqlite3_close(db_);
}

Statement Database::prepare(std::string_view sql)
{
    if (auto it = idle_.find(sql); it != idle_.end()) {
        sqlite3_stmt* stmt = it->second;
        std::string text = it->first;
        idle_.erase(it);
        return Statement(*this, stmt, std::move(text));
    }
    sqlite3_stmt* stmt = nullptr;
    int rc
        = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK)
        fail(std::string(sql), rc);
    return Statement(*this, stmt, std::string(sql));
}

void Database::giveBack(std::string sql, sqlite3_stmt* stmt)
{
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (idle_.count(sql) >= kIdlePerText) {
        sqlite3_finalize(stmt);
        return;
    }
    idle_.emplace(std::move(sql), stmt);
}

void Database::exec(std::string_view sql)
{
    std::string text(sql);
    char* message = nullptr;
    int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::string what = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        throw DatabaseError(what + " (" + text + ")", rc);
    }
}

std::int64_t Database::lastInsertId() const
{
    return sqlite3_last_insert_rowid(db_);
}

void Database::rowChanged(void* self, int, const char*, const char* table, long long)
{
    auto& database = *static_cast<Database*>(self);
    if (!table || !database.bookkeeping_.contains(std::string_view(table)))
        database.generation_.fetch_add(1, std::memory_order_acq_rel);
}

int Database::changes() const
{
    return sqlite3_changes(db_);
}

bool Database::inTransaction() const
{
    return sqlite3_get_autocommit(db_) == 0;
}

void Database::fail(const std::string& what, int code) const
{
    throw DatabaseError(std::string(sqlite3_errmsg(db_)) + " (" + what + ")", code);
}

// ------------------------------------------------------------------------------------------------

Transaction::Transaction(Database& db)
    : db_(db)
    , nested_(db.inTransaction())
{
    if (nested_) {
        savepoint_ = "sp" + std::to_string(++db_.savepoints_);
        db_.exec("SAVEPOINT " + savepoint_);
    } else {
        db_.exec("BEGIN IMMEDIATE");
    }
}

Transaction::~Transaction()
{
    if (!open_)
        return;
    // A failed rollback leaves nothing better to do; the connection reports it on its next use.
    if (nested_) {
        sqlite3_exec(
            db_.db_, ("ROLLBACK TO " + savepoint_ + "; RELEASE " + savepoint_).c_str(), nullptr, nullptr, nullptr);
        --db_.savepoints_;
    } else {
        sqlite3_exec(db_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::commit()
{
    if (nested_) {
        db_.exec("RELEASE " + savepoint_);
        --db_.savepoints_;
    } else {
        db_.exec("COMMIT");
    }
    open_ = false;
}

} // namespace norvane::server
