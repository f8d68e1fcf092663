#include "service/store_routines.h"

#include "qmt/diag/exception.h"
#include "service/statement_texts.h"

#include <limits>

void OpenReadOnly(qmt::CAdoRecordset& recordset, const qmt::AdoStatement& statement, qmt::CAdoConnection& connection)
{
    recordset.open(statement, connection, adOpenUnspecified, adUseClient, adLockUnspecified, adOptionUnspecified);
}

void OpenForwardOnly(qmt::CAdoRecordset& recordset, const qmt::AdoStatement& statement, qmt::CAdoConnection& connection)
{
    recordset.open(statement, connection, adOpenForwardOnly, adUseServer, adLockReadOnly, adOptionUnspecified);
}

LONG QueryNumber(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement)
{
    qmt::CAdoRecordset recordset(connection);
    recordset.setMaxRecords(1);
    OpenReadOnly(recordset, statement, connection);
    LONG value = 0;
    if (auto row = recordset.begin(); row != recordset.end()) (*row).read(0, value);
    recordset.close();
    return value;
}

LONG LookupTableId(qmt::CAdoConnection& connection, qmt::TextArgument name)
{
    return QueryNumber(connection, Sql<statements::kLookupTableId>(name));
}

LONG NextTableId(qmt::CAdoConnection& connection)
{
    const LONG top = QueryNumber(connection, Sql<statements::kSelectMaxTableId>());
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
    if (connection.execute(Sql<statements::kInsertImplicitTable>(id, name), -1) == 0) return false;
    const LONG top = QueryNumber(connection, Sql<statements::kSelectMaxColumnId>(id));
    if (connection.execute(Sql<statements::kInsertImplicitColumn>(id, top + 1, u"INPUT", 1), -1) == 0) return false;
    return connection.execute(Sql<statements::kInsertImplicitColumn>(id, top + 2, u"OUTPUT", 0), -1) != 0;
}

} // namespace

LONG CreateImplicitTable(qmt::CAdoConnection& connection, const std::u16string& name)
{
    const LONG id = NextTableId(connection);
    return InsertImplicitTable(connection, id, name) ? id : 0;
}

bool EntryExists(qmt::CAdoConnection& connection, const std::u16string& input, LONG tableId)
{
    return QueryNumber(connection, Sql<statements::kCountEntries>(tableId, input)) == 1;
}
