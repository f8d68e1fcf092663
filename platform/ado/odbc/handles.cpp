#include "platform/ado/odbc/handles.h"

namespace valmorin::ado::odbc {

StatementLease::StatementLease(StatementLease&& other) noexcept
    : m_owned(std::move(other.m_owned)), m_stmt(std::exchange(other.m_stmt, nullptr))
{}

StatementLease::~StatementLease()
{
    if (m_stmt == nullptr || m_owned) return;
    SQLFreeStmt(m_stmt, SQL_CLOSE);
}

} // namespace valmorin::ado::odbc
