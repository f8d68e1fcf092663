// The compiler COM-support error: an HRESULT with optional error information.
#pragma once

#include "valmorin/com/types.h"

#include "valmorin/com/errorinfo.h"

#include <string>

class VALMORIN_PLATFORM_API _com_error {
public:
    // Takes the reference to info when given (as the compiler support does
    // when fAddRef is false).
    explicit _com_error(HRESULT hr, IErrorInfo* info = nullptr, bool addRef = false);

    HRESULT Error() const { return m_hr; }
    IErrorInfo* ErrorInfo() const { return m_info.get(); }
    std::u16string Source() const;
    std::u16string Description() const;

private:
    HRESULT m_hr;
    CComPtr<IErrorInfo> m_info;
};

// Raises _com_error for a failed HRESULT, taking the thread's error info.
VALMORIN_PLATFORM_API void _com_issue_error(HRESULT hr);
inline void ThrowIfFailed(HRESULT hr)
{
    if (FAILED(hr)) _com_issue_error(hr);
}
