// CValmorin: the component's one class. Each object owns one database
// connection and answers the methods of IValmorin and of IValmorin2, which
// extends it.
#pragma once

#include "qmt/db/ado_connection_nk.h"
#include "service/ivalmorin.h"

#include <mutex>
#include <string>

namespace qmt {
class CException;
}

class CValmorin : public CComObjectBase<CValmorin, IValmorin2> {
public:
    CValmorin();
    ~CValmorin() override;

    // IDispatch
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, UINT* argErr) override;

    // IValmorin
    HRESULT Attach(BSTR bstrPath) override;
    HRESULT RegisterAll() override;
    HRESULT UnregisterAll() override;
    HRESULT GetComponents(SAFEARRAY** pbstrCLSIDs, SAFEARRAY** pbstrDescriptions) override;
    HRESULT RegisterComponent(BSTR bstrCLSID) override;
    HRESULT UnregisterComponent(BSTR bstrCLSID) override;
    HRESULT transadd(BSTR tableName, BSTR ValueIn, BSTR ValueOut, LONG* bRetVal) override;
    HRESULT transdel(BSTR tableName, BSTR ValueIn, LONG* bRetVal) override;
    HRESULT translate(BSTR tableName, BSTR ValueIn, BSTR* Translation) override;
    HRESULT transmatch(BSTR tableName, BSTR ValueIn, BSTR* Translation) override;
    HRESULT transIdent(BSTR ValueIn, BSTR* Translation) override;
    HRESULT transDayIdent(BSTR ValueIn, BSTR* Translation) override;
    HRESULT Open(BSTR bstConnexionString) override;
    HRESULT TableList(BSTR* List) override;
    HRESULT TableDelete(BSTR Name) override;
    HRESULT TableCreate(BSTR User, BSTR Name, BSTR Description, BSTR ColumnsNameToAdd,
                        BSTR ColumnsTypeToAdd) override;
    HRESULT TableUpdate(BSTR User, BSTR PreviousName, BSTR Name, BSTR Description, BSTR ColumnsNameToAdd,
                        BSTR ColumnsTypeToAdd, BSTR ColumnsIdToUpdate, BSTR ColumnsNameToUpdate,
                        BSTR ColumnsIdToDel) override;
    HRESULT TableColumns(BSTR Name, BSTR* List) override;
    HRESULT TableExists(BSTR Name, LONG* bRetVal) override;
    HRESULT CorrespondanceList(BSTR tableName, BSTR* List) override;
    HRESULT CorrespondanceDelete(BSTR tableName, BSTR Input) override;
    HRESULT CorrespondanceCreate(BSTR User, BSTR tableName, BSTR Input, BSTR Output) override;
    HRESULT CorrespondanceUpdate(BSTR User, BSTR tableName, BSTR OldInput, BSTR NewInput, BSTR NewOutput) override;
    HRESULT CorrespondanceExists(BSTR tableName, BSTR Input, LONG* bRetVal) override;
    HRESULT TableFourEyesIsLastUser(BSTR User, BSTR Name, LONG* bRetVal) override;
    HRESULT CorrespondanceFourEyesIsLastUser(BSTR User, BSTR tableName, BSTR Input, LONG* bRetVal) override;
    HRESULT TableDescription(BSTR Name, BSTR* List) override;

    // IValmorin2
    HRESULT TableImport(BSTR User, BSTR Name, BSTR Path, LONG Mode, BSTR* Report) override;
    HRESULT TableExport(BSTR Name, BSTR Path, LONG* Rows) override;
    HRESULT translateReverse(BSTR tableName, BSTR ValueOut, BSTR* ValueIn) override;
    HRESULT translateDefault(BSTR tableName, BSTR ValueIn, BSTR Default, BSTR* Translation) override;
    HRESULT TableListJson(BSTR* List) override;
    HRESULT CorrespondanceListJson(BSTR Name, BSTR Contains, LONG Offset, LONG Limit, BSTR* List) override;

    const std::u16string& dataSourceName() const { return m_dataSourceName; }

    // Publishes the exception as the thread's error info and returns the
    // method's HRESULT (S_FALSE when the error object cannot be made).
    static HRESULT ReportComError(const qmt::CException& e);

private:
    struct FrameResults;
    template <typename Operation>
    HRESULT ServiceCallFrame(const FrameResults& results, Operation&& operation) noexcept;
    void ensureConnection();
    // The frame of the identifier methods; advance computes the next number
    // and the statement that stores it.
    template <typename Advance>
    HRESULT DrawIdentifier(BSTR ValueIn, BSTR* Translation, Advance&& advance);

    std::u16string m_dataSourceName;
    qmt::CAdoConnectionNK m_connection;
    // One call at a time per object: the connection, its session and the
    // statements it keeps are one caller's at a time. The class is used
    // from several threads (ThreadingModel "Both"); callers that want calls
    // to run side by side use an object each.
    std::mutex m_calls;
};
