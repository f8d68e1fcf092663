// The counts a process keeps of what its parts did, read by whatever in the
// process reports them (valmorin serve's /metrics): Windows' performance
// counters, in the small. A counter is named once, lives as long as the
// process, and counts without a lock.
#pragma once

#include "valmorin/com/types.h"

#include <atomic>
#include <cstdint>
#include <string_view>

class PerfCounter {
public:
    void Increment() noexcept { m_value.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t Value() const noexcept { return m_value.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> m_value{0};
};

// The process's counter of that name, made at its first use; the same
// object for every part of the process (the component and its host share
// it through this library).
VALMORIN_PLATFORM_API PerfCounter& PerfCounterNamed(std::string_view name);
