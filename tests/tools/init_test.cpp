// valmorin init making stores: a SQLite file that appears whole and
// private, and on PostgreSQL the database itself, where the role may make
// one.
#include "platform/ado/connection_string.h"
#include "platform/text/utf.h"
#include "support/environment.h"
#include "support/other_account.h"
#include "support/process.h"
#include "support/store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Rows = std::vector<std::u16string>;

ProcessResult Init(const std::u16string& connection)
{
    return RunProcess({VALMORIN_CLI, "init", "--connection", valmorin::text::Utf16ToUtf8(connection)});
}

// Faults caught: the umask deciding who may read a new store; the folder
// it was built in, or its journal, left beside it; a file already at the
// name replaced or written to.
TEST(SqliteInit, ANewStoreIsItsOwnersAloneAndNothingElseIsLeftOrReplaced)
{
    const TempDir dir;
    const std::filesystem::path file = dir / "store.db";
    {
        const ScopedUmask unmasked(0);
        const ProcessResult made = Init(SqliteConnectionString(file));
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_nlink, 1u);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"store.db"});
    EXPECT_EQ(QueryColumn(file, "SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table' AND name IN ('QM_TABLES', "
                                "'QM_DICO', 'QM_VALMOR')"),
              Rows{u"3"});

    const std::filesystem::path other = dir / "notes.txt";
    std::ofstream(other) << "not a database";
    const ProcessResult refused = Init(SqliteConnectionString(other));
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find(other.string()), std::string::npos) << refused.err;
    std::ostringstream kept;
    kept << std::ifstream(other).rdbuf();
    EXPECT_EQ(kept.str(), "not a database");
}

// Fault caught: a store another program took out of WAL mode left so by
// init, its readers and its writer blocking each other from then on.
TEST(SqliteInit, AStoreTakenOutOfWalModeIsPutBack)
{
    const TempDir dir;
    const std::filesystem::path file = dir / "store.db";
    ASSERT_EQ(Init(SqliteConnectionString(file)).exitCode, 0);
    ASSERT_EQ(SqliteShell(file, "PRAGMA journal_mode = DELETE;").exitCode, 0);
    ASSERT_EQ(QueryColumn(file, "PRAGMA journal_mode"), Rows{u"delete"});
    const ProcessResult again = Init(SqliteConnectionString(file));
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("its journal, in DELETE mode, is in WAL mode again"), std::string::npos) << again.out;
    EXPECT_EQ(QueryColumn(file, "PRAGMA journal_mode"), Rows{u"wal"});
}

