// The dual interface of the component, in its published slot order
// (dispatch identifiers 1 to 27 follow the same order).
#pragma once

#include "platform/com/unknown.h"

inline constexpr IID IID_IValmorin = MakeGuid("A817E7A2-43FA-11D0-9E44-00AA00B6770A");
inline constexpr CLSID CLSID_CValmorin = MakeGuid("3DE4BFCA-72FF-4612-A557-1BCDCA7D5A7B");
inline constexpr GUID LIBID_ValmorinLib = MakeGuid("C3E43E09-DA55-479B-8AD1-9279E7CEB3C7");

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
