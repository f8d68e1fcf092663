// What the test program puts in front of the component's clock and of the
// platform's error objects. Both are link-time seams: the test program
// defines qmt::LocalTimeNow and CreateErrorInfo itself, so the shipped
// libraries carry no switch for them.
#pragma once

#include "platform/win32/nls.h"

#include <optional>

// Fixes the local time the component reads, for every thread, while the
// object lives; the time fixed before (or the running clock) comes back
// when it goes.
class FixedLocalTime {
public:
    explicit FixedLocalTime(const SYSTEMTIME& time);
    ~FixedLocalTime();
    FixedLocalTime(const FixedLocalTime&) = delete;
    FixedLocalTime& operator=(const FixedLocalTime&) = delete;

private:
    std::optional<SYSTEMTIME> m_previous;
};

// While the object lives, every CreateErrorInfo fails with E_OUTOFMEMORY,
// as it does when the error object cannot be allocated.
class FailingErrorInfoCreation {
public:
    FailingErrorInfoCreation();
    ~FailingErrorInfoCreation();
    FailingErrorInfoCreation(const FailingErrorInfoCreation&) = delete;
    FailingErrorInfoCreation& operator=(const FailingErrorInfoCreation&) = delete;
};
