// Making a translation store and bringing an older one up to the store's
// rules, one way for everything that makes stores: valmorin init, the tests
// and the benchmarks. Every store is reached through the ADO connection, as
// the component reaches it, with the schema shipped under schema/.
#pragma once

#include <string>

namespace qmt {

struct StoreInitOutcome {
    bool created = false;
    bool failed = false;
    // What was done, or what stands in the way, for a person to read.
    std::string message;
    // Through ODBC, the schema of the DBMS the driver names, for an
    // administrator to run where the account may not; empty otherwise.
    std::string schemaForAdministrator;
};

// Creates the store the connection string names where there is none:
//  - SQLite: the file, its owner's only whatever the umask, in WAL mode; it
//    appears whole with its tables or not at all, and an existing file is
//    never replaced, nor taken when another account owns it, others may
//    write it or it holds other tables only;
//  - PostgreSQL: the database, when the server has none of that name and
//    the role may create one, then its tables;
//  - ODBC: the tables, in the database the driver reaches.
// A SQLite or PostgreSQL store made before the store's rules gains those it
// lacks, unless rows break them; those rows are named and nothing changes.
// A SQLite store another program took out of WAL mode is put back in it.
// An init that fails because another made the same store meanwhile answers
// as for a store that was there. A store's refusal is the outcome's, never
// an exception.
StoreInitOutcome InitStore(const std::u16string& connectionString);

// For callers that need a new, empty store (the tests, the benchmarks):
// throws std::runtime_error with the outcome's message unless InitStore
// created one.
void CreateStore(const std::u16string& connectionString);

} // namespace qmt
