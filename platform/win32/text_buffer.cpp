#include "platform/win32/text_buffer.h"

#include "platform/win32/kernel.h"

#include <algorithm>

namespace valmorin::win32 {

BOOL CopyToBuffer(std::u16string_view text, char16_t* buffer, DWORD* size, DWORD errorWhenTooSmall)
{
    const auto needed = static_cast<DWORD>(text.size() + 1);
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        SetLastError(errorWhenTooSmall);
        return FALSE;
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    *size = needed - 1;
    return TRUE;
}

} // namespace valmorin::win32
