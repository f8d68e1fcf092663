#include "qmt/db/ado_recordset.h"

#include "platform/com/com_error.h"
#include "valmorin/com/runtime.h"
#include "qmt/db/ado_connection.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"

#include <optional>

namespace qmt {

namespace {

bool IsNullOrEmpty(const VARIANT& value) { return value.vt == VT_NULL || value.vt == VT_EMPTY; }

// A field's position as the recordset takes it: a plain VT_I4, which holds
// nothing to clear.
VARIANT Ordinal(LONG position)
{
    VARIANT index;
    index.vt = VT_I4;
    index.lVal = position;
    return index;
}

// An object the caller holds, lent to a call as a VARIANT: no reference
// is taken or given back for it.
VARIANT Lent(IDispatch* object)
{
    VARIANT lent;
    lent.vt = VT_DISPATCH;
    lent.pdispVal = object;
    return lent;
}

void TraceOpening(const AdoStatement& statement)
{
    if (Tracer::Current().Enabled()) TraceDebug(u"Open recordset %s", statement.shown().c_str());
}

} // namespace

bool TakeText(CComVariant& field, CComBSTR& value)
{
    if (IsNullOrEmpty(field)) {
        value = CComBSTR(u"");
        return false;
    }
    if (field.vt != VT_BSTR) ThrowIfFailed(VariantChangeType(&field, &field, 0, VT_BSTR));
    value.Attach(field.bstrVal);
    field.vt = VT_EMPTY; // the string now belongs to value
    return true;
}

bool ReadFirstField(CAdoConnection& connection, const AdoStatement& statement, CComVariant& field)
{
    TraceOpening(statement);
    if (const std::optional<bool> hasRow = connection.readFirstField(statement, field)) return *hasRow;
    // Not open: a recordset fails as it always has, at its first read.
    CAdoRecordset recordset(connection);
    recordset.setMaxRecords(1);
    recordset.openStatement(statement, connection, adOpenUnspecified, adUseClient, adLockUnspecified,
                            adOptionUnspecified);
    const auto row = recordset.begin();
    if (!(row != recordset.end())) return false;
    (*row).read(0, field);
    return true;
}

CComPtr<Field> CAdoRecord::field(LONG position) const
{
    if (!m_handle) throw _com_error(E_POINTER);
    CComPtr<Fields> fields;
    ThrowIfFailedHr(m_handle->get_Fields(&fields));
    CComPtr<Field> item;
    ThrowIfFailedHr(fields->get_Item(CComVariant(position), &item));
    return item;
}

// The recordset's copy of the field is handed over as it is: reading a
// field costs one copy, not one per layer.
void CAdoRecord::read(LONG position, VARIANT& value) const
{
    if (!m_handle) throw _com_error(E_POINTER);
    CComVariant current;
    ThrowIfFailedHr(m_handle->get_Collect(Ordinal(position), &current));
    ThrowIfFailed(VariantClear(&value));
    value = current;
    current.vt = VT_EMPTY;
}

template <typename T>
T CAdoRecord::readInteger(LONG position, VARTYPE type) const
{
    CComVariant value;
    read(position, value);
    if (IsNullOrEmpty(value)) return 0;
    if (value.vt != type) ThrowIfFailed(VariantChangeType(&value, &value, 0, type));
    if constexpr (sizeof(T) == sizeof(SHORT))
        return value.iVal;
    else
        return value.lVal;
}

void CAdoRecord::read(LONG position, SHORT& value) const { value = readInteger<SHORT>(position, VT_I2); }

void CAdoRecord::read(LONG position, LONG& value) const { value = readInteger<LONG>(position, VT_I4); }

void CAdoRecord::read(LONG position, std::u16string& value) const
{
    CComVariant field;
    read(position, field);
    if (IsNullOrEmpty(field)) {
        value.clear();
        return;
    }
    if (field.vt != VT_BSTR) ThrowIfFailed(VariantChangeType(&field, &field, 0, VT_BSTR));
    value = field.bstrVal ? field.bstrVal : u"";
}

void CAdoRecord::read(LONG position, CComBSTR& value) const
{
    CComVariant field;
    read(position, field);
    TakeText(field, value);
}

bool CAdoRecord::takeText(LONG position, CComBSTR& value) const
{
    if (!m_handle) throw _com_error(E_POINTER);
    CComVariant field;
    ThrowIfFailedHr(m_handle->TakeCollect(Ordinal(position), &field));
    return TakeText(field, value);
}

void CAdoRecord::write(LONG position, const VARIANT& value)
{
    if (!m_handle) throw CException(u"CAdoRecord::write", u"Recordset has not been set", static_cast<DWORD>(E_POINTER));
    ThrowIfFailedHr(field(position)->put_Value(value));
}

void CAdoRecord::write(LONG position, const std::u16string& value) { write(position, CComVariant(value)); }

void CAdoRecord::write(LONG position, const CComBSTR& value)
{
    CComVariant holder;
    holder.vt = VT_BSTR;
    holder.bstrVal = value.get() ? SysAllocStringLen(value.get(), value.Length()) : nullptr;
    write(position, holder);
}

CAdoRecordset::iterator& CAdoRecordset::iterator::operator++()
{
    ThrowIfFailedHr(m_handle->MoveNext());
    VARIANT_BOOL eof = VARIANT_FALSE;
    ThrowIfFailedHr(m_handle->get_EOF(&eof));
    m_position = eof ? -1 : m_position + 1;
    return *this;
}

CAdoRecordset::CAdoRecordset()
{
    ThrowIfFailedHr(
        CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, _Recordset::iid, reinterpret_cast<void**>(&m_handle)));
}

