// Letter case and hex digits of ASCII only, as the C locale sees them:
// names of keys, providers, columns and switches compare this way, whatever
// the user's language.
#pragma once

#include "valmorin/com/types.h"

#include <string>
#include <string_view>

namespace valmorin::text {

constexpr char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }
VALMORIN_PLATFORM_API std::u16string AsciiUpper(std::u16string_view text);
VALMORIN_PLATFORM_API bool EqualAsciiNoCase(std::u16string_view a, std::u16string_view b);

// The value of a hex digit of either case; -1 for anything else.
constexpr int HexDigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

} // namespace valmorin::text
