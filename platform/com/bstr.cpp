#include "valmorin/com/bstr.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include <malloc.h>

namespace {

using Prefix = std::uint32_t; // byte length, stored just before the text

std::size_t TextLength(LPCOLESTR text)
{
    std::size_t n = 0;
    while (text[n] != u'\0') ++n;
    return n;
}

} // namespace

BSTR SysAllocStringLen(LPCOLESTR text, UINT length)
{
    const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
    if (bytes > 0xFFFFFFF0u) return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(sizeof(Prefix) + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const Prefix prefix = static_cast<Prefix>(bytes);
    std::memcpy(block, &prefix, sizeof prefix);
    auto* str = reinterpret_cast<BSTR>(block + sizeof(Prefix));
    if (text != nullptr) std::memcpy(str, text, bytes);
    str[length] = u'\0';
    return str;
}

INT SysReAllocStringLen(BSTR* bstr, LPCOLESTR text, UINT length)
{
    if (bstr == nullptr) return 0;
    const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
    if (bytes > 0xFFFFFFF0u) return 0;
    // The block keeps the text when it has room (it takes texts as long as
    // the one it was made for, and often a little longer).
    if (*bstr != nullptr) {
        auto* block = reinterpret_cast<unsigned char*>(*bstr) - sizeof(Prefix);
        if (sizeof(Prefix) + bytes + sizeof(OLECHAR) <= ::malloc_usable_size(block)) {
            const Prefix prefix = static_cast<Prefix>(bytes);
            if (text != nullptr) std::memmove(*bstr, text, bytes);
            std::memcpy(block, &prefix, sizeof prefix);
            (*bstr)[length] = u'\0';
            return 1;
        }
    }
    // Made before the old one is freed: the text may lie within it.
    const BSTR made = SysAllocStringLen(text, length);
    if (made == nullptr) return 0;
    SysFreeString(std::exchange(*bstr, made));
    return 1;
}

BSTR SysAllocString(LPCOLESTR text)
{
    if (text == nullptr) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(TextLength(text)));
}

void SysFreeString(BSTR bstr)
{
    if (bstr != nullptr) std::free(reinterpret_cast<unsigned char*>(bstr) - sizeof(Prefix));
}

UINT SysStringByteLen(BSTR bstr)
{
    if (bstr == nullptr) return 0;
    Prefix prefix;
    std::memcpy(&prefix, reinterpret_cast<unsigned char*>(bstr) - sizeof(Prefix), sizeof prefix);
    return prefix;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

HRESULT CopyToBstr(std::u16string_view text, BSTR* out)
{
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

CComBSTR::CComBSTR(std::u16string_view text)
    : m_str(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
{
}

CComBSTR::CComBSTR(const CComBSTR& other)
    : m_str(other.m_str ? SysAllocStringLen(other.m_str, other.Length()) : nullptr)
{
}
