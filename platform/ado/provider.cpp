#include "platform/ado/provider.h"
#include "platform/ado/sql_lexer.h"
#include "platform/text/ascii.h"

#include <mutex>

namespace ado {

namespace {

std::u16string Trim(std::u16string_view text)
{
    const auto first = text.find_first_not_of(u" \t");
    if (first == std::u16string_view::npos) return {};
    const auto last = text.find_last_not_of(u" \t");
    return std::u16string(text.substr(first, last - first + 1));
}

// A value may be quoted with " or ' to hold a semicolon; a doubled quote
// inside stands for itself.
std::size_t ReadValue(std::u16string_view text, std::size_t pos, std::u16string& value)
{
    while (pos < text.size() && (text[pos] == u' ' || text[pos] == u'\t')) ++pos;
    if (pos < text.size() && (text[pos] == u'"' || text[pos] == u'\'')) {
        const char16_t quote = text[pos++];
        for (; pos < text.size(); ++pos) {
            if (text[pos] == quote) {
                if (pos + 1 < text.size() && text[pos + 1] == quote) {
                    value.push_back(quote);
                    ++pos;
                    continue;
                }
                ++pos;
                break;
            }
            value.push_back(text[pos]);
        }
        const auto end = text.find(u';', pos);
        return end == std::u16string_view::npos ? text.size() : end + 1;
    }
    const auto end = text.find(u';', pos);
    const auto stop = end == std::u16string_view::npos ? text.size() : end;
    value = Trim(text.substr(pos, stop - pos));
    return end == std::u16string_view::npos ? text.size() : end + 1;
}

class ProviderTable {
public:
    static ProviderTable& Instance()
    {
        static ProviderTable table;
        return table;
    }
    std::mutex mutex;
    std::map<std::u16string, std::shared_ptr<Provider>> providers;
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

ConnectionString::ConnectionString(std::u16string_view text) : m_text(text)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto equals = text.find(u'=', pos);
        const auto semicolon = text.find(u';', pos);
        if (equals == std::u16string_view::npos || (semicolon != std::u16string_view::npos && semicolon < equals)) {
            pos = semicolon == std::u16string_view::npos ? text.size() : semicolon + 1;
            continue;
        }
        const std::u16string key = text::AsciiUpper(Trim(text.substr(pos, equals - pos)));
        std::u16string value;
        pos = ReadValue(text, equals + 1, value);
        if (!key.empty()) m_values[key] = value;
    }
}

std::u16string ConnectionString::Get(std::u16string_view key) const
{
    const auto it = m_values.find(text::AsciiUpper(key));
    return it == m_values.end() ? std::u16string() : it->second;
}

std::vector<std::u16string> ConnectionString::Keys() const
{
    std::vector<std::u16string> keys;
    for (const auto& entry : m_values) keys.push_back(entry.first);
    return keys;
}

void RegisterProvider(std::shared_ptr<Provider> provider)
{
    auto& table = ProviderTable::Instance();
    std::lock_guard lock(table.mutex);
    table.providers[text::AsciiUpper(provider->Name())] = std::move(provider);
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

} // namespace ado
