#include "service/lookup_cache.h"

#include "qmt/diag/trace.h"
#include "service/component_settings.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <thread>

#include <pthread.h>

namespace {

constexpr std::size_t kMostShards = 16;
// Below this many entries a shard's order is not worth the split: a small
// cache is one shard, and drops exactly its least recently used entry.
constexpr std::size_t kLeastPerShard = 64;

} // namespace

// A lookup's key: its kind, the table, a NUL and the value, in a buffer on
// the caller's stack when it fits.
class LookupCache::KeyText {
public:
    KeyText(Kind kind, std::u16string_view table, std::u16string_view value)
    {
        const std::size_t size = 2 + table.size() + value.size();
        char16_t* out = m_inline;
        if (size > std::size(m_inline)) {
            m_heap.resize(size);
            out = m_heap.data();
        }
        out[0] = static_cast<char16_t>(kind);
        std::copy(table.begin(), table.end(), out + 1);
        out[1 + table.size()] = u'\0';
        std::copy(value.begin(), value.end(), out + 2 + table.size());
        m_key.text = std::u16string_view(out, size);
        m_key.hash = std::hash<std::u16string_view>{}(m_key.text);
    }
    KeyText(const KeyText&) = delete;
    KeyText& operator=(const KeyText&) = delete;
    const Key& key() const { return m_key; }

private:
    char16_t m_inline[128];
    std::u16string m_heap;
    Key m_key;
};

LookupCache::LookupCache(std::size_t capacity) : m_capacity(capacity)
{
    const std::size_t shards = std::clamp<std::size_t>(capacity / kLeastPerShard, 1, kMostShards);
    for (std::size_t i = 0; i < shards; ++i) {
        auto& shard = m_shards.emplace_back(std::make_unique<Shard>());
        shard->capacity = capacity / shards + (i < capacity % shards ? 1 : 0);
    }
}

LookupCache::Ticket LookupCache::Begin() const
{
    Ticket ticket;
    ticket.local = m_local.load(std::memory_order_acquire);
    ticket.trusted = ReadVersion(ticket.version);
    return ticket;
}

// The watch is read only while it is not retired; Retire, having marked
// it, waits until no lookup still reads it before closing it. Both sides
// are sequentially consistent: a reader either sees the mark or is counted.
bool LookupCache::ReadVersion(valmorin::ado::StoreVersion& version) const
{
    m_readers.fetch_add(1);
    const bool read = !m_retired.load() && m_watch && m_watch->Read(version);
    m_readers.fetch_sub(1);
    return read;
}

void LookupCache::Retire(bool otherThreads)
{
    m_retired.store(true);
    while (otherThreads && m_readers.load() != 0) std::this_thread::yield();
    m_watch.reset();
}

bool LookupCache::Outlived() const
{
    m_readers.fetch_add(1);
    const bool outlived = !m_retired.load() && m_watch && m_watch->Outlived();
    m_readers.fetch_sub(1);
    return outlived;
}

bool LookupCache::Find(const Ticket& ticket, Kind kind, std::u16string_view table, std::u16string_view value,
                       bool& found, BSTR& text)
{
    if (!ticket.trusted) return false;
    const KeyText key(kind, table, value);
    Shard& shard = ShardOf(key.key());
    const std::lock_guard lock(shard.mutex);
    const auto it = shard.index.find(key.key());
    if (it == shard.index.end()) return false;
    const auto node = it->second;
    if (node->entries != ticket.version.entries) {
        Erase(shard, node);
        return false;
    }
    BSTR copy = SysAllocStringLen(node->text.data(), static_cast<UINT>(node->text.size()));
    if (copy == nullptr) return false; // the store answers instead
    shard.order.splice(shard.order.begin(), shard.order, node);
    found = node->found;
    text = copy;
    return true;
}

// Asked under a shard's lock: a notification moves `fills` before it drops
// its table, shard by shard, so an answer read before the change is either
// refused here or dropped after.
bool LookupCache::Current(const Ticket& ticket) const
{
    valmorin::ado::StoreVersion now;
    return ReadVersion(now) && now == ticket.version && m_local.load(std::memory_order_acquire) == ticket.local;
}

void LookupCache::Keep(const Ticket& ticket, Kind kind, std::u16string_view table, std::u16string_view value,
                       bool found, std::u16string_view text)
{
    if (!ticket.trusted) return;
    const KeyText key(kind, table, value);
    Shard& shard = ShardOf(key.key());
    if (shard.capacity == 0) return;
    const std::lock_guard lock(shard.mutex);
    if (!Current(ticket)) return;
    if (const auto it = shard.index.find(key.key()); it != shard.index.end()) Erase(shard, it->second);
    while (shard.order.size() >= shard.capacity) Erase(shard, std::prev(shard.order.end()));
    shard.order.push_front(Node{std::u16string(key.key().text),
                                key.key().hash,
                                table.size(),
                                found,
                                std::u16string(text),
                                ticket.version.entries,
                                {}});
    Node& node = shard.order.front();
    std::list<Node*>& inTable = shard.byTable[std::u16string(table)];
    node.inTable = inTable.insert(inTable.end(), &node);
    shard.index.emplace(Key{node.key, node.hash}, shard.order.begin());
}

