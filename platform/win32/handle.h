// Kernel object handles: what a token or a named mutex is known by until it
// is closed.
#pragma once

#include "valmorin/com/types.h"
#include "platform/win32/errors.h"

using BOOL = std::int32_t;
using HANDLE = void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Closes a handle from this family; FALSE with ERROR_INVALID_HANDLE for
// anything else. The object goes when its last handle (and last user) does.
VALMORIN_PLATFORM_API BOOL CloseHandle(HANDLE handle);
