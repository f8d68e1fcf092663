#include "platform/text/ascii.h"

#include <algorithm>

namespace valmorin::text {

std::u16string AsciiUpper(std::u16string_view text)
{
    std::u16string upper(text);
    for (char16_t& c : upper) c = AsciiUpper(c);
    return upper;
}

bool EqualAsciiNoCase(std::u16string_view a, std::u16string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char16_t x, char16_t y) { return AsciiUpper(x) == AsciiUpper(y); });
}

} // namespace valmorin::text
