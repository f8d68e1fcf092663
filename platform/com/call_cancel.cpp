// Cancelling a call in flight. In process there is no channel to carry the
// request: the caller's side marks the thread that makes the call, and the
// object, which runs on that thread, asks with CoTestCancel at points where
// it can stop cleanly.
#include "valmorin/com/runtime.h"

#include "platform/win32/sysinfo.h"

#include <map>
#include <mutex>

namespace {

struct Cancellations {
    std::mutex mutex;
    std::map<DWORD, bool> cancelled; // by thread that enabled cancellation
};

Cancellations& ProcessCancellations()
{
    static Cancellations cancellations;
    return cancellations;
}

// A thread that ends with cancellation enabled takes its mark with it:
// another thread may be given the same id later.
struct EnabledOnThisThread {
    bool enabled = false;
    ~EnabledOnThisThread()
    {
        if (!enabled) return;
        Cancellations& all = ProcessCancellations();
        const std::lock_guard lock(all.mutex);
        all.cancelled.erase(GetCurrentThreadId());
    }
};

thread_local EnabledOnThisThread t_enabled;

} // namespace

HRESULT CoEnableCallCancellation(void*)
{
    Cancellations& all = ProcessCancellations();
    const std::lock_guard lock(all.mutex);
    all.cancelled[GetCurrentThreadId()] = false;
    t_enabled.enabled = true;
    return S_OK;
}

HRESULT CoDisableCallCancellation(void*)
{
    Cancellations& all = ProcessCancellations();
    const std::lock_guard lock(all.mutex);
    t_enabled.enabled = false;
    return all.cancelled.erase(GetCurrentThreadId()) ? S_OK : CO_E_CANCEL_DISABLED;
}

HRESULT CoCancelCall(DWORD threadId, ULONG)
{
    Cancellations& all = ProcessCancellations();
    const std::lock_guard lock(all.mutex);
    const auto it = all.cancelled.find(threadId);
    if (it == all.cancelled.end()) return CO_E_CANCEL_DISABLED;
    it->second = true;
    return S_OK;
}

HRESULT CoTestCancel()
{
    Cancellations& all = ProcessCancellations();
    const std::lock_guard lock(all.mutex);
    const auto it = all.cancelled.find(GetCurrentThreadId());
    return it != all.cancelled.end() && it->second ? RPC_E_CALL_CANCELED : RPC_S_CALLPENDING;
}
