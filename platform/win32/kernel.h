// Win32 kernel services the component relies on: the thread's last error and
// the system message texts.
#pragma once

#include "valmorin/com/types.h"

VALMORIN_PLATFORM_API DWORD GetLastError();
VALMORIN_PLATFORM_API void SetLastError(DWORD error);

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

// Looks up the system text of a Win32 error code or HRESULT (the English
// wording, ending with CR LF). With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer
// argument is an OLECHAR** that receives a block to release with LocalFree.
// Returns the text's length, or 0 with the last error set when there is none.
VALMORIN_PLATFORM_API DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                                           LPOLESTR buffer, DWORD size, void* arguments);
VALMORIN_PLATFORM_API void* LocalFree(void* memory);
