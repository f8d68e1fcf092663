// Valmorin: the translation-table component, libvalmorin.so, and what an
// application needs to create it and call it.
//
// The component serves one class, CValmorin, with the dual interface
// IValmorin. Applications create it by its ProgID through the COM runtime
// (libvalmorin_platform.so), which finds the registered library:
//
//     CoInitializeEx(nullptr, COINIT_MULTITHREADED);
//     CLSID clsid;
//     CLSIDFromProgID(kValmorinProgId, &clsid);
//     CComPtr<IValmorin> valmorin;
//     CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IValmorin::iid,
//                      reinterpret_cast<void**>(&valmorin));
//
// and call it through the interface or by method name through IDispatch.
// Every method returns an HRESULT; a failure leaves its description in the
// thread's error information (GetErrorInfo).
#pragma once

#include "platform/com/bstr.h"
#include "platform/com/errorinfo.h"
#include "platform/com/runtime.h"
#include "platform/com/typeinfo.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

#if defined(VALMORIN_BUILDING_MODULE)
#define VALMORIN_ENTRY extern "C" __attribute__((visibility("default")))
#else
#define VALMORIN_ENTRY extern "C"
#endif

inline constexpr IID IID_IValmorin = MakeGuid("A817E7A2-43FA-11D0-9E44-00AA00B6770A");
inline constexpr CLSID CLSID_CValmorin = MakeGuid("3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B");
inline constexpr GUID LIBID_ValmorinLib = MakeGuid("C3E43E09-DA55-479B-8AD1-9279E7CEB3C7");
inline constexpr WORD kValmorinLibMajor = 1;
inline constexpr WORD kValmorinLibMinor = 3;

// The version-independent ProgID, which follows the current version's.
inline constexpr char16_t kValmorinProgId[] = u"CValmorin.CValmorin";
inline constexpr char16_t kValmorinVersionedProgId[] = u"CValmorin.CValmorin.1";

// The dual interface, in its published slot order; dispatch identifiers 1
// to 27 follow the same order.
struct IValmorin : IDispatch {
    static constexpr IID iid = IID_IValmorin;

    virtual HRESULT Attach(BSTR bstrPath) = 0;
    virtual HRESULT RegisterAll() = 0;
    virtual HRESULT UnregisterAll() = 0;
    virtual HRESULT GetComponents(SAFEARRAY** pbstrCLSIDs, SAFEARRAY** pbstrDescriptions) = 0;
    virtual HRESULT RegisterComponent(BSTR bstrCLSID) = 0;
    virtual HRESULT UnregisterComponent(BSTR bstrCLSID) = 0;
    virtual HRESULT transadd(BSTR tableName, BSTR ValueIn, BSTR ValueOut, LONG* bRetVal) = 0;
    virtual HRESULT transdel(BSTR tableName, BSTR ValueIn, LONG* bRetVal) = 0;
    virtual HRESULT translate(BSTR tableName, BSTR ValueIn, BSTR* Translation) = 0;
    virtual HRESULT transmatch(BSTR tableName, BSTR ValueIn, BSTR* Translation) = 0;
    virtual HRESULT transIdent(BSTR ValueIn, BSTR* Translation) = 0;
    virtual HRESULT transDayIdent(BSTR ValueIn, BSTR* Translation) = 0;
    virtual HRESULT Open(BSTR bstConnexionString) = 0;
    virtual HRESULT TableList(BSTR* List) = 0;
    virtual HRESULT TableDelete(BSTR Name) = 0;
    virtual HRESULT TableCreate(BSTR User, BSTR Name, BSTR Description, BSTR ColumnsNameToAdd,
                                BSTR ColumnsTypeToAdd) = 0;
    virtual HRESULT TableUpdate(BSTR User, BSTR PreviousName, BSTR Name, BSTR Description, BSTR ColumnsNameToAdd,
                                BSTR ColumnsTypeToAdd, BSTR ColumnsIdToUpdate, BSTR ColumnsNameToUpdate,
                                BSTR ColumnsIdToDel) = 0;
    virtual HRESULT TableColumns(BSTR Name, BSTR* List) = 0;
    virtual HRESULT TableExists(BSTR Name, LONG* bRetVal) = 0;
    virtual HRESULT CorrespondanceList(BSTR tableName, BSTR* List) = 0;
    virtual HRESULT CorrespondanceDelete(BSTR tableName, BSTR Input) = 0;
    virtual HRESULT CorrespondanceCreate(BSTR User, BSTR tableName, BSTR Input, BSTR Output) = 0;
    virtual HRESULT CorrespondanceUpdate(BSTR User, BSTR tableName, BSTR OldInput, BSTR NewInput,
                                         BSTR NewOutput) = 0;
    virtual HRESULT CorrespondanceExists(BSTR tableName, BSTR Input, LONG* bRetVal) = 0;
    virtual HRESULT TableFourEyesIsLastUser(BSTR User, BSTR Name, LONG* bRetVal) = 0;
    virtual HRESULT CorrespondanceFourEyesIsLastUser(BSTR User, BSTR tableName, BSTR Input, LONG* bRetVal) = 0;
    virtual HRESULT TableDescription(BSTR Name, BSTR* List) = 0;

protected:
    ~IValmorin() = default;
};

// The library's entry points, as the COM runtime calls them. An application
// that links libvalmorin.so directly may ask DllGetClassObject for the class
// object instead of going through the registry.
VALMORIN_ENTRY HRESULT DllCanUnloadNow();
VALMORIN_ENTRY HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** object);
VALMORIN_ENTRY HRESULT DllRegisterServer();
VALMORIN_ENTRY HRESULT DllUnregisterServer();
