#include "support/store.h"

#include "platform/text/utf.h"
#include "qmt/db/store_admin.h"
#include "support/odbc_store.h"

#include <thread>

namespace {

bool InSqliteFile(StoreKind kind) { return kind == StoreKind::Sqlite || kind == StoreKind::OdbcSqlite; }

} // namespace

const StoreTraits& TraitsOf(StoreKind kind)
{
    static const StoreTraits kSqlite{Dialect::Sqlite, u"SQLite", u"no such table"};
    static const StoreTraits kPostgres{Dialect::PostgreSql, u"PostgreSQL", u"does not exist"};
    static const StoreTraits kOdbcSqlite{Dialect::Sqlite, u"ODBC", u"no such table"};
    static const StoreTraits kOdbcPostgres{Dialect::PostgreSql, u"ODBC", u"does not exist"};
    static const StoreTraits* const kTraits[] = {&kSqlite, &kPostgres, &kOdbcSqlite, &kOdbcPostgres};
    return *kTraits[static_cast<int>(kind)];
}

std::string StoreKindName(const testing::TestParamInfo<StoreKind>& info)
{
    static const char* const kNames[] = {"SQLite", "PostgreSQL", "ODBC_SQLite", "ODBC_PostgreSQL"};
    return kNames[static_cast<int>(info.param)];
}

void PrintTo(StoreKind kind, std::ostream* out) { *out << StoreKindName({kind, 0}); }

std::string StoreUnavailable(StoreKind kind)
{
    if (kind == StoreKind::OdbcSqlite) return OdbcDriverMissing(OdbcDriver::Sqlite);
    if (InSqliteFile(kind)) return {};
    if (!PostgresAvailable())
        return "no PostgreSQL server: run under scripts/with-postgres (VALMORIN_TEST_PG_HOST is unset)";
    return kind == StoreKind::OdbcPostgreSql ? OdbcDriverMissing(OdbcDriver::PostgreSql) : std::string();
}

TestStore::TestStore(StoreKind kind) : m_kind(kind)
{
    if (InSqliteFile(kind)) {
        m_file = m_dir / "store.db";
        qmt::CreateStore(SqliteConnectionString(m_file));
    } else {
        m_pg = std::make_unique<PgDatabase>(PgDatabase::Unmade{});
        qmt::CreateStore(m_pg->connectionString());
    }
}

std::u16string TestStore::connectionString() const
{
    switch (m_kind) {
    case StoreKind::Sqlite: return SqliteConnectionString(m_file);
    case StoreKind::PostgreSql: return m_pg->connectionString();
    case StoreKind::OdbcSqlite: return OdbcSqliteConnectionString(m_file);
    case StoreKind::OdbcPostgreSql: return OdbcPostgresConnectionString(m_pg->name());
    }
    return {};
}

void TestStore::Run(const std::string& sql) const
{
    if (m_pg) return m_pg->Run(sql);
    CreateSqliteFile(m_file, sql);
}

ProcessResult SqliteShell(const std::filesystem::path& file, const std::string& sql, int waitMs)
{
    return RunProcess({"/usr/bin/sqlite3", "-cmd", ".timeout " + std::to_string(waitMs), file.string(), sql});
}

std::vector<ProcessResult> RunBatchesAtOnce(const TestStore& store, int processes, const std::string& calls)
{
    if (InSqliteFile(store.kind())) CreateSqliteFile(store.file(), "PRAGMA journal_mode = WAL;");
    const std::string connection = valmorin::text::Utf16ToUtf8(store.connectionString());
    std::vector<ProcessResult> results(static_cast<std::size_t>(processes));
    std::vector<std::thread> workers;
    for (auto& result : results)
        workers.emplace_back([&] { result = RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, calls); });
    for (auto& worker : workers) worker.join();
    return results;
}

std::vector<std::u16string> TestStore::Column(const std::string& sql) const
{
    return m_pg ? m_pg->Column(sql) : QueryColumn(m_file, sql);
}

void CreateWalStore(const std::filesystem::path& file, const std::string& sql)
{
    qmt::CreateStore(SqliteConnectionString(file));
    if (!sql.empty()) CreateSqliteFile(file, sql);
}
