// The component's part in the store's history. The store records every
// change itself (its triggers); the component names who makes its changes:
// each write's transaction opens its revision with one statement that
// names the acting user, and the changes of the rest of the transaction
// are recorded under it.
#pragma once

#include "qmt/db/ado_connection.h"
#include "qmt/db/ado_transaction.h"

#include <optional>
#include <string>
#include <string_view>

class StoreHistory {
public:
    // Once the connection is open: whether its store keeps a history (a
    // store made before it had one writes as before until `valmorin init`
    // gives it one and the connection opens again), and, on SQLite, this
    // connection's changes marked as the component's.
    void Attach(qmt::CAdoConnection& connection);
    void Forget() { m_kept = false; }
    bool kept() const { return m_kept; }
    // Refuses what needs the history on a store that keeps none (E_FAIL),
    // and on one whose history the component records but does not read
    // back (SQL Server and Oracle, E_NOTIMPL).
    void RefuseWithout() const;

private:
    bool m_kept = false;
    std::u16string m_recordedOnly; // the DBMS, where the history is recorded only
};

// A write's transaction: begun, then, on a store that keeps a history, its
// revision opened in the name of user ('' for the methods that name none).
// Its end is that of qmt::CAdoTransaction: commit() keeps it, otherwise it
// is rolled back with its revision.
class WriteTransaction {
public:
    WriteTransaction(qmt::CAdoConnection& connection, const StoreHistory& history, std::u16string_view user);
    // An approved change set's: its revision names the proposer as its
    // user, and its approver and change set.
    struct Approval {
        std::u16string_view proposer, approver;
        LONG changeSet;
    };
    WriteTransaction(qmt::CAdoConnection& connection, const StoreHistory& history, const Approval& approval);
    void commit() { m_transaction.commit(); }
    void rollback() { m_transaction.rollback(); }

private:
    qmt::CAdoTransaction m_transaction;
};

// The connection's store is of this family (SQLite, PostgreSQL), reached
// through its own provider or through ODBC.
bool StoreIs(const qmt::CAdoConnection& connection, std::u16string_view family);

// Revisions travel as decimal text: the number's digits without leading
// zeros, none for any other text or a number beyond the store's 64 bits.
std::optional<std::u16string> RevisionNumber(std::u16string_view text);
// Revisions as RevisionNumber writes them, compared as numbers.
bool RevisionBefore(const std::u16string& a, const std::u16string& b);
