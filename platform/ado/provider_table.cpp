#include "platform/ado/built_in.h"
#include "platform/ado/connection_string.h"
#include "platform/ado/provider.h"
#include "platform/text/ascii.h"

#include <map>
#include <mutex>

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

std::unique_ptr<StoreWatch> WatchStore(std::u16string_view connectionString, std::u16string_view userId,
                                       std::u16string_view password, WatchOptions options)
{
    try {
        const ConnectionString cs(connectionString);
        if (!cs.RepeatedKey().empty()) return nullptr;
        const std::shared_ptr<Provider> provider = FindProvider(cs.Get(u"Provider"));
        return provider ? provider->Watch(cs, userId, password, std::move(options)) : nullptr;
    } catch (...) {
        return nullptr; // a store that cannot be watched is served without a cache
    }
}

} // namespace valmorin::ado
