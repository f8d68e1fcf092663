// The Windows registry calls the component and its tools make, over the
// file-backed hives of hive.h. Each call returns ERROR_SUCCESS or a Win32
// error code, as the Windows calls do:
//   ERROR_FILE_NOT_FOUND     the key or value does not exist
//   ERROR_MORE_DATA          the caller's buffer is too small; the size
//                            needed is stored
//   ERROR_NO_MORE_ITEMS      an enumeration index past the last item
//   ERROR_KEY_DELETED        the open key has been deleted meanwhile
//   ERROR_ACCESS_DENIED      the hive may not be written by this process,
//                            or a key with sub-keys given to RegDeleteKeyW
//   ERROR_INVALID_HANDLE     a handle that is not open
//   ERROR_BADDB              a hive file that is not well-formed
//   ERROR_REGISTRY_IO_FAILED a hive file that cannot be read or written
//   ERROR_BADKEY             a key name the hive's text cannot carry (line
//                            breaks, other control characters, unpaired
//                            surrogates); ERROR_INVALID_PARAMETER for such
//                            a value name. Nothing is written then.
//
// Names of keys and values compare without regard to case and keep the
// spelling they were created with. Every call reads the hive anew, so
// changes made by other processes are seen at once.
//
// HKEY_CLASSES_ROOT is the merged view Windows gives: the per-user classes
// (HKEY_CURRENT_USER\Software\Classes) over the machine's
// (HKEY_LOCAL_MACHINE\SOFTWARE\Classes). Reads and enumerations see both,
// the user's first; values are written to the user's key when it exists
// there, new keys go to the machine's classes.
#pragma once

#include "valmorin/com/types.h"

#include "platform/registry/types.h"

#include <cstdint>
#include <memory>

inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline const HKEY HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003});

// A null or empty sub-key opens the key itself again.
VALMORIN_PLATFORM_API LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
VALMORIN_PLATFORM_API LONG RegOpenKeyW(HKEY key, LPCWSTR subKey, PHKEY result);
// Creates the missing levels; disposition receives REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY.
VALMORIN_PLATFORM_API LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                                           REGSAM access, void* security, PHKEY result, LPDWORD disposition);
// Closing a predefined key does nothing.
VALMORIN_PLATFORM_API LONG RegCloseKey(HKEY key);

// A null or empty name is the key's default value. data may be null to
// learn the size. The narrow form takes and returns text in the process's
// narrow code page, UTF-8: string data (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) is converted and its size counted in UTF-8 bytes.
VALMORIN_PLATFORM_API LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                            LPDWORD dataSize);
VALMORIN_PLATFORM_API LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                            LPDWORD dataSize);
VALMORIN_PLATFORM_API LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                          DWORD dataSize);
VALMORIN_PLATFORM_API LONG RegDeleteValueW(HKEY key, LPCWSTR valueName);

// Sub-keys come in case-insensitive order of their names. nameLength is in
// characters: the buffer's size on entry, the name's length without its
// terminator on return. Classes are not kept: keyClass receives the empty
// string, lastWriteTime zero.
VALMORIN_PLATFORM_API LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                                         LPWSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime);
VALMORIN_PLATFORM_API LONG RegEnumKeyW(HKEY key, DWORD index, LPWSTR name, DWORD nameLength);
// Values come in the order they were first set; data may be null to learn
// the size.
VALMORIN_PLATFORM_API LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                                         LPDWORD type, LPBYTE data, LPDWORD dataSize);

// RegDeleteKeyW refuses a key that has sub-keys; RegDeleteTreeW removes
// the key with everything below it. An empty sub-key names the key itself.
VALMORIN_PLATFORM_API LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey);
VALMORIN_PLATFORM_API LONG RegDeleteTreeW(HKEY key, LPCWSTR subKey);

// An owned key handle, closed when it goes.
struct RegKeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using UniqueHKey = std::unique_ptr<HKEY__, RegKeyCloser>;
