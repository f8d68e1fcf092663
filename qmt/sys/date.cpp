#include "qmt/sys/date.h"

#include "platform/win32/kernel.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/clock.h"

namespace qmt {

namespace {

constexpr int kTextCapacity = 260;

} // namespace

std::u16string CDate::dateText(DWORD flags) const
{
    char16_t buffer[kTextCapacity] = {};
    if (GetDateFormatW(LOCALE_USER_DEFAULT, flags, &m_time, nullptr, buffer, kTextCapacity) == 0) {
        const DWORD error = GetLastError();
        TraceDebug(u"Exception in CDate::GetDateFormat");
        throw CWinException(error);
    }
    return buffer;
}

std::u16string CDate::timeText(DWORD flags) const
{
    char16_t buffer[kTextCapacity] = {};
    if (GetTimeFormatW(LOCALE_USER_DEFAULT, flags, &m_time, nullptr, buffer, kTextCapacity) == 0)
        throw CWinException(GetLastError());
    return buffer;
}

std::u16string CDate::dateTimeText() const
{
    try {
        return dateText(0) + u" " + timeText(0);
    } catch (...) {
        return {};
    }
}

void CDateLocal::setNow() { m_time = LocalTimeNow(); }

} // namespace qmt
