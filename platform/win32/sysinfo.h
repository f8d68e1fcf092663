// Who and where the process runs, as the kernel names it: thread id,
// computer name, module file names.
#pragma once

#include "valmorin/com/types.h"

#include "platform/win32/handle.h"

using HMODULE = void*;

inline constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;

// The kernel's id of the calling thread.
VALMORIN_PLATFORM_API DWORD GetCurrentThreadId();

// The NetBIOS-style name of the computer: the host name up to its first dot,
// in upper case, cut to MAX_COMPUTERNAME_LENGTH characters. *size is the
// buffer's capacity in characters; ERROR_BUFFER_OVERFLOW when it is too small.
VALMORIN_PLATFORM_API BOOL GetComputerNameW(char16_t* buffer, DWORD* size);

// The main executable for a null name, or a loaded library by its file name;
// null with ERROR_MOD_NOT_FOUND when no such module is loaded.
VALMORIN_PLATFORM_API HMODULE GetModuleHandleA(const char* name);

// The full path of the module's file (null: the main executable). A path
// longer than the buffer is cut to size - 1 characters, with
// ERROR_INSUFFICIENT_BUFFER; returns the characters written, 0 on failure.
VALMORIN_PLATFORM_API DWORD GetModuleFileNameW(HMODULE module, char16_t* buffer, DWORD size);
