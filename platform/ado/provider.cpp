#include "platform/ado/provider.h"
#include "platform/ado/sql_lexer.h"

namespace valmorin::ado {

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

} // namespace valmorin::ado
