// CValmorin: the component's one class. Each object owns one database
// connection and answers the methods of IValmorin, of IValmorin2, which
// extends it, and of IValmorin3, which extends IValmorin2.
#pragma once

#include "qmt/db/ado_connection_nk.h"
#include "service/lookup_cache.h"
#include "service/store_history.h"
#include "service/ivalmorin.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace qmt {
class CException;
}

class CValmorin : public CComObjectBase<CValmorin, IValmorin3> {
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
    HRESULT TableColumnsJson(BSTR Name, BSTR* List) override;

    // IValmorin3
    HRESULT Revision(BSTR* Revision) override;
    HRESULT History(BSTR Name, BSTR Input, LONG Offset, LONG Limit, BSTR* List) override;
    HRESULT translateAsOf(BSTR tableName, BSTR ValueIn, BSTR AsOf, BSTR* Translation) override;
    HRESULT TableApprovalSet(BSTR User, BSTR Name, LONG Required, BSTR* Revision) override;
    HRESULT TableApprovalRequired(BSTR Name, LONG* Required) override;
    HRESULT ChangeSetPropose(BSTR User, BSTR Changes, LONG* Id) override;
    HRESULT ChangeSetList(BSTR State, BSTR* List) override;
    HRESULT ChangeSetShow(LONG Id, BSTR* ChangeSet) override;
    HRESULT ChangeSetApprove(BSTR User, LONG Id, BSTR* Revision) override;
    HRESULT ChangeSetReject(BSTR User, LONG Id, BSTR Reason) override;
    HRESULT Revert(BSTR User, BSTR Revision, LONG* Id) override;

    const std::u16string& dataSourceName() const { return m_dataSourceName; }

    // Publishes the exception as the thread's error info and returns the
    // method's HRESULT (S_FALSE when the error object cannot be made).
    static HRESULT ReportComError(const qmt::CException& e);

    // Declared before a write's transaction: once the transaction has
    // ended, committed or not, the process's cache of the store drops the
    // answers of the tables named.
    class TablesChanging {
    public:
        TablesChanging(const CValmorin& object, std::initializer_list<std::u16string_view> tables);
        ~TablesChanging();
        TablesChanging(const TablesChanging&) = delete;
        TablesChanging& operator=(const TablesChanging&) = delete;

    private:
        LookupCache* m_cache;
        std::vector<std::u16string> m_tables;
    };

private:
    struct FrameResults;
    template <typename Operation>
    HRESULT ServiceCallFrame(const FrameResults& results, Operation&& operation) noexcept;
    void ensureConnection();
    // The cache of the store the connection is open on, when the registry
    // asks for one and Debug is off; none while the connection is closed.
    // And the store's history, as the connection takes part in it.
    void AttachStore();
    LookupCache* cache() const { return m_cache.load(std::memory_order_acquire); }
    // After a failed call: a connection that reports itself closed will
    // open again through NK, perhaps on another store.
    void ForgetCacheOfALostLink() noexcept;
    // The connection a lookup reads: the read store's standby (the data
    // source NK_READ) while its lag behind the write store is within the
    // registry's ReadLag (KiB), measured at most every 100 ms; the write
    // store otherwise, and always once Open named a store. fromStandby says
    // which: an answer read there is not kept in the write store's cache.
    qmt::CAdoConnection& LookupConnection(bool& fromStandby);
    // The same for the listings of IValmorin2, which keep nothing.
    qmt::CAdoConnection& ListingConnection()
    {
        bool fromStandby = false;
        return LookupConnection(fromStandby);
    }
    bool StandbyNearEnough();
    // A failed call whose cause was the store (it could not be reached, it
    // refused a statement, or the link went in the call) is counted for
    // the process's host; so is each connection opened again once one was.
    void CountStoreFailure(bool ensured, const qmt::CException& failure) noexcept;
    // The frame of the identifier methods; advance computes the next number
    // and the statement that stores it.
    template <typename Advance>
    HRESULT DrawIdentifier(BSTR ValueIn, BSTR* Translation, Advance&& advance);

    std::u16string m_dataSourceName;
    qmt::CAdoConnectionNK m_connection;
    qmt::CAdoConnectionNK m_readConnection;
    bool m_readStore = false; // NK_READ names one, and the connection is NK's
    std::uint64_t m_mostLag = 0;
    std::chrono::steady_clock::time_point m_lagMeasured{};
    bool m_standbyNear = false;
    std::chrono::steady_clock::time_point m_readRetryAt{}; // after a standby failed, or was another cluster's
    std::u16string m_openedWith; // the connection string Open named; empty: the data source NK
    StoreHistory m_history; // what the store the connection is open on keeps
    // Lookups read it without taking m_calls: it is set and cleared under
    // m_calls, and the caches it points to live as long as the process.
    std::atomic<LookupCache*> m_cache{nullptr};
    std::size_t m_cacheCapacity = 0; // 0: no cache (off, or Debug on)
    bool m_opened = false;           // a connection was opened once
    // One call at a time per object: the connection, its session and the
    // statements it keeps are one caller's at a time. The class is used
    // from several threads (ThreadingModel "Both"); callers that want calls
    // to run side by side use an object each.
    std::mutex m_calls;
};
