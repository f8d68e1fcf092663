#include "service/format_sql.h"

#include "qmt/diag/format.h"

#include <cstdarg>

void FormatSql(ServiceText& out, const char16_t* format, ...)
{
    if (format == nullptr) return;
    std::va_list args;
    va_start(args, format);
    std::u16string text = qmt::FormatV(format, args);
    va_end(args);
    out = std::move(text);
}
