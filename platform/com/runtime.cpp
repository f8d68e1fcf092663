#include "valmorin/com/runtime.h"

#include "platform/com/built_in.h"
#include "platform/com/inproc_server.h"

#include <map>
#include <tuple>
#include <mutex>
#include <utility>

namespace {

struct Apartment {
    int count = 0;
    DWORD model = 0;
};
thread_local Apartment t_apartment;

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const
    {
        return std::tie(a.Data1, a.Data2, a.Data3, a.Data4) < std::tie(b.Data1, b.Data2, b.Data3, b.Data4);
    }
};

// The platform's own classes are in the table from its first use on.
class ClassTable {
public:
    static ClassTable& Instance()
    {
        static ClassTable table;
        return table;
    }
    ClassTable()
    {
        for (auto& builtIn : valmorin::com::BuiltInClasses()) m_classes[builtIn.clsid] = std::move(builtIn.classObject);
    }
    void Add(REFCLSID clsid, IUnknown* factory)
    {
        std::lock_guard lock(m_mutex);
        m_classes[clsid] = CComPtr<IUnknown>(factory);
    }
    CComPtr<IUnknown> Find(REFCLSID clsid)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_classes.find(clsid);
        return it == m_classes.end() ? CComPtr<IUnknown>() : it->second;
    }

private:
    std::mutex m_mutex;
    std::map<GUID, CComPtr<IUnknown>, GuidLess> m_classes;
};

} // namespace

HRESULT CoInitializeEx(void*, DWORD model)
{
    if (t_apartment.count > 0 && t_apartment.model != model) return RPC_E_CHANGED_MODE;
    t_apartment.model = model;
    return t_apartment.count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (t_apartment.count > 0) --t_apartment.count;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory)
{
    if (factory == nullptr) return E_INVALIDARG;
    ClassTable::Instance().Add(clsid, factory);
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD, REFIID riid, void** object)
{
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (CComPtr<IUnknown> factory = ClassTable::Instance().Find(clsid)) return factory->QueryInterface(riid, object);
    std::u16string library;
    if (const HRESULT hr = CoGetInprocServerPath(clsid, library); FAILED(hr)) return hr;
    return CoGetClassObjectFromLibrary(library, clsid, riid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object)
{
    CComPtr<IClassFactory> factory;
    const HRESULT hr = CoGetClassObject(clsid, context, IClassFactory::iid, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(outer, riid, object);
}
