#include "platform/ado/built_in.h"
#include "platform/ado/connection_string.h"
#include "platform/ado/provider.h"
#include "platform/text/ascii.h"

#include <map>
#include <mutex>
#include <vector>

#include <pthread.h>

namespace valmorin::ado {

namespace {

// The built-in providers are in the table from its first use on.
class ProviderTable {
public:
    static ProviderTable& Instance()
    {
        static ProviderTable table;
        return table;
    }
    void Add(std::shared_ptr<Provider> provider)
    {
        providers[text::AsciiUpper(provider->Name())] = std::move(provider);
    }
    std::mutex mutex;
    std::map<std::u16string, std::shared_ptr<Provider>> providers;

private:
    ProviderTable()
    {
        for (auto& provider : BuiltInProviders()) Add(std::move(provider));
    }
};

// The watches made, for CatchUpWatches: held weakly, so that a watch ends
// with its cache; the expired are swept as watches are made.
struct Watches {
    std::mutex mutex;
    std::vector<std::weak_ptr<StoreWatch>> made;
};

Watches& ProcessWatches()
{
    static Watches watches;
    // A child made by fork while another thread held the lock would
    // otherwise find it held for ever.
    static const bool forkHandled = ::pthread_atfork([] { watches.mutex.lock(); }, [] { watches.mutex.unlock(); },
                                                     [] { watches.mutex.unlock(); }) == 0;
    (void)forkHandled;
    return watches;
}

// Registered as the library loads, before any cache's: fork takes the
// locks of handlers registered later first, so the caches' lock, which is
// held while a watch is made, is taken before this one, as everywhere.
[[maybe_unused]] const Watches& kWatchesReadyForFork = ProcessWatches();

std::shared_ptr<StoreWatch> Remembered(std::unique_ptr<StoreWatch> made)
{
    std::shared_ptr<StoreWatch> watch(std::move(made));
    if (!watch) return watch;
    Watches& watches = ProcessWatches();
    const std::lock_guard lock(watches.mutex);
    std::erase_if(watches.made, [](const std::weak_ptr<StoreWatch>& kept) { return kept.expired(); });
    watches.made.push_back(watch);
    return watch;
}

} // namespace

void RegisterProvider(std::shared_ptr<Provider> provider)
{
    auto& table = ProviderTable::Instance();
    std::lock_guard lock(table.mutex);
    table.Add(std::move(provider));
}

void UnregisterProvider(std::u16string_view name)
{
    auto& table = ProviderTable::Instance();
    std::lock_guard lock(table.mutex);
    table.providers.erase(text::AsciiUpper(name));
}

std::shared_ptr<Provider> FindProvider(std::u16string_view name)
{
    auto& table = ProviderTable::Instance();
    std::lock_guard lock(table.mutex);
    const auto it = table.providers.find(text::AsciiUpper(name));
    return it == table.providers.end() ? nullptr : it->second;
}

std::shared_ptr<StoreWatch> WatchStore(std::u16string_view connectionString, std::u16string_view userId,
                                       std::u16string_view password, WatchOptions options)
{
    try {
        const ConnectionString cs(connectionString);
        if (!cs.RepeatedKey().empty()) return nullptr;
        const std::shared_ptr<Provider> provider = FindProvider(cs.Get(u"Provider"));
        return provider ? Remembered(provider->Watch(cs, userId, password, std::move(options))) : nullptr;
    } catch (...) {
        return nullptr; // a store that cannot be watched is served without a cache
    }
}

// The watches are asked outside the lock: each may wait until the deadline,
// and watches are made and ended meanwhile.
bool CatchUpWatches(std::chrono::steady_clock::time_point deadline)
{
    std::vector<std::shared_ptr<StoreWatch>> alive;
    {
        Watches& watches = ProcessWatches();
        const std::lock_guard lock(watches.mutex);
        for (const std::weak_ptr<StoreWatch>& kept : watches.made)
            if (std::shared_ptr<StoreWatch> watch = kept.lock()) alive.push_back(std::move(watch));
    }
    bool all = true;
    for (const std::shared_ptr<StoreWatch>& watch : alive) all = watch->CatchUp(deadline) && all;
    return all;
}

} // namespace valmorin::ado