void LookupCache::Erase(Shard& shard, std::list<Node>::iterator node)
{
    const auto table = shard.byTable.find(std::u16string(node->table()));
    table->second.erase(node->inTable);
    if (table->second.empty()) shard.byTable.erase(table);
    shard.index.erase(Key{node->key, node->hash});
    shard.order.erase(node);
}

void LookupCache::Changed(std::u16string_view table)
{
    m_local.fetch_add(1, std::memory_order_acq_rel);
    DropTable(table);
}

void LookupCache::DropTable(std::u16string_view table)
{
    const std::u16string name(table);
    for (const auto& shard : m_shards) {
        const std::lock_guard lock(shard->mutex);
        const auto it = shard->byTable.find(name);
        if (it == shard->byTable.end()) continue;
        for (Node* node : std::list<Node*>(it->second)) {
            const auto found = shard->index.find(Key{node->key, node->hash});
            Erase(*shard, found->second);
        }
    }
}

std::size_t LookupCache::size() const
{
    std::size_t entries = 0;
    for (const auto& shard : m_shards) {
        const std::lock_guard lock(shard->mutex);
        entries += shard->order.size();
    }
    return entries;
}

namespace {

// The process's caches, by connection string and user; kept until the
// process ends, so that an object may hold a plain pointer to one. A cache
// whose store was replaced is set aside for the objects still connected to
// the old one, and the store's name gets a new cache.
struct Caches {
    std::mutex mutex;
    std::map<std::pair<std::u16string, std::u16string>, std::unique_ptr<LookupCache>> byStore;
    std::vector<std::unique_ptr<LookupCache>> outlived;
};

void SetAside(Caches& caches, std::unique_ptr<LookupCache>& cache, bool otherThreads = true)
{
    cache->Retire(otherThreads);
    caches.outlived.push_back(std::move(cache));
}

Caches& ProcessCaches();

// A child made by fork holds none of its parent's locks on the stores'
// files, so its caches' watches vouch for nothing there: every cache is
// set aside in the child, and new ones are made as objects need them.
void LockCachesForFork() { ProcessCaches().mutex.lock(); }
void UnlockCachesAfterFork() { ProcessCaches().mutex.unlock(); }
void SetAsideInChild()
{
    Caches& caches = ProcessCaches();
    for (auto& [store, cache] : caches.byStore)
        if (cache) SetAside(caches, cache, false);
    caches.byStore.clear();
    caches.mutex.unlock();
}

Caches& ProcessCaches()
{
    static Caches caches;
    static const bool forkHandled = ::pthread_atfork(LockCachesForFork, UnlockCachesAfterFork, SetAsideInChild) == 0;
    (void)forkHandled;
    return caches;
}

// Where an operator sees it: standard error, and the log when it is on.
void ReportTrust(bool trusted, std::string_view why)
{
    const std::string line = std::string("valmorin: lookup cache ") +
                             (trusted ? "in use again: " : "bypassed, lookups go to the store: ") + std::string(why);
    std::fprintf(stderr, "%s\n", line.c_str());
    qmt::Trace(trusted ? qmt::LogLevel::Info : qmt::LogLevel::Warning, u"%s", valmorin::text::Widen(line).c_str());
}

std::unique_ptr<LookupCache> NewCache(const std::u16string& connectionString, const std::u16string& userId,
                                      const std::u16string& password, std::size_t capacity)
{
    auto made = std::make_unique<LookupCache>(capacity);
    LookupCache* target = made.get();
    valmorin::ado::WatchOptions options;
    options.changed = [target](std::u16string_view table) { target->DropTable(table); };
    options.trust = ReportTrust;
    options.linkBound = LookupCacheLinkBound();
    auto watch = valmorin::ado::WatchStore(connectionString, userId, password, std::move(options));
    if (!watch) return nullptr;
    made->Watch(std::move(watch));
    return made;
}

} // namespace

LookupCache* ExistingLookupCache(const std::u16string& connectionString, const std::u16string& userId)
{
    Caches& caches = ProcessCaches();
    const std::lock_guard lock(caches.mutex);
    const auto it = caches.byStore.find({connectionString, userId});
    return it == caches.byStore.end() ? nullptr : it->second.get();
}

LookupCache* SharedLookupCache(const std::u16string& connectionString, const std::u16string& userId,
                               const std::u16string& password, std::size_t capacity)
{
    Caches& caches = ProcessCaches();
    const std::lock_guard lock(caches.mutex);
    auto& cache = caches.byStore[{connectionString, userId}];
    if (cache && cache->Outlived()) SetAside(caches, cache);
    if (!cache) cache = NewCache(connectionString, userId, password, capacity);
    return cache.get();
}

std::size_t LookupCacheCapacity() { return ComponentNumber(u"LookupCache", 0); }

std::chrono::milliseconds LookupCacheLinkBound()
{
    constexpr DWORD kDefaultMs = 1000;
    const DWORD ms = ComponentNumber(u"LookupCacheLinkBound", kDefaultMs);
    return std::chrono::milliseconds(ms == 0 ? kDefaultMs : ms);
}
