// Owning handles of databases and prepared statements, what the session's statement
// cache keeps of each, and the lease through which a call uses one.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace valmorin::ado::sqlite {

struct DatabaseDeleter {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseDeleter>;

struct StatementDeleter {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// A statement in use by one call: an owned one is finalized afterwards, a
// cached one is reset for the next call. Its parameters stay bound to the
// session's buffers, unread until that call binds every one of them anew
// (a run with fewer values than markers is refused before it steps).
class StatementLease {
public:
    explicit StatementLease(Statement owned) : m_owned(std::move(owned)), m_stmt(m_owned.get()) {}
    explicit StatementLease(sqlite3_stmt* cached) : m_stmt(cached) {}
    StatementLease(StatementLease&& other) noexcept;
    StatementLease(const StatementLease&) = delete;
    StatementLease& operator=(const StatementLease&) = delete;
    StatementLease& operator=(StatementLease&&) = delete;
    ~StatementLease();

    sqlite3_stmt* get() const { return m_stmt; }

private:
    Statement m_owned;
    sqlite3_stmt* m_stmt;
};

// A statement text as the cache keeps it: its prepared statement, the
// names of its result columns, widened once per preparation, and whether
// it changes rows (an INSERT, UPDATE, DELETE or REPLACE, whose count of
// changed rows is its outcome).
struct CachedStatement {
    Statement stmt;
    std::vector<std::u16string> wide; // the column names, as the row sets carry them
    int namesOfPreparation = -1;      // SQLite's count of re-preparations when they were read
    bool changesRows = false;
};

} // namespace valmorin::ado::sqlite
