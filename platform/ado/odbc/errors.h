// How a driver's diagnostic records reach the ADO objects: every record in
// the Errors list with its SQLSTATE, native error and message, the HRESULT
// chosen by the SQLSTATE, thrown as a ProviderFailure.
#pragma once

#include "platform/ado/provider.h"

#include "platform/ado/odbc/odbc_api.h"

#include <string>
#include <string_view>

namespace valmorin::ado::odbc {

inline constexpr std::u16string_view kSource = u"ODBC";

// The HRESULT a driver's native error code gives a record whose SQLSTATE is
// the general HY000: the SQLite driver reports every error so, with
// SQLite's result code as the native error.
using NativeMapping = HRESULT (*)(SQLINTEGER native);

[[noreturn]] void Throw(HRESULT number, std::u16string description, std::u16string sqlState = u"HY000");
// The diagnostic records of a failed call on the handle; what names the
// call, for a driver that failed without leaving any record.
[[noreturn]] void ThrowFromHandle(SQLSMALLINT type, SQLHANDLE handle, std::u16string_view what,
                                  NativeMapping native = nullptr);
// Raises the failure of a call that returned rc on the handle, if it failed.
void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, std::u16string_view what,
           NativeMapping native = nullptr);

} // namespace valmorin::ado::odbc
