#include "qmt/sys/mutex.h"

#include "platform/win32/kernel.h"
#include "platform/win32/synch.h"

namespace {

// A null DACL, so that processes of other accounts (services, other users)
// serialise on the same lock; default security when it cannot be built.
HANDLE CreateOpenToEveryAccount(const std::u16string& name)
{
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    const bool nullDacl = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                          SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    return CreateMutexW(nullDacl ? &attributes : nullptr, FALSE, name.c_str());
}

// A mutex another account created may refuse creation to us and still let
// us open it for waiting and releasing.
HANDLE CreateOrOpen(const std::u16string& name)
{
    HANDLE handle = CreateOpenToEveryAccount(name);
    if (handle == nullptr && GetLastError() == ERROR_ACCESS_DENIED)
        handle = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    return handle;
}

} // namespace

CMutex::CMutex(const std::u16string& name, bool lockNow, DWORD timeout) : m_handle(CreateOrOpen(name))
{
    if (lockNow) Lock(timeout);
}

CMutex::~CMutex() { Unlock(); }

bool CMutex::Lock(DWORD timeout)
{
    if (!m_handle) return false;
    if (m_lockCount > 0) return true;
    const DWORD result = WaitForSingleObject(m_handle.get(), timeout);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return false;
    m_lockCount = 1;
    return true;
}

bool CMutex::Unlock()
{
    if (m_lockCount == 0) return true;
    if (!ReleaseMutex(m_handle.get())) return false;
    m_lockCount = 0;
    return true;
}
