#include "store.h"

#include "platform/ado/provider.h"
#include "platform/ado/sql_lexer.h"
#include "platform/ado/sqlite/create.h"
#include "platform/datasource/catalogue.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"
#include "schema_oracle.h"
#include "schema_postgresql.h"
#include "schema_sqlite.h"
#include "schema_sqlserver.h"

#include <sqlite3.h>

#include <filesystem>
#include <iostream>
#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

namespace {

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, Closer>;

int CountStoreTables(sqlite3* db, std::string& error)
{
    sqlite3_stmt* stmt = nullptr;
    int count = -1;
    if (sqlite3_prepare_v2(db,
                           "SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                           "('QM_TABLES', 'QM_DICO', 'QM_VALMOR')",
                           -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        count = sqlite3_column_int(stmt, 0);
    else
        error = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    return count;
}

bool RunScript(sqlite3* db, const char* script, std::string& error)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(db, script, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) error = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

InitOutcome Failure(std::string message) { return {false, true, std::move(message)}; }

// The schema's unique indexes, which a store made before them lacks.
std::string UniqueIndexStatements()
{
    std::string statements;
    const std::string_view schema = kSqliteSchema;
    for (std::size_t from = 0; from < schema.size();) {
        const std::size_t end = std::min(schema.find(';', from), schema.size());
        const std::string_view statement = schema.substr(from, end - from);
        if (statement.find("CREATE UNIQUE INDEX") != std::string_view::npos)
            statements.append(statement).append(";");
        from = end + 1;
    }
    return statements;
}

// Rows that two rows of one name or one table and INPUT would make
// ambiguous, as "name" or "name: input" lines.
std::vector<std::string> Duplicates(sqlite3* db, std::string& error)
{
    static constexpr const char* kQuery =
        "SELECT 'table ' || quote(NOM) || ' (' || COUNT(*) || ' rows)' FROM QM_TABLES GROUP BY NOM "
        "HAVING COUNT(*) > 1 UNION ALL "
        "SELECT 'table ' || v.ID_TABLE || ', INPUT ' || quote(v.INPUT) || ' (' || COUNT(*) || ' rows)' "
        "FROM QM_VALMOR v GROUP BY v.ID_TABLE, v.INPUT HAVING COUNT(*) > 1";
    std::vector<std::string> found;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, kQuery, -1, &raw, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return found;
    }
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, sqlite3_finalize);
    while (sqlite3_step(raw) == SQLITE_ROW)
        found.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)));
    return found;
}

bool HasUniqueIndexes(sqlite3* db)
{
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT COUNT(*) FROM sqlite_schema WHERE type = 'index' AND name IN "
                       "('QM_TABLES_UNIQUE_NOM', 'QM_VALMOR_UNIQUE_TABLE_INPUT')",
                       -1, &raw, nullptr);
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, sqlite3_finalize);
    return raw && sqlite3_step(raw) == SQLITE_ROW && sqlite3_column_int(raw, 0) == 2;
}

// An existing store gains the unique indexes, which replace the plain ones
// of the same columns; where rows already break them, it is left as it is
// and the rows are named.
InitOutcome UpgradeStore(sqlite3* db, const std::string& file)
{
    if (HasUniqueIndexes(db)) return {false, false, "the store " + file + " already exists; nothing was changed"};
    std::string error;
    const std::vector<std::string> duplicates = Duplicates(db, error);
    if (!error.empty()) return Failure("cannot read the store " + file + ": " + error);
    if (!duplicates.empty()) {
        std::string message = "the store " + file +
                              " holds rows that one name per table and one INPUT per table forbid; nothing was "
                              "changed. Remove or rename them, then run init again:";
        for (const std::string& row : duplicates) message += "\n  " + row;
        return Failure(message);
    }
    const std::string upgrade = "BEGIN;" + UniqueIndexStatements() +
                                "DROP INDEX IF EXISTS QM_TABLES_BY_NOM; DROP INDEX IF EXISTS "
                                "QM_VALMOR_BY_TABLE_INPUT; COMMIT;";
    if (!RunScript(db, upgrade.c_str(), error)) {
        std::string ignored;
        RunScript(db, "ROLLBACK", ignored);
        return Failure("cannot add the unique indexes to " + file + ": " + error);
    }
    return {false, false, "the store " + file + " already exists; added one name per table and one INPUT per table"};
}

