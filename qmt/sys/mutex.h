// A named lock shared by the threads and processes of one computer. Every
// account may open it. A lock whose owner ended while holding it is taken
// over by the next Lock.
#pragma once

#include "qmt/sys/unique_handle.h"

#include <string>

class CMutex {
public:
    // Without a handle (the mutex could be neither created nor opened) every
    // Lock fails. With lockNow, locks at once, waiting up to timeout ms.
    CMutex(const std::u16string& name, bool lockNow, DWORD timeout);
    virtual ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    // True when this object holds the lock, at once if it held it already;
    // false when there is no handle or timeout ms passed first.
    bool Lock(DWORD timeout);
    // Releases the lock this object holds; false when the system refuses
    // (the lock belongs to another thread).
    bool Unlock();

private:
    qmt::CUniqueHandle m_handle;
    int m_lockCount = 0;
};
