// The library's entry points.
#include "module/class_object.h"
#include "module/module.h"
#include "module/registration.h"
#include "service/ivalmorin.h"

HRESULT DllCanUnloadNow() { return module::LockCount() == 0 ? S_OK : S_FALSE; }

HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object)
{
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!module::Initialized()) return E_UNEXPECTED;
    if (clsid != CLSID_CValmorin) return CLASS_E_CLASSNOTAVAILABLE;
    CComPtr<IClassFactory> factory;
    if (const HRESULT hr = module::GetClassObject(&factory); FAILED(hr)) return hr;
    return factory->QueryInterface(riid, object);
}

HRESULT DllRegisterServer()
{
    if (!module::Initialized()) return E_UNEXPECTED;
    return module::RegisterServer(module::Path());
}

HRESULT DllUnregisterServer()
{
    if (!module::Initialized()) return E_UNEXPECTED;
    return module::UnregisterServer(module::Path());
}
