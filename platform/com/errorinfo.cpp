#include "valmorin/com/errorinfo.h"

#include "platform/text/utf.h"
#include "platform/win32/kernel.h"

#include <cstdio>
#include <string>

namespace {

class ErrorInfo final
    : public CComObjectBase<ErrorInfo, IErrorInfo, ICreateErrorInfo, ISQLErrorInfo, ICreateSQLErrorInfo> {
public:
    HRESULT GetSQLInfo(BSTR* sqlState, LONG* nativeError) override
    {
        if (!nativeError) return E_POINTER;
        *nativeError = m_nativeError;
        return CopyToBstr(m_sqlState, sqlState);
    }
    HRESULT SetSQLInfo(LPOLESTR sqlState, LONG nativeError) override
    {
        m_nativeError = nativeError;
        return Keep(sqlState, m_sqlState);
    }

    HRESULT GetGUID(GUID* guid) override
    {
        if (!guid) return E_POINTER;
        *guid = m_guid;
        return S_OK;
    }
    HRESULT GetSource(BSTR* source) override { return CopyToBstr(m_source, source); }
    HRESULT GetDescription(BSTR* description) override { return CopyToBstr(m_description, description); }
    HRESULT GetHelpFile(BSTR* helpFile) override { return CopyToBstr(m_helpFile, helpFile); }
    HRESULT GetHelpContext(DWORD* helpContext) override
    {
        if (!helpContext) return E_POINTER;
        *helpContext = m_helpContext;
        return S_OK;
    }

    HRESULT SetGUID(REFIID guid) override
    {
        m_guid = guid;
        return S_OK;
    }
    HRESULT SetSource(LPOLESTR source) override { return Keep(source, m_source); }
    HRESULT SetDescription(LPOLESTR description) override { return Keep(description, m_description); }
    HRESULT SetHelpFile(LPOLESTR helpFile) override { return Keep(helpFile, m_helpFile); }
    HRESULT SetHelpContext(DWORD helpContext) override
    {
        m_helpContext = helpContext;
        return S_OK;
    }

private:
    static HRESULT Keep(LPOLESTR text, std::u16string& field)
    {
        field = text ? text : u"";
        return S_OK;
    }

    GUID m_guid{};
    std::u16string m_source, m_description, m_helpFile, m_sqlState;
    DWORD m_helpContext = 0;
    LONG m_nativeError = 0;
};

// The thread's slot owns one reference until it is replaced, taken or the
// thread ends.
thread_local CComPtr<IErrorInfo> t_errorInfo;

} // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** info)
{
    if (!info) return E_INVALIDARG;
    *info = ErrorInfo::Create().Detach();
    return S_OK;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* info)
{
    t_errorInfo = CComPtr<IErrorInfo>(info);
    return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** info)
{
    if (!info) return E_INVALIDARG;
    *info = t_errorInfo.Detach();
    return *info ? S_OK : S_FALSE;
}

void SetThreadErrorInfo(REFIID guid, std::u16string_view source, std::u16string_view description,
                        std::u16string_view sqlState, LONG nativeError)
{
    CComPtr<ErrorInfo> info = ErrorInfo::Create();
    info->SetGUID(guid);
    const std::u16string sourceText(source), descriptionText(description);
    info->SetSource(const_cast<LPOLESTR>(sourceText.c_str()));
    info->SetDescription(const_cast<LPOLESTR>(descriptionText.c_str()));
    const std::u16string stateText(sqlState);
    info->SetSQLInfo(const_cast<LPOLESTR>(stateText.c_str()), nativeError);
    SetErrorInfo(0, info.get());
}

CallFailure TakeCallFailure(HRESULT hr)
{
    CallFailure failure{hr, {}, {}, {}};
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) return failure;
    CComBSTR source, description;
    info->GetSource(&source);
    info->GetDescription(&description);
    failure.source = source.view();
    failure.description = description.view();
    failure.sqlState = SqlStateOf(info.get());
    return failure;
}

std::u16string SqlStateOf(IErrorInfo* info)
{
    CComPtr<ISQLErrorInfo> sql;
    CComBSTR state;
    LONG native = 0;
    if (!info || FAILED(info->QueryInterface(ISQLErrorInfo::iid, reinterpret_cast<void**>(&sql))) ||
        FAILED(sql->GetSQLInfo(&state, &native)))
        return {};
    return std::u16string(state.view());
}

namespace {

std::u16string WithoutLineBreaks(std::u16string text)
{
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
    return text;
}

} // namespace

std::u16string SystemMessageText(DWORD code)
{
    OLECHAR* text = nullptr;
    if (!FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                        reinterpret_cast<LPOLESTR>(&text), 0, nullptr))
        return {};
    std::u16string message(text);
    LocalFree(text);
    return WithoutLineBreaks(std::move(message));
}

CallFailure Described(CallFailure failure)
{
    if (failure.description.empty()) failure.description = SystemMessageText(static_cast<DWORD>(failure.hr));
    if (failure.source.empty()) failure.source = u"valmorin";
    failure.description = WithoutLineBreaks(std::move(failure.description));
    return failure;
}

std::string FailureText(const CallFailure& failure)
{
    return HresultText(failure.hr) + " " + valmorin::text::Utf16ToUtf8(failure.source) + ": " +
           valmorin::text::Utf16ToUtf8(failure.description);
}

std::string HresultText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}
