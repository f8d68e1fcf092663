// SQLSTATEs, as the ADO objects report them (the same HRESULTs as the
// PostgreSQL provider's, platform/ado/postgresql/errors.cpp, by class
// where ODBC's own states and the servers' differ):
//   23xxx integrity constraint, P0001 a
//   PostgreSQL trigger's RAISE EXCEPTION         0x80040E2F DB_E_INTEGRITYVIOLATION
//   40001 serialization, 40P01 deadlock,
//   HYT00 / HYT01 time-out, 57014 cancelled      0x80040E31 DB_E_ABORTLIMITREACHED
//   28xxx authorization, 42501 privilege         0x80040E09 DB_SEC_E_PERMISSIONDENIED
//   42xxx and 37000 (ODBC 2) syntax or access    0x80040E14 DB_E_ERRORSINCOMMAND
//   22001 right truncation, 22003 out of range,
//   54xxx a program limit                        0x80040E57 DB_E_DATAOVERFLOW
//   22xxx other data exceptions, 07006           0x80040E07 DB_E_CANTCONVERTVALUE
//   HY001 memory, 53xxx resources                0x8007000E E_OUTOFMEMORY
//   08xxx connection, HY000 and anything else    0x80004005 E_FAIL
// except that HY000 from the SQLite driver takes the HRESULT of SQLite's
// result code, as the SQLite provider gives it (platform/ado/sqlite/errors.cpp).
#include "platform/ado/odbc/errors.h"

#include "platform/ado/ado.h"


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
    const HRESULT number = native && sqlState == u"HY000" ? native(code) : MapSqlState(sqlState);
    return Error(number, buffer.substr(0, units), std::move(sqlState), code);
}

} // namespace

HRESULT MapSqlState(std::u16string_view state)
{
    if (state.size() != 5) return E_FAIL;
    const std::u16string_view cls = state.substr(0, 2);
    if (cls == u"23") return DB_E_INTEGRITYVIOLATION;
    if (state == u"P0001") return DB_E_INTEGRITYVIOLATION; // a trigger's RAISE EXCEPTION: the store's own rule
    if (state == u"40001" || state == u"40P01" || state == u"HYT00" || state == u"HYT01" || state == u"57014")
        return DB_E_ABORTLIMITREACHED;
    if (state == u"42501" || cls == u"28") return DB_SEC_E_PERMISSIONDENIED;
    if (cls == u"42" || state == u"37000") return DB_E_ERRORSINCOMMAND;
    if (state == u"22001" || state == u"22003" || cls == u"54") return DB_E_DATAOVERFLOW;
    if (cls == u"22" || state == u"07006") return DB_E_CANTCONVERTVALUE;
    if (state == u"HY001" || cls == u"53") return E_OUTOFMEMORY;
    return E_FAIL;
}

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
