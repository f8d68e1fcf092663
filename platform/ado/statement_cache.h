// The prepared statements one session keeps, keyed by their text (a
// statement's shape, its values apart), the
// least recently used pushed out first: what each provider keeps per
// statement (SQLite's prepared statement, PostgreSQL's server-side name,
// ODBC's statement handle) is its own Value.
#pragma once

#include <cstddef>
#include <cstring>
#include <list>
#include <optional>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace valmorin::ado {

template <typename Value>
class StatementCache {
public:
    explicit StatementCache(std::size_t capacity) : m_capacity(capacity > 0 ? capacity : 1) {}
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    // Null when the text has no entry here; a found entry becomes the most
    // recently used. A session runs the same statement again and again: the
    // most recent entry is compared first, without hashing the text.
    Value* Find(std::u16string_view text)
    {
        if (m_recent && TextEqual{}(m_recent->first, text)) return &m_recent->second.value;
        const auto it = m_entries.find(text); // no copy of the text to look it up
        if (it == m_entries.end()) return nullptr;
        m_uses.splice(m_uses.begin(), m_uses, it->second.use);
        m_recent = &*it;
        return &it->second.value;
    }

    // The entry made for the text, and the value pushed out to make room
    // when the cache was full: a server-side statement must be released by
    // the caller, an owned handle is released by its own destructor.
    std::pair<Value*, std::optional<Value>> Insert(std::u16string_view text, Value value)
    {
        std::optional<Value> evicted;
        if (const auto same = m_entries.find(text); same != m_entries.end()) {
            evicted.emplace(std::move(same->second.value)); // replaced: given back as a value pushed out
            Erase(same);
        } else if (m_entries.size() >= m_capacity) {
            const auto oldest = m_entries.find(m_uses.back());
            evicted.emplace(std::move(oldest->second.value));
            Erase(oldest);
        }
        m_uses.emplace_front(text);
        const auto added = m_entries.emplace(std::u16string(text), Entry{std::move(value), m_uses.begin()}).first;
        m_recent = &*added;
        return {&added->second.value, std::move(evicted)};
    }

    // The entry for the text taken out, when there is one.
    std::optional<Value> Remove(std::u16string_view text)
    {
        const auto it = m_entries.find(text);
        if (it == m_entries.end()) return std::nullopt;
        std::optional<Value> removed(std::move(it->second.value));
        Erase(it);
        return removed;
    }

private:
    struct Entry {
        Value value;
        std::list<std::u16string>::iterator use;
    };
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view text) const { return std::hash<std::u16string_view>{}(text); }
    };
    // Bytes compared at once: char_traits<char16_t> compares unit by unit.
    struct TextEqual {
        using is_transparent = void;
        bool operator()(std::u16string_view a, std::u16string_view b) const
        {
            return a.size() == b.size() &&
                   (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
        }
    };
    using Entries = std::unordered_map<std::u16string, Entry, TextHash, TextEqual>;

    void Erase(typename Entries::iterator it)
    {
        if (m_recent == &*it) m_recent = nullptr;
        m_uses.erase(it->second.use);
        m_entries.erase(it);
    }

    std::size_t m_capacity;
    std::list<std::u16string> m_uses; // most recent first
    Entries m_entries;
    typename Entries::value_type* m_recent = nullptr; // the entry found or made last
};

} // namespace valmorin::ado
