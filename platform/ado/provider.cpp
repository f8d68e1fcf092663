#include "platform/ado/provider.h"
#include "platform/ado/ado.h"
#include "platform/ado/statement_text.h"
#include "platform/text/utf.h"

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

std::u16string RowUpdateHead(const RowSet& set, const std::vector<ColumnChange>& changes)
{
    std::u16string sql = u"UPDATE " + QuoteIdentifier(set.baseTable) + u" SET ";
    for (std::size_t i = 0; i < changes.size(); ++i) {
        if (i > 0) sql += u", ";
        sql += QuoteIdentifier(set.baseColumns.at(changes[i].column)) + u" = ?";
    }
    return sql + u" WHERE ";
}

void RowSet::Clear()
{
    columns.clear();
    values.clear();
    rows = 0;
    baseTable.clear();
    baseColumns.clear();
    rowIds.clear();
}

namespace {

// A cursor over rows fetched whole: each row is moved out in its turn.
class FetchedRowsCursor final : public RowCursor {
public:
    FetchedRowsCursor(Session& session, std::u16string_view sql, std::span<const BoundValue> values)
    {
        session.Query(sql, values, false, kAllRows, m_rows);
    }

    bool Next(RowSet& row) override
    {
        row.values.clear();
        row.rows = 0;
        if (row.columns.empty()) row.columns = m_rows.columns;
        if (m_next >= m_rows.rows) return false;
        const std::size_t width = m_rows.columns.size();
        for (std::size_t column = 0; column < width; ++column)
            row.values.push_back(std::move(m_rows.At(m_next, column)));
        row.rows = 1;
        ++m_next;
        return true;
    }

private:
    RowSet m_rows;
    std::size_t m_next = 0;
};

} // namespace

void RefuseMismatchedValues(std::size_t markers, std::size_t values)
{
    if (markers == values) return;
    throw ProviderFailure{{AdoError(DB_E_ERRORSINCOMMAND, u"ADODB.Command",
                                    u"The command has " + text::Widen(std::to_string(markers)) +
                                        u" parameter markers for " + text::Widen(std::to_string(values)) + u" values.",
                                    u"07002")}};
}

BoundValue BoundOf(const VARIANT& value, std::u16string_view source)
{
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL: return {};
    case VT_I2: return {BoundValue::Kind::Number, {}, value.iVal};
    case VT_I4: return {BoundValue::Kind::Number, {}, value.lVal};
    case VT_BOOL: return {BoundValue::Kind::Number, {}, value.boolVal ? 1 : 0};
    case VT_BSTR: return {BoundValue::Kind::Text, {value.bstrVal ? value.bstrVal : u"", SysStringLen(value.bstrVal)}};
    default:
        throw ProviderFailure{
            {AdoError(DB_E_CANTCONVERTVALUE, source, u"The value's type cannot be stored in the database.", u"HY004")}};
    }
}

std::unique_ptr<RowCursor> Session::OpenCursor(std::u16string_view sql, std::span<const BoundValue> values)
{
    return std::make_unique<FetchedRowsCursor>(*this, sql, values);
}

RowSet QueryRows(Session& session, std::u16string_view sql, bool updatable)
{
    RowSet set;
    session.Query(sql, {}, updatable, kAllRows, set);
    return set;
}

} // namespace valmorin::ado