// The schema's statements, one at a time: the provider runs one per call.
std::vector<std::u16string> SchemaStatements(std::string_view schema)
{
    std::vector<std::u16string> statements;
    for (std::size_t from = 0; from < schema.size();) {
        const std::size_t end = std::min(schema.find(';', from), schema.size());
        const std::string_view statement = schema.substr(from, end - from);
        if (statement.find("CREATE") != std::string_view::npos) statements.push_back(text::Widen(statement));
        from = end + 1;
    }
    return statements;
}

std::string Describe(const ado::ProviderFailure& failure)
{
    return failure.errors.empty() ? "unknown error" : text::Utf16ToUtf8(failure.errors.front().description);
}

// The store's database, created first when the server has none of that
// name (SQLSTATE 3D000), from the server's maintenance database.
std::unique_ptr<ado::Session> ConnectOrCreate(ado::Provider& provider, const std::u16string& connectionString)
{
    try {
        return provider.Connect(ado::ConnectionString(connectionString), u"", u"", 30);
    } catch (const ado::ProviderFailure& failure) {
        if (failure.errors.empty() || failure.errors.front().sqlState != u"3D000") throw;
    }
    const ado::ConnectionString cs(connectionString);
    const auto maintenance = provider.Connect(ado::ConnectionString(connectionString + u";Database=postgres"), u"", u"", 30);
    maintenance->Execute(u"CREATE DATABASE " + ado::QuoteIdentifier(cs.Get(u"Database")) + u" ENCODING 'UTF8'");
    return provider.Connect(cs, u"", u"", 30);
}

LONG CountPostgresStoreTables(ado::Session& session)
{
    const ado::RowSet counted =
        ado::QueryRows(session, u"SELECT COUNT(*) FROM pg_catalog.pg_tables WHERE schemaname = current_schema() AND "
                      u"tablename IN ('qm_tables', 'qm_dico', 'qm_valmor')",
                      false);
    return counted.values.at(0).lVal;
}

InitOutcome InitPostgresStore(const std::u16string& connectionString)
{
    const ado::ConnectionString cs(connectionString);
    const std::string name = text::Utf16ToUtf8(cs.Get(u"Database"));
    if (name.empty()) return Failure("the connection string names no Database");
    const auto provider = ado::FindProvider(u"PostgreSQL");
    if (!provider) return Failure("this build has no PostgreSQL provider");
    try {
        const auto session = ConnectOrCreate(*provider, connectionString);
        const LONG existing = CountPostgresStoreTables(*session);
        if (existing == 3) return {false, false, "the store in database " + name + " already exists; nothing was changed"};
        if (existing > 0) return Failure("the database " + name + " holds part of a store only; it was left as it is");
        session->Begin();
        for (const std::u16string& statement : SchemaStatements(kPostgresSchema)) session->Execute(statement);
        session->Commit();
        return {true, false, "created the store in database " + name};
    } catch (const ado::ProviderFailure& failure) {
        return Failure("cannot create the store in database " + name + ": " + Describe(failure));
    }
}

// The schema for the DBMS an ODBC driver names, by the start of its name.
const char* OdbcSchema(std::u16string_view dbms)
{
    static const std::pair<std::u16string_view, const char*> kSchemas[] = {
        {u"MICROSOFT SQL SERVER", kSqlServerSchema},
        {u"ORACLE", kOracleSchema},
        {u"POSTGRESQL", kPostgresSchema},
        {u"SQLITE", kSqliteSchema}};
    const std::u16string upper = text::AsciiUpper(dbms);
    for (const auto& [name, schema] : kSchemas)
        if (upper.starts_with(name)) return schema;
    return nullptr;
}

