#include "qmt/db/ado_command.h"

#include "platform/com/com_error.h"
#include "valmorin/com/runtime.h"
#include "qmt/db/ado_connection.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"

#include <new>

namespace qmt {

CAdoCommand::CAdoCommand(CAdoConnection& connection, const std::u16string& text, ULONG parameters)
    : m_connection(connection), m_values(SafeArrayCreateVector(VT_BSTR, 0, parameters))
{
    if (!m_values) throw std::bad_alloc();
    try {
        ThrowIfFailedHr(
            CoCreateInstance(CLSID_Command, nullptr, CLSCTX_ALL, _Command::iid, reinterpret_cast<void**>(&m_handle)));
        ThrowIfFailedHr(m_handle->putref_ActiveConnection(connection.activeConnection().get()));
        ThrowIfFailedHr(m_handle->put_CommandText(CComBSTR(text).get()));
        TraceDebug(u"Command %s", text.c_str());
    } catch (...) {
        SafeArrayDestroy(m_values);
        throw;
    }
}

CAdoCommand::~CAdoCommand() { SafeArrayDestroy(m_values); }

LONG CAdoCommand::execute(std::initializer_list<std::u16string_view> values)
{
    BSTR* elements = nullptr;
    ThrowIfFailedHr(SafeArrayAccessData(m_values, reinterpret_cast<void**>(&elements)));
    const ULONG count = std::min<ULONG>(SafeArrayElementCount(m_values), static_cast<ULONG>(values.size()));
    auto value = values.begin();
    for (ULONG i = 0; i < count; ++i, ++value) {
        SysFreeString(elements[i]);
        elements[i] = SysAllocStringLen(value->data(), static_cast<UINT>(value->size()));
        if (!elements[i]) throw std::bad_alloc();
    }
    SafeArrayUnaccessData(m_values);
    VARIANT parameters;
    parameters.vt = VT_ARRAY | VT_BSTR;
    parameters.parray = m_values; // lent, not given
    CComVariant rowsAffected(LONG{0});
    m_connection.clearErrors();
    m_connection.raiseFailure(m_handle->Execute(&rowsAffected, &parameters, adOptionUnspecified, nullptr));
    return rowsAffected.vt == VT_I4 && rowsAffected.lVal > 0 ? rowsAffected.lVal : 0;
}

} // namespace qmt
