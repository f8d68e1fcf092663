#include "platform/win32/kernel.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

thread_local DWORD t_lastError = 0;

struct MessageText {
    DWORD id;
    std::u16string_view text;
};

// The codes the component can meet, with the system's wording.
constexpr MessageText kMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {31, u"A device attached to the system is not functioning.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {80, u"The file exists.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {145, u"The directory is not empty.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {193, u"%1 is not a valid Win32 application.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {234, u"More data is available.\r\n"},
    {258, u"The wait operation timed out.\r\n"},
    {259, u"No more data is available.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {1009, u"The configuration registry database is corrupt.\r\n"},
    {1010, u"The configuration registry key is invalid.\r\n"},
    {1011, u"The configuration registry key could not be opened.\r\n"},
    {1016, u"An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
           u"write out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1018, u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1168, u"Element not found.\r\n"},
    {1813, u"The specified resource type cannot be found in the image file.\r\n"},
    {0x80004001, u"Not implemented\r\n"},
    {0x80004002, u"No such interface supported\r\n"},
    {0x80004003, u"Invalid pointer\r\n"},
    {0x80004004, u"Operation aborted\r\n"},
    {0x80004005, u"Unspecified error\r\n"},
    {0x8000FFFF, u"Catastrophic failure\r\n"},
    {0x80010106, u"Cannot change thread mode after it is set.\r\n"},
    {0x80020003, u"Member not found.\r\n"},
    {0x80020004, u"Parameter not found.\r\n"},
    {0x80020005, u"Type mismatch.\r\n"},
    {0x80020006, u"Unknown name.\r\n"},
    {0x80020008, u"Bad variable type.\r\n"},
    {0x80020009, u"Exception occurred.\r\n"},
    {0x8002000A, u"Out of present range.\r\n"},
    {0x8002000B, u"Invalid index.\r\n"},
    {0x8002000E, u"Invalid number of parameters.\r\n"},
    {0x80040110, u"Class does not support aggregation (or class object is remote)\r\n"},
    {0x80040111, u"ClassFactory cannot supply requested class\r\n"},
    {0x80040154, u"Class not registered\r\n"},
    {0x800401F0, u"CoInitialize has not been called.\r\n"},
    {0x800401F3, u"Invalid class string\r\n"},
};

const MessageText* FindMessage(DWORD id)
{
    for (const MessageText& message : kMessages)
        if (message.id == id) return &message;
    return nullptr;
}

} // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

DWORD FormatMessageW(DWORD flags, const void*, DWORD messageId, DWORD, LPOLESTR buffer, DWORD size, void*)
{
    const MessageText* message = (flags & FORMAT_MESSAGE_FROM_SYSTEM) ? FindMessage(messageId) : nullptr;
    if (message == nullptr || buffer == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::size_t length = message->text.size();
    OLECHAR* target = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        target = static_cast<OLECHAR*>(std::malloc((length + 1) * sizeof(OLECHAR)));
        if (target == nullptr) {
            SetLastError(8);
            return 0;
        }
        *reinterpret_cast<OLECHAR**>(buffer) = target;
    } else if (size < length + 1) {
        SetLastError(122);
        return 0;
    }
    std::memcpy(target, message->text.data(), length * sizeof(OLECHAR));
    target[length] = u'\0';
    return static_cast<DWORD>(length);
}

void* LocalFree(void* memory)
{
    std::free(memory);
    return nullptr;
}
