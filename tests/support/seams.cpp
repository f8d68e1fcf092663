#include "support/seams.h"

#include "valmorin/com/errorinfo.h"
#include "qmt/sys/clock.h"

#include <atomic>
#include <mutex>

#include <dlfcn.h>

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

std::atomic<bool> g_failErrorInfoCreation{false};

} // namespace

// Linked before the component's archive, this definition is the one its
// code calls; the component's own, which reads the system clock alone, is
// then never linked in.
SYSTEMTIME qmt::LocalTimeNow()
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

FixedLocalTime::FixedLocalTime(const SYSTEMTIME& time) : m_previous(ExchangeFixedTime(time)) {}

FixedLocalTime::~FixedLocalTime() { ExchangeFixedTime(m_previous); }

// Stands in front of the platform library's entry point, which the dynamic
// linker finds next after the program's own.
extern "C" HRESULT CreateErrorInfo(ICreateErrorInfo** info)
{
    using Entry = HRESULT (*)(ICreateErrorInfo**);
    static const auto platform = reinterpret_cast<Entry>(dlsym(RTLD_NEXT, "CreateErrorInfo"));
    if (!g_failErrorInfoCreation) return platform(info);
    if (info) *info = nullptr;
    return E_OUTOFMEMORY;
}

FailingErrorInfoCreation::FailingErrorInfoCreation() { g_failErrorInfoCreation = true; }

FailingErrorInfoCreation::~FailingErrorInfoCreation() { g_failErrorInfoCreation = false; }
