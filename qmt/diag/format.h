// printf-style formatting of UTF-16 text.
//
// Conversions: %s (NUL-terminated const char16_t*; null prints "(null)"),
// %c, %d/%i, %u, %x/%X, %% with the flags '-' and '0' and a width. A 'l'
// length modifier is accepted and ignored: integer arguments are 32 bits
// wide, as LONG and DWORD are on the platform the texts were written for.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace qmt {

std::u16string FormatV(const char16_t* format, std::va_list args);
std::u16string Format(const char16_t* format, ...);

// A text as a buffer of `capacity` characters holds it on the platform the
// texts come from: the last place keeps the terminating NUL, so a text as
// long as the buffer, or longer, is cut to capacity - 1.
std::u16string FitToBuffer(std::u16string_view text, std::size_t capacity);

} // namespace qmt
