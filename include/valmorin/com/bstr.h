// Automation strings: UTF-16, length-prefixed, NUL-terminated. A NULL BSTR
// is the empty string everywhere a BSTR is read.
#pragma once

#include "valmorin/com/types.h"

#include <string>
#include <string_view>
#include <utility>

using BSTR = OLECHAR*;

VALMORIN_PLATFORM_API BSTR SysAllocString(LPCOLESTR text);
VALMORIN_PLATFORM_API BSTR SysAllocStringLen(LPCOLESTR text, UINT length);
VALMORIN_PLATFORM_API void SysFreeString(BSTR bstr);
// *bstr made a copy of the length units at text (which may lie within it),
// in its own block when that has room: 1; 0, *bstr unchanged, when no
// memory is left.
VALMORIN_PLATFORM_API INT SysReAllocStringLen(BSTR* bstr, LPCOLESTR text, UINT length);
VALMORIN_PLATFORM_API UINT SysStringLen(BSTR bstr);
VALMORIN_PLATFORM_API UINT SysStringByteLen(BSTR bstr);

// Hands a new copy of text to an [out] BSTR: E_POINTER for a null out,
// E_OUTOFMEMORY when the copy cannot be made.
VALMORIN_PLATFORM_API HRESULT CopyToBstr(std::u16string_view text, BSTR* out);

// Owning holder of one BSTR.
class VALMORIN_PLATFORM_API CComBSTR {
public:
    CComBSTR() = default;
    explicit CComBSTR(std::u16string_view text);
    explicit CComBSTR(LPCOLESTR text) : m_str(SysAllocString(text)) {}
    CComBSTR(const CComBSTR& other);
    CComBSTR(CComBSTR&& other) noexcept : m_str(std::exchange(other.m_str, nullptr)) {}
    CComBSTR& operator=(CComBSTR other) noexcept
    {
        std::swap(m_str, other.m_str);
        return *this;
    }
    ~CComBSTR() { SysFreeString(m_str); }

    BSTR get() const { return m_str; }
    UINT Length() const { return SysStringLen(m_str); }
    std::u16string_view view() const { return {m_str ? m_str : u"", Length()}; }
    BSTR* operator&() // receives an [out] BSTR; what was held is freed first
    {
        SysFreeString(std::exchange(m_str, nullptr));
        return &m_str;
    }
    BSTR Detach() { return std::exchange(m_str, nullptr); }
    void Attach(BSTR bstr)
    {
        SysFreeString(m_str);
        m_str = bstr;
    }

private:
    BSTR m_str = nullptr;
};
