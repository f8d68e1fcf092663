// How the stand-ins hand text out through a caller's buffer. Not part of the
// Windows surface.
#pragma once

#include "platform/win32/handle.h"

#include <string_view>

namespace valmorin::win32 {

// Copies the text and a terminator into the caller's buffer of *size
// characters and leaves the text's length in *size. When it does not fit:
// the needed size, terminator included, in *size, the given error as the
// thread's last error, and FALSE.
BOOL CopyToBuffer(std::u16string_view text, char16_t* buffer, DWORD* size, DWORD errorWhenTooSmall);

} // namespace valmorin::win32
