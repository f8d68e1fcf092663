#include "store.h"

#include "platform/ado/provider.h"
#include "platform/ado/statement_text.h"
#include "platform/ado/sqlite/create.h"
#include "platform/datasource/catalogue.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"
#include "schema_oracle.h"
#include "schema_postgresql.h"
#include "schema_sqlite.h"
#include "schema_sqlserver.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
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

std::string Describe(const valmorin::ado::ProviderFailure& failure)
{
    return failure.errors.empty() ? "unknown error" : valmorin::text::Utf16ToUtf8(failure.errors.front().description);
}

// The schema's statements, one at a time (the providers run one per call):
// each ends with a ';' at the end of a line; the comment lines before it
// are left out.
std::vector<std::string> SchemaStatements(std::string_view schema)
{
    std::vector<std::string> statements;
    std::string statement;
    for (std::size_t from = 0; from < schema.size();) {
        const std::size_t end = std::min(schema.find('\n', from), schema.size());
        const std::string_view line = schema.substr(from, end - from);
        from = end + 1;
        const bool comment = line.starts_with("--");
        const std::size_t last = line.find_last_not_of(" \t");
        if (statement.empty() && (comment || last == std::string_view::npos)) continue;
        statement.append(line).append("\n");
        if (!comment && last != std::string_view::npos && line[last] == ';') {
            statement.resize(statement.find_last_of(';'));
            statements.push_back(std::move(statement));
            statement.clear();
        }
    }
    return statements;
}

// A rule of the store (a unique index, a trigger, a foreign key) and the
// name of the object that carries it.
struct Rule {
    std::string name;
    std::string statement;
};

std::string WordAfter(std::string_view statement, std::string_view marker)
{
    const std::size_t at = statement.find(marker);
    if (at == std::string_view::npos) return {};
    const std::size_t from = statement.find_first_not_of(' ', at + marker.size());
    const std::size_t to = statement.find_first_of(" (\n", from);
    return std::string(statement.substr(from, to - from));
}

// The schema's statements that add a rule to its tables: those that make
// an object only if it is missing, or make or replace it (the functions and
// triggers that announce changes), and the constraints added to a table.
std::vector<Rule> Rules(std::string_view schema)
{
    std::vector<Rule> rules;
    for (std::string& statement : SchemaStatements(schema)) {
        std::string name = WordAfter(statement, "ADD CONSTRAINT");
        for (const char* marker : {"CREATE OR REPLACE FUNCTION", "CREATE OR REPLACE TRIGGER"})
            if (name.empty()) name = WordAfter(statement, marker);
        if (name.empty() && statement.find("CREATE TABLE") == std::string::npos)
            name = WordAfter(statement, "IF NOT EXISTS");
        if (!name.empty()) rules.push_back({std::move(name), std::move(statement)});
    }
    return rules;
}

// How one kind of database is asked what carries its rules.
struct StoreDialect {
    std::u16string_view quote;                 // the function that writes a value as a literal, NULL as NULL
    std::u16string_view objects;               // the names of its indexes, constraints and triggers, upper-cased
    std::vector<std::u16string_view> obsolete; // drops what the rules replace
};

const StoreDialect kSqliteStore{
    u"quote",
    u"SELECT upper(name) FROM sqlite_schema",
    {u"DROP INDEX IF EXISTS QM_TABLES_BY_NOM", u"DROP INDEX IF EXISTS QM_VALMOR_BY_TABLE_INPUT"}};
// A function made before its search path was pinned counts as missing, so
// that init replaces it.
const StoreDialect kPostgresStore{
    u"quote_nullable",
    u"SELECT upper(indexname) FROM pg_catalog.pg_indexes WHERE schemaname = current_schema() UNION ALL "
    u"SELECT upper(c.conname) FROM pg_catalog.pg_constraint c JOIN pg_catalog.pg_namespace n ON n.oid = "
    u"c.connamespace WHERE n.nspname = current_schema() UNION ALL SELECT upper(tgname) FROM "
    u"pg_catalog.pg_trigger WHERE NOT tgisinternal UNION ALL SELECT upper(p.proname) FROM pg_catalog.pg_proc p "
    u"JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace WHERE n.nspname = current_schema() AND p.proconfig IS "
    u"NOT NULL",
    {}};

// What the upgrade needs of a store: the first column of a query's rows,
// and statements run in one transaction.
class StoreAccess {
public:
    virtual ~StoreAccess() = default;
    virtual std::vector<std::string> Column(const std::u16string& query) = 0;
    // Throws the store's error text when a statement fails; nothing is kept then.
    virtual void RunInOneTransaction(const std::vector<std::u16string>& statements) = 0;
};

