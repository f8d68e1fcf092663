// Per-thread COM error information.
#pragma once

#include "valmorin/com/unknown.h"

struct IErrorInfo : IUnknown {
    static constexpr IID iid = MakeGuid("1CF2B120-547D-101B-8E65-08002B2BD119");
    virtual HRESULT GetGUID(GUID* guid) = 0;
    virtual HRESULT GetSource(BSTR* source) = 0;
    virtual HRESULT GetDescription(BSTR* description) = 0;
    virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;
    virtual HRESULT GetHelpContext(DWORD* helpContext) = 0;

protected:
    ~IErrorInfo() = default;
};

struct ICreateErrorInfo : IUnknown {
    static constexpr IID iid = MakeGuid("22F03340-547D-101B-8E65-08002B2BD119");
    virtual HRESULT SetGUID(REFIID guid) = 0;
    virtual HRESULT SetSource(LPOLESTR source) = 0;
    virtual HRESULT SetDescription(LPOLESTR description) = 0;
    virtual HRESULT SetHelpFile(LPOLESTR helpFile) = 0;
    virtual HRESULT SetHelpContext(DWORD helpContext) = 0;

protected:
    ~ICreateErrorInfo() = default;
};

// A C entry point, as the system's is, so that a program may stand its own
// in front of it.
extern "C" VALMORIN_PLATFORM_API HRESULT CreateErrorInfo(ICreateErrorInfo** info);
// Replaces the calling thread's error information (null clears it).
VALMORIN_PLATFORM_API HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
// Hands the thread's error information to the caller and clears it;
// S_FALSE and null when there is none.
VALMORIN_PLATFORM_API HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);

// Sets the thread's error information in one step; used by the platform's
// own objects when a call fails.
VALMORIN_PLATFORM_API void SetThreadErrorInfo(REFIID guid, std::u16string_view source, std::u16string_view description);
