// A driver's diagnostic records: the SQLSTATE gives the HRESULT
// (sql_state.h), except that HY000 from the SQLite driver takes the HRESULT
// of SQLite's result code, as the SQLite provider gives it
// (platform/ado/sqlite/errors.cpp).
#include "platform/ado/odbc/errors.h"

#include "platform/ado/ado.h"
#include "platform/ado/sql_state.h"

#include <algorithm>
#include <optional>

namespace valmorin::ado::odbc {

namespace {

ProviderError Error(HRESULT number, std::u16string_view description, std::u16string_view sqlState, LONG native = 0)
{
    return AdoError(number, kSource, description, sqlState, native);
}

// One diagnostic record; nullopt past the last. A longer message comes cut
// at the buffer's size.
std::optional<ProviderError> Record(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, std::u16string& buffer,
                                    NativeMapping native)
{
    SQLWCHAR state[6] = {};
    SQLINTEGER code = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &code, buffer.data(),
                                        static_cast<SQLSMALLINT>(buffer.size()), &length);
    if (!SQL_SUCCEEDED(rc)) return std::nullopt;
    const auto units = std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                             buffer.size() - 1);
    std::u16string sqlState(state, 5);
    const HRESULT number = native && sqlState == u"HY000" ? native(code) : HResultOfSqlState(sqlState);
    return Error(number, buffer.substr(0, units), std::move(sqlState), code);
}

} // namespace

void Throw(HRESULT number, std::u16string description, std::u16string sqlState)
{
    throw ProviderFailure{{Error(number, std::move(description), std::move(sqlState))}};
}

void ThrowFromHandle(SQLSMALLINT type, SQLHANDLE handle, std::u16string_view what, NativeMapping native)
{
    ProviderFailure failure;
    std::u16string buffer(1024, u'\0');
    for (SQLSMALLINT record = 1;; ++record) {
        std::optional<ProviderError> error = Record(type, handle, record, buffer, native);
        if (!error) break;
        failure.errors.push_back(std::move(*error));
    }
    if (failure.errors.empty())
        failure.errors.push_back(
            Error(E_FAIL, u"The ODBC driver failed " + std::u16string(what) + u" without saying why.", u"HY000"));
    throw failure;
}

void Check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, std::u16string_view what, NativeMapping native)
{
    if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA) return;
    if (rc == SQL_INVALID_HANDLE) Throw(E_FAIL, u"The ODBC driver refused a handle " + std::u16string(what) + u".");
    ThrowFromHandle(type, handle, what, native);
}

} // namespace valmorin::ado::odbc