// A store reached through its provider.
class SessionAccess final : public StoreAccess {
public:
    explicit SessionAccess(valmorin::ado::Session& session) : m_session(session) {}
    std::vector<std::string> Column(const std::u16string& query) override
    {
        const valmorin::ado::RowSet rows = valmorin::ado::QueryRows(m_session, query, false);
        std::vector<std::string> column;
        for (std::size_t row = 0; row < rows.rows; ++row) {
            const VARIANT& value = rows.At(row, 0);
            if (value.vt == VT_BSTR)
                column.push_back(valmorin::text::Utf16ToUtf8({value.bstrVal, SysStringLen(value.bstrVal)}));
        }
        return column;
    }
    void RunInOneTransaction(const std::vector<std::u16string>& statements) override
    {
        m_session.Begin();
        try {
            for (const std::u16string& statement : statements) m_session.Execute(statement, {});
            m_session.Commit();
        } catch (const valmorin::ado::ProviderFailure& failure) {
            m_session.Rollback();
            throw std::runtime_error(Describe(failure));
        }
    }

private:
    valmorin::ado::Session& m_session;
};

// A SQLite file reached directly: SQLite's own reading of a statement
// takes a trigger's body whole, which the providers' one statement per
// call does not.
class SqliteFileAccess final : public StoreAccess {
public:
    explicit SqliteFileAccess(sqlite3* db) : m_db(db) {}
    std::vector<std::string> Column(const std::u16string& query) override
    {
        sqlite3_stmt* raw = nullptr;
        const std::string utf8 = valmorin::text::Utf16ToUtf8(query);
        if (sqlite3_prepare_v2(m_db, utf8.c_str(), -1, &raw, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(m_db));
        const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, sqlite3_finalize);
        std::vector<std::string> column;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
            if (const auto* value = sqlite3_column_text(raw, 0))
                column.emplace_back(reinterpret_cast<const char*>(value));
        if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(m_db));
        return column;
    }
    void RunInOneTransaction(const std::vector<std::u16string>& statements) override
    {
        std::string script = "BEGIN IMMEDIATE;";
        for (const std::u16string& statement : statements) script += valmorin::text::Utf16ToUtf8(statement) + ";\n";
        std::string error;
        if (!RunScript(m_db, (script + "COMMIT;").c_str(), error)) {
            std::string ignored;
            RunScript(m_db, "ROLLBACK", ignored);
            throw std::runtime_error(error);
        }
    }

private:
    sqlite3* m_db;
};

// The columns or correspondences (table is QM_DICO or QM_VALMOR) whose
// table the catalogue lacks, as lines.
std::u16string OrphansQuery(std::u16string_view table)
{
    const std::u16string name(table);
    return u"SELECT '" + name +
           u" rows of table ' || x.ID_TABLE || ', which QM_TABLES lacks (' || COUNT(*) || "
           u"' rows)' FROM " +
           name +
           u" x WHERE NOT EXISTS (SELECT 1 FROM QM_TABLES t WHERE t.ID_TABLE = "
           u"x.ID_TABLE) GROUP BY x.ID_TABLE";
}

// Rows that the rules forbid, one line each: two tables of one name, two
// rows of one INPUT in a table, columns or correspondences of a table the
// catalogue lacks.
std::vector<std::string> RowsBreakingRules(StoreAccess& store, const StoreDialect& dialect)
{
    const std::u16string quote(dialect.quote);
    return store.Column(u"SELECT 'table ' || " + quote +
                        u"(NOM) || ' (' || COUNT(*) || ' rows)' FROM QM_TABLES GROUP "
                        u"BY NOM HAVING COUNT(*) > 1 UNION ALL SELECT 'table ' || v.ID_TABLE || ', INPUT ' || " +
                        quote +
                        u"(v.INPUT) || ' (' || COUNT(*) || ' rows)' FROM QM_VALMOR v GROUP BY v.ID_TABLE, "
                        u"v.INPUT HAVING COUNT(*) > 1 UNION ALL " +
                        OrphansQuery(u"QM_DICO") + u" UNION ALL " + OrphansQuery(u"QM_VALMOR"));
}

