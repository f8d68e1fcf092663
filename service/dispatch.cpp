// IDispatch of CValmorin, answered by the type information of IValmorin3,
// whose methods are those of both interfaces.
#include "service/type_library.h"
#include "service/valmorin.h"

HRESULT CValmorin::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT CValmorin::GetTypeInfo(UINT index, LCID, ITypeInfo** info)
{
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return GetValmorinTypeInfo(info);
}

HRESULT CValmorin::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    CComPtr<ITypeInfo> info;
    GetValmorinTypeInfo(&info);
    return info->GetIDsOfNames(names, count, ids);
}

HRESULT CValmorin::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                          EXCEPINFO* excepInfo, UINT* argErr)
{
    CComPtr<ITypeInfo> info;
    GetValmorinTypeInfo(&info);
    return info->Invoke(static_cast<IValmorin3*>(this), id, flags, params, result, excepInfo, argErr);
}
