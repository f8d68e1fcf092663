// Type information of a dispatch interface: the subset of ITypeInfo that
// automation hosts use to find, describe and call methods by name.
#pragma once

#include "valmorin/com/unknown.h"

inline constexpr USHORT PARAMFLAG_FIN = 0x1;
inline constexpr USHORT PARAMFLAG_FOUT = 0x2;
inline constexpr USHORT PARAMFLAG_FRETVAL = 0x8;

using MEMBERID = DISPID;
// Asks GetDocumentation about the type itself rather than one of its members.
inline constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHResult(0x8002802B);

struct TYPEATTR {
    GUID guid;
    WORD cFuncs;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
};

struct FUNCDESC {
    DISPID memid;
    SHORT cParams;
    const USHORT* paramFlags; // one per parameter
};

struct ITypeInfo : IUnknown {
    static constexpr IID iid = MakeGuid("00020401-0000-0000-C000-000000000046");
    virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
    virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
    virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) = 0;
    virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;
    // The method's name followed by its parameters' names.
    virtual HRESULT GetNames(DISPID id, BSTR* names, UINT maxNames, UINT* count) = 0;
    virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) = 0;
    virtual HRESULT Invoke(void* instance, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* excepInfo, UINT* argErr) = 0;
    // The member's name and help text (MEMBERID_NIL: the type's); any out
    // pointer may be null when its answer is not wanted.
    virtual HRESULT GetDocumentation(MEMBERID id, BSTR* name, BSTR* docString, DWORD* helpContext, BSTR* helpFile) = 0;

protected:
    ~ITypeInfo() = default;
};
