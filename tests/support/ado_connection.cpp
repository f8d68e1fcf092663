#include "support/ado_connection.h"

#include "valmorin/com/runtime.h"

#include <stdexcept>

AdoConnection::AdoConnection(const std::u16string& connectionString)
{
    if (FAILED(CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid,
                                reinterpret_cast<void**>(&m_connection))) ||
        FAILED(m_connection->Open(CComBSTR(connectionString).get(), nullptr, nullptr, adConnectUnspecified)))
        throw std::runtime_error("the connection does not open");
}

LONG AdoConnection::Execute(const std::u16string& sql)
{
    CComVariant affected;
    _Recordset* none = nullptr;
    const HRESULT hr = m_connection->Execute(CComBSTR(sql).get(), &affected, adOptionUnspecified, &none);
    if (FAILED(hr)) throw AdoFailure{hr};
    return affected.vt == VT_I4 ? affected.lVal : 0;
}

CComVariant AdoConnection::Active() const
{
    CComPtr<IDispatch> dispatch;
    m_connection.QueryInterface(dispatch);
    return CComVariant(dispatch.get());
}
