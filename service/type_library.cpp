#include "service/type_library.h"

#include "platform/com/errorinfo.h"
#include "service/ivalmorin.h"

#include <array>
#include <vector>

namespace {

constexpr std::size_t kMaxInputs = 9;
using Inputs = std::array<BSTR, kMaxInputs>;

struct Outputs {
    BSTR text = nullptr;
    LONG number = 0;
};

enum class Result { None, Text, Number };

struct Parameter {
    std::u16string_view name;
    USHORT flags;
};

struct Method {
    DISPID id;
    std::u16string_view name;
    std::vector<Parameter> parameters;
    Result result;
    HRESULT (*call)(IValmorin&, const Inputs&, Outputs&);
};

constexpr USHORT kIn = PARAMFLAG_FIN;
constexpr USHORT kRetval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
constexpr USHORT kOut = PARAMFLAG_FOUT;

// GetComponents' two arrays are [out] but not [retval]: through Invoke they
// are created and released by the call.
HRESULT CallGetComponents(IValmorin& v, const Inputs&, Outputs&)
{
    SAFEARRAY* clsids = nullptr;
    SAFEARRAY* descriptions = nullptr;
    const HRESULT hr = v.GetComponents(&clsids, &descriptions);
    SafeArrayDestroy(clsids);
    SafeArrayDestroy(descriptions);
    return hr;
}

const std::vector<Method>& Methods()
{
    static const std::vector<Method> methods = {
        {1, u"Attach", {{u"bstrPath", kIn}}, Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) { return v.Attach(a[0]); }},
        {2, u"RegisterAll", {}, Result::None, [](IValmorin& v, const Inputs&, Outputs&) { return v.RegisterAll(); }},
        {3, u"UnregisterAll", {}, Result::None,
         [](IValmorin& v, const Inputs&, Outputs&) { return v.UnregisterAll(); }},
        {4, u"GetComponents", {{u"pbstrCLSIDs", kOut}, {u"pbstrDescriptions", kOut}}, Result::None,
         CallGetComponents},
        {5, u"RegisterComponent", {{u"bstrCLSID", kIn}}, Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) { return v.RegisterComponent(a[0]); }},
        {6, u"UnregisterComponent", {{u"bstrCLSID", kIn}}, Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) { return v.UnregisterComponent(a[0]); }},
        {7, u"transadd", {{u"tableName", kIn}, {u"ValueIn", kIn}, {u"ValueOut", kIn}, {u"bRetVal", kRetval}},
         Result::Number, [](IValmorin& v, const Inputs& a, Outputs& o) { return v.transadd(a[0], a[1], a[2], &o.number); }},
        {8, u"transdel", {{u"tableName", kIn}, {u"ValueIn", kIn}, {u"bRetVal", kRetval}}, Result::Number,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.transdel(a[0], a[1], &o.number); }},
        {9, u"translate", {{u"tableName", kIn}, {u"ValueIn", kIn}, {u"Translation", kRetval}}, Result::Text,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.translate(a[0], a[1], &o.text); }},
        {10, u"transmatch", {{u"tableName", kIn}, {u"ValueIn", kIn}, {u"Translation", kRetval}}, Result::Text,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.transmatch(a[0], a[1], &o.text); }},
        {11, u"transIdent", {{u"ValueIn", kIn}, {u"Translation", kRetval}}, Result::Text,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.transIdent(a[0], &o.text); }},
        {12, u"transDayIdent", {{u"ValueIn", kIn}, {u"Translation", kRetval}}, Result::Text,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.transDayIdent(a[0], &o.text); }},
        {13, u"Open", {{u"bstConnexionString", kIn}}, Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) { return v.Open(a[0]); }},
        {14, u"TableList", {{u"List", kRetval}}, Result::Text,
         [](IValmorin& v, const Inputs&, Outputs& o) { return v.TableList(&o.text); }},
        {15, u"TableDelete", {{u"Name", kIn}}, Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) { return v.TableDelete(a[0]); }},
        {16, u"TableCreate",
         {{u"User", kIn}, {u"Name", kIn}, {u"Description", kIn}, {u"ColumnsNameToAdd", kIn}, {u"ColumnsTypeToAdd", kIn}},
         Result::None, [](IValmorin& v, const Inputs& a, Outputs&) { return v.TableCreate(a[0], a[1], a[2], a[3], a[4]); }},
        {17, u"TableUpdate",
         {{u"User", kIn}, {u"PreviousName", kIn}, {u"Name", kIn}, {u"Description", kIn}, {u"ColumnsNameToAdd", kIn},
          {u"ColumnsTypeToAdd", kIn}, {u"ColumnsIdToUpdate", kIn}, {u"ColumnsNameToUpdate", kIn},
          {u"ColumnsIdToDel", kIn}},
         Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) {
             return v.TableUpdate(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
         }},
        {18, u"TableColumns", {{u"Name", kIn}, {u"List", kRetval}}, Result::Text,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.TableColumns(a[0], &o.text); }},
        {19, u"TableExists", {{u"Name", kIn}, {u"bRetVal", kRetval}}, Result::Number,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.TableExists(a[0], &o.number); }},
        {20, u"CorrespondanceList", {{u"tableName", kIn}, {u"List", kRetval}}, Result::Text,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.CorrespondanceList(a[0], &o.text); }},
        {21, u"CorrespondanceDelete", {{u"tableName", kIn}, {u"Input", kIn}}, Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) { return v.CorrespondanceDelete(a[0], a[1]); }},
        {22, u"CorrespondanceCreate", {{u"User", kIn}, {u"tableName", kIn}, {u"Input", kIn}, {u"Output", kIn}},
         Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) { return v.CorrespondanceCreate(a[0], a[1], a[2], a[3]); }},
        {23, u"CorrespondanceUpdate",
         {{u"User", kIn}, {u"tableName", kIn}, {u"OldInput", kIn}, {u"NewInput", kIn}, {u"NewOutput", kIn}},
         Result::None,
         [](IValmorin& v, const Inputs& a, Outputs&) {
             return v.CorrespondanceUpdate(a[0], a[1], a[2], a[3], a[4]);
         }},
        {24, u"CorrespondanceExists", {{u"tableName", kIn}, {u"Input", kIn}, {u"bRetVal", kRetval}}, Result::Number,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.CorrespondanceExists(a[0], a[1], &o.number); }},
        {25, u"TableFourEyesIsLastUser", {{u"User", kIn}, {u"Name", kIn}, {u"bRetVal", kRetval}}, Result::Number,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.TableFourEyesIsLastUser(a[0], a[1], &o.number); }},
        {26, u"CorrespondanceFourEyesIsLastUser",
         {{u"User", kIn}, {u"tableName", kIn}, {u"Input", kIn}, {u"bRetVal", kRetval}}, Result::Number,
         [](IValmorin& v, const Inputs& a, Outputs& o) {
             return v.CorrespondanceFourEyesIsLastUser(a[0], a[1], a[2], &o.number);
         }},
        {27, u"TableDescription", {{u"Name", kIn}, {u"List", kRetval}}, Result::Text,
         [](IValmorin& v, const Inputs& a, Outputs& o) { return v.TableDescription(a[0], &o.text); }},
    };
    return methods;
}

