// COM runtime: per-thread initialisation and class activation.
#pragma once

#include "valmorin/com/unknown.h"

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_ALL = 23;

// The first call on a thread returns S_OK, later ones S_FALSE; a call asking
// for another concurrency model than the thread has returns
// RPC_E_CHANGED_MODE. Each successful call is matched by CoUninitialize.
VALMORIN_PLATFORM_API HRESULT CoInitializeEx(void* reserved, DWORD model);
VALMORIN_PLATFORM_API void CoUninitialize();

// Makes a class object available to CoCreateInstance in this process.
VALMORIN_PLATFORM_API HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory);
// Class objects registered in the process come first; then the class's
// registered in-process server is loaded (one load per library) and asked
// through its DllGetClassObject. REGDB_E_CLASSNOTREG for a class that is
// neither.
VALMORIN_PLATFORM_API HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, REFIID riid, void** object);
VALMORIN_PLATFORM_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                                               void** object);

// The class a ProgID names (HKEY_CLASSES_ROOT\<ProgID>\CLSID), following
// the ProgID's CurVer to its current version when it has one.
// CO_E_CLASSSTRING for a ProgID that is not registered.
VALMORIN_PLATFORM_API HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);

// Unloads the in-process servers whose DllCanUnloadNow says S_OK.
VALMORIN_PLATFORM_API void CoFreeUnusedLibraries();

// Cancelling a call in flight. A thread that makes calls which may be
// cancelled enables cancellation first (and disables it afterwards);
// CoCancelCall then marks its call, CO_E_CANCEL_DISABLED for a thread that
// has not enabled it. The object's CoTestCancel, on that thread, answers
// RPC_E_CALL_CANCELED once the call is marked, RPC_S_CALLPENDING until then.
// The timeout is not used: in process nothing waits for the cancellation.
VALMORIN_PLATFORM_API HRESULT CoEnableCallCancellation(void* reserved);
VALMORIN_PLATFORM_API HRESULT CoDisableCallCancellation(void* reserved);
VALMORIN_PLATFORM_API HRESULT CoCancelCall(DWORD threadId, ULONG timeout);
VALMORIN_PLATFORM_API HRESULT CoTestCancel();
