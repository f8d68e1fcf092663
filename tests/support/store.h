// A translation store made as valmorin init makes one (qmt/db/store_admin.h),
// in a temporary SQLite file or in a database of its own on the test
// PostgreSQL server, reached through its own provider or through ODBC.
#pragma once

#include "platform/ado/ado.h"
#include "support/pg_store.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <memory>
#include <optional>
#include <ostream>
#include <string>

// The store's database, and the provider the component reaches it through:
// its own, or ODBC with the database's ODBC driver.
enum class StoreKind { Sqlite, PostgreSql, OdbcSqlite, OdbcPostgreSql };

// The SQL the tests themselves speak to a store, around the calls.
enum class Dialect { Sqlite, PostgreSql };

// What the two stores answer differently; everything else is the same.
struct StoreTraits {
    Dialect dialect;
    std::u16string source;       // the Source of the store's errors
    std::u16string missingTable; // in the error of a statement on a dropped table
};
const StoreTraits& TraitsOf(StoreKind kind);

// For value-parameterised tests over both stores.
std::string StoreKindName(const testing::TestParamInfo<StoreKind>& info);
void PrintTo(StoreKind kind, std::ostream* out);
#define VALMORIN_STORES                                                                                        \
    ::testing::Values(StoreKind::Sqlite, StoreKind::PostgreSql, StoreKind::OdbcSqlite, StoreKind::OdbcPostgreSql), \
        StoreKindName

// Why a store of the kind cannot be made here (no PostgreSQL server in a
// local run without scripts/with-postgres, an ODBC driver not installed);
// empty when it can. scripts/test runs with everything.
std::string StoreUnavailable(StoreKind kind);
#define SKIP_WITHOUT_STORE(kind)                                                                                \
    if (const std::string unavailable = StoreUnavailable(kind); !unavailable.empty()) GTEST_SKIP() << unavailable

class TestStore {
public:
    explicit TestStore(StoreKind kind = StoreKind::Sqlite);
    StoreKind kind() const { return m_kind; }
    const StoreTraits& traits() const { return TraitsOf(m_kind); }
    // The SQLite file; empty on PostgreSQL.
    const std::filesystem::path& file() const { return m_file; }
    std::u16string connectionString() const;
    // Runs SQL (UTF-8) against the store directly.
    void Run(const std::string& sql) const;
    std::vector<std::u16string> Column(const std::string& sql) const;

private:
    StoreKind m_kind;
    TempDir m_dir;
    std::filesystem::path m_file;
    std::unique_ptr<PgDatabase> m_pg;
};

// A SQLite store at `file`, in WAL mode as init makes stores, with the rows
// `sql` inserts.
void CreateWalStore(const std::filesystem::path& file, const std::string& sql = "");

// The sqlite3 shell on a store's file, as an operator or another program
// runs it, waiting for locks up to the time given (milliseconds). A
// process of its own: a connection of the test's own, once closed, would
// drop the locks the test's objects hold on the file.
ProcessResult SqliteShell(const std::filesystem::path& file, const std::string& sql, int waitMs = 10000);

// The same batch of calls sent by that many `valmorin --batch` processes at
// once, on the store (SQLite in WAL mode, as shared stores are).
std::vector<ProcessResult> RunBatchesAtOnce(const TestStore& store, int processes, const std::string& calls);
