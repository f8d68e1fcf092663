// Answers of the lookups kept in memory, one cache per process and store,
// shared by every object on that store. An answer is served only while the
// store is at the version it was read at (store_watch.h): on SQLite any
// commit by any process moves the version, so no answer older than the last
// commit a caller could have seen is ever served; on PostgreSQL the changed
// tables are announced and dropped, within the time a notification takes.
// Misses are kept too.
//
// The entries are spread over shards of at least 64 entries (16 at most),
// each with its own lock and its own least-recently-used order, so that
// lookups of different keys from different threads do not wait for one
// another; a cache of fewer than 128 entries is one shard.
#pragma once

#include "platform/ado/store_watch.h"
#include "valmorin/com/bstr.h"

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class LookupCache {
public:
    // What a lookup asks: the OUTPUT of an INPUT, or the smallest INPUT of
    // an OUTPUT.
    enum class Kind : char16_t { Forward = u'F', Reverse = u'R' };

    // The store's version when a lookup began; untrusted when the watch
    // could not vouch for it, and then nothing is served or kept.
    struct Ticket {
        bool trusted = false;
        valmorin::ado::StoreVersion version;
        std::uint64_t local = 0;
    };

    explicit LookupCache(std::size_t capacity);
    LookupCache(const LookupCache&) = delete;
    LookupCache& operator=(const LookupCache&) = delete;

    // The watch whose version the answers are held to; without one nothing
    // is ever trusted.
    void Watch(std::shared_ptr<valmorin::ado::StoreWatch> watch) { m_watch = std::move(watch); }

    Ticket Begin() const;
    // The answer kept for the key at the ticket's version: whether the store
    // held a row, and its text as a new BSTR. False when there is none.
    bool Find(const Ticket& ticket, Kind kind, std::u16string_view table, std::u16string_view value, bool& found,
              BSTR& text);
    // Keeps an answer read after Begin gave the ticket, unless the store has
    // moved since.
    void Keep(const Ticket& ticket, Kind kind, std::u16string_view table, std::u16string_view value, bool found,
              std::u16string_view text);
    // A change of this process to the table has committed: its answers go,
    // and answers read before it are not kept.
    void Changed(std::u16string_view table);
    // A change a notification announced: the same.
    void DropTable(std::u16string_view table);

    // Whether the store's name now reaches another store than the one
    // this cache holds answers of.
    bool Outlived() const;
    // Nothing is served or kept any more, and the watch is closed: its
    // connection would otherwise keep the process on the store's old files
    // (SQLite shares one WAL-index per file among a process's connections).
    // Waits for the lookups reading the version at that moment, unless
    // there can be none (the only thread of a child made by fork).
    void Retire(bool otherThreads = true);

    std::size_t capacity() const { return m_capacity; }
    std::size_t size() const;

private:
    // A key's text and its hash, computed once per lookup.
    struct Key {
        std::u16string_view text;
        std::size_t hash;
        bool operator==(const Key& other) const { return text == other.text; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept { return key.hash; }
    };
    class KeyText;
    struct Node {
        std::u16string key; // kind, table, NUL, value: neither text holds a NUL
        std::size_t hash;
        std::size_t tableLength;
        bool found;
        std::u16string text;
        std::uint64_t entries; // the store's version it was read at
        std::list<Node*>::iterator inTable;
        std::u16string_view table() const { return std::u16string_view(key).substr(1, tableLength); }
    };
    struct Shard {
        std::mutex mutex;
        std::size_t capacity = 0;
        std::list<Node> order; // most recently used first
        std::unordered_map<Key, std::list<Node>::iterator, KeyHash> index;
        std::unordered_map<std::u16string, std::list<Node*>> byTable;
    };

    Shard& ShardOf(const Key& key) { return *m_shards[key.hash % m_shards.size()]; }
    bool ReadVersion(valmorin::ado::StoreVersion& version) const;
    static void Erase(Shard& shard, std::list<Node>::iterator node);
    bool Current(const Ticket& ticket) const;

    std::size_t m_capacity;
    std::vector<std::unique_ptr<Shard>> m_shards;
    std::shared_ptr<valmorin::ado::StoreWatch> m_watch;
    std::atomic<bool> m_retired{false};
    mutable std::atomic<int> m_readers{0}; // lookups reading the watch now
    std::atomic<std::uint64_t> m_local{0}; // this process's own committed changes
};

// The cache of the store a connection opened with these arguments reaches,
// made with `capacity` entries at its first use and kept for the life of
// the process; null when the store cannot be watched (not in WAL mode, over
// ODBC). A cache whose store was replaced since (its file renamed over or
// removed) is left to the objects that use it, and a new one made.
LookupCache* SharedLookupCache(const std::u16string& connectionString, const std::u16string& userId,
                               const std::u16string& password, std::size_t capacity);

// The cache made for those arguments, if any; made by none.
LookupCache* ExistingLookupCache(const std::u16string& connectionString, const std::u16string& userId);

// The number of entries the registry asks for: the REG_DWORD "LookupCache"
// beside "Debug", the user's key before the machine's; 0 (off) when absent.
std::size_t LookupCacheCapacity();
// How long a cache that hears of changes over a link (PostgreSQL) trusts
// the link after it last proved alive: the REG_DWORD "LookupCacheLinkBound"
// beside "LookupCache", in milliseconds; 1,000 when absent or 0.
std::chrono::milliseconds LookupCacheLinkBound();
