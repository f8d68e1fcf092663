// What registration writes below HKEY_CLASSES_ROOT and takes away again:
// the ProgIDs and the class (the server's keys), and the type library with
// the interface it describes (as the platform's type-library registration
// writes them).
//
// The keys go to the classes root this account may write: the machine's
// (HKEY_LOCAL_MACHINE\SOFTWARE\Classes) for the superuser, the user's own
// (HKEY_CURRENT_USER\Software\Classes) for anyone else. Reads through
// HKEY_CLASSES_ROOT see both, the user's first.
#pragma once

#include "valmorin/com/types.h"

#include <string>

namespace valmorin::module {

// The server's keys, then the type library; the first failure is returned.
HRESULT RegisterServer(const std::u16string& modulePath);
// The type library, then the server's keys; the first failure is returned
// (TYPE_E_REGISTRYACCESS when the type library is not registered, and
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) for a module path of 260
// characters or more, once the type library is unregistered).
HRESULT UnregisterServer(const std::u16string& modulePath);

HRESULT RegisterTypeLibrary(const std::u16string& modulePath);
HRESULT UnregisterTypeLibrary(const std::u16string& modulePath);

} // namespace valmorin::module
