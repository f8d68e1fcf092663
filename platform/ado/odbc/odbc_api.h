// The ODBC headers beside the COM stand-ins' Windows types. unixODBC
// defines its own Windows types unless told that they exist, and some of
// its (ULONG, DWORD: 64-bit long) clash with the 64-bit Windows widths the
// stand-ins use; the few that sql.h needs and the stand-ins lack are given
// here. WCHAR is char16_t: the same 16-bit unit as unixODBC's SQLWCHAR, so
// text passes to the driver manager with no conversion or cast.
#pragma once

#include "valmorin/com/types.h"

#define ALREADY_HAVE_WINDOWS_TYPE 1
#define SQL_API
#define FAR
#define CALLBACK
using BOOL = int;
using WCHAR = char16_t;
using CHAR = char;
using TCHAR = char;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPTSTR = TCHAR*;
using LPDWORD = DWORD*;
using HWND = void*;
using HINSTANCE = void*;
using UCHAR = unsigned char;
using SCHAR = signed char;
using SQLSCHAR = SCHAR;
using SDWORD = std::int32_t;
using UDWORD = std::uint32_t;
using SWORD = std::int16_t;
using UWORD = std::uint16_t;
using SLONG = std::int32_t;
using SSHORT = std::int16_t;
using SDOUBLE = double;
using LDOUBLE = double;
using SFLOAT = float;
using PTR = void*;
using RETCODE = std::int16_t;
using SQLHWND = void*;

#include <sql.h>
#include <sqlext.h>

static_assert(sizeof(SQLWCHAR) == 2, "unixODBC's SQLWCHAR is 16-bit");