CAdoRecordset::CAdoRecordset(CAdoConnection& lender) : m_handle(lender.takeRecordset()), m_lender(&lender) {}

CAdoRecordset::~CAdoRecordset()
{
    try {
        close();
        if (m_lender) m_lender->keepRecordset(std::move(m_handle));
    } catch (...) {
        // a failing close cannot be reported from a destructor
    }
}

void CAdoRecordset::open(const std::u16string& text, CAdoConnection& connection, LONG cursorType,
                         LONG cursorLocation, LONG lockType, LONG options)
{
    TraceDebug(u"Open recordset %s", text.c_str());
    openSource(CComVariant(text), connection, cursorType, cursorLocation, lockType, options);
}

void CAdoRecordset::open(const AdoStatement& statement, CAdoConnection& connection, LONG cursorType,
                         LONG cursorLocation, LONG lockType, LONG options)
{
    TraceOpening(statement);
    openStatement(statement, connection, cursorType, cursorLocation, lockType, options);
}

void CAdoRecordset::openStatement(const AdoStatement& statement, CAdoConnection& connection, LONG cursorType,
                                  LONG cursorLocation, LONG lockType, LONG options)
{
    CComPtr<_Command> command;
    try {
        command = connection.command(statement);
    } catch (const _com_error& e) {
        throw CComException(e);
    }
    openSource(Lent(command.get()), connection, cursorType, cursorLocation, lockType, options);
}

void CAdoRecordset::openSource(const VARIANT& source, CAdoConnection& connection, LONG cursorType, LONG cursorLocation,
                               LONG lockType, LONG options)
{
    try {
        close();
        m_handle->put_CursorLocation(cursorLocation);
        ThrowIfFailedHr(m_handle->put_MaxRecords(m_maxRecords));
        connection.clearErrors();
        m_handle->Open(source, Lent(connection.activeConnection().get()), cursorType, lockType, options);
        connection.raiseProviderErrors();
        m_connection = &connection;
    } catch (const _com_error& e) {
        throw CComException(e);
    }
}

void CAdoRecordset::close()
{
    LONG state = adStateClosed;
    ThrowIfFailedHr(m_handle->get_State(&state));
    if (state != adStateOpen) return;
    try {
        ThrowIfFailedHr(m_handle->Close());
    } catch (const CException&) {
        // a failed close leaves nothing to undo
    }
}

CAdoRecordset::iterator CAdoRecordset::begin()
{
    // EOF alone says whether there is a current row: a recordset that only
    // moves forward never stands before its first row (BOF with rows).
    VARIANT_BOOL eof = VARIANT_TRUE;
    ThrowIfFailedHr(m_handle->get_EOF(&eof));
    return iterator(m_handle, eof ? -1 : 0);
}

void CAdoRecordset::updateBatch(LONG scope)
{
    if (!m_connection)
        throw CException(u"CAdoRecordset::updateBatch", u"Recordset has not been opened",
                         static_cast<DWORD>(E_POINTER));
    m_connection->clearErrors();
    m_connection->raiseFailure(m_handle->UpdateBatch(scope));
}

} // namespace qmt
