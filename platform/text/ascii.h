// Letter case and hex digits of ASCII only, as the C locale sees them:
// names of keys, providers, columns and switches compare this way, whatever
// the user's language.
#pragma once

#include "valmorin/com/types.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace valmorin::text {

// The number the whole text writes in decimal digits; none for an empty
// text, a sign, a blank or a number past 64 bits.
inline std::optional<std::uint64_t> DecimalNumber(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

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