// Faults caught: a file name longer than the system takes escaping as a
// filesystem exception (no "init:" prefix); Data Source=:memory: reported
// as created, leaving a file of that name; a Data Source given twice taken
// as one of them. Each is refused and no file is made.
TEST(SqliteInit, ConnectionStringsNamingNoStoreToMakeAreRefused)
{
    const TempDir dir;
    const std::string first = (dir / "a.db").string(), second = (dir / "b.db").string();
    const struct {
        std::string connection;
        std::string why;
    } cases[] = {
        {"Provider=SQLite;Data Source=" + (dir / std::string(300, 'x')).string(), "cannot be examined"},
        {"Provider=SQLite;Data Source=:memory:", "there is no store for init to make"},
        {"Provider=SQLite;Data Source=" + first + ";Data Source=" + second, "gives Data Source more than once"},
    };
    for (const auto& c : cases) {
        const ProcessResult refused = RunProcess({VALMORIN_CLI, "init", "--connection", c.connection});
        EXPECT_EQ(refused.exitCode, 2) << c.connection;
        EXPECT_NE(refused.err.find("valmorin: init: "), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find(c.why), std::string::npos) << refused.err;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_FALSE(std::filesystem::exists(":memory:"));
}

// The same init run by that many processes at once.
std::vector<ProcessResult> InitAtOnce(const std::u16string& connection, int processes)
{
    std::vector<ProcessResult> results(static_cast<std::size_t>(processes));
    std::vector<std::thread> workers;
    for (ProcessResult& result : results) workers.emplace_back([&] { result = Init(connection); });
    for (std::thread& worker : workers) worker.join();
    return results;
}

// Faults caught: the inits that lose the race to make a store exiting 2
// with the raw error of their failure (the file, tables or database already
// there) though a whole store is there; two of them told they made it.
void ExpectOneMadeTheStoreAndTheOthersFoundIt(const std::vector<ProcessResult>& results)
{
    int made = 0;
    for (const ProcessResult& result : results) {
        EXPECT_EQ(result.exitCode, 0) << result.err;
        if (result.out.find("created the store") != std::string::npos)
            ++made;
        else
            EXPECT_NE(result.out.find("already exists; nothing was changed"), std::string::npos) << result.out;
    }
    EXPECT_EQ(made, 1);
}

TEST(SqliteInit, RacingInitsOfOneNewStoreAllSucceed)
{
    const TempDir dir;
    ExpectOneMadeTheStoreAndTheOthersFoundIt(InitAtOnce(SqliteConnectionString(dir / "store.db"), 6));
}

// Faults caught: an existing file that others may write, or that another
// account owns, taken for the store (planted in a shared folder, it lets
// its owner rewrite the translations later), also through a link; the
// refusal not naming the file, its owner and mode; the file written to.
TEST(SqliteInit, AFileOthersMayWriteOrAnotherAccountOwnsIsRefused)
{
    const TempDir dir;
    const std::filesystem::path planted = dir / "store.db", link = dir / "link.db";
    std::ofstream{planted};
    ASSERT_EQ(::chmod(planted.c_str(), 0666), 0);
    std::filesystem::create_symlink(planted, link);
    auto expectRefused = [&](const std::filesystem::path& named, const std::string& why) {
        const ProcessResult refused = Init(SqliteConnectionString(named));
        EXPECT_EQ(refused.exitCode, 2);
        EXPECT_NE(refused.err.find(named.string() + " (owner uid"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find(why), std::string::npos) << refused.err;
        EXPECT_EQ(std::filesystem::file_size(planted), 0u);
    };
    expectRefused(planted, "mode 0666) may be written by others");
    expectRefused(link, "may be written by others");

    const std::optional<OtherAccount> other = OtherAccountAvailable();
    if (!other) GTEST_SKIP() << "only root can give the file to another account";
    ASSERT_EQ(::chmod(planted.c_str(), 0600), 0);
    ASSERT_EQ(::chown(planted.c_str(), other->uid, other->gid), 0);
    expectRefused(planted, "belongs to another account");
}

// Faults caught: another program's SQLite database given the store's
// tables and switched to WAL; the refusal not naming its tables.
TEST(SqliteInit, ADatabaseOfOtherTablesIsLeftAlone)
{
    const TempDir dir;
    const std::filesystem::path file = dir / "other.db";
    {
        const ScopedUmask privateFiles(077);
        CreateSqliteFile(file, "CREATE TABLE foo (x); CREATE TABLE bar (y);");
    }
    const ProcessResult refused = Init(SqliteConnectionString(file));
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find(file.string() + " holds other tables (bar, foo) and none of a translation store's"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(QueryColumn(file, "SELECT group_concat(name) FROM sqlite_schema"), Rows{u"foo,bar"});
    EXPECT_EQ(QueryColumn(file, "PRAGMA journal_mode"), Rows{u"delete"});
}

class PostgresInit : public ::testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_STORE(StoreKind::PostgreSql); }

    static std::string Quoted(const std::string& name) { return "\"" + name + "\""; }
};

// Faults caught: a database the server lacks left unmade (the failed
// connection taken for the whole answer), made without the store's tables,
// made again or refused by a second init; its name formatted into a
// statement unquoted (this one holds a blank and capitals).
TEST_F(PostgresInit, MakesTheDatabaseTheServerLacksThenTheStoreInIt)
{
    const PgDatabase database(PgDatabase::Unmade{" Made By Init"});
    const ProcessResult made = Init(database.connectionString());
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_NE(made.out.find("created database " + database.name() + "; created the store"), std::string::npos)
        << made.out;
    EXPECT_EQ(database.Column("SELECT COUNT(*) FROM pg_tables WHERE tablename IN ('qm_tables', 'qm_dico', "
                              "'qm_valmor')"),
              Rows{u"3"});

    const ProcessResult again = Init(database.connectionString());
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("already exists; nothing was changed"), std::string::npos) << again.out;
    const ProcessResult used =
        RunProcess({VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(database.connectionString()), "--batch"},
                   "transadd\tT\tk\tv\ntranslate\tT\tk\n");
    EXPECT_EQ(used.out, "OK\t1\nOK\tv\n") << used.err;
}

