#include "platform/ado/odbc/statements.h"


namespace valmorin::ado::odbc {

StatementLease::StatementLease(StatementLease&& other) noexcept
    : m_owned(std::move(other.m_owned)), m_stmt(std::exchange(other.m_stmt, nullptr))
{
}

StatementLease::~StatementLease()
{
    if (m_stmt == nullptr || m_owned) return;
    SQLFreeStmt(m_stmt, SQL_CLOSE);
}

SQLHSTMT StatementCache::Find(const std::string& text)
{
    const auto it = m_entries.find(text);
    if (it == m_entries.end()) return nullptr;
    m_uses.splice(m_uses.begin(), m_uses, it->second.use);
    return it->second.stmt.get();
}

SQLHSTMT StatementCache::Insert(const std::string& text, Statement stmt)
{
    if (m_entries.size() >= m_capacity) {
        m_entries.erase(m_uses.back());
        m_uses.pop_back();
    }
    m_uses.push_front(text);
    SQLHSTMT raw = stmt.get();
    m_entries.emplace(text, Entry{std::move(stmt), m_uses.begin()});
    return raw;
}

} // namespace valmorin::ado::odbc