std::vector<Rule> MissingRules(StoreAccess& store, const StoreDialect& dialect, std::string_view schema)
{
    const std::vector<std::string> present = store.Column(std::u16string(dialect.objects));
    std::vector<Rule> missing;
    for (Rule& rule : Rules(schema)) {
        const std::string upper =
            valmorin::text::Utf16ToUtf8(valmorin::text::AsciiUpper(valmorin::text::Widen(rule.name)));
        if (std::find(present.begin(), present.end(), upper) == present.end()) missing.push_back(std::move(rule));
    }
    return missing;
}

// An existing store gains the rules it lacks, in one transaction; where
// rows already break them, it is left as it is and the rows are named.
InitOutcome UpgradeStore(StoreAccess& store, const StoreDialect& dialect, std::string_view schema,
                         const std::string& named)
{
    try {
        const std::vector<Rule> missing = MissingRules(store, dialect, schema);
        if (missing.empty()) return {false, false, named + " already exists; nothing was changed"};
        const std::vector<std::string> breaking = RowsBreakingRules(store, dialect);
        if (!breaking.empty()) {
            std::string message = named + " holds rows that one name per table, one INPUT per table or a table "
                                          "for every column and correspondence forbid; nothing was changed. Remove "
                                          "or rename them, then run init again:";
            for (const std::string& row : breaking) message += "\n  " + row;
            return Failure(message);
        }
        std::vector<std::u16string> statements;
        std::string added;
        for (const Rule& rule : missing) {
            statements.push_back(valmorin::text::Widen(rule.statement));
            added += (added.empty() ? "" : ", ") + rule.name;
        }
        for (const std::u16string_view statement : dialect.obsolete) statements.emplace_back(statement);
        store.RunInOneTransaction(statements);
        return {false, false, named + " already exists; added the rules " + added};
    } catch (const std::runtime_error& e) {
        return Failure("cannot add the rules to " + named + ": " + e.what());
    }
}

// The store's database, created first when the server has none of that
// name (SQLSTATE 3D000), from the server's maintenance database.
std::unique_ptr<valmorin::ado::Session> ConnectOrCreate(valmorin::ado::Provider& provider,
                                                        const std::u16string& connectionString)
{
    try {
        return provider.Connect(valmorin::ado::ConnectionString(connectionString), u"", u"", 30);
    } catch (const valmorin::ado::ProviderFailure& failure) {
        if (failure.errors.empty() || failure.errors.front().sqlState != u"3D000") throw;
    }
    const valmorin::ado::ConnectionString cs(connectionString);
    const auto maintenance =
        provider.Connect(valmorin::ado::ConnectionString(connectionString + u";Database=postgres"), u"", u"", 30);
    maintenance->Execute(
        u"CREATE DATABASE " + valmorin::ado::QuoteIdentifier(cs.Get(u"Database")) + u" ENCODING 'UTF8'", {});
    return provider.Connect(cs, u"", u"", 30);
}

LONG CountPostgresStoreTables(valmorin::ado::Session& session)
{
    const valmorin::ado::RowSet counted =
        valmorin::ado::QueryRows(session,
                                 u"SELECT COUNT(*) FROM pg_catalog.pg_tables WHERE schemaname = current_schema() AND "
                                 u"tablename IN ('qm_tables', 'qm_dico', 'qm_valmor')",
                                 false);
    return counted.values.at(0).lVal;
}

void RunSchema(valmorin::ado::Session& session, std::string_view schema)
{
    session.Begin();
    for (const std::string& statement : SchemaStatements(schema)) session.Execute(valmorin::text::Widen(statement), {});
    session.Commit();
}

