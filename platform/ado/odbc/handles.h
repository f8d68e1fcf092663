// Owning handles of ODBC, and the lease through which a call uses a
// statement. A prepared statement is kept by its handle until the handle
// is freed, which pushing it out of the session's cache does.
#pragma once

#include "platform/ado/odbc/odbc_api.h"

#include <memory>
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

} // namespace valmorin::ado::odbc
