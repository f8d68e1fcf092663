#include "platform/ado/sql_state.h"

#include "platform/ado/ado.h"

#include <sqlite3.h>

namespace valmorin::ado {

HRESULT HResultOfSqlState(std::u16string_view state)
{
    if (state.size() != 5) return E_FAIL;
    const std::u16string_view cls = state.substr(0, 2);
    if (cls == u"23" || state == u"P0001") return DB_E_INTEGRITYVIOLATION; // P0001: the store's own rule
    if (state == u"40001" || state == u"40P01" || state == u"57014" || state == u"55P03" || state == u"HYT00" ||
        state == u"HYT01")
        return DB_E_ABORTLIMITREACHED;
    if (state == u"42501" || cls == u"28") return DB_SEC_E_PERMISSIONDENIED;
    if (cls == u"42" || state == u"37000") return DB_E_ERRORSINCOMMAND;
    if (state == u"22001" || state == u"22003" || cls == u"54") return DB_E_DATAOVERFLOW;
    if (cls == u"22" || state == u"07006") return DB_E_CANTCONVERTVALUE;
    if (state == u"HY001" || cls == u"53") return E_OUTOFMEMORY;
    return E_FAIL;
}

// SQLite's result codes, as the ADO objects report them:
//   SQLITE_ERROR (rejected statement)       0x80040E14 DB_E_ERRORSINCOMMAND
//   SQLITE_CONSTRAINT                        0x80040E2F DB_E_INTEGRITYVIOLATION
//   SQLITE_BUSY, SQLITE_LOCKED (after wait),
//   SQLITE_PROTOCOL (WAL locks held past
//   SQLite's own retries)                    0x80040E31 DB_E_ABORTLIMITREACHED
//   SQLITE_MISMATCH                          0x80040E07 DB_E_CANTCONVERTVALUE
//   SQLITE_TOOBIG, SQLITE_RANGE              0x80040E57 DB_E_DATAOVERFLOW
//   SQLITE_READONLY, SQLITE_PERM, SQLITE_AUTH 0x80040E09 DB_SEC_E_PERMISSIONDENIED
//   SQLITE_NOMEM                             0x8007000E E_OUTOFMEMORY
//   anything else (I/O, corrupt, cannot open) 0x80004005 E_FAIL
HRESULT HResultOfSqliteCode(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_ERROR: return DB_E_ERRORSINCOMMAND;
    case SQLITE_CONSTRAINT: return DB_E_INTEGRITYVIOLATION;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL: return DB_E_ABORTLIMITREACHED;
    case SQLITE_MISMATCH: return DB_E_CANTCONVERTVALUE;
    case SQLITE_TOOBIG:
    case SQLITE_RANGE: return DB_E_DATAOVERFLOW;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return DB_SEC_E_PERMISSIONDENIED;
    case SQLITE_NOMEM: return E_OUTOFMEMORY;
    default: return E_FAIL;
    }
}

std::u16string SqlStateOfSqliteCode(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_ERROR: return u"42000";
    case SQLITE_CONSTRAINT: return u"23000";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL: return u"HYT00";
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB: return u"08001";
    default: return u"HY000";
    }
}

} // namespace valmorin::ado
