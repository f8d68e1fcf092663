// Local time and its texts in the user's locale; texts compared code unit
// by code unit.
//
// The user's locale is the first set one of LC_ALL, LC_TIME and LANG (as
// "en_US.UTF-8" or "de_DE@euro"). Dates and times take the Windows default
// short date and long time patterns of that locale, known for en-US, en-GB,
// fr-FR, fr-CH, de-DE, de-CH, it-IT, es-ES, nl-NL and ja-JP. Any other
// locale, C and POSIX included, is formatted as en-US, the default user
// locale of an unconfigured Windows system.
#pragma once

#include "valmorin/com/types.h"

#include "platform/win32/handle.h"

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;

VALMORIN_PLATFORM_API void GetLocalTime(SYSTEMTIME* time);

// Formats the date part of *time with the picture, or with the locale's
// short date pattern when picture is null. Picture letters: d, dd, M, MM,
// y, yy, yyyy, and text in single quotes; names of days and months are not
// provided. Only LOCALE_USER_DEFAULT and flags 0 are accepted. Returns the
// characters written with the terminator (size 0: the size needed), or 0
// with ERROR_INVALID_PARAMETER for an invalid date, ERROR_INVALID_FLAGS or
// ERROR_INSUFFICIENT_BUFFER.
VALMORIN_PLATFORM_API int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, const char16_t* picture,
                                         char16_t* buffer, int size);

// The same for the time part, with the locale's long time pattern. Picture
// letters: h, hh, H, HH, m, mm, s, ss, t, tt.
VALMORIN_PLATFORM_API int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, const char16_t* picture,
                                         char16_t* buffer, int size);
