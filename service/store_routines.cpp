#include "service/store_routines.h"

#include "qmt/diag/exception.h"
#include "service/format_sql.h"
#include "service/statement_texts.h"

#include <limits>

void OpenReadOnly(qmt::CAdoRecordset& recordset, const std::u16string& statement, qmt::CAdoConnection& connection)
{
    recordset.open(statement, connection, adOpenUnspecified, adUseClient, adLockUnspecified, adOptionUnspecified);
}

void OpenForwardOnly(qmt::CAdoRecordset& recordset, const std::u16string& statement, qmt::CAdoConnection& connection)
{
    recordset.open(statement, connection, adOpenForwardOnly, adUseServer, adLockReadOnly, adOptionUnspecified);
}

LONG QueryNumber(qmt::CAdoConnection& connection, const std::u16string& statement)
{
    qmt::CAdoRecordset recordset;
    OpenReadOnly(recordset, statement, connection);
    LONG value = 0;
    if (auto row = recordset.begin(); row != recordset.end()) (*row).read(0, value);
    recordset.close();
    return value;
}

LONG LookupTableId(qmt::CAdoConnection& connection, const std::u16string& name)
{
    return QueryNumber(connection, statements::kLookupTableIdHead + name + statements::kLookupTableIdTail);
}

LONG SelectMax(qmt::CAdoConnection& connection, std::u16string_view table, std::u16string_view column,
               const std::u16string& where)
{
    std::u16string statement = statements::kSelectMaxHead;
    statement.append(column).append(statements::kSelectMaxFrom).append(table).append(where);
    return QueryNumber(connection, statement);
}

LONG NextTableId(qmt::CAdoConnection& connection)
{
    const LONG top = SelectMax(connection, u"QM_TABLES", u"ID_TABLE", u"");
    if (top == std::numeric_limits<LONG>::max())
        throw qmt::CException(u"CValmorin",
                              u"The catalogue QM_TABLES holds the identifier 2147483647; no table can be added "
                              u"after it.",
                              static_cast<DWORD>(DISP_E_OVERFLOW));
    return top + 1;
}

namespace {

// The inserts of a new table; false when one of them affected no row.
bool InsertImplicitTable(qmt::CAdoConnection& connection, LONG id, const std::u16string& name)
{
    ServiceText statement;
    FormatSql(statement, statements::kInsertImplicitTable, id, name.c_str());
    if (connection.execute(statement.str(), -1) == 0) return false;
    ServiceText where;
    FormatSql(where, statements::kWhereTableIdQuoted, id);
    const LONG top = SelectMax(connection, u"QM_DICO", u"ID_COL", where.str());
    FormatSql(statement, statements::kInsertImplicitColumn, id, top + 1, u"INPUT", 1);
    if (connection.execute(statement.str(), -1) == 0) return false;
    FormatSql(statement, statements::kInsertImplicitColumn, id, top + 2, u"OUTPUT", 0);
    return connection.execute(statement.str(), -1) != 0;
}

} // namespace

LONG CreateImplicitTable(qmt::CAdoConnection& connection, const std::u16string& name)
{
    const LONG id = NextTableId(connection);
    return InsertImplicitTable(connection, id, name) ? id : 0;
}

bool EntryExists(qmt::CAdoConnection& connection, const std::u16string& input, LONG tableId)
{
    ServiceText statement;
    FormatSql(statement, statements::kCountEntries, tableId, input.c_str());
    return QueryNumber(connection, statement.str()) == 1;
}