// How many of the store's tables a query can read.
int CountReadableStoreTables(ado::Session& session)
{
    int count = 0;
    for (const char16_t* table : {u"QM_TABLES", u"QM_DICO", u"QM_VALMOR"}) {
        try {
            ado::QueryRows(session, u"SELECT COUNT(*) FROM " + std::u16string(table), false);
            ++count;
        } catch (const ado::ProviderFailure&) {
            // not there, or not readable by this account: not a store table either way
        }
    }
    return count;
}

// Through ODBC the database exists already (a DSN or a server's database
// names it); init prints the schema of the DBMS the driver names, for an
// administrator to run, and creates the tables itself where the account
// may.
InitOutcome InitOdbcStore(const std::u16string& connectionString)
{
    const auto provider = ado::FindProvider(u"ODBC");
    if (!provider) return Failure("this build has no ODBC provider");
    try {
        const auto session = provider->Connect(ado::ConnectionString(connectionString), u"", u"", 30);
        const std::string dbms = text::Utf16ToUtf8(session->DbmsName());
        const char* schema = OdbcSchema(session->DbmsName());
        if (!schema)
            return Failure("the ODBC driver names the DBMS \"" + dbms +
                           "\", for which init knows no schema; schema/sqlserver.sql is the one to translate");
        std::cout << schema;
        const int existing = CountReadableStoreTables(*session);
        if (existing == 3) return {false, false, "the store on " + dbms + " already exists; nothing was changed"};
        if (existing > 0) return Failure("the " + dbms + " database holds part of a store only; it was left as it is");
        session->Begin();
        for (const std::u16string& statement : SchemaStatements(schema)) session->Execute(statement);
        session->Commit();
        return {true, false, "created the store on " + dbms + " with the schema above"};
    } catch (const ado::ProviderFailure& failure) {
        return Failure("cannot create the store through ODBC: " + Describe(failure) +
                       " (the schema above is for an administrator to run)");
    }
}

} // namespace

std::string DefaultStorePath() { return datasource::DefaultStorePath().string(); }

std::u16string DefaultStoreConnectionString() { return datasource::DefaultStoreConnectionString(); }

InitOutcome InitStore(const std::u16string& connectionString)
{
    const ado::ConnectionString cs(connectionString);
    const std::u16string provider = text::AsciiUpper(cs.Get(u"Provider"));
    if (provider == u"POSTGRESQL") return InitPostgresStore(connectionString);
    if (provider == u"ODBC") return InitOdbcStore(connectionString);
    if (provider != u"SQLITE")
        return Failure("init creates SQLite stores (Provider=SQLite;Data Source=<file>), PostgreSQL stores "
                       "(Provider=PostgreSQL;Host=...;Database=...) and stores reached through ODBC "
                       "(Provider=ODBC;DSN=...)");
    const std::filesystem::path file = text::Utf16ToUtf8(cs.Get(u"Data Source"));
    if (file.empty()) return Failure("the connection string names no Data Source");
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) return Failure("cannot create the folder " + file.parent_path().string() + ": " + ec.message());

    if (!std::filesystem::exists(std::filesystem::symlink_status(file))) {
        const std::string error = ado::sqlite::CreateDatabase(file, kSqliteSchema);
        if (!error.empty()) return Failure("cannot create the store: " + error);
        return {true, false, "created the store " + file.string()};
    }
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK) return Failure("cannot open " + file.string() + ": " + sqlite3_errstr(rc));
    sqlite3_busy_timeout(db.get(), 15000);
    std::string error;
    const int existing = CountStoreTables(db.get(), error);
    if (existing < 0) return Failure(file.string() + " is not a usable SQLite database: " + error);
    if (existing == 3) return UpgradeStore(db.get(), file.string());
    if (existing > 0) return Failure(file.string() + " holds part of a store only; it was left as it is");
    if (!RunScript(db.get(), "PRAGMA journal_mode = WAL", error) ||
        !RunScript(db.get(), (std::string("BEGIN;") + kSqliteSchema + "COMMIT;").c_str(), error))
        return Failure("cannot create the store in " + file.string() + ": " + error);
    return {true, false, "created the store " + file.string()};
}
