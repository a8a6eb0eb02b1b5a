#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

struct sqlite3;
struct sqlite3_stmt;

namespace norvane::server {

// A failure reported by SQLite. It travels only inside the store, whose public calls turn it
// into StoreError::Io.
class DatabaseError : public std::runtime_error {
public:
    DatabaseError(const std::string& what, int code)
        : std::runtime_error(what)
        , code_(code)
    { }
    int code() const { return code_; }
    bool isConstraint() const;

private:
    int code_;
};

class Database;

// One prepared statement in use. Binding indexes start at 1, column indexes at 0. When it goes
// out of scope the statement is reset and handed back to its database for the next use of the
// same text.
class Statement {
public:
    Statement(Database& db, sqlite3_stmt* stmt, std::string sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&&) = delete;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
    Statement& bind(int index, bool value) { return bind(index, static_cast<std::int64_t>(value ? 1 : 0)); }
    Statement& bind(int index, std::string_view value);
    Statement& bind(int index, const std::string& value) { return bind(index, std::string_view(value)); }
    Statement& bind(int index, const char* value) { return bind(index, std::string_view(value)); }
    Statement& bind(int index, std::nullopt_t);
    template <typename T> Statement& bind(int index, const std::optional<T>& value)
    {
        return value ? bind(index, *value) : bind(index, std::nullopt);
    }
    // Binds the values to the parameters 1, 2, … in order.
    template <typename... Values> Statement& with(const Values&... values)
    {
        int index = 0;
        (bind(++index, values), ...);
        return *this;
    }

    // Advances to the next row; false when there is none left.
    bool step();
    // Runs a statement that yields no rows.
    void run();

    bool isNull(int column) const;
    std::int64_t int64(int column) const;
    std::string text(int column) const;

private:
    Database* db_;
    sqlite3_stmt* stmt_;
    std::string sql_;
};

// The one SQLite connection of the store, in WAL mode with full syncs (so that a committed
// transaction survives the process being killed), foreign keys enforced and a busy timeout.
// Not thread-safe by itself: the store serialises its use.
class Database {
public:
    // Throws DatabaseError when the file cannot be opened or set up.
    explicit Database(const std::filesystem::path& file);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    Statement prepare(std::string_view sql);
    // Runs one or more statements without parameters.
    void exec(std::string_view sql);
    std::int64_t lastInsertId() const;
    int changes() const;
    // Counts the rows inserted, changed or deleted (by statements, triggers and foreign keys) in
    // every table but the bookkeeping ones: a new value means that what those tables hold, and so
    // what a listing shows, may have changed. A change that is rolled back counts as well. Safe
    // to read on any thread.
    std::uint64_t contentGeneration() const { return generation_.load(std::memory_order_acquire); }
    // Tables whose rows change with every request or login (sessions, offsets, throttles) and that
    // no listing reads: their changes leave the content generation alone.
    void setBookkeepingTables(std::set<std::string, std::less<>> tables) { bookkeeping_ = std::move(tables); }
    // Runs `change` (outside a transaction) as a commit that is not synced on its own: it
    // survives the process being killed and reaches the disk with the next synced commit. Only for
    // records that can be rebuilt after a power cut.
    template <typename Change> void unsynced(Change&& change)
    {
        prepare("PRAGMA synchronous=NORMAL").run();
        try {
            change();
        } catch (...) {
            prepare("PRAGMA synchronous=FULL").run();
            throw;
        }
        prepare("PRAGMA synchronous=FULL").run();
    }
    bool inTransaction() const;

    // Shortcut: the first column of the first row as a number, or `fallback` without a row.
    template <typename... Values>
    std::int64_t scalar(std::string_view sql, std::int64_t fallback, const Values&... values)
    {
        auto stmt = prepare(sql);
        stmt.with(values...);
        return stmt.step() && !stmt.isNull(0) ? stmt.int64(0) : fallback;
    }

    [[noreturn]] void fail(const std::string& what, int code) const;

private:
    friend class Statement;
    friend class Transaction;
    void giveBack(std::string sql, sqlite3_stmt* stmt);
    static void rowChanged(void* self, int operation, const char* database, const char* table, long long rowid);

    sqlite3* db_ = nullptr;
    std::multimap<std::string, sqlite3_stmt*, std::less<>> idle_; // prepared statements not in use
    int savepoints_ = 0;
    std::set<std::string, std::less<>> bookkeeping_;
    std::atomic<std::uint64_t> generation_ { 0 };
};

// BEGIN IMMEDIATE … COMMIT, rolled back when it ends without commit(). Inside another transaction
// it becomes a savepoint, so helpers can open one whether or not their caller did.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Database& db_;
    bool nested_ = false;
    bool open_ = true;
    std::string savepoint_;
};

} // namespace norvane::server
