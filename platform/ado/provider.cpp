#include "platform/ado/provider.h"
#include "platform/ado/built_in.h"
#include "platform/ado/sql_lexer.h"
#include "platform/text/ascii.h"

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
        for (auto provider : {sqlite::NewProvider(), postgresql::NewProvider(), odbc::NewProvider()})
            Add(std::move(provider));
    }
};

} // namespace

ProviderError AdoError(HRESULT number, std::u16string_view source, std::u16string_view description,
                       std::u16string_view sqlState, LONG nativeError)
{
    ProviderError error;
    error.number = number;
    error.source = source;
    error.description = description;
    error.sqlState = sqlState;
    error.nativeError = nativeError;
    return error;
}

std::u16string RowUpdateHead(const RowSet& set, const std::vector<ColumnChange>& changes,
                             std::u16string (*marker)(std::size_t number))
{
    std::u16string sql = u"UPDATE " + QuoteIdentifier(set.baseTable) + u" SET ";
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (i > 0) sql += u", ";
        sql += QuoteIdentifier(set.baseColumns.at(changes[i].column)) + u" = " + marker(i + 1);
    }
    return sql + u" WHERE ";
}

std::u16string PlainMarker(std::size_t) { return u"?"; }

void RowSet::Clear()
{
    columns.clear();
    values.clear();
    rows = 0;
    baseTable.clear();
    baseColumns.clear();
    rowIds.clear();
}

RowSet QueryRows(Session& session, std::u16string_view sql, bool updatable)
{
    RowSet set;
    session.Query(sql, updatable, set);
    return set;
}

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

} // namespace valmorin::ado
