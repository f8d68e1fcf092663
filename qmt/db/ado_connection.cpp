#include "qmt/db/ado_connection.h"

#include "platform/ado/connection_string.h"
#include "platform/com/com_error.h"
#include "platform/win32/errors.h"
#include "valmorin/com/runtime.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"

#include <memory>

namespace qmt {

CAdoConnection::CAdoConnection() : m_com(COINIT_MULTITHREADED) {}

CAdoConnection::~CAdoConnection()
{
    try {
        close();
    } catch (...) {
        // a failing close cannot be reported from a destructor
    }
}

_Connection& CAdoConnection::handleOrThrow() const
{
    if (!m_handle) throw _com_error(E_POINTER);
    return *m_handle.get();
}

LONG CAdoConnection::state() const
{
    LONG value = adStateClosed;
    ThrowIfFailedHr(handleOrThrow().get_State(&value));
    return value;
}

bool CAdoConnection::isOpen() const { return m_handle && state() == adStateOpen; }

void CAdoConnection::open(const std::u16string& connectionString, const std::u16string& userId,
                          const std::u16string& password)
{
    try {
        if (m_handle && state() == adStateOpen) {
            TraceDebug(u"The connection is aleready opened");
            throw CWinException(ERROR_ACCESS_DENIED);
        }
        if (!m_handle) {
            const HRESULT hr = CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid,
                                                reinterpret_cast<void**>(&m_handle));
            ThrowIfFailedHr(hr);
            keepHandleViews();
        }
        clearErrors();
        m_handle->put_CommandTimeout(m_commandTimeout);
        const HRESULT hr = m_handle->Open(CComBSTR(connectionString).get(), CComBSTR(userId).get(),
                                          CComBSTR(password).get(), adConnectUnspecified);
        if (FAILED(hr)) {
            Trace(LogLevel::Error, u"CAdoConnection::open - error returned by AdoConnection->Open:x%lx", hr);
            // The log is read by others than the store's owner: no password goes there.
            Trace(LogLevel::Error, u"CAdoConnection::open - connection string: \"%s\"",
                  valmorin::ado::MaskPasswords(connectionString).c_str());
        }
        if (state() == adStateOpen) {
            TraceDebug(u"Connection opened");
            m_openedWith = {connectionString, userId, password};
            return;
        }
        raiseProviderErrors();
        throw CWinException(ERROR_ACCESS_DENIED);
    } catch (const _com_error& e) {
        throw CComException(e);
    }
}

void CAdoConnection::close()
{
    m_commands.clear();
    m_lastShape = {};
    m_spareRecordset.Release();
    if (!m_handle) return;
    if (state() == adStateOpen) ThrowIfFailedHr(m_handle->Close());
    m_errors.Release();
    m_dispatch.Release();
    m_handle.Release();
}

// The handle's error list and its IDispatch stay the same for its life:
// asked for once, not at every statement.
void CAdoConnection::keepHandleViews()
{
    m_handle->get_Errors(&m_errors);
    m_handle.QueryInterface(m_dispatch);
}

LONG CAdoConnection::execute(const std::u16string& text, LONG options)
{
    TraceDebug(u"Execute %s", text.c_str());
    return countRows([&](VARIANT* rowsAffected) {
        _Recordset* recordset = nullptr;
        const HRESULT hr = handleOrThrow().Execute(CComBSTR(text).get(), rowsAffected, options, &recordset);
        if (recordset) recordset->Release();
        return hr;
    });
}

LONG CAdoConnection::execute(const AdoStatement& statement, LONG options)
{
    if (Tracer::Current().Enabled()) TraceDebug(u"Execute %s", statement.shown().c_str());
    return countRows(
        [&](VARIANT* rowsAffected) { return command(statement)->Execute(rowsAffected, nullptr, options, nullptr); });
}

template <typename Run>
LONG CAdoConnection::countRows(Run&& run)
{
    try {
        clearErrors();
        CComVariant rowsAffected(LONG{0});
        raiseFailure(run(&rowsAffected));
        const LONG rows = this->rowsAffected(rowsAffected);
        raiseProviderErrors();
        return rows;
    } catch (const _com_error& e) {
        TraceDebug(u"_com_error e:%lu", e.Error());
        throw CComException(e);
    }
}

LONG CAdoConnection::rowsAffected(const VARIANT& count) const
{
    if (count.vt == VT_EMPTY) return 0;
    CComVariant number;
    ThrowIfFailed(VariantChangeType(&number, &count, 0, VT_I4));
    return number.lVal == -1 ? 0 : number.lVal;
}

CComPtr<_Command> CAdoConnection::command(const AdoStatement& statement)
{
    CComPtr<_Command> handle = keptCommand(statement.identity());
    if (!handle) {
        ThrowIfFailedHr(
            CoCreateInstance(CLSID_Command, nullptr, CLSCTX_ALL, _Command::iid, reinterpret_cast<void**>(&handle)));
        ThrowIfFailedHr(handle->putref_ActiveConnection(activeConnection().get()));
        ThrowIfFailedHr(handle->put_CommandText(CComBSTR(statement.sent()).get()));
        // One made without a handle is bound to no connection: kept, it would
        // fail every run after the connection opens.
        if (const void* shape = statement.identity(); shape && m_dispatch) {
            m_commands[shape] = handle;
            m_lastShape = {shape, handle};
        }
    }
    const std::vector<AdoValue>& values = valuesOf(statement);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const AdoValue& value = values[i];
        const auto index = static_cast<LONG>(i);
        ThrowIfFailedHr(value.isText
                            ? handle->put_ParameterText(index, value.text.data(), static_cast<ULONG>(value.text.size()))
                            : handle->put_Parameter(index, CComVariant(value.number)));
    }
    return handle;
}

