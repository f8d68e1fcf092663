// printf-style formatting of UTF-16 text.
//
// Conversions: %s (NUL-terminated const char16_t*; null prints "(null)"),
// %c, %d/%i, %u, %x/%X, %% with the flags '-' and '0' and a width. A 'l'
// length modifier is accepted and ignored: integer arguments are 32 bits
// wide, as LONG and DWORD are on the platform the texts were written for.
#pragma once

#include <cstdarg>
#include <string>

namespace qmt {

std::u16string FormatV(const char16_t* format, std::va_list args);
std::u16string Format(const char16_t* format, ...);

} // namespace qmt
