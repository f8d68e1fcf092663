// TableUpdate: renames a table and its columns, deletes and adds columns,
// and rewrites every stored value so each correspondence keeps one value per
// remaining column and an empty one per new column, all in one transaction.
#include "service/call_frame.h"
#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"
#include "service/table_changes.h"
#include "service/table_columns.h"

#include <algorithm>
#include <climits>

namespace {

// Columns added to no table would be rows of no table: refused, and the
// transaction (the rename of a table, if any) rolled back. Renames and
// deletions of columns of no table match nothing and change nothing.
[[noreturn]] void RefuseMissingTable(std::u16string_view name)
{
    throw qmt::CException(u"CValmorin",
                          u"No table is named \"" + std::u16string(name) +
                              u"\"; no column can be added to it, and nothing was changed.",
                          static_cast<DWORD>(E_INVALIDARG));
}

// Where the deleted columns' values stand in the stored fields, and what the
// added columns append to them.
struct ValueLayout {
    std::vector<LONG> inputPositions, outputPositions;
    std::u16string inputSuffix, outputSuffix;
};

bool Contains(const std::vector<LONG>& numbers, LONG number)
{
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

std::vector<std::u16string> Items(BSTR list) { return SplitList(ServiceText::FromBstr(list).str(), ListSeparator); }

// The ids of the columns to rename, each read as a number the way the C
// runtime reads one: " 2x" is 2, "+3" is 3, "abc" is 0. An id that matches
// no column is ignored, so a mistyped one renames nothing.
std::vector<LONG> RenameIds(BSTR idsToUpdate)
{
    std::vector<LONG> ids;
    for (const std::u16string& item : Items(idsToUpdate)) ids.push_back(ParseLeadingNumber(item));
    return ids;
}

// All five lists, checked before the store is touched. The ids of the
// columns to delete are read strictly: a mistyped id there would delete
// another column's values for good.
ColumnLists ReadColumnLists(BSTR namesToAdd, BSTR typesToAdd, BSTR idsToUpdate, BSTR namesToUpdate, BSTR idsToDel)
{
    ColumnLists lists{Items(namesToAdd), Items(typesToAdd), Items(namesToUpdate), RenameIds(idsToUpdate),
                      ParseColumnIds(Items(idsToDel), u"ColumnsIdToDel")};
    RequireColumnTypes(lists.addNames, lists.addTypes);
    if (lists.delIds.empty() && !ServiceText::FromBstr(idsToDel).empty())
        RejectArgument(u"ColumnsIdToDel holds separators but no column id.");
    return lists;
}

void OpenForUpdate(qmt::CAdoRecordset& recordset, const qmt::AdoStatement& statement, qmt::CAdoConnection& connection)
{
    recordset.open(statement, connection, adOpenStatic, adUseClient, adLockPessimistic, adOptionUnspecified);
}

void UpdateTableRow(qmt::CAdoConnection& connection, const TableUpdateRequest& request)
{
    const auto name = qmt::Doubled(request.name), user = qmt::Doubled(request.user),
               previousName = qmt::Doubled(request.previousName);
    connection.execute(request.description ? Sql<statements::kRenameTableDescribed>(
                                                 name, qmt::Doubled(*request.description), user, previousName)
                                           : Sql<statements::kRenameTable>(name, user, previousName),
                       -1);
}

// The first matching id names the column; the new name goes through the
// recordset, so it is stored as given. A matching id without a name at its
// place refuses the whole call (ids that match nothing need none).
void RenameColumn(qmt::CAdoRecordset& recordset, qmt::CAdoRecord& record, LONG columnId, const ColumnLists& lists)
{
    const auto match = std::find(lists.updIds.begin(), lists.updIds.end(), columnId);
    if (match == lists.updIds.end()) return;
    const auto position = static_cast<std::size_t>(match - lists.updIds.begin());
    if (position >= lists.updNames.size())
        RejectArgument(u"ColumnsIdToUpdate item " + Decimal(static_cast<LONG>(position + 1)) + u" names column " +
                       Decimal(columnId) + u", but ColumnsNameToUpdate has " +
                       Decimal(static_cast<LONG>(lists.updNames.size())) + u" items; nothing was changed.");
    const std::u16string& name = lists.updNames[position];
    CComBSTR stored;
    record.read(2, stored);
    if (stored.view() == name) return;
    record.write(2, CComBSTR(name));
    recordset.updateBatch(adAffectAll);
}

// Walks the columns in ID_COL order: renames, notes the stored-value
// positions of the columns to delete (deleted columns still hold a value in
// every row), and returns the last ID_COL, -1 without columns.
LONG ScanColumns(qmt::CAdoConnection& connection, LONG tableId, const ColumnLists& lists, ValueLayout& layout)
{
    qmt::CAdoRecordset recordset;
    OpenForUpdate(recordset, Sql<statements::kScanColumns>(tableId), connection);
    LONG inputs = 0, outputs = 0, lastColumnId = -1;
    for (auto row = recordset.begin(); row != recordset.end(); ++row) {
        qmt::CAdoRecord record = *row;
        const LONG columnId = ReadNumber(record, 0);
        const bool input = ReadNumber(record, 1) == 1;
        LONG& position = input ? inputs : outputs;
        if (Contains(lists.delIds, columnId))
            (input ? layout.inputPositions : layout.outputPositions).push_back(position);
        ++position;
        lastColumnId = columnId;
        RenameColumn(recordset, record, columnId, lists);
    }
    recordset.close();
    return lastColumnId;
}

void DeleteColumns(qmt::CAdoConnection& connection, LONG tableId, const std::vector<LONG>& ids)
{
    if (ids.empty()) return;
    std::u16string list;
    for (LONG id : ids) list.append(list.empty() ? u"" : u",").append(Decimal(id));
    connection.execute(Sql<statements::kDeleteColumns>(tableId, qmt::StatementPiece(list)), -1);
}

// New columns follow the highest ID_COL, deleted ones included, so a
// number is never reused within the call.
void AddColumns(qmt::CAdoConnection& connection, LONG tableId, LONG lastColumnId, const ColumnLists& lists,
                ValueLayout& layout)
{
    if (lastColumnId > INT_MAX - static_cast<LONG>(lists.addNames.size()))
        throw qmt::CException(u"CValmorin",
                              u"The table's column numbers have reached 2147483647; no column can be added.",
                              static_cast<DWORD>(DISP_E_OVERFLOW));
    for (std::size_t i = 0; i < lists.addNames.size(); ++i) {
        InsertColumn(connection, tableId, lastColumnId + 1 + static_cast<LONG>(i), lists.addNames[i],
                     lists.addTypes[i]);
        (lists.addTypes[i] == u"1" ? layout.inputSuffix : layout.outputSuffix) += ValueSeparator;
    }
}

// The stored values without those at the deleted positions, then one empty
// value per added column. Trailing empty values are not kept apart from
// missing ones, so they drop out.
std::u16string Rewritten(std::u16string_view stored, const std::vector<LONG>& deleted, std::u16string_view suffix)
{
    std::u16string result;
    result.reserve(stored.size() + suffix.size());
    bool first = true;
    LONG position = 0;
    for (const std::u16string& value : SplitList(stored, ValueSeparator)) {
        if (Contains(deleted, position++)) continue;
        if (!first) result += ValueSeparator;
        result += value;
        first = false;
    }
    return result.append(suffix);
}

// One pass over the table's rows, one row update each.
void RewriteValues(qmt::CAdoConnection& connection, LONG tableId, const ValueLayout& layout)
{
    qmt::CAdoRecordset recordset;
    OpenForUpdate(recordset, Sql<statements::kScanValues>(tableId), connection);
    for (auto row = recordset.begin(); row != recordset.end(); ++row) {
        qmt::CAdoRecord record = *row;
        record.write(0, Rewritten(ReadText(record, 0), layout.inputPositions, layout.inputSuffix));
        record.write(1, Rewritten(ReadText(record, 1), layout.outputPositions, layout.outputSuffix));
        recordset.updateBatch(adAffectAll);
    }
    recordset.close();
}

} // namespace

void UpdateTable(qmt::CAdoConnection& connection, const TableUpdateRequest& request)
{
    const ColumnLists& lists = request.columns;
    UpdateTableRow(connection, request);
    const LONG id = QueryNumber(connection, Sql<statements::kSelectTableId>(qmt::Doubled(request.name)));
    if (id == 0 && !lists.addNames.empty()) RefuseMissingTable(request.name);
    ValueLayout layout;
    const LONG lastColumnId = ScanColumns(connection, id, lists, layout);
    DeleteColumns(connection, id, lists.delIds);
    AddColumns(connection, id, lastColumnId, lists, layout);
    if (!lists.addNames.empty() || !lists.delIds.empty()) RewriteValues(connection, id, layout);
}

HRESULT CValmorin::TableUpdate(BSTR User, BSTR PreviousName, BSTR Name, BSTR Description, BSTR ColumnsNameToAdd,
                               BSTR ColumnsTypeToAdd, BSTR ColumnsIdToUpdate, BSTR ColumnsNameToUpdate,
                               BSTR ColumnsIdToDel)
{
    return ServiceCallFrame({}, [&] {
        const ColumnLists lists =
            ReadColumnLists(ColumnsNameToAdd, ColumnsTypeToAdd, ColumnsIdToUpdate, ColumnsNameToUpdate, ColumnsIdToDel);
        const TablesChanging changing(*this, {TextOf(PreviousName), TextOf(Name)});
        WriteTransaction transaction(m_connection, m_history, TextOf(User));
        // A NULL description keeps the stored one; an empty one clears it.
        UpdateTable(m_connection, {TextOf(User), TextOf(PreviousName), TextOf(Name),
                                   Description ? std::optional(TextOf(Description)) : std::nullopt, lists});
        transaction.commit();
        return S_OK;
    });
}
