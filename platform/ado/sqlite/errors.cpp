// Result codes, as the ADO objects report them:
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
#include "platform/ado/sqlite/errors.h"

#include "platform/ado/ado.h"

namespace valmorin::ado::sqlite {

HRESULT MapResultCode(int rc)
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

std::u16string SqlState(int rc)
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

void Throw(HRESULT number, std::u16string description, int native, std::u16string sqlState)
{
    throw ProviderFailure{{AdoError(number, kSource, description, sqlState, native)}};
}

void ThrowFromDatabase(sqlite3* db, int rc)
{
    const auto* message = static_cast<const char16_t*>(sqlite3_errmsg16(db));
    Throw(MapResultCode(rc), message ? message : u"SQLite error", sqlite3_extended_errcode(db), SqlState(rc));
}

} // namespace valmorin::ado::sqlite
