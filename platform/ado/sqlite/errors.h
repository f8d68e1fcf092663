// How SQLite's result codes reach the ADO objects: an HRESULT, an SQLSTATE
// and the database's own message, thrown as a ProviderFailure.
#pragma once

#include "platform/ado/provider.h"

#include <sqlite3.h>

#include <string>

namespace valmorin::ado::sqlite {

inline constexpr std::u16string_view kSource = u"SQLite";

[[noreturn]] void Throw(HRESULT number, std::u16string description, int native = 0,
                        std::u16string sqlState = u"HY000");
[[noreturn]] void ThrowFromDatabase(sqlite3* db, int rc);

} // namespace valmorin::ado::sqlite
