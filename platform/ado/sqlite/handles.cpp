#include "platform/ado/sqlite/handles.h"

namespace valmorin::ado::sqlite {

StatementLease::StatementLease(StatementLease&& other) noexcept
    : m_owned(std::move(other.m_owned)), m_stmt(std::exchange(other.m_stmt, nullptr))
{}

StatementLease::~StatementLease()
{
    if (m_stmt == nullptr || m_owned) return;
    sqlite3_reset(m_stmt);
}

} // namespace valmorin::ado::sqlite
