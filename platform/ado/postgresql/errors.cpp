// SQLSTATEs, as the ADO objects report them (the SQLite provider's result
// codes map to the same HRESULTs: platform/ado/sqlite/errors.cpp):
//   23xxx (23505 unique, 23502 not null, ...),
//   P0001 a trigger's RAISE EXCEPTION          0x80040E2F DB_E_INTEGRITYVIOLATION
//   40001 serialization, 40P01 deadlock,
//   57014 cancelled (statement_timeout),
//   55P03 lock not available                   0x80040E31 DB_E_ABORTLIMITREACHED
//   42501 insufficient privilege, 28xxx        0x80040E09 DB_SEC_E_PERMISSIONDENIED
//   42xxx (syntax, undefined table, ...)       0x80040E14 DB_E_ERRORSINCOMMAND
//   22001 string too long, 22003 out of range,
//   54xxx a program limit (an index row too
//   long, say)                                 0x80040E57 DB_E_DATAOVERFLOW
//   22xxx other data exceptions                0x80040E07 DB_E_CANTCONVERTVALUE
//   53xxx insufficient resources               0x8007000E E_OUTOFMEMORY
//   08xxx connection, anything else            0x80004005 E_FAIL
// A serialization failure or deadlock is a "try again" like SQLite's busy
// store, so callers that retry one retry the other.
#include "platform/ado/postgresql/errors.h"

#include "platform/ado/ado.h"
#include "platform/text/utf.h"

namespace valmorin::ado::postgresql {

namespace {

std::u16string Wide(const char* utf8)
{
    const std::string_view text(utf8 ? utf8 : "");
    if (auto wide = text::Utf8ToUtf16(text)) return *wide;
    return text::Widen(std::string(text));
}

// libpq's messages end with a line feed; the Description does not.
std::u16string Message(const char* utf8)
{
    std::u16string message = Wide(utf8);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u' ')) message.pop_back();
    return message.empty() ? std::u16string(u"PostgreSQL error") : message;
}

} // namespace

HRESULT MapSqlState(std::string_view state)
{
    if (state.size() != 5) return E_FAIL;
    const std::string_view cls = state.substr(0, 2);
    if (cls == "23") return DB_E_INTEGRITYVIOLATION;
    if (state == "P0001") return DB_E_INTEGRITYVIOLATION; // a trigger's RAISE EXCEPTION: the store's own rule
    if (state == "40001" || state == "40P01" || state == "57014" || state == "55P03") return DB_E_ABORTLIMITREACHED;
    if (state == "42501" || cls == "28") return DB_SEC_E_PERMISSIONDENIED;
    if (cls == "42") return DB_E_ERRORSINCOMMAND;
    if (state == "22001" || state == "22003" || cls == "54") return DB_E_DATAOVERFLOW;
    if (cls == "22") return DB_E_CANTCONVERTVALUE;
    if (cls == "53") return E_OUTOFMEMORY;
    return E_FAIL;
}

void Throw(HRESULT number, std::u16string description, std::u16string sqlState)
{
    ProviderError error;
    error.number = number;
    error.source = kSource;
    error.description = std::move(description);
    error.sqlState = std::move(sqlState);
    throw ProviderFailure{{std::move(error)}};
}

void ThrowFromResult(const PGresult* result, const PGconn* connection)
{
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (!primary) primary = result ? PQresultErrorMessage(result) : nullptr;
    if (!primary || !*primary) primary = PQerrorMessage(connection);
    // Without an SQLSTATE the server was not reached or the link broke.
    const std::string sqlState = state ? state : "08006";
    Throw(MapSqlState(sqlState), Message(primary), Wide(sqlState.c_str()));
}

} // namespace valmorin::ado::postgresql
