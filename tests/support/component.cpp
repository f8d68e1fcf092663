#include "support/component.h"

#include <stdexcept>

CComPtr<IValmorin> NewComponent(const TestStore* store)
{
    CComPtr<IClassFactory> factory;
    CComPtr<IValmorin> component;
    if (FAILED(DllGetClassObject(CLSID_CValmorin, IClassFactory::iid, reinterpret_cast<void**>(&factory))) ||
        FAILED(factory->CreateInstance(nullptr, IValmorin::iid, reinterpret_cast<void**>(&component))))
        throw std::runtime_error("cannot create the component");
    if (store) {
        CComBSTR connection(store->connectionString());
        if (FAILED(component->Open(connection.get()))) throw std::runtime_error("cannot open the store");
    }
    return component;
}