InitOutcome InitPostgresStore(const std::u16string& connectionString)
{
    const valmorin::ado::ConnectionString cs(connectionString);
    const std::string name = valmorin::text::Utf16ToUtf8(cs.Get(u"Database"));
    if (name.empty()) return Failure("the connection string names no Database");
    const auto provider = valmorin::ado::FindProvider(u"PostgreSQL");
    if (!provider) return Failure("this build has no PostgreSQL provider");
    try {
        const auto session = ConnectOrCreate(*provider, connectionString);
        const LONG existing = CountPostgresStoreTables(*session);
        if (existing == 3) {
            SessionAccess access(*session);
            return UpgradeStore(access, kPostgresStore, kPostgresSchema, "the store in database " + name);
        }
        if (existing > 0) return Failure("the database " + name + " holds part of a store only; it was left as it is");
        RunSchema(*session, kPostgresSchema);
        return {true, false, "created the store in database " + name};
    } catch (const valmorin::ado::ProviderFailure& failure) {
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
    const std::u16string upper = valmorin::text::AsciiUpper(dbms);
    for (const auto& [name, schema] : kSchemas)
        if (upper.starts_with(name)) return schema;
    return nullptr;
}

// How many of the store's tables a query can read.
int CountReadableStoreTables(valmorin::ado::Session& session)
{
    int count = 0;
    for (const char16_t* table : {u"QM_TABLES", u"QM_DICO", u"QM_VALMOR"}) {
        try {
            valmorin::ado::QueryRows(session, u"SELECT COUNT(*) FROM " + std::u16string(table), false);
            ++count;
        } catch (const valmorin::ado::ProviderFailure&) {
            // not there, or not readable by this account: not a store table either way
        }
    }
    return count;
}

// Through ODBC the database exists already (a DSN or a server's database
// names it); init prints the schema of the DBMS the driver names, for an
// administrator to run, and creates the tables itself where the account
// may. An existing store is left as it is: its rules are the
// administrator's to add from the schema printed.
InitOutcome InitOdbcStore(const std::u16string& connectionString)
{
    const auto provider = valmorin::ado::FindProvider(u"ODBC");
    if (!provider) return Failure("this build has no ODBC provider");
    try {
        const auto session = provider->Connect(valmorin::ado::ConnectionString(connectionString), u"", u"", 30);
        const std::string dbms = valmorin::text::Utf16ToUtf8(session->DbmsName());
        const char* schema = OdbcSchema(session->DbmsName());
        if (!schema)
            return Failure("the ODBC driver names the DBMS \"" + dbms +
                           "\", for which init knows no schema; schema/sqlserver.sql is the one to translate");
        std::cout << schema;
        const int existing = CountReadableStoreTables(*session);
        if (existing == 3) return {false, false, "the store on " + dbms + " already exists; nothing was changed"};
        if (existing > 0) return Failure("the " + dbms + " database holds part of a store only; it was left as it is");
        RunSchema(*session, schema);
        return {true, false, "created the store on " + dbms + " with the schema above"};
    } catch (const valmorin::ado::ProviderFailure& failure) {
        return Failure("cannot create the store through ODBC: " + Describe(failure) +
                       " (the schema above is for an administrator to run)");
    }
}

} // namespace

std::string DefaultStorePath() { return valmorin::datasource::DefaultStorePath().string(); }

std::u16string DefaultStoreConnectionString() { return valmorin::datasource::DefaultStoreConnectionString(); }

std::optional<std::string> SqliteFileOf(const std::u16string& connectionString)
{
    const valmorin::ado::ConnectionString settings(connectionString);
    if (valmorin::text::AsciiUpper(settings.Get(u"Provider")) != u"SQLITE") return std::nullopt;
    const std::u16string file = settings.Get(u"Data Source");
    if (file.empty()) return std::nullopt;
    return valmorin::text::Utf16ToUtf8(file);
}

InitOutcome InitStore(const std::u16string& connectionString)
{
    const valmorin::ado::ConnectionString cs(connectionString);
    const std::u16string provider = valmorin::text::AsciiUpper(cs.Get(u"Provider"));
    if (provider == u"POSTGRESQL") return InitPostgresStore(connectionString);
    if (provider == u"ODBC") return InitOdbcStore(connectionString);
    if (provider != u"SQLITE")
        return Failure("init creates SQLite stores (Provider=SQLite;Data Source=<file>), PostgreSQL stores "
                       "(Provider=PostgreSQL;Host=...;Database=...) and stores reached through ODBC "
                       "(Provider=ODBC;DSN=...)");
    const std::filesystem::path file = valmorin::text::Utf16ToUtf8(cs.Get(u"Data Source"));
    if (file.empty()) return Failure("the connection string names no Data Source");
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) return Failure("cannot create the folder " + file.parent_path().string() + ": " + ec.message());

    if (!std::filesystem::exists(std::filesystem::symlink_status(file))) {
        const std::string error = valmorin::ado::sqlite::CreateDatabase(file, kSqliteSchema);
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
    if (existing == 3) {
        SqliteFileAccess access(db.get());
        return UpgradeStore(access, kSqliteStore, kSqliteSchema, "the store " + file.string());
    }
    if (existing > 0) return Failure(file.string() + " holds part of a store only; it was left as it is");
    if (!RunScript(db.get(), "PRAGMA journal_mode = WAL", error) ||
        !RunScript(db.get(), (std::string("BEGIN;") + kSqliteSchema + "COMMIT;").c_str(), error))
        return Failure("cannot create the store in " + file.string() + ": " + error);
    return {true, false, "created the store " + file.string()};
}
