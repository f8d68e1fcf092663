// The Command object: a statement text whose ? markers take the values
// given to each Execute, run on the session of its active connection.
#include "platform/ado/built_in.h"
#include "platform/ado/connection_object.h"
#include "platform/com/class_factory.h"

#include <vector>

namespace valmorin::ado {

namespace {

constexpr std::u16string_view kCommandSource = u"ADODB.Command";

class CommandObject final : public CComObjectBase<CommandObject, DispatchStub<_Command>> {
public:
    HRESULT putref_ActiveConnection(IDispatch* connection) override
    {
        m_connection.Release();
        if (connection) connection->QueryInterface(IConnectionInternal::iid, reinterpret_cast<void**>(&m_connection));
        if (connection && !m_connection)
            return Fail(adErrInvalidConnection, u"The object is not a connection of this provider.");
        return S_OK;
    }

    HRESULT put_CommandText(BSTR text) override
    {
        m_text.assign(text ? text : u"", SysStringLen(text));
        return S_OK;
    }

    HRESULT Execute(VARIANT* recordsAffected, VARIANT* parameters, LONG, _Recordset** recordset) override
    {
        if (recordset) *recordset = nullptr;
        if (!m_connection) return Fail(adErrInvalidConnection, u"The command has no open connection to run on.");
        m_values.clear();
        if (parameters && parameters->vt == (VT_ARRAY | VT_BSTR)) {
            BSTR* elements = nullptr;
            if (FAILED(SafeArrayAccessData(parameters->parray, reinterpret_cast<void**>(&elements))))
                return Fail(E_INVALIDARG, u"The parameters cannot be read.");
            for (ULONG i = 0; i < SafeArrayElementCount(parameters->parray); ++i)
                m_values.emplace_back(elements[i] ? elements[i] : u"", SysStringLen(elements[i]));
            SafeArrayUnaccessData(parameters->parray);
        } else if (parameters && parameters->vt != VT_EMPTY) {
            return Fail(DISP_E_TYPEMISMATCH, u"The parameters of a command are an array of texts.");
        }
        return m_connection->ExecuteWith(m_text, m_values, recordsAffected);
    }

private:
    static HRESULT Fail(HRESULT number, std::u16string_view description)
    {
        return ReportProviderErrors(_Command::iid, {AdoError(number, kCommandSource, description)});
    }

    CComPtr<IConnectionInternal> m_connection;
    std::u16string m_text;
    std::vector<std::u16string_view> m_values; // views of the parameters, during one Execute
};

} // namespace

CComPtr<IUnknown> NewCommandClassObject() { return SimpleClassObject<CommandObject>(); }

} // namespace valmorin::ado
