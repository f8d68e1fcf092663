#include "service/type_library.h"

#include "idl/ivalmorin_description.h"
#include "valmorin/com/errorinfo.h"
#include "service/ivalmorin.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace {

constexpr std::size_t kMaxInputs = 9; // of each type
constexpr std::size_t kMaxDiscardedArrays = 2;

// The [in] arguments of one call, by type, each in the order of its kind.
struct Inputs {
    std::array<BSTR, kMaxInputs> texts{};
    std::array<LONG, kMaxInputs> numbers{};
};

// An [out] array that Invoke has no place to hand back: the call creates it
// and it is released here.
class DiscardedArray {
public:
    DiscardedArray() = default;
    DiscardedArray(const DiscardedArray&) = delete;
    DiscardedArray& operator=(const DiscardedArray&) = delete;
    ~DiscardedArray()
    {
        if (m_array) SafeArrayDestroy(m_array);
    }
    SAFEARRAY** Receive() { return &m_array; }

private:
    SAFEARRAY* m_array = nullptr;
};

struct Outputs {
    CComBSTR text;
    LONG number = 0;
    std::array<DiscardedArray, kMaxDiscardedArrays> arrays;
};

using Call = HRESULT (*)(IValmorin3&, const Inputs&, Outputs&);

// kIValmorin3Calls: one Call per method of IValmorin3 and of the interfaces
// it extends, by dispatch identifier less one, compiled from the IDL
// against the types above.
#include "idl/ivalmorin_calls.inc"

// The class's IDispatch answers the last interface, whose methods are
// those of every interface.
constexpr const idl::Interface& kInterface = idl::kIValmorin3Description;

const idl::Method* FindMethod(DISPID id)
{
    return id >= 1 && id <= static_cast<DISPID>(kInterface.methods.size())
               ? &kInterface.methods[static_cast<std::size_t>(id - 1)]
               : nullptr;
}

USHORT FlagsOf(idl::Direction direction)
{
    switch (direction) {
    case idl::Direction::In: return PARAMFLAG_FIN;
    case idl::Direction::Out: return PARAMFLAG_FOUT;
    case idl::Direction::OutRetval: return PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
    }
    return 0;
}

// What Invoke hands back as the result: the [out, retval] parameter's value.
std::optional<idl::Type> ResultOf(const idl::Method& method)
{
    if (method.parameters.empty() || method.parameters.back().direction != idl::Direction::OutRetval)
        return std::nullopt;
    return method.parameters.back().type;
}

BSTR AllocBstr(std::u16string_view text) { return SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

std::size_t InputCount(const idl::Method& method)
{
    return static_cast<std::size_t>(std::count_if(method.parameters.begin(), method.parameters.end(), [](const auto& p) {
        return p.direction == idl::Direction::In;
    }));
}

// Moves the thread's error info into EXCEPINFO, leaving it set for callers
// that read it directly.
void FillExcepInfo(HRESULT hr, EXCEPINFO* excepInfo)
{
    if (!excepInfo) return;
    *excepInfo = EXCEPINFO{};
    excepInfo->scode = hr;
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) return;
    info->GetSource(&excepInfo->bstrSource);
    info->GetDescription(&excepInfo->bstrDescription);
    SetErrorInfo(0, info.get());
}

// Holds each argument in the type its parameter takes: texts that already
// are BSTRs are used in place, other values are converted and owned here.
class ArgumentList {
public:
    HRESULT Convert(const idl::Method& method, const DISPPARAMS& params, UINT* argErr)
    {
        std::size_t texts = 0, numbers = 0;
        UINT i = 0;
        for (const idl::Parameter& parameter : method.parameters) {
            if (parameter.direction != idl::Direction::In) continue;
            const UINT slot = params.cArgs - 1 - i++; // arguments arrive last first
            const HRESULT hr = parameter.type == idl::Type::Long
                                   ? Number(params.rgvarg[slot], m_inputs.numbers[numbers++])
                                   : Text(params.rgvarg[slot], m_inputs.texts[texts++]);
            if (FAILED(hr)) {
                if (argErr) *argErr = slot;
                return hr;
            }
        }
        return S_OK;
    }
    const Inputs& inputs() const { return m_inputs; }

private:
    HRESULT Text(const VARIANT& arg, BSTR& text)
    {
        if (arg.vt == VT_BSTR) {
            text = arg.bstrVal;
            return S_OK;
        }
        if (arg.vt == VT_NULL || (arg.vt == VT_ERROR && arg.scode == DISP_E_PARAMNOTFOUND)) {
            text = nullptr;
            return S_OK;
        }
        // Room for every argument at the first conversion, so that the
        // strings already handed out do not move.
        m_converted.reserve(kMaxInputs);
        CComVariant& converted = m_converted.emplace_back();
        const HRESULT hr = VariantChangeType(&converted, &arg, 0, VT_BSTR);
        if (SUCCEEDED(hr)) text = converted.bstrVal;
        return hr;
    }

    static HRESULT Number(const VARIANT& arg, LONG& number)
    {
        if (arg.vt == VT_I4) {
            number = arg.lVal;
            return S_OK;
        }
        CComVariant converted;
        const HRESULT hr = VariantChangeType(&converted, &arg, 0, VT_I4);
        if (SUCCEEDED(hr)) number = converted.lVal;
        return hr;
    }