TEST_F(PostgresInit, RacingInitsOfOneNewDatabaseAllSucceed)
{
    const PgDatabase database(PgDatabase::Unmade{});
    ExpectOneMadeTheStoreAndTheOthersFoundIt(InitAtOnce(database.connectionString(), 6));
}

// Fault caught: the rules of a store in another schema of the database
// taken for this store's, so that an older store in schema bob never gains
// its triggers while schema alice holds a whole store.
TEST_F(PostgresInit, RulesAreLookedForInTheStoresOwnSchemaOnly)
{
    const PgDatabase database("CREATE SCHEMA alice; CREATE SCHEMA bob;");
    const auto initIn = [&](const std::string& schema) {
        database.Run("ALTER DATABASE " + Quoted(database.name()) + " SET search_path = " + schema);
        return Init(database.connectionString());
    };
    const std::string bobsTriggers = "SELECT format('DROP TRIGGER %I ON bob.%I', t.tgname, r.relname) FROM "
                                     "pg_trigger t JOIN pg_class r ON r.oid = t.tgrelid JOIN pg_namespace n ON n.oid "
                                     "= r.relnamespace WHERE n.nspname = 'bob' AND NOT t.tgisinternal";
    ASSERT_EQ(initIn("alice").exitCode, 0);
    ASSERT_EQ(initIn("bob").exitCode, 0);
    const Rows triggers = database.Column(bobsTriggers);
    ASSERT_FALSE(triggers.empty());
    for (const std::u16string& drop : triggers) database.Run(valmorin::text::Utf16ToUtf8(drop));

    const ProcessResult upgraded = initIn("bob");
    EXPECT_EQ(upgraded.exitCode, 0) << upgraded.err;
    EXPECT_NE(upgraded.out.find("added the rules"), std::string::npos) << upgraded.out;
    EXPECT_EQ(database.Column(bobsTriggers).size(), triggers.size());
}

// Faults caught: a store made by an older schema keeping a trigger, index
// or function that records less than today's, because init looked for
// rules by name only; the kept texts compared wrongly, so that every init
// renews (and says so) or the renewal never settles; another application's
// trigger of the same name dropped, or its table's name, written unquoted,
// failing the renewal.
class InitRenewal : public testing::TestWithParam<StoreKind> {};

