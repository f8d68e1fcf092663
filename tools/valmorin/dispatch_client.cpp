#include "dispatch_client.h"

#include "valmorin/com/typeinfo.h"

#include <string>

namespace {

std::u16string Decimal(LONG value)
{
    const std::string digits = std::to_string(value);
    return {digits.begin(), digits.end()};
}

MethodHelp DescribeFunction(ITypeInfo& info, const FUNCDESC& desc)
{
    std::vector<BSTR> names(static_cast<std::size_t>(desc.cParams) + 1, nullptr);
    UINT count = 0;
    info.GetNames(desc.memid, names.data(), static_cast<UINT>(names.size()), &count);
    MethodHelp help;
    help.id = desc.memid;
    CComBSTR text;
    if (SUCCEEDED(info.GetDocumentation(desc.memid, nullptr, &text, nullptr, nullptr))) help.help = text.view();
    for (UINT i = 0; i < count; ++i) {
        CComBSTR name;
        name.Attach(names[i]);
        if (i == 0)
            help.name = name.view();
        else if (desc.paramFlags[i - 1] & PARAMFLAG_FRETVAL)
            help.result = name.view();
        else if (desc.paramFlags[i - 1] & PARAMFLAG_FIN)
            help.inputs.emplace_back(name.view());
    }
    return help;
}

} // namespace

CallOutcome UnmadeCall(HRESULT hr, const std::u16string& method)
{
    CallOutcome outcome;
    outcome.hr = hr;
    outcome.method = method;
    return outcome;
}

bool ResultText(const VARIANT& result, std::u16string& text)
{
    if (result.vt == VT_BSTR)
        text.assign(result.bstrVal ? result.bstrVal : u"", SysStringLen(result.bstrVal));
    else if (result.vt == VT_I4)
        text = Decimal(result.lVal);
    else
        return false;
    return true;
}

CallOutcome DispatchClient::Call(const std::u16string& method, const std::vector<Argument>& arguments) const
{
    DISPID id = DISPID_UNKNOWN;
    if (const HRESULT hr = IdOf(method, id); FAILED(hr)) return UnmadeCall(hr, method);
    std::vector<CComVariant> values(arguments.size());
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        CComVariant& value = values[arguments.size() - 1 - i]; // last argument first
        if (arguments[i])
            value = CComVariant(*arguments[i]);
        else
            value.vt = VT_NULL;
    }
    CComVariant result;
    CallOutcome outcome = Invoke(id, method, values, result);
    if (std::u16string text; SUCCEEDED(outcome.hr) && ResultText(result, text)) outcome.result = std::move(text);
    return outcome;
}

HRESULT DispatchClient::IdOf(const std::u16string& method, DISPID& id) const
{
    auto* name = const_cast<LPOLESTR>(method.c_str());
    return m_object->GetIDsOfNames(GUID_NULL, &name, 1, 0, &id);
}

CallOutcome DispatchClient::Invoke(DISPID id, const std::u16string& method, std::vector<CComVariant>& arguments,
                                   CComVariant& result) const
{
    DISPPARAMS params;
    params.rgvarg = arguments.empty() ? nullptr : arguments.data();
    params.cArgs = static_cast<UINT>(arguments.size());
    EXCEPINFO excepInfo;
    UINT argErr = 0;
    CallOutcome outcome;
    outcome.hr = m_object->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, &excepInfo, &argErr);
    if (SUCCEEDED(outcome.hr)) return outcome;
    outcome.method = CanonicalName(id).value_or(method);
    if (outcome.hr == DISP_E_EXCEPTION) {
        outcome.hr = excepInfo.scode;
        outcome.source = CComBSTR(excepInfo.bstrSource).view();
        outcome.description = CComBSTR(excepInfo.bstrDescription).view();
        SysFreeString(excepInfo.bstrSource);
        SysFreeString(excepInfo.bstrDescription);
        SysFreeString(excepInfo.bstrHelpFile);
    }
    return outcome;
}

std::optional<MethodHelp> DispatchClient::Describe(const std::u16string& method) const
{
    DISPID id = DISPID_UNKNOWN;
    auto* name = const_cast<LPOLESTR>(method.c_str());
    if (FAILED(m_object->GetIDsOfNames(GUID_NULL, &name, 1, 0, &id))) return std::nullopt;
    for (MethodHelp& help : Describe())
        if (help.id == id) return std::move(help);
    return std::nullopt;
}

std::optional<std::u16string> DispatchClient::CanonicalName(DISPID id) const
{
    CComPtr<ITypeInfo> info;
    if (FAILED(m_object->GetTypeInfo(0, 0, &info))) return std::nullopt;
    BSTR name = nullptr;
    UINT count = 0;
    if (FAILED(info->GetNames(id, &name, 1, &count)) || count == 0) return std::nullopt;
    CComBSTR owned;
    owned.Attach(name);
    return std::u16string(owned.view());
}

std::vector<MethodHelp> DispatchClient::Describe() const
{
    std::vector<MethodHelp> methods;
    CComPtr<ITypeInfo> info;
    if (FAILED(m_object->GetTypeInfo(0, 0, &info))) return methods;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return methods;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc))) continue;
        methods.push_back(DescribeFunction(*info.get(), *desc));
        info->ReleaseFuncDesc(desc);
    }
    info->ReleaseTypeAttr(attr);
    return methods;
}
