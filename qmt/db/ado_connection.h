// One ADO connection: open, execute, transactions, and the provider's error
// list turned into exceptions of the CException family.
#pragma once

#include "platform/ado/ado.h"
#include "qmt/db/ado_statement.h"
#include "qmt/sys/com_library.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace qmt {

struct CAdoError {
    LONG number = 0;
    std::u16string source;
    std::u16string description;
    std::u16string sqlState;
    LONG nativeError = 0;
};

// What a connection was last opened with.
struct CAdoCredentials {
    std::u16string connectionString;
    std::u16string userId;
    std::u16string password;
};

class CAdoConnection {
public:
    CAdoConnection();
    virtual ~CAdoConnection();
    CAdoConnection(const CAdoConnection&) = delete;
    CAdoConnection& operator=(const CAdoConnection&) = delete;

    bool isOpen() const;
    void open(const std::u16string& connectionString, const std::u16string& userId, const std::u16string& password);
    void close();
    LONG execute(const std::u16string& text, LONG options);
    // The statement run with its values bound; its shown text is what the
    // log says was run.
    LONG execute(const AdoStatement& statement, LONG options);
    LONG beginTrans();
    // A transaction that reads one snapshot and keeps no writer waiting.
    LONG beginSnapshotTrans();
    void commitTrans();
    void rollbackTrans();

    void clearErrors();
    LONG errorCount() const;
    CAdoError errorAt(LONG index) const;
    // Logs every provider error and throws the first, its SQLSTATE appended
    // to its description; returns when there is none.
    void raiseProviderErrors();
    // For a failed HRESULT of the platform object: the first provider error
    // when the call left one, else the HRESULT.
    void raiseFailure(HRESULT hr);

    // The name of the provider the connection was opened with.
    std::u16string provider() const;
    // The database product of the open connection where its provider
    // reaches several (ODBC's driver names it); empty for the others.
    std::u16string dbmsName() const;
    // The arguments of the last successful open.
    const CAdoCredentials& openedWith() const { return m_openedWith; }

    // The platform object as the active connection of a recordset; null
    // without a handle.
    const CComPtr<IDispatch>& activeConnection() const { return m_dispatch; }
    // A command of this connection holding the statement's text and values,
    // kept per shape so that a shape's text crosses once per connection.
    CComPtr<_Command> command(const AdoStatement& statement);
    // Field 0 of the statement's first row, run with its values bound and
    // handed over to field: whether there was a row. Provider errors are
    // thrown as raiseProviderErrors throws them. Nothing is run, and
    // nothing is returned, when the connection is not open.
    std::optional<bool> readFirstField(const AdoStatement& statement, CComVariant& field);
    // A closed recordset object: the one an earlier read of this connection
    // gave back, or a new one. A lookup then creates none.
    CComPtr<_Recordset> takeRecordset();
    // Kept for the next takeRecordset when it is closed; dropped otherwise.
    void keepRecordset(CComPtr<_Recordset> handle);

private:
    CComPtr<_Command> keptCommand(const void* shape);
    // The statement's values, valid until the next call.
    const std::vector<AdoValue>& valuesOf(const AdoStatement& statement);
    LONG rowsAffected(const VARIANT& count) const;
    // A statement run by run (given where to put the rows affected), its
    // failures turned into exceptions; the rows affected.
    template <typename Run>
    LONG countRows(Run&& run);

    _Connection& handleOrThrow() const;
    LONG state() const;
    void keepHandleViews();

    CComLibrary m_com;
    CComPtr<_Connection> m_handle;
    CComPtr<Errors> m_errors;      // m_handle's
    CComPtr<IDispatch> m_dispatch; // m_handle as a recordset's active connection
    LONG m_commandTimeout = 15;
    CAdoCredentials m_openedWith;
    std::unordered_map<const void*, CComPtr<_Command>> m_commands; // by shape, for this handle
    struct KeptShape {
        const void* shape = nullptr;
        CComPtr<_Command> command;
    };
    KeptShape m_lastShape;                // the command found or made last, one of m_commands
    std::vector<std::u16string> m_composedValues; // room for each value composed of several, reused
    std::vector<AdoValue> m_values;               // a statement's values, as valuesOf last gave them
    CComPtr<_Recordset> m_spareRecordset; // closed, for the next read
};

} // namespace qmt
