// The text type of the service: growable UTF-16 that hands out a cached BSTR
// copy of itself.
#pragma once

#include "valmorin/com/bstr.h"

#include <string>

// A BSTR argument as the statements see it: up to its first NUL, NULL as
// the empty text.
inline std::u16string_view TextOf(BSTR bstr) { return bstr ? std::u16string_view(bstr) : std::u16string_view(); }

class ServiceText {
public:
    ServiceText() = default;
    ServiceText(std::u16string text) : m_text(std::move(text)) {}
    // A NULL BSTR is the empty text; the copy stops at the first NUL.
    static ServiceText FromBstr(BSTR bstr);

    ServiceText& operator=(std::u16string text);
    ServiceText& operator+=(std::u16string_view text);

    const std::u16string& str() const { return m_text; }
    const char16_t* c_str() const { return m_text.c_str(); }
    bool empty() const { return m_text.empty(); }
    // Valid until the text changes or is destroyed.
    BSTR bstr() const;
    // A new BSTR the caller owns.
    BSTR copy() const;

private:
    std::u16string m_text;
    mutable CComBSTR m_cached;
    mutable bool m_cacheValid = false;
};
