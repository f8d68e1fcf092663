// Named mutexes shared by the threads and processes of one computer.
//
// A mutex is owned by the thread that acquired it and may be acquired again
// by that thread (each acquisition is released once). When its owner thread
// or process ends while holding it, the next wait acquires it and reports
// WAIT_ABANDONED. The mutex lives in the shared-memory object
// "/valmorin-mutex.<name>" (the name in UTF-8, '%' and '/' written as %25
// and %2F), which outlives its last handle.
#pragma once

#include "valmorin/com/types.h"

#include "platform/win32/handle.h"
#include "platform/win32/security.h"

inline constexpr DWORD SYNCHRONIZE = 0x00100000;
inline constexpr DWORD MUTEX_MODIFY_STATE = 0x0001;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Creates the mutex, or opens it when it exists (the last error is then
// ERROR_ALREADY_EXISTS). A present null DACL in the attributes lets every
// account open it; otherwise only the creating account may. A name is
// required. Null with ERROR_ACCESS_DENIED when the mutex exists and the
// account may not use it.
VALMORIN_PLATFORM_API HANDLE CreateMutexW(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, const char16_t* name);

// Opens an existing mutex; null with ERROR_FILE_NOT_FOUND when there is none.
VALMORIN_PLATFORM_API HANDLE OpenMutexW(DWORD access, BOOL inheritHandle, const char16_t* name);

// WAIT_OBJECT_0 or WAIT_ABANDONED when the calling thread now owns the
// mutex, WAIT_TIMEOUT when the time ran out, WAIT_FAILED otherwise.
VALMORIN_PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Releases one acquisition; FALSE with ERROR_NOT_OWNER when the calling
// thread does not own the mutex.
VALMORIN_PLATFORM_API BOOL ReleaseMutex(HANDLE mutex);
