// The ADO objects are reached through their vtables only; their IDispatch
// slots exist so that they can travel as VT_DISPATCH values.
#pragma once

#include "platform/com/unknown.h"

namespace ado {

template <typename Interface>
struct DispatchStub : Interface {
    HRESULT GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

protected:
    ~DispatchStub() = default;
};

} // namespace ado
