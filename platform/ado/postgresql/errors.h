// How the server's errors reach the ADO objects: its SQLSTATE, its message
// and an HRESULT chosen by the SQLSTATE, thrown as a ProviderFailure.
#pragma once

#include "platform/ado/provider.h"

#include <libpq-fe.h>

#include <string>
#include <string_view>

namespace valmorin::ado::postgresql {

inline constexpr std::u16string_view kSource = u"PostgreSQL";

[[noreturn]] void Throw(HRESULT number, std::u16string description, std::u16string sqlState = u"HY000");
// The error of a failed result, or of the connection when there is no result.
[[noreturn]] void ThrowFromResult(const PGresult* result, const PGconn* connection);

} // namespace valmorin::ado::postgresql
