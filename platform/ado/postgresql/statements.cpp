#include "platform/ado/postgresql/statements.h"

namespace valmorin::ado::postgresql {

const std::string* StatementCache::Find(const std::string& text)
{
    const auto it = m_entries.find(text);
    if (it == m_entries.end()) return nullptr;
    m_uses.splice(m_uses.begin(), m_uses, it->second.use);
    return &it->second.name;
}

std::optional<std::string> StatementCache::Insert(const std::string& text, std::string name)
{
    std::optional<std::string> evicted;
    if (m_entries.size() >= m_capacity) {
        const auto oldest = m_entries.find(m_uses.back());
        evicted = std::move(oldest->second.name);
        m_entries.erase(oldest);
        m_uses.pop_back();
    }
    m_uses.push_front(text);
    m_entries.emplace(text, Entry{std::move(name), m_uses.begin()});
    return evicted;
}

} // namespace valmorin::ado::postgresql
