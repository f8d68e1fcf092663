// The library's entry points.
#include "module/class_object.h"
#include "module/module.h"
#include "module/registration.h"
#include "service/ivalmorin.h"

HRESULT DllCanUnloadNow() { return valmorin::module::LockCount() == 0 ? S_OK : S_FALSE; }

HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object)
{
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!valmorin::module::Initialized()) return E_UNEXPECTED;
    if (clsid != CLSID_CValmorin) return CLASS_E_CLASSNOTAVAILABLE;
    CComPtr<IClassFactory> factory;
    if (const HRESULT hr = valmorin::module::GetClassObject(&factory); FAILED(hr)) return hr;
    return factory->QueryInterface(riid, object);
}

HRESULT DllRegisterServer()
{
    if (!valmorin::module::Initialized()) return E_UNEXPECTED;
    return valmorin::module::RegisterServer(valmorin::module::Path());
}

HRESULT DllUnregisterServer()
{
    if (!valmorin::module::Initialized()) return E_UNEXPECTED;
    return valmorin::module::UnregisterServer(valmorin::module::Path());
}
