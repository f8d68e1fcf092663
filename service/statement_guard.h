// Values that some statements carry unescaped inside N'...' literals. An
// apostrophe in such a value would end the literal and let the rest of the
// value become part of the statement, so such a value is refused before any
// statement is built from it, as the database refuses a malformed one.
#pragma once

#include "qmt/db/ado_connection.h"

#include <string>

// Throws a qmt::CException (DB_E_ERRORSINCOMMAND, the provider as source)
// naming the argument when value holds an apostrophe.
void RefuseApostrophe(const qmt::CAdoConnection& connection, std::u16string_view argument, std::u16string_view value);
