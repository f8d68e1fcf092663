// The table catalogue: listing, describing and testing tables, and creating
// and deleting them with their columns and correspondences.
#include "qmt/db/ado_transaction.h"
#include "service/call_frame.h"
#include "service/format_sql.h"
#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"
#include "service/table_columns.h"

namespace {

constexpr std::u16string_view kTableItem =
    u"{\"id\": \"%d\", \"name\": \"%s\", \"description\": \"%s\", \"input\": \"%d\", \"output\": \"%d\", "
    u"\"lastactionuser\": \"%s\"}";
constexpr std::u16string_view kColumnItem = u"{\"id\": \"%d\", \"name\": \"%s\", \"inout\": \"%d\"}";

void AppendTableItem(std::u16string& out, const qmt::CAdoRecord& row)
{
    std::u16string lastUser;
    AppendJsonEscaped(lastUser, ReadText(row, 5), false);
    AppendItem(out, kTableItem,
               {Decimal(ReadNumber(row, 0)), EscapeJsonText(ReadText(row, 1)), EscapeJsonText(ReadText(row, 2)),
                Decimal(ReadNumber(row, 3)), Decimal(ReadNumber(row, 4)), lastUser});
}

void AppendColumnItem(std::u16string& out, const qmt::CAdoRecord& row)
{
    AppendItem(out, kColumnItem,
               {Decimal(ReadNumber(row, 0)), EscapeJsonText(ReadText(row, 1)), Decimal(ReadNumber(row, 2))});
}

} // namespace

HRESULT CValmorin::TableList(BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        JsonListEnvelope listing;
        ForEachRow(m_connection, statements::kListTables,
                   [&](const qmt::CAdoRecord& row) { AppendTableItem(listing.NextItem(), row); });
        *List = listing.Close();
        return S_OK;
    });
}

HRESULT CValmorin::TableColumns(BSTR Name, BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        JsonListEnvelope listing;
        ForEachRow(m_connection, QuotedStatement(statements::kListColumns, Name),
                   [&](const qmt::CAdoRecord& row) { AppendColumnItem(listing.NextItem(), row); });
        *List = listing.Close();
        return S_OK;
    });
}

HRESULT CValmorin::TableDescription(BSTR Name, BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        qmt::CAdoRecordset recordset;
        OpenReadOnly(recordset, QuotedStatement(statements::kSelectDescription, Name), m_connection);
        ServiceText description;
        if (auto row = recordset.begin(); row != recordset.end()) description = EscapeJsonText(ReadText(*row, 0));
        recordset.close();
        *List = description.copy();
        return S_OK;
    });
}

HRESULT CValmorin::TableExists(BSTR Name, LONG* bRetVal)
{
    if (bRetVal == nullptr) return E_POINTER;
    *bRetVal = 0;
    return ServiceCallFrame({.truth = bRetVal}, [&] {
        *bRetVal = LookupTableId(m_connection, Quoted(Name)) != 0 ? 1 : 0;
        return S_OK;
    });
}

HRESULT CValmorin::TableCreate(BSTR User, BSTR Name, BSTR Description, BSTR ColumnsNameToAdd,
                               BSTR ColumnsTypeToAdd)
{
    return ServiceCallFrame({}, [&] {
        const auto names = SplitList(ServiceText::FromBstr(ColumnsNameToAdd).str(), ListSeparator);
        const auto types = SplitList(ServiceText::FromBstr(ColumnsTypeToAdd).str(), ListSeparator);
        RequireColumnTypes(names, types);

        qmt::CAdoTransaction transaction(m_connection);
        const LONG id = NextTableId(m_connection);
        ServiceText statement;
        FormatSql(statement, statements::kInsertTable, id, Quoted(Name).c_str(),
                  EscapeSqlText(ServiceText::FromBstr(Description).str()).c_str(),
                  EscapeSqlText(ServiceText::FromBstr(User).str()).c_str());
        m_connection.execute(statement.str(), -1);
        for (std::size_t i = 0; i < names.size(); ++i)
            InsertColumn(m_connection, id, static_cast<LONG>(i + 1), names[i], types[i]);
        transaction.commit();
        return S_OK;
    });
}

HRESULT CValmorin::TableDelete(BSTR Name)
{
    return ServiceCallFrame({}, [&] {
        qmt::CAdoTransaction transaction(m_connection);
        // The correspondences and columns first: they find their table
        // through its catalogue row.
        for (const char16_t* format :
             {statements::kDeleteTableEntries, statements::kDeleteTableColumns, statements::kDeleteTable})
            m_connection.execute(QuotedStatement(format, Name), -1);
        transaction.commit();
        return S_OK;
    });
}
