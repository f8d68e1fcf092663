#include "platform/com/com_error.h"

_com_error::_com_error(HRESULT hr, IErrorInfo* info, bool addRef) : m_hr(hr)
{
    if (addRef)
        m_info = CComPtr<IErrorInfo>(info);
    else
        m_info.Attach(info);
}

std::u16string _com_error::Source() const
{
    CComBSTR text;
    if (m_info) m_info->GetSource(&text);
    return std::u16string(text.view());
}

std::u16string _com_error::Description() const
{
    CComBSTR text;
    if (m_info) m_info->GetDescription(&text);
    return std::u16string(text.view());
}

void _com_issue_error(HRESULT hr)
{
    IErrorInfo* info = nullptr;
    GetErrorInfo(0, &info);
    throw _com_error(hr, info);
}
