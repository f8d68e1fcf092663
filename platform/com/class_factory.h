// A class object for a class that is neither aggregatable nor special to
// create, as the runtime's class table keeps it.
#pragma once

#include "valmorin/com/runtime.h"

template <typename Object>
class CSimpleClassFactory final : public CComObjectBase<CSimpleClassFactory<Object>, IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return Object::Create()->QueryInterface(riid, object);
    }
    HRESULT LockServer(int) override { return S_OK; }
};

template <typename Object>
CComPtr<IUnknown> SimpleClassObject()
{
    CComPtr<IUnknown> object;
    CSimpleClassFactory<Object>::Create().QueryInterface(object);
    return object;
}
