// Look-ups and identifier allocation shared by the service's methods.
#pragma once

#include "qmt/db/ado_connection.h"
#include "qmt/db/ado_recordset.h"

#include <string>

// Opens the statement with the arguments of every read-only query.
void OpenReadOnly(qmt::CAdoRecordset& recordset, const qmt::AdoStatement& statement, qmt::CAdoConnection& connection);
// Opens the statement read-only with a cursor that holds one row at a time,
// for statements whose rows may be many.
void OpenForwardOnly(qmt::CAdoRecordset& recordset, const qmt::AdoStatement& statement,
                     qmt::CAdoConnection& connection);
// The ID_TABLE of the named table, 0 when there is none.
LONG LookupTableId(qmt::CAdoConnection& connection, qmt::TextArgument name);
// The identifier of a new table: one above the largest in the catalogue;
// refused when the largest is the top of the range.
LONG NextTableId(qmt::CAdoConnection& connection);
// Creates a table with the columns INPUT and OUTPUT inside the caller's
// transaction, which holds the writers' lock; returns its ID_TABLE, 0 when
// a statement affected no row (the caller then rolls back).
LONG CreateImplicitTable(qmt::CAdoConnection& connection, const std::u16string& name);
// True when the table holds exactly one row with that INPUT.
bool EntryExists(qmt::CAdoConnection& connection, const std::u16string& input, LONG tableId);
// Field 0 of the first row of a read-only query, as a 32-bit number.
LONG QueryNumber(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement);
