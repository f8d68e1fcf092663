// The table catalogue: listing, describing and testing tables, and creating
// and deleting them with their columns and correspondences.
#include "service/call_frame.h"
#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"
#include "service/store_routines.h"
#include "service/table_changes.h"
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

void DeleteTable(qmt::CAdoConnection& connection, std::u16string_view name)
{
    // The correspondences and columns first: they find their table
    // through its catalogue row.
    const qmt::TextArgument quoted = qmt::Doubled(name);
    connection.execute(Sql<statements::kDeleteTableEntries>(quoted), -1);
    connection.execute(Sql<statements::kDeleteTableColumns>(quoted), -1);
    connection.execute(Sql<statements::kDeleteTable>(quoted), -1);
}

HRESULT CValmorin::TableList(BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        JsonListEnvelope listing;
        ForEachRow(m_connection, Sql<statements::kListTables>(),
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
        ForEachRow(m_connection, QuotedStatement<statements::kListColumns>(Name),
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
        OpenReadOnly(recordset, QuotedStatement<statements::kSelectDescription>(Name), m_connection);
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
        *bRetVal = LookupTableId(m_connection, qmt::Doubled(TextOf(Name))) != 0 ? 1 : 0;
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

        const TablesChanging changing(*this, {TextOf(Name)});
        WriteTransaction transaction(m_connection, m_history, TextOf(User));
        CreateTable(m_connection,
                    {ServiceText::FromBstr(User).str(), ServiceText::FromBstr(Name).str(),
                     ServiceText::FromBstr(Description).str()},
                    names, types);
        transaction.commit();
        return S_OK;
    });
}

HRESULT CValmorin::TableDelete(BSTR Name)
{
    return ServiceCallFrame({}, [&] {
        const TablesChanging changing(*this, {TextOf(Name)});
        WriteTransaction transaction(m_connection, m_history, u"");
        DeleteTable(m_connection, TextOf(Name));
        transaction.commit();
        return S_OK;
    });
}
