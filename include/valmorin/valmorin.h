// Valmorin: the translation-table component, libvalmorin.so, and what an
// application needs to create it and call it.
//
// The component serves one class, CValmorin, with the dual interface
// IValmorin. Applications create it by its ProgID through the COM runtime
// (libvalmorin_platform.so), which finds the registered library:
//
//     CoInitializeEx(nullptr, COINIT_MULTITHREADED);
//     CLSID clsid;
//     CLSIDFromProgID(kValmorinProgId, &clsid);
//     CComPtr<IValmorin> valmorin;
//     CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IValmorin::iid,
//                      reinterpret_cast<void**>(&valmorin));
//
// and call it through the interface or by method name through IDispatch.
// Every method returns an HRESULT; a failure leaves its description in the
// thread's error information (GetErrorInfo).
#pragma once

#include "valmorin/com/bstr.h"
#include "valmorin/com/errorinfo.h"
#include "valmorin/com/runtime.h"
#include "valmorin/com/typeinfo.h"
#include "valmorin/com/unknown.h"
#include "valmorin/com/variant.h"
// The GUIDs and IValmorin itself, compiled from the interface description
// idl/valmorin.idl.
#include "valmorin/valmorin_interface.h"

#if defined(VALMORIN_BUILDING_MODULE)
#define VALMORIN_ENTRY extern "C" __attribute__((visibility("default")))
#else
#define VALMORIN_ENTRY extern "C"
#endif

// The version-independent ProgID, which follows the current version's.
inline constexpr char16_t kValmorinProgId[] = u"CValmorin.CValmorin";
inline constexpr char16_t kValmorinVersionedProgId[] = u"CValmorin.CValmorin.1";

// The library's entry points, as the COM runtime calls them. An application
// that links libvalmorin.so directly may ask DllGetClassObject for the class
// object instead of going through the registry.
VALMORIN_ENTRY HRESULT DllCanUnloadNow();
VALMORIN_ENTRY HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object);
VALMORIN_ENTRY HRESULT DllRegisterServer();
VALMORIN_ENTRY HRESULT DllUnregisterServer();
