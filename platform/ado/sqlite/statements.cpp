#include "platform/ado/sqlite/statements.h"

namespace valmorin::ado::sqlite {

StatementLease::StatementLease(StatementLease&& other) noexcept
    : m_owned(std::move(other.m_owned)), m_stmt(std::exchange(other.m_stmt, nullptr))
{
}

StatementLease::~StatementLease()
{
    if (m_stmt == nullptr || m_owned) return;
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

CachedStatement* StatementCache::Find(const std::string& text)
{
    const auto it = m_entries.find(text);
    if (it == m_entries.end()) return nullptr;
    m_uses.splice(m_uses.begin(), m_uses, it->second.use);
    return &it->second.statement;
}

CachedStatement* StatementCache::Insert(const std::string& text, CachedStatement statement)
{
    if (m_entries.size() >= m_capacity) {
        m_entries.erase(m_uses.back());
        m_uses.pop_back();
    }
    m_uses.push_front(text);
    return &m_entries.emplace(text, Entry{std::move(statement), m_uses.begin()}).first->second.statement;
}

} // namespace valmorin::ado::sqlite