TEST_P(InitRenewal, RulesAnOlderSchemaMadeOtherwiseAreRenewed)
{
    SKIP_WITHOUT_STORE(GetParam());
    const TestStore store(GetParam());
    std::string renewedRules;
    if (store.traits().dialect == Dialect::Sqlite) {
        // Another program's insertion drawing its revision after the row,
        // as stores made before drew it: renewed alone, or added beside
        // the trigger that now draws it, two revisions or none are drawn.
        store.Run("DROP TRIGGER QM_VALMOR_REVISION_INSERT; DROP TRIGGER QM_VALMOR_HISTORY_INSERT; CREATE TRIGGER "
                  "QM_VALMOR_HISTORY_INSERT AFTER INSERT ON QM_VALMOR BEGIN INSERT INTO QM_REVISIONS (USER_CODE) "
                  "SELECT NULL FROM QM_WRITER w WHERE w.ACTIVE = 0; INSERT INTO QM_HISTORY (REVISION, KIND, "
                  "ID_TABLE, INPUT, NEW_VALUE) SELECT MAX(REVISION), 'row', NEW.ID_TABLE, NEW.INPUT, NEW.OUTPUT "
                  "FROM QM_REVISIONS; UPDATE QM_WRITER SET ACTIVE = 0 WHERE ACTIVE <> 0; END; DROP INDEX "
                  "QM_HISTORY_NAMES; CREATE INDEX QM_HISTORY_NAMES ON QM_HISTORY (OLD_VALUE);");
        renewedRules = "QM_HISTORY_NAMES, QM_VALMOR_HISTORY_INSERT";
    } else {
        // A body of before, a function's search path, a trigger moved to
        // another table, one disabled, one given fewer events.
        store.Run("CREATE OR REPLACE FUNCTION QM_RECORD_ROW() RETURNS trigger LANGUAGE plpgsql SET search_path = "
                  "pg_catalog, pg_temp AS 'BEGIN RETURN NULL; END'");
        store.Run("ALTER FUNCTION QM_RECORD_TRUNCATE() SET search_path = public");
        store.Run("DROP TRIGGER QM_VALMOR_HISTORY ON QM_VALMOR; CREATE TRIGGER QM_VALMOR_HISTORY AFTER INSERT ON "
                  "QM_DICO FOR EACH ROW EXECUTE FUNCTION QM_RECORD_ROW()");
        store.Run("ALTER TABLE QM_TABLES DISABLE TRIGGER QM_TABLES_HISTORY");
        store.Run("CREATE OR REPLACE TRIGGER QM_DICO_HISTORY AFTER INSERT ON QM_DICO FOR EACH ROW EXECUTE FUNCTION "
                  "QM_RECORD_ROW()");
        // Another application's trigger of the same name on a table of its
        // own, whose name needs quotes: left to it.
        store.Run("CREATE TABLE \"Audit Log\" (x INTEGER); CREATE FUNCTION audit() RETURNS trigger LANGUAGE plpgsql AS "
                  "'BEGIN RETURN NULL; END'; CREATE TRIGGER QM_VALMOR_HISTORY AFTER INSERT ON \"Audit Log\" FOR EACH "
                  "ROW EXECUTE FUNCTION audit()");
        renewedRules = "QM_RECORD_ROW, QM_RECORD_TRUNCATE, QM_DICO_HISTORY, QM_TABLES_HISTORY, QM_VALMOR_HISTORY";
    }
    const ProcessResult renewed = Init(store.connectionString());
    EXPECT_EQ(renewed.exitCode, 0) << renewed.err;
    const std::string added =
        store.traits().dialect == Dialect::Sqlite ? "added the rules QM_VALMOR_REVISION_INSERT; " : "";
    EXPECT_NE(renewed.out.find("already exists; " + added + "renewed the rules " + renewedRules + "\n"),
              std::string::npos)
        << renewed.out;
    const ProcessResult again = Init(store.connectionString());
    EXPECT_NE(again.out.find("already exists; nothing was changed"), std::string::npos) << again.out;

    const ProcessResult used =
        RunProcess({VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(store.connectionString()), "--batch"},
                   "transadd\tT\tk\tv\n");
    EXPECT_EQ(used.out, "OK\t1\n") << used.err;
    EXPECT_EQ(store.Column("SELECT NEW_VALUE FROM QM_HISTORY WHERE INPUT = 'k'"), Rows{u"v"});
    // Another program's row: one revision of its own, unnamed.
    const std::string revisions = "SELECT COUNT(*) FROM QM_REVISIONS";
    const Rows before = store.Column(revisions);
    store.Run("INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT ID_TABLE, 'o', 'w' FROM QM_TABLES WHERE NOM = "
              "'T';");
    EXPECT_EQ(std::stoi(valmorin::text::Utf16ToUtf8(store.Column(revisions).at(0))),
              std::stoi(valmorin::text::Utf16ToUtf8(before.at(0))) + 1);
    EXPECT_EQ(store.Column("SELECT COALESCE(r.USER_CODE, '<unknown>') FROM QM_HISTORY h JOIN QM_REVISIONS r ON "
                           "r.REVISION = h.REVISION WHERE h.INPUT = 'o'"),
              Rows{u"<unknown>"});
    if (store.traits().dialect == Dialect::PostgreSql) {
        EXPECT_EQ(store.Column("SELECT COUNT(*) FROM pg_trigger t JOIN pg_class r ON r.oid = t.tgrelid WHERE "
                               "r.relname = 'Audit Log'"),
                  Rows{u"1"});
    }
    // Another program's changes of a table and its columns recorded once.
    store.Run("UPDATE QM_TABLES SET DESCRIPTION = 'd2' WHERE NOM = 'T';");
    store.Run("UPDATE QM_DICO SET NAME_COL = 'renamed' WHERE ID_COL = 1;");
    EXPECT_EQ(store.Column("SELECT KIND || ':' || COUNT(*) FROM QM_HISTORY WHERE KIND IN ('description', 'column') "
                           "AND NEW_VALUE LIKE '%2' OR NEW_VALUE LIKE '%renamed' GROUP BY KIND ORDER BY KIND"),
              (Rows{u"column:1", u"description:1"}));
}

