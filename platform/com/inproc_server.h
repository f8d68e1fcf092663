// In-process servers: libraries that serve classes through their
// DllGetClassObject, loaded once each and unloaded when they allow it.
#pragma once

#include "valmorin/com/types.h"

#include "valmorin/com/unknown.h"

#include <string>

// The class object of clsid from the library file, which is loaded on first
// use and stays loaded until CoFreeUnusedLibraries finds it unused.
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when the file cannot be loaded,
// CO_E_ERRORINDLL when it has no DllGetClassObject.
VALMORIN_PLATFORM_API HRESULT CoGetClassObjectFromLibrary(const std::u16string& library, REFCLSID clsid, REFIID riid,
                                                          void** object);

// The library registered as the class's in-process server (InprocServer32
// below HKEY_CLASSES_ROOT\CLSID\{clsid}); REGDB_E_CLASSNOTREG when there is
// none.
VALMORIN_PLATFORM_API HRESULT CoGetInprocServerPath(REFCLSID clsid, std::u16string& library);
