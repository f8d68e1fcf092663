#include "qmt/sys/clock.h"

#include <mutex>

namespace qmt {

namespace {

struct FixedTime {
    std::mutex mutex;
    std::optional<SYSTEMTIME> time;
};

FixedTime& Fixed()
{
    static FixedTime fixed;
    return fixed;
}

// Puts the given time (or none) in place and returns the one it replaces.
std::optional<SYSTEMTIME> ExchangeFixedTime(const std::optional<SYSTEMTIME>& time)
{
    FixedTime& fixed = Fixed();
    std::lock_guard lock(fixed.mutex);
    std::optional<SYSTEMTIME> previous = fixed.time;
    fixed.time = time;
    return previous;
}

} // namespace

SYSTEMTIME LocalTimeNow()
{
    {
        FixedTime& fixed = Fixed();
        std::lock_guard lock(fixed.mutex);
        if (fixed.time) return *fixed.time;
    }
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now;
}

CFixedLocalTime::CFixedLocalTime(const SYSTEMTIME& time) : m_previous(ExchangeFixedTime(time)) {}

CFixedLocalTime::~CFixedLocalTime() { ExchangeFixedTime(m_previous); }

} // namespace qmt
