// The Command object: a statement text whose ? markers take the values set
// by index or given to Execute, run on the session of its active connection.
#include "platform/ado/built_in.h"
#include "platform/ado/connection_object.h"
#include "platform/com/class_factory.h"

#include <cstring>
#include <memory>
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
        if (!InRange(index)) return OutOfRange();
        const auto at = static_cast<std::size_t>(index);
        switch (value.vt) {
        case VT_BSTR:
            KeepText(at, std::u16string_view(value.bstrVal ? value.bstrVal : u"", SysStringLen(value.bstrVal)));
            return S_OK;
        case VT_I4:
        case VT_I2: Keep(at, BoundValue::Kind::Number, value.vt == VT_I4 ? value.lVal : value.iVal); return S_OK;
        case VT_NULL:
        case VT_EMPTY: Keep(at, BoundValue::Kind::Null, 0); return S_OK;
        default: return Fail(DISP_E_TYPEMISMATCH, u"A parameter of a command is a text, a number or NULL.");
        }
    }

    HRESULT put_ParameterText(LONG index, const char16_t* text, ULONG length) override
    {
        if (!InRange(index)) return OutOfRange();
        KeepText(static_cast<std::size_t>(index), std::u16string_view(text ? text : u"", text ? length : 0));
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
            for (const KeptValue& value : m_values) m_bound.push_back(value.Bound());
            m_boundStale = false;
        }
        return m_bound;
    }

private:
    static HRESULT Fail(HRESULT number, std::u16string_view description)
    {
        return ReportProviderErrors(_Command::iid, {AdoError(number, kCommandSource, description)});
    }
    static bool InRange(LONG index) { return index >= 0 && index <= 1000; }
    static HRESULT OutOfRange() { return Fail(E_INVALIDARG, u"A parameter's index is out of range."); }

    // Room for a text, grown as longer ones come and never shrunk, so that
    // a command run again and again with new values stops allocating; a
    // text set is a length check and one copy.
    class TextRoom {
    public:
        void Assign(std::u16string_view text)
        {
            if (text.size() > m_capacity) {
                m_units = std::make_unique<char16_t[]>(text.size());
                m_capacity = text.size();
            }
            if (!text.empty()) std::memcpy(m_units.get(), text.data(), text.size() * sizeof(char16_t));
            m_length = text.size();
        }
        std::u16string_view View() const { return {m_units ? m_units.get() : u"", m_length}; }

    private:
        std::unique_ptr<char16_t[]> m_units;
        std::size_t m_capacity = 0, m_length = 0;
    };

    // A value as the command keeps it, its text's room reused by the next
    // value set at that place.
    struct KeptValue {
        BoundValue::Kind kind = BoundValue::Kind::Null;
        TextRoom text;
        LONG number = 0;

        BoundValue Bound() const { return {kind, text.View(), number}; }
    };

    KeptValue& Slot(std::size_t at)
    {
        if (at >= m_values.size()) {
            m_values.resize(at + 1);
            m_boundStale = true; // the texts may have moved
        }
        return m_values[at];
    }

    // The value set at one place is bound anew there alone: a command run
    // once per lookup does not rebuild all its values.
    void Rebind(std::size_t at)
    {
        if (!m_boundStale) m_bound[at] = m_values[at].Bound();
    }

    void KeepText(std::size_t at, std::u16string_view text)
    {
        KeptValue& kept = Slot(at);
        kept.kind = BoundValue::Kind::Text;
        kept.text.Assign(text);
        Rebind(at);
    }

    void Keep(std::size_t at, BoundValue::Kind kind, LONG number)
    {
        KeptValue& kept = Slot(at);
        kept.kind = kind;
        kept.number = number;
        Rebind(at);
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
        for (std::size_t i = 0; i < m_values.size(); ++i)
            KeepText(i, std::u16string_view(elements[i] ? elements[i] : u"", SysStringLen(elements[i])));
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
