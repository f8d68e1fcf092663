// Owning handles of ODBC, and the per-connection cache of prepared
// statements keyed by the statement's text.
#pragma once

#include "platform/ado/odbc/odbc_api.h"

#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace valmorin::ado::odbc {

template <SQLSMALLINT Type>
struct HandleDeleter {
    void operator()(SQLHANDLE handle) const { SQLFreeHandle(Type, handle); }
};
using Environment = std::unique_ptr<void, HandleDeleter<SQL_HANDLE_ENV>>;
using Statement = std::unique_ptr<void, HandleDeleter<SQL_HANDLE_STMT>>;

// A connection handle is disconnected before it is freed; a driver
// refuses to free a connected one.
struct ConnectionDeleter {
    void operator()(SQLHANDLE handle) const
    {
        SQLDisconnect(handle);
        SQLFreeHandle(SQL_HANDLE_DBC, handle);
    }
};
using Connection = std::unique_ptr<void, ConnectionDeleter>;

// A statement in use by one call: an owned one is freed afterwards, a
// cached one has its cursor closed for the next call.
class StatementLease {
public:
    explicit StatementLease(Statement owned) : m_owned(std::move(owned)), m_stmt(m_owned.get()) {}
    explicit StatementLease(SQLHSTMT cached) : m_stmt(cached) {}
    StatementLease(StatementLease&& other) noexcept;
    StatementLease(const StatementLease&) = delete;
    StatementLease& operator=(const StatementLease&) = delete;
    StatementLease& operator=(StatementLease&&) = delete;
    ~StatementLease();

    SQLHSTMT get() const { return m_stmt; }

private:
    Statement m_owned;
    SQLHSTMT m_stmt;
};

// The most recently used prepared statements of one connection. The
// driver (and the server behind it) keeps a prepared statement until its
// handle is freed, which pushing it out of the cache does.
class StatementCache {
public:
    explicit StatementCache(std::size_t capacity) : m_capacity(capacity) {}

    // Null when the text has no prepared form here.
    SQLHSTMT Find(const std::string& text);
    SQLHSTMT Insert(const std::string& text, Statement stmt);

private:
    struct Entry {
        Statement stmt;
        std::list<std::string>::iterator use;
    };

    std::size_t m_capacity;
    std::list<std::string> m_uses; // most recent first
    std::unordered_map<std::string, Entry> m_entries;
};

} // namespace valmorin::ado::odbc