const Method* FindMethod(DISPID id)
{
    const auto& methods = Methods();
    return id >= 1 && id <= static_cast<DISPID>(methods.size()) ? &methods[static_cast<std::size_t>(id - 1)] : nullptr;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

std::size_t InputCount(const Method& method)
{
    std::size_t count = 0;
    for (const Parameter& p : method.parameters) count += (p.flags & PARAMFLAG_FIN) ? 1 : 0;
    return count;
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

// Holds the BSTR form of each argument: arguments that already are BSTRs
// are used in place, others are converted and owned here.
class ArgumentList {
public:
    HRESULT Convert(const DISPPARAMS& params, UINT* argErr)
    {
        for (UINT i = 0; i < params.cArgs; ++i) {
            const UINT slot = params.cArgs - 1 - i; // arguments arrive last first
            const VARIANT& arg = params.rgvarg[slot];
            if (arg.vt == VT_BSTR) {
                m_inputs[i] = arg.bstrVal;
            } else if (arg.vt == VT_NULL || (arg.vt == VT_ERROR && arg.scode == DISP_E_PARAMNOTFOUND)) {
                m_inputs[i] = nullptr;
            } else {
                const HRESULT hr = VariantChangeType(&m_converted[i], &arg, 0, VT_BSTR);
                if (FAILED(hr)) {
                    if (argErr) *argErr = slot;
                    return hr;
                }
                m_inputs[i] = m_converted[i].bstrVal;
            }
        }
        return S_OK;
    }
    const Inputs& inputs() const { return m_inputs; }

private:
    Inputs m_inputs{};
    std::array<CComVariant, kMaxInputs> m_converted;
};

class ValmorinTypeInfo final : public CComObjectBase<ValmorinTypeInfo, ITypeInfo> {
public:
    HRESULT GetTypeAttr(TYPEATTR** attr) override
    {
        if (!attr) return E_POINTER;
        static TYPEATTR value{IID_IValmorin, static_cast<WORD>(Methods().size()), kTypeLibraryMajor,
                              kTypeLibraryMinor};
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
        const Method* method = FindMethod(id);
        if (!method) return DISP_E_MEMBERNOTFOUND;
        std::vector<std::u16string_view> all{method->name};
        for (const Parameter& p : method->parameters) all.push_back(p.name);
        *count = 0;
        for (; *count < maxNames && *count < all.size(); ++*count)
            names[*count] = SysAllocStringLen(all[*count].data(), static_cast<UINT>(all[*count].size()));
        return S_OK;
    }

    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) override
    {
        if (!names || !ids || count == 0) return E_INVALIDARG;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        const Method* found = nullptr;
        for (const Method& method : Methods())
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
        const Method* method = FindMethod(id);
        if (!method || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        if (!instance) return E_INVALIDARG;
        const DISPPARAMS none{};
        const DISPPARAMS& given = params ? *params : none;
        if (given.cNamedArgs > 0) return DISP_E_NONAMEDARGS;
        if (given.cArgs != InputCount(*method)) return DISP_E_BADPARAMCOUNT;
        ArgumentList arguments;
        if (const HRESULT hr = arguments.Convert(given, argErr); FAILED(hr)) return hr;

        Outputs outputs;
        // Error info found after a failure must be this call's, not a
        // leftover of an earlier one.
        SetErrorInfo(0, nullptr);
        const HRESULT hr = method->call(*static_cast<IValmorin*>(instance), arguments.inputs(), outputs);
        CComBSTR text;
        text.Attach(outputs.text);
        if (FAILED(hr)) {
            FillExcepInfo(hr, excepInfo);
            return DISP_E_EXCEPTION;
        }
        if (result) {
            VariantClear(result);
            if (method->result == Result::Text && text.get()) {
                result->vt = VT_BSTR;
                result->bstrVal = text.Detach();
            } else if (method->result == Result::Number) {
                result->vt = VT_I4;
                result->lVal = outputs.number;
            }
        }
        return hr;
    }

private:
    static std::vector<std::pair<FUNCDESC, std::vector<USHORT>>> Describe()
    {
        std::vector<std::pair<FUNCDESC, std::vector<USHORT>>> descriptions;
        descriptions.reserve(Methods().size());
        for (const Method& method : Methods()) {
            std::vector<USHORT> flags;
            for (const Parameter& p : method.parameters) flags.push_back(p.flags);
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
