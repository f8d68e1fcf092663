// A point in time as the texts of the user's locale show it.
#pragma once

#include "platform/win32/nls.h"

#include <string>

namespace qmt {

class CDate {
public:
    CDate() = default;
    virtual ~CDate() = default;

    // The locale's date text for the flags (0: the short date). Throws
    // CWinException when the stored time is no valid date.
    std::u16string dateText(DWORD flags) const;
    // The locale's time text for the flags (0: the long time). Throws
    // CWinException when the stored time is no valid time.
    std::u16string timeText(DWORD flags) const;
    // Date and time with one space between; empty when either fails.
    std::u16string dateTimeText() const;

protected:
    SYSTEMTIME m_time{};
};

class CDateLocal : public CDate {
public:
    // Stores the current local time (see LocalTimeNow).
    void setNow();
};

} // namespace qmt
