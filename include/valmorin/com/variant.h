// The VARIANT subset that automation calls carry: EMPTY, NULL, I2, I4, BOOL,
// BSTR, DISPATCH and one-dimensional arrays of BSTR.
#pragma once

#include "valmorin/com/bstr.h"

struct IDispatch;
struct SAFEARRAY;

using VARTYPE = std::uint16_t;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_DISPATCH = 9;
inline constexpr VARTYPE VT_ERROR = 10;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_ARRAY = 0x2000;

struct VARIANT {
    VARTYPE vt;
    union {
        SHORT iVal;
        LONG lVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
    };
};
using VARIANTARG = VARIANT;

VALMORIN_PLATFORM_API void VariantInit(VARIANT* v);
VALMORIN_PLATFORM_API HRESULT VariantClear(VARIANT* v);
VALMORIN_PLATFORM_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
inline constexpr USHORT VARIANT_ALPHABOOL = 0x2;

// Converts I2, I4, BOOL and BSTR into one another. A BOOL becomes the text
// "-1" or "0", or "True" or "False" with VARIANT_ALPHABOOL; other flags are
// accepted and ignored. Out of range gives DISP_E_OVERFLOW, unparsable text
// DISP_E_TYPEMISMATCH. dest may be src.
VALMORIN_PLATFORM_API HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

// One-dimensional arrays of BSTR, lower bound 0.
VALMORIN_PLATFORM_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count);
VALMORIN_PLATFORM_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
VALMORIN_PLATFORM_API HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* index, void* value);
VALMORIN_PLATFORM_API HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* index, void* value);
VALMORIN_PLATFORM_API HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound);
VALMORIN_PLATFORM_API HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound);
VALMORIN_PLATFORM_API HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy);
// The elements in place, as an array of BSTR the caller may read and
// replace (freeing what it replaces) until SafeArrayUnaccessData.
VALMORIN_PLATFORM_API HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
VALMORIN_PLATFORM_API HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
// The number of elements.
VALMORIN_PLATFORM_API ULONG SafeArrayElementCount(const SAFEARRAY* array);

// Owning holder of one VARIANT.
class VALMORIN_PLATFORM_API CComVariant : public VARIANT {
public:
    CComVariant() { VariantInit(this); }
    explicit CComVariant(LONG value)
    {
        vt = VT_I4;
        lVal = value;
    }
    explicit CComVariant(std::u16string_view text);
    explicit CComVariant(IDispatch* dispatch); // adds a reference
    CComVariant(const CComVariant& other);
    CComVariant& operator=(const CComVariant& other);
    // Takes the value over, leaving other empty: no copy of a string.
    CComVariant(CComVariant&& other) noexcept : VARIANT(other) { VariantInit(&other); }
    CComVariant& operator=(CComVariant&& other) noexcept
    {
        if (this != &other) {
            VariantClear(this);
            static_cast<VARIANT&>(*this) = other;
            VariantInit(&other);
        }
        return *this;
    }
    ~CComVariant() { VariantClear(this); }
};