std::optional<bool> CAdoConnection::readFirstField(const AdoStatement& statement, CComVariant& field)
{
    if (!m_handle) return std::nullopt;
    const std::vector<AdoValue>& values = valuesOf(statement);
    VariantClear(&field);
    clearErrors();
    VARIANT_BOOL hasRow = VARIANT_FALSE;
    const HRESULT hr =
        m_handle->ReadFirstField(statement.sent(), values.data(), static_cast<ULONG>(values.size()), &field, &hasRow);
    if (hr == adErrObjectClosed && errorCount() == 0) return std::nullopt;
    try {
        raiseProviderErrors();
        ThrowIfFailedHr(hr);
    } catch (const _com_error& e) {
        throw CComException(e);
    }
    return hasRow != VARIANT_FALSE;
}

// Each value in a room of its own when composed, so that all of them are
// valid at once.
const std::vector<AdoValue>& CAdoConnection::valuesOf(const AdoStatement& statement)
{
    const std::size_t count = statement.valueCount();
    if (m_composedValues.size() < count) m_composedValues.resize(count);
    m_values.resize(count);
    for (std::size_t i = 0; i < count; ++i) m_values[i] = statement.value(i, m_composedValues[i]);
    return m_values;
}

// A connection runs one shape again and again (a lookup after another):
// the last one is compared first, without hashing.
CComPtr<_Command> CAdoConnection::keptCommand(const void* shape)
{
    if (!shape) return {};
    if (shape == m_lastShape.shape) return m_lastShape.command;
    const auto kept = m_commands.find(shape);
    if (kept == m_commands.end()) return {};
    m_lastShape = {shape, kept->second};
    return kept->second;
}

CComPtr<_Recordset> CAdoConnection::takeRecordset()
{
    CComPtr<_Recordset> handle = std::move(m_spareRecordset);
    if (!handle)
        ThrowIfFailedHr(
            CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, _Recordset::iid, reinterpret_cast<void**>(&handle)));
    return handle;
}

void CAdoConnection::keepRecordset(CComPtr<_Recordset> handle)
{
    LONG state = adStateOpen;
    if (handle && SUCCEEDED(handle->get_State(&state)) && state == adStateClosed) m_spareRecordset = std::move(handle);
}

LONG CAdoConnection::beginTrans()
{
    LONG level = 0;
    raiseFailure(handleOrThrow().BeginTrans(&level));
    return level;
}

LONG CAdoConnection::beginSnapshotTrans()
{
    _Connection& connection = handleOrThrow();
    raiseFailure(connection.put_IsolationLevel(adXactRepeatableRead));
    LONG level = 0;
    const HRESULT hr = connection.BeginTrans(&level);
    connection.put_IsolationLevel(adXactReadCommitted);
    raiseFailure(hr);
    return level;
}

void CAdoConnection::commitTrans() { raiseFailure(handleOrThrow().CommitTrans()); }

void CAdoConnection::rollbackTrans() { raiseFailure(handleOrThrow().RollbackTrans()); }

// The database's own words travel with every failure, whatever its code:
// the HRESULT alone (E_FAIL for a trigger's refusal, a full disk or a
// dropped link) would say "Unspecified error". The failure is logged where
// it arises, as every COM failure is.
void CAdoConnection::raiseFailure(HRESULT hr)
{
    if (SUCCEEDED(hr)) return;
    CComException failure(hr);
    try {
        raiseProviderErrors();
    } catch (const CException& provider) {
        failure.source = provider.source;
        failure.description = provider.description;
        failure.sqlState = provider.sqlState;
    }
    throw failure;
}

void CAdoConnection::clearErrors()
{
    if (m_errors) m_errors->Clear();
}

LONG CAdoConnection::errorCount() const
{
    LONG count = 0;
    if (m_errors) ThrowIfFailedHr(m_errors->get_Count(&count));
    return count;
}

CAdoError CAdoConnection::errorAt(LONG index) const
{
    const CComPtr<Errors>& list = m_errors;
    if (!list) throw _com_error(E_POINTER);
    CComPtr<Error> item;
    ThrowIfFailedHr(list->get_Item(CComVariant(index), &item));
    CAdoError error;
    CComBSTR source, description, sqlState;
    ThrowIfFailedHr(item->get_Number(&error.number));
    ThrowIfFailedHr(item->get_Source(&source));
    ThrowIfFailedHr(item->get_Description(&description));
    ThrowIfFailedHr(item->get_SQLState(&sqlState));
    ThrowIfFailedHr(item->get_NativeError(&error.nativeError));
    error.source = source.view();
    error.description = description.view();
    error.sqlState = sqlState.view();
    return error;
}

void CAdoConnection::raiseProviderErrors()
{
    const LONG count = errorCount();
    if (count == 0) return;
    CAdoError first;
    for (LONG i = 0; i < count; ++i) {
        CAdoError error = errorAt(i);
        TraceDebug(u"Error %s:%s (%lx)", error.source.c_str(), error.description.c_str(), error.number);
        if (i == 0) first = std::move(error);
    }
    std::u16string description = std::move(first.description);
    if (!first.sqlState.empty()) description += u" (SQLSTATE " + first.sqlState + u")";
    CException failure(first.source, std::move(description), static_cast<DWORD>(first.number));
    failure.sqlState = std::move(first.sqlState);
    throw failure;
}

std::u16string CAdoConnection::provider() const
{
    CComBSTR name;
    ThrowIfFailedHr(handleOrThrow().get_Provider(&name));
    return std::u16string(name.view());
}

std::u16string CAdoConnection::dbmsName() const
{
    CComBSTR name;
    ThrowIfFailedHr(handleOrThrow().get_DbmsName(&name));
    return std::u16string(name.view());
}

} // namespace qmt
