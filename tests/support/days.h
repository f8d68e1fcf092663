// Fixed local times for the daily counter's tests.
#pragma once

#include "platform/win32/nls.h"

// Noon of the given day: far from midnight whatever the test does around it.
inline SYSTEMTIME Noon(WORD year, WORD month, WORD day)
{
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = 12;
    return time;
}
