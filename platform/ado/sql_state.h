// The HRESULT an SQLSTATE stands for, for every provider whose database or
// driver reports SQLSTATEs (PostgreSQL's own, and ODBC's, whose drivers pass
// their servers' states on or map to ODBC's):
//   23xxx integrity constraint, P0001 a
//   PostgreSQL trigger's RAISE EXCEPTION          0x80040E2F DB_E_INTEGRITYVIOLATION
//   40001 serialization, 40P01 deadlock, 57014
//   cancelled, 55P03 lock not available,
//   HYT00 / HYT01 time-out                        0x80040E31 DB_E_ABORTLIMITREACHED
//   28xxx authorization, 42501 privilege          0x80040E09 DB_SEC_E_PERMISSIONDENIED
//   42xxx and 37000 (ODBC 2) syntax or access     0x80040E14 DB_E_ERRORSINCOMMAND
//   22001 right truncation, 22003 out of range,
//   54xxx a program limit (an index row too long) 0x80040E57 DB_E_DATAOVERFLOW
//   22xxx other data exceptions, 07006            0x80040E07 DB_E_CANTCONVERTVALUE
//   HY001 memory, 53xxx resources                 0x8007000E E_OUTOFMEMORY
//   08xxx connection, HY000 and anything else     0x80004005 E_FAIL
// SQLite's result codes map to the same HRESULTs, for the SQLite provider
// and for ODBC's SQLite driver, which reports them as its native codes. A serialization failure or deadlock is a "try
// again", like SQLite's busy store, so callers that retry one retry the other.
#pragma once

#include "valmorin/com/types.h"

#include <string>
#include <string_view>

namespace valmorin::ado {

HRESULT HResultOfSqlState(std::u16string_view state);

HRESULT HResultOfSqliteCode(int rc);
std::u16string SqlStateOfSqliteCode(int rc);

} // namespace valmorin::ado
