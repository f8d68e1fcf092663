// How SQLite's result codes reach the ADO objects: mapped by the kit
// (sql_state.h), thrown as a ProviderFailure.
#include "platform/ado/sqlite/errors.h"

#include "platform/ado/ado.h"
#include "platform/ado/sql_state.h"

namespace valmorin::ado::sqlite {

void Throw(HRESULT number, std::u16string description, int native, std::u16string sqlState)
{
    throw ProviderFailure{{AdoError(number, kSource, description, sqlState, native)}};
}

void ThrowFromDatabase(sqlite3* db, int rc)
{
    const auto* message = static_cast<const char16_t*>(sqlite3_errmsg16(db));
    Throw(HResultOfSqliteCode(rc), message ? message : u"SQLite error", sqlite3_extended_errcode(db),
          SqlStateOfSqliteCode(rc));
}

} // namespace valmorin::ado::sqlite