    Inputs m_inputs;
    std::vector<CComVariant> m_converted; // text arguments that were not BSTRs; most calls have none
};

class ValmorinTypeInfo final : public CComObjectBase<ValmorinTypeInfo, ITypeInfo> {
public:
    HRESULT GetTypeAttr(TYPEATTR** attr) override
    {
        if (!attr) return E_POINTER;
        static TYPEATTR value{IID_IValmorin3, static_cast<WORD>(kInterface.methods.size()), kValmorinLibMajor,
                              kValmorinLibMinor};
        *attr = &value;
        return S_OK;
    }
    void ReleaseTypeAttr(TYPEATTR*) override {}

    HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) override
    {
        if (!desc) return E_POINTER;
        static const std::vector<std::pair<FUNCDESC, std::vector<USHORT>>> descriptions = Describe();
        if (index >= descriptions.size()) return DISP_E_BADINDEX;
        *desc = const_cast<FUNCDESC*>(&descriptions[index].first);
        return S_OK;
    }
    void ReleaseFuncDesc(FUNCDESC*) override {}

    HRESULT GetNames(DISPID id, BSTR* names, UINT maxNames, UINT* count) override
    {
        if (!names || !count) return E_POINTER;
        const idl::Method* method = FindMethod(id);
        if (!method) return DISP_E_MEMBERNOTFOUND;
        std::vector<std::u16string_view> all{method->name};
        for (const idl::Parameter& p : method->parameters) all.push_back(p.name);
        *count = 0;
        for (; *count < maxNames && *count < all.size(); ++*count) names[*count] = AllocBstr(all[*count]);
        return S_OK;
    }

    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) override
    {
        if (!names || !ids || count == 0) return E_INVALIDARG;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        const idl::Method* found = nullptr;
        for (const idl::Method& method : kInterface.methods)
            if (names[0] && EqualNoCase(method.name, names[0])) found = &method;
        if (!found) return DISP_E_UNKNOWNNAME;
        ids[0] = found->id;
        HRESULT hr = S_OK;
        for (UINT i = 1; i < count; ++i) {
            for (std::size_t p = 0; p < found->parameters.size(); ++p)
                if (names[i] && EqualNoCase(found->parameters[p].name, names[i])) ids[i] = static_cast<DISPID>(p);
            if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }

    HRESULT Invoke(void* instance, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                   UINT* argErr) override
    {
        const idl::Method* method = FindMethod(id);
        if (!method || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        if (!instance) return E_INVALIDARG;
        const DISPPARAMS none{};
        const DISPPARAMS& given = params ? *params : none;
        if (given.cNamedArgs > 0) return DISP_E_NONAMEDARGS;
        if (given.cArgs != InputCount(*method)) return DISP_E_BADPARAMCOUNT;
        ArgumentList arguments;
        if (const HRESULT hr = arguments.Convert(*method, given, argErr); FAILED(hr)) return hr;

        Outputs outputs;
        // Error info found after a failure must be this call's, not a
        // leftover of an earlier one.
        SetErrorInfo(0, nullptr);
        const HRESULT hr = kIValmorin3Calls[static_cast<std::size_t>(id - 1)](*static_cast<IValmorin3*>(instance),
                                                                              arguments.inputs(), outputs);
        if (FAILED(hr)) {
            FillExcepInfo(hr, excepInfo);
            return DISP_E_EXCEPTION;
        }
        if (result) {
            VariantClear(result);
            const std::optional<idl::Type> written = ResultOf(*method);
            if (written == idl::Type::BstrPointer && outputs.text.get()) {
                result->vt = VT_BSTR;
                result->bstrVal = outputs.text.Detach();
            } else if (written == idl::Type::LongPointer) {
                result->vt = VT_I4;
                result->lVal = outputs.number;
            }
        }
        return hr;
    }

    HRESULT GetDocumentation(MEMBERID id, BSTR* name, BSTR* docString, DWORD* helpContext, BSTR* helpFile) override
    {
        const idl::Method* method = FindMethod(id);
        if (!method && id != MEMBERID_NIL) return TYPE_E_ELEMENTNOTFOUND;
        if (name) *name = AllocBstr(method ? method->name : kInterface.name);
        if (docString) *docString = AllocBstr(method ? method->help : kInterface.help);
        if (helpContext) *helpContext = 0;
        if (helpFile) *helpFile = nullptr;
        return S_OK;
    }

private:
    static std::vector<std::pair<FUNCDESC, std::vector<USHORT>>> Describe()
    {
        std::vector<std::pair<FUNCDESC, std::vector<USHORT>>> descriptions;
        descriptions.reserve(kInterface.methods.size());
        for (const idl::Method& method : kInterface.methods) {
            std::vector<USHORT> flags;
            for (const idl::Parameter& p : method.parameters) flags.push_back(FlagsOf(p.direction));
            descriptions.push_back({FUNCDESC{method.id, static_cast<SHORT>(flags.size()), nullptr}, std::move(flags)});
        }
        for (auto& [desc, flags] : descriptions) desc.paramFlags = flags.data();
        return descriptions;
    }
};

} // namespace

HRESULT GetValmorinTypeInfo(ITypeInfo** info)
{
    if (!info) return E_POINTER;
    static const CComPtr<ValmorinTypeInfo> typeInfo = ValmorinTypeInfo::Create();
    typeInfo->AddRef();
    *info = typeInfo.get();
    return S_OK;
}