INSTANTIATE_TEST_SUITE_P(Stores, InitRenewal, testing::Values(StoreKind::Sqlite, StoreKind::PostgreSql), StoreKindName);

// Another application makes a schema named after the role, which comes
// first in the default search path, in the store's database. Faults
// caught: init looking for the store in that schema only, and making an
// empty store there that hides the real one; the component taking the
// store for one without a history.
TEST_F(PostgresInit, AStoreFoundThroughTheSearchPathIsTheOneKeptUpToDate)
{
    const PgDatabase database("");
    ASSERT_EQ(Init(database.connectionString()).exitCode, 0);
    database.Run("CREATE SCHEMA " + Quoted(std::getenv("VALMORIN_TEST_PG_USER")));
    const ProcessResult again = Init(database.connectionString());
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("already exists; nothing was changed"), std::string::npos) << again.out;
    const ProcessResult used =
        RunProcess({VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(database.connectionString()), "--batch"},
                   "transadd\tT\tk\tv\nRevision\n");
    EXPECT_EQ(used.out.substr(0, 5), "OK\t1\n") << used.out << used.err;
    EXPECT_NE(used.out.find("\nOK\t"), std::string::npos) << "the history not found: " << used.out << used.err;
    EXPECT_EQ(database.Column("SELECT COUNT(*) FROM pg_tables WHERE tablename = 'qm_tables'"), Rows{u"1"});
}

// Faults caught: a database name longer than the server keeps sent on,
// which leaves a stray database under the cut name (or reaches another one
// that shares its first 63 bytes); the name counted in characters, not
// bytes (32 two-byte letters here). Refused before any server is reached.
TEST(PostgresInitName, ANameOfMoreThan63BytesIsRefused)
{
    std::string name;
    for (int i = 0; i < 32; ++i) name += "é";
    const ProcessResult refused = Init(valmorin::ado::ConnectionString()
                                           .With(u"Provider", u"PostgreSQL")
                                           .With(u"Host", u"127.0.0.1")
                                           .With(u"Port", u"1")
                                           .With(u"Database", valmorin::text::Widen(name))
                                           .Text());
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("is 64 bytes long in UTF-8; PostgreSQL keeps 63 at most"), std::string::npos)
        << refused.err;
}

// A role of its own on the test server, dropped afterwards.
class Role {
public:
    Role(const PgDatabase& from, std::string name) : m_from(from), m_name(std::move(name))
    {
        m_from.Run("CREATE ROLE " + m_name + " LOGIN NOCREATEDB");
    }
    ~Role()
    {
        try {
            m_from.Run("DROP ROLE IF EXISTS " + m_name);
        } catch (const std::exception&) {
            // the server is gone with everything on it
        }
    }
    Role(const Role&) = delete;
    Role& operator=(const Role&) = delete;
    const std::string& name() const { return m_name; }

private:
    const PgDatabase& m_from;
    std::string m_name;
};

// Faults caught: a role without CREATEDB answered with the server's bare
// refusal (or a connection error that names no cause), a message that does
// not say which role, database and server, a database made anyway, exit 0.
TEST_F(PostgresInit, ARoleThatMayNotCreateDatabasesIsToldSoAndNothingIsMade)
{
    const PgDatabase scratch("");
    const Role role(scratch, "valmorin_nocreatedb_" + std::to_string(::getpid()));
    const PgDatabase wanted(PgDatabase::Unmade{});
    const ProcessResult refused = Init(valmorin::ado::ConnectionString(wanted.connectionString())
                                           .With(u"User ID", valmorin::text::Widen(role.name()))
                                           .Text());
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("valmorin: init: role " + Quoted(role.name()) + " may not create database " +
                               Quoted(wanted.name()) + " on the PostgreSQL server at " +
                               std::getenv("VALMORIN_TEST_PG_HOST")),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(scratch.Column("SELECT COUNT(*) FROM pg_database WHERE datname = '" + wanted.name() + "'"), Rows{u"0"});
}

} // namespace
