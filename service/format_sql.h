// printf-style building of statement texts. Values are substituted as they
// stand: nothing is escaped.
#pragma once

#include "service/service_text.h"

// %s takes a NUL-terminated const char16_t*, %d a 32-bit integer; %03d, %x,
// %lx, %lu and %% as in printf. A null format leaves out unchanged.
void FormatSql(ServiceText& out, const char16_t* format, ...);
