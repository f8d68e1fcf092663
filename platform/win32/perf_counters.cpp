#include "platform/win32/perf_counters.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

PerfCounter& PerfCounterNamed(std::string_view name)
{
    static std::mutex mutex;
    // Never destroyed: a part that counts while the process ends (a
    // detached worker) still finds its counter.
    static auto* counters = new std::map<std::string, std::unique_ptr<PerfCounter>, std::less<>>;
    const std::lock_guard lock(mutex);
    auto found = counters->find(name);
    if (found == counters->end()) found = counters->emplace(std::string(name), std::make_unique<PerfCounter>()).first;
    return *found->second;
}
