// The module's process-wide state: which file it is, how many objects and
// server locks keep it loaded, and the lock that serialises its first-time
// set-ups (the class object, the type information).
#pragma once

#include "platform/win32/sysinfo.h"

#include <mutex>
#include <string>

namespace valmorin::module {

// False when the module could not find itself when it was loaded; the
// entry points then refuse to work (E_UNEXPECTED).
bool Initialized();
// The module's handle and full path, found from the module's own code.
HMODULE Handle();
const std::u16string& Path();

// Objects and server locks; the module may be unloaded at zero.
void Lock();
void Unlock();
LONG LockCount();

std::mutex& CriticalSection();

// Where the module's code is linked into a program instead of being loaded
// as libvalmorin.so (the test program), that program names the library
// file the code stands for, so that paths and version headers name it.
void StandInFor(HMODULE library);

// Holds one module lock for its life.
class ScopedLock {
public:
    ScopedLock() { Lock(); }
    ~ScopedLock() { Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
};

} // namespace valmorin::module
