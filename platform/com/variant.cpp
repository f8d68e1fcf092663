#include "valmorin/com/variant.h"

#include "valmorin/com/unknown.h"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

struct SAFEARRAY {
    VARTYPE vt;
    LONG lowerBound;
    std::vector<BSTR> elements;
};

namespace {

bool IsArrayOfBstr(VARTYPE vt) { return vt == (VT_ARRAY | VT_BSTR); }

HRESULT ToLong(const VARIANT& src, long long& out)
{
    switch (src.vt) {
    case VT_I2: out = src.iVal; return S_OK;
    case VT_I4: out = src.lVal; return S_OK;
    case VT_BOOL: out = src.boolVal ? -1 : 0; return S_OK;
    case VT_EMPTY: out = 0; return S_OK;
    case VT_BSTR: {
        std::string ascii;
        for (char16_t c : std::u16string_view(src.bstrVal ? src.bstrVal : u"", SysStringLen(src.bstrVal))) {
            if (c > 0x7F) return DISP_E_TYPEMISMATCH;
            ascii.push_back(static_cast<char>(c));
        }
        const auto first = ascii.find_first_not_of(" \t");
        const auto last = ascii.find_last_not_of(" \t");
        if (first == std::string::npos) return DISP_E_TYPEMISMATCH;
        const char* begin = ascii.data() + first;
        const char* end = ascii.data() + last + 1;
        if (*begin == '+') ++begin;
        const auto [ptr, ec] = std::from_chars(begin, end, out);
        if (ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
        if (ec != std::errc() || ptr != end) return DISP_E_TYPEMISMATCH;
        return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

// A boolean becomes "-1" or "0", as any integer does, unless the caller
// asks for the words.
HRESULT ToText(const VARIANT& src, BSTR& out, USHORT flags)
{
    std::u16string text;
    switch (src.vt) {
    case VT_EMPTY: break;
    case VT_BOOL:
        if (flags & VARIANT_ALPHABOOL) text = src.boolVal ? u"True" : u"False";
        else text = src.boolVal ? u"-1" : u"0";
        break;
    case VT_I2:
    case VT_I4: {
        const long value = src.vt == VT_I2 ? src.iVal : src.lVal;
        for (char c : std::to_string(value)) text.push_back(static_cast<char16_t>(c));
        break;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
    out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return out ? S_OK : E_OUTOFMEMORY;
}

template <typename T>
HRESULT Narrow(long long value, T& out)
{
    if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) return DISP_E_OVERFLOW;
    out = static_cast<T>(value);
    return S_OK;
}

HRESULT Convert(const VARIANT& src, VARTYPE vt, USHORT flags, VARIANT& out)
{
    VariantInit(&out);
    if (src.vt == vt) return VariantCopy(&out, &src);
    if (vt == VT_BSTR) {
        const HRESULT hr = ToText(src, out.bstrVal, flags);
        if (SUCCEEDED(hr)) out.vt = VT_BSTR;
        return hr;
    }
    long long value = 0;
    HRESULT hr = ToLong(src, value);
    if (FAILED(hr)) return hr;
    switch (vt) {
    case VT_I2: hr = Narrow(value, out.iVal); break;
    case VT_I4: hr = Narrow(value, out.lVal); break;
    case VT_BOOL: out.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE; break;
    default: return DISP_E_TYPEMISMATCH;
    }
    if (SUCCEEDED(hr)) out.vt = vt;
    return hr;
}

} // namespace

void VariantInit(VARIANT* v)
{
    v->vt = VT_EMPTY;
    v->lVal = 0;
    v->bstrVal = nullptr;
}

HRESULT VariantClear(VARIANT* v)
{
    if (v == nullptr) return E_INVALIDARG;
    switch (v->vt) {
    case VT_BSTR: SysFreeString(v->bstrVal); break;
    case VT_DISPATCH:
        if (v->pdispVal) v->pdispVal->Release();
        break;
    default:
        if (IsArrayOfBstr(v->vt)) SafeArrayDestroy(v->parray);
        break;
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src)
{
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    if (dest == src) return S_OK;
    VARIANT copy = *src;
    if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if (src->vt == VT_DISPATCH && src->pdispVal != nullptr) {
        src->pdispVal->AddRef();
    } else if (IsArrayOfBstr(src->vt) && src->parray != nullptr) {
        const HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
        if (FAILED(hr)) return hr;
    }
    VariantClear(dest);
    *dest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt)
{
    if (dest == nullptr || src == nullptr) return E_INVALIDARG;
    VARIANT converted;
    const HRESULT hr = Convert(*src, vt, flags, converted);
    if (FAILED(hr)) return hr;
    VariantClear(dest);
    *dest = converted;
    return S_OK;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count)
{
    if (vt != VT_BSTR) return nullptr;
    auto array = std::make_unique<SAFEARRAY>();
    array->vt = vt;
    array->lowerBound = lowerBound;
    array->elements.assign(count, nullptr);
    return array.release();
}

HRESULT SafeArrayDestroy(SAFEARRAY* array)
{
    if (array == nullptr) return S_OK;
    for (BSTR element : array->elements) SysFreeString(element);
    std::unique_ptr<SAFEARRAY> owned(array);
    return S_OK;
}

namespace {

HRESULT Slot(SAFEARRAY* array, const LONG* index, BSTR*& slot)
{
    if (array == nullptr || index == nullptr) return E_INVALIDARG;
    const long long offset = static_cast<long long>(*index) - array->lowerBound;
    if (offset < 0 || offset >= static_cast<long long>(array->elements.size())) return DISP_E_BADINDEX;
    slot = &array->elements[static_cast<std::size_t>(offset)];
    return S_OK;
}

} // namespace

HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* index, void* value)
{
    BSTR* slot = nullptr;
    if (const HRESULT hr = Slot(array, index, slot); FAILED(hr)) return hr;
    const auto source = static_cast<BSTR>(value);
    BSTR copy = source ? SysAllocStringLen(source, SysStringLen(source)) : nullptr;
    if (source && !copy) return E_OUTOFMEMORY;
    SysFreeString(*slot);
    *slot = copy;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* index, void* value)
{
    BSTR* slot = nullptr;
    if (const HRESULT hr = Slot(array, index, slot); FAILED(hr)) return hr;
    BSTR copy = *slot ? SysAllocStringLen(*slot, SysStringLen(*slot)) : nullptr;
    if (*slot && !copy) return E_OUTOFMEMORY;
    *static_cast<BSTR*>(value) = copy;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data)
{
    if (array == nullptr || data == nullptr) return E_INVALIDARG;
    *data = array->elements.data();
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) { return array == nullptr ? E_INVALIDARG : S_OK; }

ULONG SafeArrayElementCount(const SAFEARRAY* array)
{
    return array == nullptr ? 0 : static_cast<ULONG>(array->elements.size());
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound)
{
    if (array == nullptr || bound == nullptr) return E_INVALIDARG;
    if (dimension != 1) return DISP_E_BADINDEX;
    *bound = array->lowerBound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound)
{
    if (array == nullptr || bound == nullptr) return E_INVALIDARG;
    if (dimension != 1) return DISP_E_BADINDEX;
    *bound = array->lowerBound + static_cast<LONG>(array->elements.size()) - 1;
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy)
{
    if (array == nullptr || copy == nullptr) return E_INVALIDARG;
    SAFEARRAY* result =
        SafeArrayCreateVector(array->vt, array->lowerBound, static_cast<ULONG>(array->elements.size()));
    if (result == nullptr) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < array->elements.size(); ++i) {
        const LONG index = array->lowerBound + static_cast<LONG>(i);
        if (const HRESULT hr = SafeArrayPutElement(result, &index, array->elements[i]); FAILED(hr)) {
            SafeArrayDestroy(result);
            return hr;
        }
    }
    *copy = result;
    return S_OK;
}

CComVariant::CComVariant(std::u16string_view text)
{
    vt = VT_BSTR;
    bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

CComVariant::CComVariant(IDispatch* dispatch)
{
    vt = VT_DISPATCH;
    pdispVal = dispatch;
    if (dispatch) dispatch->AddRef();
}

CComVariant::CComVariant(const CComVariant& other)
{
    VariantInit(this);
    VariantCopy(this, &other);
}

CComVariant& CComVariant::operator=(const CComVariant& other)
{
    VariantCopy(this, &other);
    return *this;
}
