#include "qmt/db/store_admin.h"

#include "platform/ado/connection_string.h"
#include "platform/ado/statement_text.h"
#include "platform/posix/unique_fd.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"
#include "qmt/db/ado_connection.h"
#include "qmt/db/ado_recordset.h"
#include "qmt/db/ado_statement.h"
#include "qmt/db/ado_transaction.h"
#include "qmt/diag/exception.h"
#include "schema_oracle.h"
#include "schema_postgresql.h"
#include "schema_sqlite.h"
#include "schema_sqlserver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qmt {

namespace {

using valmorin::ado::ConnectionString;
using valmorin::ado::QuoteIdentifier;
using valmorin::text::Utf16ToUtf8;
using valmorin::text::Widen;

constexpr LONG kStoreTables = 3;

StoreInitOutcome Created(std::string message) { return {true, false, std::move(message), {}}; }
StoreInitOutcome Kept(std::string message) { return {false, false, std::move(message), {}}; }
StoreInitOutcome Failure(std::string message) { return {false, true, std::move(message), {}}; }

std::string Describe(const CException& failure) { return Utf16ToUtf8(failure.description); }

std::string ErrnoText() { return std::strerror(errno); }

// How messages name a store, and what holds it.
struct StoreNames {
    std::string store;  // "the store /srv/qms.db", "the store in database qms"
    std::string holder; // "/srv/qms.db", "the database qms"
};

// The schema's statements, one at a time (the providers run one per call):
// each ends with a ';' at the end of a line; the comment lines before it
// are left out. The lines an administrator's tool reads as the end of a
// batch are no statement's: "GO" (sqlcmd) and "/" (sqlplus), which ends a
// PL/SQL unit whose closing ';' is its own.
std::vector<std::u16string> SchemaStatements(std::string_view schema)
{
    std::vector<std::u16string> statements;
    std::string statement;
    for (std::size_t from = 0; from < schema.size();) {
        const std::size_t end = std::min(schema.find('\n', from), schema.size());
        const std::string_view line = schema.substr(from, end - from);
        from = end + 1;
        if (statement.empty() && line == "GO") continue;
        if (statement.empty() && line == "/") {
            if (!statements.empty()) statements.back() += u';';
            continue;
        }
        const bool comment = line.starts_with("--");
        const std::size_t last = line.find_last_not_of(" \t");
        if (statement.empty() && (comment || last == std::string_view::npos)) continue;
        statement.append(line).append("\n");
        if (!comment && last != std::string_view::npos && line[last] == ';') {
            statement.resize(statement.find_last_of(';'));
            statements.push_back(Widen(statement));
            statement.clear();
        }
    }
    return statements;
}

// A rule of the store (a unique index, a trigger, a foreign key) and the
// name of the object that carries it.
struct Rule {
    std::u16string name;
    std::u16string statement;
};

std::u16string WordAfter(std::u16string_view statement, std::u16string_view marker)
{
    const std::size_t at = statement.find(marker);
    if (at == std::u16string_view::npos) return {};
    const std::size_t from = statement.find_first_not_of(u' ', at + marker.size());
    const std::size_t to = statement.find_first_of(u" (\n", from);
    return std::u16string(statement.substr(from, to - from));
}

// The schema's statements that add a rule to its tables: those that make
// an object only if it is missing (the history's tables among them), or
// make or replace it (the functions and triggers that announce and record
// changes), and the constraints added to a table.
std::vector<Rule> Rules(std::string_view schema)
{
    std::vector<Rule> rules;
    for (std::u16string& statement : SchemaStatements(schema)) {
        std::u16string name = WordAfter(statement, u"ADD CONSTRAINT");
        for (const char16_t* marker : {u"CREATE OR REPLACE FUNCTION", u"CREATE OR REPLACE TRIGGER"})
            if (name.empty()) name = WordAfter(statement, marker);
        if (name.empty()) name = WordAfter(statement, u"IF NOT EXISTS");
        if (!name.empty()) rules.push_back({std::move(name), std::move(statement)});
    }
    return rules;
}

// The text the SQLite catalogue keeps for a trigger or an index the
// schema makes (its statement without IF NOT EXISTS), and what replaces
// one an older schema made: empty for what the catalogue keeps no
// comparable text of, left as it is once present.
std::u16string SqliteKeptText(const Rule& rule)
{
    constexpr std::u16string_view kIfMissing = u" IF NOT EXISTS";
    for (std::u16string_view kind :
         {u"CREATE TRIGGER IF NOT EXISTS ", u"CREATE INDEX IF NOT EXISTS ", u"CREATE UNIQUE INDEX IF NOT EXISTS "}) {
        if (!rule.statement.starts_with(kind)) continue;
        std::u16string kept = rule.statement;
        return kept.erase(kept.find(kIfMissing), kIfMissing.size());
    }
    return {};
}
std::vector<std::u16string> SqliteRenewal(const Rule& rule)
{
    const bool trigger = rule.statement.starts_with(u"CREATE TRIGGER");
    return {(trigger ? u"DROP TRIGGER " : u"DROP INDEX ") + rule.name, rule.statement};
}

// What PostgreSQL keeps of a function the schema makes: its settings
// (proconfig: "SET search_path = a, b" kept as "search_path=a, b"), and
// its body (prosrc), which the schema writes as one quoted literal, the
// statement's last text.
std::u16string PostgresKeptText(const Rule& rule)
{
    if (!rule.statement.starts_with(u"CREATE OR REPLACE FUNCTION")) return {};
    const std::size_t open = rule.statement.find(u'\'');
    const std::size_t close = rule.statement.rfind(u'\'');
    const std::size_t set = rule.statement.find(u" SET ");
    std::u16string kept;
    if (set < open) {
        kept = rule.statement.substr(set + 5, rule.statement.rfind(u" AS", open) - set - 5);
        kept.replace(kept.find(u" = "), 3, u"=");
    }
    kept += u'\n';
    for (std::size_t at = open + 1; at < close; ++at) {
        kept += rule.statement[at];
        if (rule.statement[at] == u'\'') ++at;
    }
    return kept;
}
std::vector<std::u16string> PostgresRenewal(const Rule& rule) { return {rule.statement}; }

// Where init leaves an existing store's rules to its administrator.
std::u16string NothingKept(const Rule&) { return {}; }
std::vector<std::u16string> NothingRenewed(const Rule&) { return {}; }

// How one kind of database is asked about the store it holds.
struct StoreDialect {
    const char* schema;
    std::u16string_view countTables;           // how many of the store's three tables it holds
    std::u16string_view tables;                // the names of the tables it holds, when a database holding
                                               // only others is left alone
    std::u16string_view beforeSchema;          // run before the schema's transaction, when given
    std::u16string_view quote;                 // the function that writes a value as a literal, NULL as NULL
    std::u16string_view objects; // the names of its tables, indexes, constraints and triggers, upper-cased;
                                 // none where init leaves an existing store's rules to its administrator
    std::vector<std::u16string_view> obsolete; // drops what the rules replace
    // The name (upper-cased) and kept text of each rule whose text init
    // compares with the schema's, a line feed between them; what the
    // schema would keep for a rule (empty: nothing compared), and what
    // replaces an outdated one.
    std::u16string_view keptTexts;
    std::u16string (*keptText)(const Rule&);
    std::vector<std::u16string> (*renewal)(const Rule&);
    // Where triggers are made or replaced by name (PostgreSQL): their state,
    // a line each (name and table upper-cased, both as the catalogue quotes
    // them, enabled, definition), and what an upgrade
    // takes first so that no writer holds a table the triggers are
    // replaced on (the writers' lock).
    std::u16string_view triggerStates;
    std::u16string_view upgradeLock;
    // Run before anything else: makes the schema the store's tables are
    // found in (through the search path, as the component finds them) the
    // one init looks in and makes in, when another comes first in the path
    // (one named after the role, made since by another application).
    std::u16string_view followStore;
};

// WAL, as shared stores are kept: readers and the writer do not block each
// other. The journal mode is the file's, set outside any transaction.
const StoreDialect kSqliteStore{
    kSqliteSchema,
    u"SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table' AND name IN ('QM_TABLES', 'QM_DICO', 'QM_VALMOR')",
    u"SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name",
    u"PRAGMA journal_mode = WAL",
    u"quote",
    u"SELECT upper(name) FROM sqlite_schema",
    {u"DROP INDEX IF EXISTS QM_TABLES_BY_NOM", u"DROP INDEX IF EXISTS QM_VALMOR_BY_TABLE_INPUT",
     u"DROP INDEX IF EXISTS QM_HISTORY_TABLE_NAMES"},
    u"SELECT upper(name) || char(10) || sql FROM sqlite_schema WHERE type IN ('trigger', 'index')",
    SqliteKeptText,
    SqliteRenewal,
    {},
    {},
    {}};
// A function made before its search path was pinned counts as missing, so
// that init replaces it. Every object is looked for in the schema the store
// lives in: another schema of the database may hold a store of its own.
const StoreDialect kPostgresStore{
    kPostgresSchema,
    u"SELECT COUNT(*) FROM pg_catalog.pg_tables WHERE schemaname = current_schema() AND tablename IN ('qm_tables', "
    u"'qm_dico', 'qm_valmor')",
    {},
    {},
    u"quote_nullable",
    u"SELECT upper(tablename) FROM pg_catalog.pg_tables WHERE schemaname = current_schema() UNION ALL "
    u"SELECT upper(indexname) FROM pg_catalog.pg_indexes WHERE schemaname = current_schema() UNION ALL "
    u"SELECT upper(sequencename) FROM pg_catalog.pg_sequences WHERE schemaname = current_schema() UNION ALL "
    u"SELECT upper(c.conname) FROM pg_catalog.pg_constraint c JOIN pg_catalog.pg_namespace n ON n.oid = "
    u"c.connamespace WHERE n.nspname = current_schema() UNION ALL SELECT upper(t.tgname) FROM "
    u"pg_catalog.pg_trigger t JOIN pg_catalog.pg_class r ON r.oid = t.tgrelid JOIN pg_catalog.pg_namespace n ON "
    u"n.oid = r.relnamespace WHERE n.nspname = current_schema() AND NOT t.tgisinternal UNION ALL "
    u"SELECT upper(p.proname) FROM pg_catalog.pg_proc p "
    u"JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace WHERE n.nspname = current_schema() AND p.proconfig IS "
    u"NOT NULL",
    {u"DROP INDEX IF EXISTS QM_HISTORY_TABLE_NAMES"},
    u"SELECT upper(p.proname) || chr(10) || COALESCE(pg_catalog.array_to_string(p.proconfig, ','), '') || chr(10) "
    u"|| p.prosrc FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace WHERE "
    u"n.nspname = current_schema()",
    PostgresKeptText,
    PostgresRenewal,
    u"SELECT upper(t.tgname) || chr(10) || upper(r.relname) || chr(10) || pg_catalog.quote_ident(t.tgname) || "
    u"chr(10) || pg_catalog.quote_ident(r.relname) || chr(10) || CAST(t.tgenabled AS TEXT) || chr(10) || "
    u"pg_catalog.pg_get_triggerdef(t.oid) FROM pg_catalog.pg_trigger t JOIN pg_catalog.pg_class r ON r.oid = "
    u"t.tgrelid JOIN pg_catalog.pg_namespace n ON n.oid = r.relnamespace WHERE n.nspname = current_schema() AND NOT "
    u"t.tgisinternal ORDER BY 1",
    u"SELECT pg_catalog.pg_advisory_xact_lock(8386676915082767457)",
    u"SELECT pg_catalog.set_config('search_path', pg_catalog.quote_ident(n.nspname) || ', pg_catalog', false) FROM "
    u"pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE c.oid = "
    u"pg_catalog.to_regclass('qm_tables') AND n.nspname <> current_schema() AND n.nspname NOT LIKE 'pg\\_temp%'"};

// The rows of a query, opened read-only.
template <typename Query>
void OpenRows(CAdoRecordset& rows, const Query& query, CAdoConnection& connection)
{
    rows.open(query, connection, adOpenForwardOnly, adUseClient, adLockReadOnly, adOptionUnspecified);
}

// Field 0 of the query's first row, as a number.
template <typename Query>
LONG Number(CAdoConnection& connection, const Query& query)
{
    CAdoRecordset rows;
    OpenRows(rows, query, connection);
    LONG value = 0;
    if (auto row = rows.begin(); row != rows.end()) (*row).read(0, value);
    return value;
}

// The texts of the first column of a query's rows; NULLs are left out.
std::vector<std::u16string> Column(CAdoConnection& connection, const std::u16string& query)
{
    CAdoRecordset rows;
    OpenRows(rows, query, connection);
    std::vector<std::u16string> column;
    for (auto row = rows.begin(); row != rows.end(); ++row) {
        CComVariant value;
        (*row).read(0, value);
        if (value.vt == VT_BSTR) column.emplace_back(value.bstrVal, SysStringLen(value.bstrVal));
    }
    return column;
}

// The statements kept all or not at all.
void RunInOneTransaction(CAdoConnection& connection, const std::vector<std::u16string>& statements)
{
    CAdoTransaction transaction(connection);
    for (const std::u16string& statement : statements) connection.execute(statement, adOptionUnspecified);
    transaction.commit();
}

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
// catalogue lacks. NULLs are left out, as the unique indexes leave them:
// GROUP BY would count two of them as one name.
std::vector<std::u16string> RowsBreakingRules(CAdoConnection& connection, const StoreDialect& dialect)
{
    const std::u16string quote(dialect.quote);
    return Column(connection,
                  u"SELECT 'table ' || " + quote +
                      u"(NOM) || ' (' || COUNT(*) || ' rows)' FROM QM_TABLES WHERE NOM IS NOT NULL GROUP "
                      u"BY NOM HAVING COUNT(*) > 1 UNION ALL SELECT 'table ' || v.ID_TABLE || ', INPUT ' || " +
                      quote +
                      u"(v.INPUT) || ' (' || COUNT(*) || ' rows)' FROM QM_VALMOR v WHERE v.INPUT IS NOT NULL "
                      u"GROUP BY v.ID_TABLE, v.INPUT HAVING COUNT(*) > 1 UNION ALL " +
                      OrphansQuery(u"QM_DICO") + u" UNION ALL " + OrphansQuery(u"QM_VALMOR"));
}

// The rules a store lacks, and those an older schema made otherwise (a
// trigger or function that records less than today's): both are brought
// up to date, or a store made before a fix would never gain it.
struct RulesToBring {
    std::vector<Rule> missing;
    std::vector<Rule> outdated;
    bool none() const { return missing.empty() && outdated.empty(); }
};

template <typename Texts>
bool Holds(const Texts& texts, const std::u16string& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

RulesToBring RulesToBringUpToDate(CAdoConnection& connection, const StoreDialect& dialect)
{
    const std::vector<std::u16string> present = Column(connection, std::u16string(dialect.objects));
    const std::vector<std::u16string> kept = Column(connection, std::u16string(dialect.keptTexts));
    RulesToBring rules;
    for (Rule& rule : Rules(dialect.schema)) {
        const std::u16string name = valmorin::text::AsciiUpper(rule.name);
        const std::u16string text = dialect.keptText(rule);
        if (!Holds(present, name))
            rules.missing.push_back(std::move(rule));
        else if (!text.empty() && !Holds(kept, name + u'\n' + text))
            rules.outdated.push_back(std::move(rule));
    }
    return rules;
}

std::string Names(const std::vector<std::u16string>& names)
{
    std::string list;
    for (const std::u16string& name : names) list += (list.empty() ? "" : ", ") + Utf16ToUtf8(name);
    return list;
}

std::vector<std::u16string> Names(const std::vector<Rule>& rules)
{
    std::vector<std::u16string> names;
    for (const Rule& rule : rules) names.push_back(rule.name);
    return names;
}

// What init says it did to an existing store's rules.
std::string Brought(const RulesToBring& rules, const std::vector<std::u16string>& renewedTriggers)
{
    std::vector<std::u16string> renewed = Names(rules.outdated);
    renewed.insert(renewed.end(), renewedTriggers.begin(), renewedTriggers.end());
    std::string said;
    if (!rules.missing.empty()) said = "added the rules " + Names(Names(rules.missing));
    if (!renewed.empty()) said += (said.empty() ? "" : "; ") + std::string("renewed the rules ") + Names(renewed);
    return said;
}

// Line `line` of a trigger's state.
std::u16string StateLine(const std::u16string& state, int line)
{
    std::size_t from = 0;
    for (int i = 0; i < line; ++i) from = state.find(u'\n', from) + 1;
    return state.substr(from, state.find(u'\n', from) - from);
}
std::u16string NameOf(const std::u16string& state) { return StateLine(state, 0); }
std::u16string TableOf(const std::u16string& state) { return StateLine(state, 1); }

// A trigger of the schema's name as the schema makes it: unquoted, so that
// the catalogue keeps it in lower case. One of the same letters quoted is
// another application's.
bool MadeByTheSchema(const std::u16string& state) { return StateLine(state, 2).find(u'"') == std::u16string::npos; }

// The triggers whose state differs between before and after (made, moved,
// enabled again, given other events), each named once.
std::vector<std::u16string> ChangedTriggers(const std::vector<std::u16string>& before,
                                            const std::vector<std::u16string>& after)
{
    std::vector<std::u16string> names;
    for (const auto& [from, to] : {std::pair{&before, &after}, std::pair{&after, &before}})
        for (const std::u16string& state : *from)
            if (!Holds(*to, state) && !Holds(names, NameOf(state))) names.push_back(NameOf(state));
    std::sort(names.begin(), names.end());
    return names;
}

// Every trigger of the schema made or replaced again, on its table and
// enabled: one of its name on another table of the store is dropped first
// (moved there, it would record that table's rows as the wrong kind, or
// twice); those on other applications' tables are theirs.
void ReplaceTriggers(CAdoConnection& connection, const StoreDialect& dialect)
{
    const std::vector<std::u16string> states = Column(connection, std::u16string(dialect.triggerStates));
    for (const Rule& rule : Rules(dialect.schema)) {
        if (!rule.statement.starts_with(u"CREATE OR REPLACE TRIGGER")) continue;
        const std::u16string name = valmorin::text::AsciiUpper(rule.name);
        const std::u16string table = valmorin::text::AsciiUpper(WordAfter(rule.statement, u" ON "));
        for (const std::u16string& state : states)
            if (NameOf(state) == name && MadeByTheSchema(state) && TableOf(state) != table &&
                TableOf(state).starts_with(u"QM_"))
                connection.execute(u"DROP TRIGGER " + StateLine(state, 2) + u" ON " + StateLine(state, 3),
                                   adOptionUnspecified);
        connection.execute(rule.statement, adOptionUnspecified);
        connection.execute(u"ALTER TABLE " + table + u" ENABLE TRIGGER " + name, adOptionUnspecified);
    }
}

// The trigger states of a dialect that replaces its triggers by name; none
// otherwise.
std::vector<std::u16string> TriggerStates(CAdoConnection& connection, const StoreDialect& dialect)
{
    if (dialect.triggerStates.empty()) return {};
    return Column(connection, std::u16string(dialect.triggerStates));
}

// An existing store gains the rules it lacks, and those an older schema
// made otherwise are made again, in one transaction; where rows already
// break the rules, it is left as it is and the rows are named. Triggers
// made or replaced by name are replaced whatever they look like (moved,
// disabled, given other events), and the transaction is kept only when
// that changed one of them.
StoreInitOutcome UpgradeStore(CAdoConnection& connection, const StoreDialect& dialect, const std::string& named)
{
    try {
        if (RulesToBringUpToDate(connection, dialect).none() && dialect.triggerStates.empty())
            return Kept(named + " already exists; nothing was changed");
        // Read again once the writers' lock is held: another init may have
        // brought some of them since.
        CAdoTransaction transaction(connection);
        if (!dialect.upgradeLock.empty()) Column(connection, std::u16string(dialect.upgradeLock));
        const RulesToBring rules = RulesToBringUpToDate(connection, dialect);
        if (!rules.missing.empty()) {
            const std::vector<std::u16string> breaking = RowsBreakingRules(connection, dialect);
            if (!breaking.empty()) {
                std::string message = named + " holds rows that one name per table, one INPUT per table or a "
                                              "table for every column and correspondence forbid; nothing was "
                                              "changed. Remove or rename them, then run init again:";
                for (const std::u16string& row : breaking) message += "\n  " + Utf16ToUtf8(row);
                return Failure(message);
            }
        }
        const std::vector<std::u16string> before = TriggerStates(connection, dialect);
        for (const Rule& rule : rules.missing) connection.execute(rule.statement, adOptionUnspecified);
        for (const Rule& rule : rules.outdated)
            for (const std::u16string& statement : dialect.renewal(rule))
                connection.execute(statement, adOptionUnspecified);
        for (std::u16string_view statement : dialect.obsolete)
            connection.execute(std::u16string(statement), adOptionUnspecified);
        std::vector<std::u16string> renewedTriggers;
        if (!dialect.triggerStates.empty()) {
            ReplaceTriggers(connection, dialect);
            renewedTriggers = ChangedTriggers(before, TriggerStates(connection, dialect));
            for (const Rule& rule : rules.missing) std::erase(renewedTriggers, valmorin::text::AsciiUpper(rule.name));
        }
        if (rules.none() && renewedTriggers.empty()) {
            transaction.rollback();
            return Kept(named + " already exists; nothing was changed");
        }
        transaction.commit();
        return Kept(named + " already exists; " + Brought(rules, renewedTriggers));
    } catch (const CException& failure) {
        return Failure("cannot add the rules to " + named + ": " + Describe(failure));
    }
}

// The first few tables of a database that holds none of the store's, as
// a list; empty when it holds none.
std::string OtherTables(CAdoConnection& connection, const StoreDialect& dialect)
{
    if (dialect.tables.empty()) return {};
    constexpr std::size_t kNamed = 3;
    const std::vector<std::u16string> tables = Column(connection, std::u16string(dialect.tables));
    std::string list;
    for (std::size_t i = 0; i < std::min(tables.size(), kNamed); ++i)
        list += (i == 0 ? "" : ", ") + Utf16ToUtf8(tables[i]);
    if (tables.size() > kNamed) list += ", ...";
    return list;
}

// A database that holds `existing` of the store's tables: the store is
// made in it when it holds none (and, on SQLite, no other table either: a
// file of another program's is not taken over), and its rules brought up
// to date when it holds all three.
StoreInitOutcome InitReachedStore(CAdoConnection& connection, LONG existing, const StoreDialect& dialect,
                                  const StoreNames& names)
{
    if (existing == kStoreTables)
        return dialect.objects.empty() ? Kept(names.store + " already exists; nothing was changed")
                                       : UpgradeStore(connection, dialect, names.store);
    if (existing > 0) return Failure(names.holder + " holds part of a store only; it was left as it is");
    if (const std::string others = OtherTables(connection, dialect); !others.empty())
        return Failure(names.holder + " holds other tables (" + others +
                       ") and none of a translation store's; init leaves it alone");
    if (!dialect.beforeSchema.empty()) connection.execute(std::u16string(dialect.beforeSchema), adOptionUnspecified);
    RunInOneTransaction(connection, SchemaStatements(dialect.schema));
    return Created("created " + names.store);
}

// How many of the store's tables the database holds, in the schema the
// store's tables are found in.
LONG StoreTables(CAdoConnection& connection, const StoreDialect& dialect)
{
    if (!dialect.followStore.empty()) Column(connection, std::u16string(dialect.followStore));
    return Number(connection, std::u16string(dialect.countTables));
}

// Whether the store is whole now, its three tables and every rule there,
// looked at over a connection of its own.
bool StoreIsWhole(const std::u16string& connectionString, const StoreDialect& dialect)
{
    try {
        CAdoConnection connection;
        connection.open(connectionString, u"", u"");
        return StoreTables(connection, dialect) == kStoreTables && RulesToBringUpToDate(connection, dialect).none();
    } catch (const CException&) {
        return false;
    }
}

// InitReachedStore, its failures told in the outcome. Another init of the
// same store may have made its tables first, so that this one's fail
// ("already exists"): when the store is then whole, it is answered as a
// store that was there. An existing store's upgrade reads what it lacks
// under the writers' lock, and its failure is told as it is.
StoreInitOutcome InitReachedStoreOrLookAgain(CAdoConnection& connection, const std::u16string& connectionString,
                                             const StoreDialect& dialect, const StoreNames& names)
{
    StoreInitOutcome outcome;
    bool making = true;
    try {
        const LONG existing = StoreTables(connection, dialect);
        making = existing != kStoreTables;
        outcome = InitReachedStore(connection, existing, dialect, names);
    } catch (const CException& failure) {
        outcome = Failure((making ? "cannot create " : "cannot read ") + names.store + ": " + Describe(failure));
    }
    if (outcome.failed && making && StoreIsWhole(connectionString, dialect))
        return Kept(names.store + " already exists; nothing was changed");
    return outcome;
}

// A folder of this process's own beside the store's file, removed with what
// it holds.
class BuildingFolder {
public:
    explicit BuildingFolder(const std::filesystem::path& beside)
    {
        std::string pattern = (beside.parent_path() / ".valmorin-init-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~BuildingFolder()
    {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    BuildingFolder(const BuildingFolder&) = delete;
    BuildingFolder& operator=(const BuildingFolder&) = delete;

    // Empty when the folder could not be made.
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// The empty file SQLite then opens, made here so that the umask does not
// decide who may read the store.
std::string MakePrivateFile(const std::filesystem::path& file)
{
    constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
    const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly));
    if (!fd) return file.string() + ": cannot be created: " + ErrnoText();
    if (::fchmod(fd.get(), kOwnerOnly) != 0) return file.string() + ": cannot be made private: " + ErrnoText();
    return {};
}

std::u16string SqliteConnectionString(const std::filesystem::path& file)
{
    return ConnectionString().With(u"Provider", u"SQLite").With(u"Data Source", Widen(file.string())).Text();
}

// Why an existing file may not be taken for the store, empty when it may:
// a file another account owns, or one that others may write, can be
// rewritten behind the store's owner (a file planted in a shared folder,
// say). The file a link names is the one judged.
std::string UntrustedFileReason(const std::filesystem::path& file)
{
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) return file.string() + ": cannot be examined: " + ErrnoText();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    const std::string described =
        file.string() + " (owner uid " + std::to_string(status.st_uid) + ", mode " + mode + ")";
    if (status.st_uid != ::geteuid())
        return described + " belongs to another account; init does not take it for a store. Remove it, or run init "
                           "as its owner";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return described + " may be written by others; init does not take it for a store. Make it its owner's "
                           "alone (chmod go-w), or remove it, then run init again";
    return {};
}

// The journal mode a PRAGMA answers (the mode in force after it), upper-cased.
std::u16string JournalMode(CAdoConnection& connection, const std::u16string& pragma)
{
    const std::vector<std::u16string> mode = Column(connection, pragma);
    return mode.empty() ? std::u16string() : valmorin::text::AsciiUpper(mode.front());
}

// The outcome for a store that was there, once it is back in WAL mode
// where another program took it out (the sqlite3 shell's PRAGMA
// journal_mode = DELETE, a copying tool's): in another mode its readers
// and its writer block each other.
StoreInitOutcome BackInWal(CAdoConnection& connection, StoreInitOutcome outcome, const StoreNames& names)
{
    try {
        const std::u16string before = JournalMode(connection, u"PRAGMA journal_mode");
        if (before == u"WAL") return outcome;
        // SQLite answers the mode it kept when another connection's
        // transaction stood in the way.
        if (JournalMode(connection, std::u16string(kSqliteStore.beforeSchema)) != u"WAL")
            return Failure(names.store + " keeps its journal in " + Utf16ToUtf8(before) +
                           " mode: another program holds it open; run init again once none does");
        constexpr std::string_view kUnchanged = "; nothing was changed";
        if (outcome.message.ends_with(kUnchanged)) outcome.message.resize(outcome.message.size() - kUnchanged.size());
        outcome.message += "; its journal, in " + Utf16ToUtf8(before) + " mode, is in WAL mode again";
        return outcome;
    } catch (const CException& failure) {
        return Failure("cannot put the journal of " + names.store + " back in WAL mode: " + Describe(failure));
    }
}

StoreInitOutcome InitExistingSqliteStore(const ConnectionString& cs, const std::filesystem::path& file,
                                         const StoreNames& names)
{
    if (std::string reason = UntrustedFileReason(file); !reason.empty()) return Failure(std::move(reason));
    CAdoConnection connection;
    connection.open(cs.Text(), u"", u"");
    StoreInitOutcome outcome = InitReachedStoreOrLookAgain(connection, cs.Text(), kSqliteStore, names);
    if (outcome.failed || outcome.created) return outcome; // one made now is made in WAL mode
    return BackInWal(connection, std::move(outcome), names);
}

// A new store file. The provider opens a file as SQLite does, following
// links, so the store is built in a folder only this process may enter,
// where nobody can put a link in its way, then linked in place whole: the
// link never replaces a file that appeared at the name meanwhile, which is
// then looked at as an existing store (another init may have made it).
StoreInitOutcome BuildSqliteStore(const ConnectionString& cs, const std::filesystem::path& file,
                                  const StoreNames& names)
{
    const BuildingFolder folder(file);
    if (folder.path().empty()) return Failure("cannot make a folder beside " + file.string() + ": " + ErrnoText());
    const std::filesystem::path building = folder.path() / "store.db";
    if (const std::string error = MakePrivateFile(building); !error.empty()) return Failure(error);
    StoreInitOutcome outcome;
    {
        CAdoConnection connection;
        connection.open(SqliteConnectionString(building), u"", u"");
        outcome = InitReachedStore(connection, StoreTables(connection, kSqliteStore), kSqliteStore, names);
    } // closed: SQLite has folded its WAL into the file and removed it
    if (outcome.created && ::link(building.c_str(), file.c_str()) != 0) {
        if (errno == EEXIST) return InitExistingSqliteStore(cs, file, names);
        return Failure(file.string() + ": cannot be put in place: " + ErrnoText());
    }
    return outcome;
}

StoreInitOutcome InitSqliteStore(const ConnectionString& cs)
{
    const std::filesystem::path file = Utf16ToUtf8(cs.Get(u"Data Source"));
    if (file.empty()) return Failure("the connection string names no Data Source");
    if (file == ":memory:")
        return Failure("Data Source=:memory: names a database that lasts as long as its connection; there is no "
                       "store for init to make. Name a file");
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) return Failure("cannot create the folder " + file.parent_path().string() + ": " + ec.message());
    const std::filesystem::file_status status = std::filesystem::symlink_status(file, ec);
    if (ec && status.type() != std::filesystem::file_type::not_found)
        return Failure(file.string() + ": cannot be examined: " + ec.message());
    const StoreNames names{"the store " + file.string(), file.string()};
    try {
        if (!std::filesystem::exists(status)) return BuildSqliteStore(cs, file, names);
        return InitExistingSqliteStore(cs, file, names);
    } catch (const CException& failure) {
        return Failure("cannot create the store in " + file.string() + ": " + Describe(failure));
    }
}

// The server's database that every cluster has, from which others are made.
constexpr std::u16string_view kMaintenanceDatabase = u"postgres";

constexpr StatementShape kCountDatabasesNamed{u"SELECT COUNT(*) FROM pg_catalog.pg_database WHERE datname = N'%s'"};

std::string ServerOf(const ConnectionString& cs)
{
    const std::u16string host = cs.Get(u"Host"), port = cs.Get(u"Port");
    if (host.empty()) return "the local PostgreSQL server";
    return "the PostgreSQL server at " + Utf16ToUtf8(host) + (port.empty() ? "" : ":" + Utf16ToUtf8(port));
}

// The role the connection acts as, quoted, and whether it may create
// databases (attributes are not inherited: a member of a role that may
// still may not itself).
std::pair<std::string, bool> RoleMayCreateDatabases(CAdoConnection& connection)
{
    CAdoRecordset rows;
    OpenRows(rows,
             std::u16string(u"SELECT current_user, rolcreatedb OR rolsuper FROM pg_catalog.pg_roles WHERE rolname = "
                            u"current_user"),
             connection);
    std::u16string role;
    LONG may = 0;
    if (auto row = rows.begin(); row != rows.end()) {
        (*row).read(0, role);
        (*row).read(1, may);
    }
    return {Utf16ToUtf8(QuoteIdentifier(role)), may != 0};
}

// What CreateMissingDatabase did: made the database, or found it in the
// server's catalogue (made meanwhile by another init, say), or met what
// stands in the way.
struct MissingDatabase {
    bool made = false;
    std::string refusal; // empty once the database is there
};

// The store's database, made from the server's maintenance database,
// reached as the store's connection string reaches the server, when the
// server's catalogue lacks it and the role may create one. A refusal names
// the failed connection's own words (storeFailure).
MissingDatabase CreateMissingDatabase(const ConnectionString& store, const std::string& storeFailure)
{
    const std::u16string database = store.Get(u"Database");
    const std::string quoted = Utf16ToUtf8(QuoteIdentifier(database));
    const std::string server = ServerOf(store);
    CAdoConnection maintenance;
    try {
        maintenance.open(store.With(u"Database", kMaintenanceDatabase).Text(), u"", u"");
    } catch (const CException& failure) {
        const std::string why = Describe(failure);
        const std::string unreached = "cannot reach database " + quoted + " on " + server;
        if (why == storeFailure) return {false, unreached + ", nor its maintenance database \"postgres\": " + why};
        return {false,
                unreached + " (" + storeFailure + "), nor its maintenance database \"postgres\" to create it: " + why};
    }
    const auto inCatalogue = [&] { return Number(maintenance, AdoStatement::Of<kCountDatabasesNamed>(database)) > 0; };
    if (inCatalogue()) return {};
    const auto [role, mayCreate] = RoleMayCreateDatabases(maintenance);
    if (!mayCreate)
        return {false, "role " + role + " may not create database " + quoted + " on " + server +
                           "; nothing was created. An administrator creates it (CREATE DATABASE " + quoted + " OWNER " +
                           role +
                           " TEMPLATE template0 ENCODING 'UTF8') or grants the role CREATEDB; then run init again"};
    // template0, which nobody connects to, so that two databases can be made
    // at once, and which takes any encoding: the store's texts are UTF-8.
    try {
        maintenance.execute(u"CREATE DATABASE " + QuoteIdentifier(database) + u" TEMPLATE template0 ENCODING 'UTF8'",
                            adOptionUnspecified);
    } catch (const CException& failure) {
        // Another init may have made it first.
        if (inCatalogue()) return {};
        return {false, "cannot create database " + quoted + " on " + server + ": " + Describe(failure)};
    }
    return {true, {}};
}

StoreInitOutcome InitPostgresStore(const ConnectionString& cs)
{
    const std::u16string database = cs.Get(u"Database");
    if (database.empty()) return Failure("the connection string names no Database");
    const std::string name = Utf16ToUtf8(database);
    // The server cuts longer names, CREATE DATABASE by whole characters and
    // a connection by bytes: the database made would not be the one reached,
    // and two names alike in their first 63 bytes would be one.
    constexpr std::size_t kLongestName = 63;
    if (name.size() > kLongestName)
        return Failure("the database name " + name + " is " + std::to_string(name.size()) +
                       " bytes long in UTF-8; PostgreSQL keeps " + std::to_string(kLongestName) +
                       " at most, so init leaves it alone. Choose a shorter name");
    const StoreNames names{"the store in database " + name, "the database " + name};
    try {
        CAdoConnection connection;
        bool madeDatabase = false;
        try {
            connection.open(cs.Text(), u"", u"");
        } catch (const CException& failure) {
            // libpq reports a database the server lacks as it reports any
            // connection that failed, with no SQLSTATE to tell them apart:
            // the server's catalogue tells.
            MissingDatabase missing = CreateMissingDatabase(cs, Describe(failure));
            if (!missing.refusal.empty()) return Failure(std::move(missing.refusal));
            madeDatabase = missing.made;
            try {
                connection.open(cs.Text(), u"", u"");
            } catch (const CException& again) {
                return Failure("cannot reach database " + Utf16ToUtf8(QuoteIdentifier(database)) + " on " +
                               ServerOf(cs) + ": " + Describe(again));
            }
        }
        StoreInitOutcome outcome = InitReachedStoreOrLookAgain(connection, cs.Text(), kPostgresStore, names);
        if (madeDatabase) outcome.message = "created database " + name + "; " + outcome.message;
        return outcome;
    } catch (const CException& failure) {
        return Failure("cannot create the store in database " + name + ": " + Describe(failure));
    }
}

// The schema for the DBMS an ODBC driver names, by the start of its name.
const char* OdbcSchema(std::u16string_view dbms)
{
    static const std::pair<std::u16string_view, const char*> kSchemas[] = {{u"MICROSOFT SQL SERVER", kSqlServerSchema},
                                                                           {u"ORACLE", kOracleSchema},
                                                                           {u"POSTGRESQL", kPostgresSchema},
                                                                           {u"SQLITE", kSqliteSchema}};
    const std::u16string upper = valmorin::text::AsciiUpper(dbms);
    for (const auto& [name, schema] : kSchemas)
        if (upper.starts_with(name)) return schema;
    return nullptr;
}

// How many of the store's tables a query can read: the catalogues of the
// DBMSs behind ODBC differ, a query on the tables does not.
LONG CountReadableStoreTables(CAdoConnection& connection)
{
    LONG count = 0;
    for (const char16_t* table : {u"QM_TABLES", u"QM_DICO", u"QM_VALMOR"}) {
        try {
            Number(connection, u"SELECT COUNT(*) FROM " + std::u16string(table));
            ++count;
        } catch (const CException&) {
            // not there, or not readable by this account: not a store table either way
        }
    }
    return count;
}

// Through ODBC the database exists already (a DSN or a server's database
// names it); init gives the schema of the DBMS the driver names, for an
// administrator to run, and creates the tables itself where the account
// may. An existing store is left as it is: its rules are the
// administrator's to add from that schema.
StoreInitOutcome InitOdbcStore(const ConnectionString& cs)
{
    const char* schema = nullptr;
    try {
        CAdoConnection connection;
        connection.open(cs.Text(), u"", u"");
        const std::u16string dbms = connection.dbmsName();
        const std::string named = Utf16ToUtf8(dbms);
        schema = OdbcSchema(dbms);
        if (!schema)
            return Failure("the ODBC driver names the DBMS \"" + named +
                           "\", for which init knows no schema; schema/sqlserver.sql is the one to translate");
        const StoreDialect dialect{schema, {}, {}, {}, {}, {}, {}, {}, NothingKept, NothingRenewed, {}, {}, {}};
        StoreInitOutcome outcome = InitReachedStore(connection, CountReadableStoreTables(connection), dialect,
                                                    {"the store on " + named, "the " + named + " database"});
        if (outcome.created) outcome.message += " with the schema above";
        outcome.schemaForAdministrator = schema;
        return outcome;
    } catch (const CException& failure) {
        StoreInitOutcome outcome = Failure("cannot create the store through ODBC: " + Describe(failure));
        if (schema) {
            outcome.message += " (the schema above is for an administrator to run)";
            outcome.schemaForAdministrator = schema;
        }
        return outcome;
    }
}

} // namespace

StoreInitOutcome InitStore(const std::u16string& connectionString)
{
    const ConnectionString cs(connectionString);
    if (!cs.RepeatedKey().empty())
        return Failure("the connection string gives " + Utf16ToUtf8(cs.RepeatedKey()) +
                       " more than once, which drivers read differently; give it once");
    const std::u16string provider = valmorin::text::AsciiUpper(cs.Get(u"Provider"));
    try {
        if (provider == u"SQLITE") return InitSqliteStore(cs);
        if (provider == u"POSTGRESQL") return InitPostgresStore(cs);
        if (provider == u"ODBC") return InitOdbcStore(cs);
    } catch (const std::invalid_argument& unwritable) { // a connection string built from this one
        return Failure(unwritable.what());
    }
    return Failure("init creates SQLite stores (Provider=SQLite;Data Source=<file>), PostgreSQL stores "
                   "(Provider=PostgreSQL;Host=...;Database=...) and stores reached through ODBC "
                   "(Provider=ODBC;DSN=...)");
}

void CreateStore(const std::u16string& connectionString)
{
    const StoreInitOutcome outcome = InitStore(connectionString);
    if (!outcome.created) throw std::runtime_error(outcome.message);
}

} // namespace qmt
