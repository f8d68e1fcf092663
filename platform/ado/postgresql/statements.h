// Owning handles of libpq, and the per-connection cache of prepared
// statement names keyed by the statement's text.
#pragma once

#include <libpq-fe.h>

#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace valmorin::ado::postgresql {

struct ConnectionDeleter {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// The most recently used prepared statements of one connection, by name.
// The server keeps a prepared statement until it is deallocated, so the
// cache hands back the name it pushed out for the caller to deallocate.
class StatementCache {
public:
    explicit StatementCache(std::size_t capacity) : m_capacity(capacity) {}

    // Null when the text has no prepared form here.
    const std::string* Find(const std::string& text);
    // A new name for the text; not in the cache until Insert.
    std::string NewName() { return "valmorin_" + std::to_string(++m_named); }
    // The name pushed out, if the cache was full.
    std::optional<std::string> Insert(const std::string& text, std::string name);

private:
    struct Entry {
        std::string name;
        std::list<std::string>::iterator use;
    };

    std::size_t m_capacity;
    unsigned long long m_named = 0;
    std::list<std::string> m_uses; // most recent first
    std::unordered_map<std::string, Entry> m_entries;
};

} // namespace valmorin::ado::postgresql
