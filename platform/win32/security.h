// Security services: the process token and its user, account names, and the
// security descriptor given to named objects.
//
// Accounts are the POSIX users of the machine. The superuser plays the local
// system account and is named "SYSTEM". An account's domain is the machine's
// NIS domain, else the DNS domain of its host name, else the computer name.
#pragma once

#include "valmorin/com/types.h"

#include "platform/win32/handle.h"

inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD READ_CONTROL = 0x00020000;

// What the security identifier of an account stands for here: its user id.
struct SID {
    DWORD UserId;
};
using PSID = SID*;

struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};

struct TOKEN_USER {
    SID_AND_ATTRIBUTES User;
};

enum TOKEN_INFORMATION_CLASS { TokenUser = 1 };
enum SID_NAME_USE { SidTypeUser = 1, SidTypeWellKnownGroup = 5 };
enum EXTENDED_NAME_FORMAT { NameSamCompatible = 2 };

// The pseudo handle of the calling process.
VALMORIN_PLATFORM_API HANDLE GetCurrentProcess();

// The token of the calling process: the effective user it runs as now.
// Only the calling process's pseudo handle is accepted.
VALMORIN_PLATFORM_API BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);

// TokenUser only. Fills a TOKEN_USER followed by the SID it points to;
// *returnLength gets the size needed (ERROR_INSUFFICIENT_BUFFER when the
// buffer is smaller).
VALMORIN_PLATFORM_API BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* info,
                                               DWORD length, DWORD* returnLength);

// Name and domain of an account on this computer (systemName must be null).
// The sizes are in characters; too small: the needed sizes and
// ERROR_INSUFFICIENT_BUFFER. A user id without an account entry is named by
// its number.
VALMORIN_PLATFORM_API BOOL LookupAccountSidW(const char16_t* systemName, PSID sid, char16_t* name, DWORD* nameSize,
                                             char16_t* domain, DWORD* domainSize, SID_NAME_USE* use);

// The effective user's name; on success *size counts the terminator.
VALMORIN_PLATFORM_API BOOL GetUserNameW(char16_t* buffer, DWORD* size);

// NameSamCompatible only: DOMAIN\user of the effective user; on success *size
// is the length without the terminator, too small gives ERROR_MORE_DATA.
VALMORIN_PLATFORM_API BOOL GetUserNameExW(EXTENDED_NAME_FORMAT format, char16_t* buffer, ULONG* size);

// Access rules of a named object. Without a DACL the owner alone may use it;
// a present but null DACL lets every account in.
inline constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;

struct ACL;
struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    bool DaclPresent;
    const ACL* Dacl;
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    SECURITY_DESCRIPTOR* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

VALMORIN_PLATFORM_API BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision);
VALMORIN_PLATFORM_API BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL daclPresent, const ACL* dacl,
                                                     BOOL daclDefaulted);
