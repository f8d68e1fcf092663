// The local time as the component reads it: the system's clock, unless a
// test has fixed it. Everything that needs "now" (log timestamps, the day of
// the year) reads it here, so tests can choose the day and the hour.
#pragma once

#include "platform/win32/nls.h"

#include <optional>

namespace qmt {

SYSTEMTIME LocalTimeNow();

// Fixes the local time for every thread while the object lives; the time
// fixed before (or the running clock) comes back when it goes.
class CFixedLocalTime {
public:
    explicit CFixedLocalTime(const SYSTEMTIME& time);
    ~CFixedLocalTime();
    CFixedLocalTime(const CFixedLocalTime&) = delete;
    CFixedLocalTime& operator=(const CFixedLocalTime&) = delete;

private:
    std::optional<SYSTEMTIME> m_previous;
};

} // namespace qmt
