// IDispatch slots that answer nothing, for objects reached through their
// vtables only: the slots exist so that the objects can travel as
// VT_DISPATCH values.
#pragma once

#include "valmorin/com/unknown.h"

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
