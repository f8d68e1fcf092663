// Per-thread COM error information.
#pragma once

#include "valmorin/com/unknown.h"

#include <string>
#include <string_view>

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

// The SQLSTATE and native code a store gave for a failure, on the error
// object that reports it, as ADO's providers hand them over: read as
// fields, never out of the description's text. An error object that
// reports no store's failure answers an empty state.
struct ISQLErrorInfo : IUnknown {
    static constexpr IID iid = MakeGuid("0C733A74-2A1C-11CE-ADE5-00AA0044773D");
    virtual HRESULT GetSQLInfo(BSTR* sqlState, LONG* nativeError) = 0;

protected:
    ~ISQLErrorInfo() = default;
};

// Sets what ISQLErrorInfo answers on an error object CreateErrorInfo made
// (the platform's own interface: on Windows a provider's error objects
// come with it set).
struct ICreateSQLErrorInfo : IUnknown {
    static constexpr IID iid = MakeGuid("FD414881-728B-4E30-97B5-CD16957A68A9");
    virtual HRESULT SetSQLInfo(LPOLESTR sqlState, LONG nativeError) = 0;

protected:
    ~ICreateSQLErrorInfo() = default;
};

// A C entry point, as the system's is, so that a program may stand its own
// in front of it.
extern "C" VALMORIN_PLATFORM_API HRESULT CreateErrorInfo(ICreateErrorInfo** info);
// Replaces the calling thread's error information (null clears it).
VALMORIN_PLATFORM_API HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
// Hands the thread's error information to the caller and clears it;
// S_FALSE and null when there is none.
VALMORIN_PLATFORM_API HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);

// Sets the thread's error information in one step, with the store's
// SQLSTATE and native code when a store gave them.
VALMORIN_PLATFORM_API void SetThreadErrorInfo(REFIID guid, std::u16string_view source, std::u16string_view description,
                                              std::u16string_view sqlState = {}, LONG nativeError = 0);

// A failed call as its caller describes it: the HRESULT and what the error
// information the call left says (taken from the thread), its SQLSTATE
// read through ISQLErrorInfo.
struct CallFailure {
    HRESULT hr = S_OK;
    std::u16string source;
    std::u16string description;
    std::u16string sqlState;
};
VALMORIN_PLATFORM_API CallFailure TakeCallFailure(HRESULT hr);
// The SQLSTATE an error object carries (ISQLErrorInfo); empty when none.
VALMORIN_PLATFORM_API std::u16string SqlStateOf(IErrorInfo* info);

// "0x80040E14": how an HRESULT is written wherever one is shown.
VALMORIN_PLATFORM_API std::string HresultText(HRESULT hr);
// The system's text for a Win32 code or an HRESULT, without the line break
// that ends it; empty when the system has none.
VALMORIN_PLATFORM_API std::u16string SystemMessageText(DWORD code);
// A failure as the component's callers describe it (the command, the
// server, Python): where the call left no description, the system's text
// for its code, and "valmorin" as the source where it named none; trailing
// line breaks dropped.
VALMORIN_PLATFORM_API CallFailure Described(CallFailure failure);
// "0x80040E14 SQLite: near ...": a described failure on one line.
VALMORIN_PLATFORM_API std::string FailureText(const CallFailure& failure);
