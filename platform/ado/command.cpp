// The Command object: a statement text whose ? markers take the values set
// by index or given to Execute, run on the session of its active connection.
#include "platform/ado/built_in.h"
#include "platform/ado/connection_object.h"
#include "platform/com/class_factory.h"

#include <vector>

namespace valmorin::ado {

namespace {

constexpr std::u16string_view kCommandSource = u"ADODB.Command";

class CommandObject final : public CComObjectBase<CommandObject, DispatchStub<_Command>, ICommandInternal> {
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
        m_values.clear();
        m_bound.clear();
        m_boundStale = false;
        return S_OK;
    }

    HRESULT put_Parameter(LONG index, VARIANT value) override
    {
        KeptValue* kept = At(index);
        return kept ? Keep(*kept, value) : Fail(E_INVALIDARG, u"A parameter's index is out of range.");
    }

    HRESULT put_ParameterText(LONG index, const char16_t* text, ULONG length) override
    {
        KeptValue* kept = At(index);
        if (!kept) return Fail(E_INVALIDARG, u"A parameter's index is out of range.");
        KeepText(*kept, std::u16string_view(text ? text : u"", text ? length : 0));
        return S_OK;
    }

    HRESULT Execute(VARIANT* recordsAffected, VARIANT* parameters, LONG, _Recordset** recordset) override
    {
        if (recordset) *recordset = nullptr;
        if (!m_connection) return Fail(adErrInvalidConnection, u"The command has no open connection to run on.");
        if (parameters && parameters->vt != VT_EMPTY)
            if (const HRESULT hr = TakeArray(*parameters); FAILED(hr)) return hr;
        return m_connection->ExecuteWith(m_text, Values(), recordsAffected);
    }

    std::u16string_view Text() const override { return m_text; }

    std::span<const BoundValue> Values() const override
    {
        if (m_boundStale) {
            m_bound.clear();
            for (const KeptValue& value : m_values) m_bound.push_back({value.kind, value.text, value.number});
            m_boundStale = false;
        }
        return m_bound;
    }

private:
    static HRESULT Fail(HRESULT number, std::u16string_view description)
    {
        return ReportProviderErrors(_Command::iid, {AdoError(number, kCommandSource, description)});
    }

    // A value as the command keeps it: a text's room is reused by the next
    // value set at that place, so that a command run again and again with
    // new values stops allocating.
    struct KeptValue {
        BoundValue::Kind kind = BoundValue::Kind::Null;
        std::u16string text;
        LONG number = 0;
    };

    KeptValue* At(LONG index)
    {
        if (index < 0 || index > 1000) return nullptr;
        const auto at = static_cast<std::size_t>(index);
        if (at >= m_values.size()) {
            m_values.resize(at + 1);
            m_boundStale = true; // the texts may have moved
        }
        return &m_values[at];
    }

    // A text equal to the one kept leaves the values bound as they are: a
    // lookup's table name is often the last one's.
    void KeepText(KeptValue& kept, std::u16string_view text)
    {
        if (kept.kind == BoundValue::Kind::Text && kept.text == text) return;
        m_boundStale = true;
        kept.kind = BoundValue::Kind::Text;
        kept.text.assign(text);
    }

    HRESULT Keep(KeptValue& kept, const VARIANT& value)
    {
        if (value.vt == VT_BSTR) {
            KeepText(kept, std::u16string_view(value.bstrVal ? value.bstrVal : u"", SysStringLen(value.bstrVal)));
            return S_OK;
        }
        m_boundStale = true;
        switch (value.vt) {
        case VT_I4:
        case VT_I2:
            kept.kind = BoundValue::Kind::Number;
            kept.number = value.vt == VT_I4 ? value.lVal : value.iVal;
            return S_OK;
        case VT_NULL:
        case VT_EMPTY: kept.kind = BoundValue::Kind::Null; return S_OK;
        default: return Fail(DISP_E_TYPEMISMATCH, u"A parameter of a command is a text, a number or NULL.");
        }
    }

    // The texts of an array given to Execute, in place of the values kept.
    HRESULT TakeArray(const VARIANT& parameters)
    {
        if (parameters.vt != (VT_ARRAY | VT_BSTR))
            return Fail(DISP_E_TYPEMISMATCH, u"The parameters of a command are an array of texts.");
        BSTR* elements = nullptr;
        if (FAILED(SafeArrayAccessData(parameters.parray, reinterpret_cast<void**>(&elements))))
            return Fail(E_INVALIDARG, u"The parameters cannot be read.");
        m_values.resize(SafeArrayElementCount(parameters.parray));
        m_boundStale = true; // an empty array sets no value, and the views of the old ones are gone
        for (std::size_t i = 0; i < m_values.size(); ++i) {
            VARIANT text;
            text.vt = VT_BSTR;
            text.bstrVal = elements[i];
            Keep(m_values[i], text);
        }
        SafeArrayUnaccessData(parameters.parray);
        return S_OK;
    }

    CComPtr<IConnectionInternal> m_connection;
    std::u16string m_text;
    std::vector<KeptValue> m_values;
    mutable std::vector<BoundValue> m_bound; // views of m_values
    mutable bool m_boundStale = false;       // m_values changed since m_bound was made
};

} // namespace

CComPtr<IUnknown> NewCommandClassObject() { return SimpleClassObject<CommandObject>(); }

} // namespace valmorin::ado
