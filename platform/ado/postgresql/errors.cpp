// The server's errors: its SQLSTATE gives the HRESULT (sql_state.h).
#include "platform/ado/postgresql/errors.h"

#include "platform/ado/ado.h"
#include "platform/ado/sql_state.h"
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
    const std::u16string wideState = Wide(sqlState.c_str());
    Throw(HResultOfSqlState(wideState), Message(primary), wideState);
}

} // namespace valmorin::ado::postgresql
