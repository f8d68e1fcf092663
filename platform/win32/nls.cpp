#include "platform/win32/nls.h"

#include "platform/win32/kernel.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace {

struct LocaleFormats {
    std::string_view tag;
    std::u16string_view shortDate;
    std::u16string_view longTime;
    std::u16string_view am;
    std::u16string_view pm;
};

// The Windows defaults of each locale; the first entry stands in for every
// locale not listed. The 24-hour locales carry no AM/PM designators here:
// their patterns never show one.
constexpr LocaleFormats kLocales[] = {
    {"en-US", u"M/d/yyyy", u"h:mm:ss tt", u"AM", u"PM"},
    {"en-GB", u"dd/MM/yyyy", u"HH:mm:ss", u"", u""},
    {"fr-FR", u"dd/MM/yyyy", u"HH:mm:ss", u"", u""},
    {"fr-CH", u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},
    {"de-DE", u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},
    {"de-CH", u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},
    {"it-IT", u"dd/MM/yyyy", u"HH:mm:ss", u"", u""},
    {"es-ES", u"dd/MM/yyyy", u"H:mm:ss", u"", u""},
    {"nl-NL", u"d-M-yyyy", u"HH:mm:ss", u"", u""},
    {"ja-JP", u"yyyy/MM/dd", u"H:mm:ss", u"", u""},
};

std::string UserLocaleVariable()
{
    for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return value;
    }
    return {};
}

// "de_DE.UTF-8@euro" -> "de-DE"
std::string LocaleTag(std::string value)
{
    value = value.substr(0, value.find_first_of(".@"));
    std::replace(value.begin(), value.end(), '_', '-');
    return value;
}

bool SameTag(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

const LocaleFormats& UserLocale()
{
    const std::string tag = LocaleTag(UserLocaleVariable());
    for (const LocaleFormats& locale : kLocales)
        if (SameTag(locale.tag, tag)) return locale;
    return kLocales[0];
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month)
{
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(const SYSTEMTIME& time)
{
    return time.wYear >= 1601 && time.wYear <= 30827 && time.wMonth >= 1 && time.wMonth <= 12 && time.wDay >= 1 &&
           time.wDay <= DaysInMonth(time.wYear, time.wMonth);
}

bool IsValidTime(const SYSTEMTIME& time)
{
    return time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60 && time.wMilliseconds < 1000;
}

std::u16string Number(int value, std::size_t minimumDigits)
{
    std::string digits = std::to_string(value);
    if (digits.size() < minimumDigits) digits.insert(0, minimumDigits - digits.size(), '0');
    return {digits.begin(), digits.end()};
}

std::optional<std::u16string> DateField(char16_t letter, std::size_t count, const SYSTEMTIME& time)
{
    switch (letter) {
    case u'd': return count <= 2 ? std::optional(Number(time.wDay, count)) : std::nullopt;
    case u'M': return count <= 2 ? std::optional(Number(time.wMonth, count)) : std::nullopt;
    case u'y': return count <= 2 ? Number(time.wYear % 100, count) : Number(time.wYear, 4);
    default: return std::nullopt;
    }
}

std::u16string Designator(std::size_t count, const SYSTEMTIME& time, const LocaleFormats& locale)
{
    const std::u16string_view designator = time.wHour < 12 ? locale.am : locale.pm;
    return std::u16string(count == 1 ? designator.substr(0, 1) : designator);
}

std::optional<std::u16string> TimeField(char16_t letter, std::size_t count, const SYSTEMTIME& time,
                                        const LocaleFormats& locale)
{
    if (count > 2) return std::nullopt;
    switch (letter) {
    case u'h': return Number(time.wHour % 12 == 0 ? 12 : time.wHour % 12, count);
    case u'H': return Number(time.wHour, count);
    case u'm': return Number(time.wMinute, count);
    case u's': return Number(time.wSecond, count);
    case u't': return Designator(count, time, locale);
    default: return std::nullopt;
    }
}

enum class Part { Date, Time };

bool IsFieldLetter(Part part, char16_t c)
{
    const std::u16string_view letters = part == Part::Date ? u"dMy" : u"hHmst";
    return letters.find(c) != std::u16string_view::npos;
}

// Expands the picture: runs of one field letter become the field, text in
// single quotes is copied ('' gives one quote), everything else is copied.
std::optional<std::u16string> Expand(Part part, std::u16string_view picture, const SYSTEMTIME& time,
                                     const LocaleFormats& locale)
{
    std::u16string out;
    for (std::size_t i = 0; i < picture.size();) {
        const char16_t c = picture[i];
        if (c == u'\'') {
            const std::size_t close = picture.find(u'\'', i + 1);
            const std::size_t end = close == std::u16string_view::npos ? picture.size() : close;
            out += end == i + 1 && close != std::u16string_view::npos ? u"'" : picture.substr(i + 1, end - i - 1);
            i = end + 1;
            continue;
        }
        if (!IsFieldLetter(part, c)) {
            out += c;
            ++i;
            continue;
        }
        const std::size_t end = std::min(picture.find_first_not_of(c, i), picture.size());
        const std::optional<std::u16string> field =
            part == Part::Date ? DateField(c, end - i, time) : TimeField(c, end - i, time, locale);
        if (!field) return std::nullopt;
        out += *field;
        i = end;
    }
    return out;
}

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

int FormatPart(Part part, LCID localeId, DWORD flags, const SYSTEMTIME* time, const char16_t* picture,
               char16_t* buffer, int size)
{
    if (flags != 0) return Fail(ERROR_INVALID_FLAGS);
    if (localeId != LOCALE_USER_DEFAULT || time == nullptr || size < 0) return Fail(ERROR_INVALID_PARAMETER);
    if (part == Part::Date ? !IsValidDate(*time) : !IsValidTime(*time)) return Fail(ERROR_INVALID_PARAMETER);
    const LocaleFormats& locale = UserLocale();
    const std::u16string_view pattern =
        picture != nullptr ? std::u16string_view(picture) : part == Part::Date ? locale.shortDate : locale.longTime;
    const std::optional<std::u16string> text = Expand(part, pattern, *time, locale);
    if (!text) return Fail(ERROR_INVALID_PARAMETER);
    const int needed = static_cast<int>(text->size() + 1);
    if (size == 0) return needed;
    if (buffer == nullptr || size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::copy(text->begin(), text->end(), buffer);
    buffer[text->size()] = u'\0';
    return needed;
}

} // namespace

void GetLocalTime(SYSTEMTIME* time)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    *time = SYSTEMTIME{static_cast<WORD>(local.tm_year + 1900), static_cast<WORD>(local.tm_mon + 1),
                       static_cast<WORD>(local.tm_wday),        static_cast<WORD>(local.tm_mday),
                       static_cast<WORD>(local.tm_hour),        static_cast<WORD>(local.tm_min),
                       static_cast<WORD>(local.tm_sec),         static_cast<WORD>(now.tv_nsec / 1000000)};
}

int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, const char16_t* picture, char16_t* buffer,
                   int size)
{
    return FormatPart(Part::Date, locale, flags, time, picture, buffer, size);
}

int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, const char16_t* picture, char16_t* buffer,
                   int size)
{
    return FormatPart(Part::Time, locale, flags, time, picture, buffer, size);
}
