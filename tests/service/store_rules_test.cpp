// What the component owes the store whatever goes wrong around a call:
// transactions that end, error info that belongs to its call, identifiers
// that do not wrap, one INPUT per table under concurrency, and the store a
// program named staying the one it uses.
#include "platform/ado/ado.h"
#include "valmorin/com/runtime.h"
#include "platform/text/utf.h"
#include "qmt/db/ado_connection.h"
#include "qmt/diag/trace.h"
#include "service/statement_guard.h"
#include "support/component.h"
#include "support/memory_log.h"
#include "support/environment.h"
#include "support/process.h"
#include "support/admin.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <functional>
#include <thread>

namespace {

// A reader in the middle of a transaction: it keeps its shared lock, so a
// writer on a rollback-journal store can begin and write but not commit.
class Reader {
public:
    explicit Reader(const std::filesystem::path& file)
    {
        sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(m_db, "BEGIN; SELECT COUNT(*) FROM QM_TABLES;", nullptr, nullptr, nullptr);
    }
    ~Reader()
    {
        sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(m_db);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

private:
    sqlite3* m_db = nullptr;
};

TEST(StoreRulesTest, ARefusedCommitLeavesATransactionThatCanBeRolledBack)
{
    TestStore store;
    // In a rollback journal, unlike WAL, a reader's lock refuses a commit.
    store.Run("PRAGMA journal_mode = DELETE;");
    CComPtr<_Connection> connection;
    ASSERT_EQ(CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid,
                               reinterpret_cast<void**>(&connection)),
              S_OK);
    connection->put_CommandTimeout(1);
    ASSERT_EQ(connection->Open(CComBSTR(store.connectionString()).get(), nullptr, nullptr, adConnectUnspecified), S_OK);
    {
        const Reader reader(store.file());
        LONG level = 0;
        ASSERT_EQ(connection->BeginTrans(&level), S_OK);
        CComVariant affected;
        _Recordset* none = nullptr;
        ASSERT_EQ(connection->Execute(CComBSTR(u"INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'T')").get(),
                                      &affected, -1, &none),
                  S_OK);
        EXPECT_EQ(connection->CommitTrans(), DB_E_ABORTLIMITREACHED);
        EXPECT_EQ(connection->RollbackTrans(), S_OK);
        EXPECT_EQ(connection->BeginTrans(&level), S_OK) << "the failed transaction is still open";
        EXPECT_EQ(connection->RollbackTrans(), S_OK);
    }
    EXPECT_EQ(store.Column("SELECT COUNT(*) FROM QM_TABLES"), Rows{u"0"});
}

class ComponentRulesTest : public StoreTest {};

TEST_P(ComponentRulesTest, ErrorInfoDescribesTheCallThatFailed)
{
    CComPtr<IDispatch> dispatch;
    m_component.QueryInterface(dispatch);
    auto invoke = [&](std::u16string name, std::vector<CComVariant> arguments, std::u16string& description) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {name.data()};
        dispatch->GetIDsOfNames(GUID_NULL, names, 1, 0, &id);
        std::reverse(arguments.begin(), arguments.end());
        DISPPARAMS params{arguments.empty() ? nullptr : arguments.data(), nullptr, static_cast<UINT>(arguments.size()),
                          0};
        CComVariant result;
        EXCEPINFO info{};
        UINT argErr = 0;
        const HRESULT hr = dispatch->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, &info, &argErr);
        description = info.bstrDescription ? info.bstrDescription : u"";
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        return hr;
    };
    std::u16string description;
    EXPECT_EQ(invoke(u"translate", {CComVariant(u"T"), CComVariant(u"O'B")}, description), DISP_E_EXCEPTION);
    EXPECT_NE(description.find(u"apostrophe"), std::u16string::npos);
    // A failure that sets no error info of its own must not report the last one.
    TempDir broken;
    for (const char* hive : {"HKEY_LOCAL_MACHINE.reg", "HKEY_CURRENT_USER.reg"})
        std::ofstream(broken / hive) << "not a hive\n";
    const ScopedEnvironment unreadable("PELKOR_REGISTRY_DIR", broken.path().c_str());
    EXPECT_EQ(invoke(u"RegisterAll", {}, description), DISP_E_EXCEPTION);
    EXPECT_EQ(description, u"");
}

TEST_P(ComponentRulesTest, AFailureBeforeTheTransactionRollsNothingBack)
{
    const MemoryLog log;
    BstrResult number;
    EXPECT_EQ(m_component->transIdent(CComBSTR(u"it's").get(), &number), DB_E_ERRORSINCOMMAND);
    for (const LogRecord& record : log.records())
        EXPECT_EQ(record.message.find(u"No transaction"), std::u16string::npos)
            << valmorin::text::Utf16ToUtf8(record.message);
}

TEST_P(ComponentRulesTest, TheLastTableIdentifierIsNotWrappedAround)
{
    m_store->Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (2147483647, 'Top');");
    LONG added = 42;
    EXPECT_EQ(m_component->transadd(CComBSTR(u"New").get(), CComBSTR(u"k").get(), CComBSTR(u"v").get(), &added),
              DISP_E_OVERFLOW);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(m_store->Column("SELECT ID_TABLE FROM QM_TABLES"), Rows{u"2147483647"});
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_DICO"), Rows{u"0"});
}

TEST(StoreRulesTest, TheApostropheGuardLeavesAClosedConnectionToItsCall)
{
    qmt::CAdoConnection closed;
    EXPECT_NO_THROW(RefuseApostrophe(closed, u"ValueIn", u"O'B"));
}

// One INPUT per table, whoever adds it: the writer that loses the race is
// told the entry is there, as it would be a moment later.
TEST(StoreRulesTest, ConcurrentAddsOfOneInputStoreItOnce)
{
    TestStore store;
    CreateSqliteFile(store.file(), "PRAGMA journal_mode = WAL;");
    const std::string connection = valmorin::text::Utf16ToUtf8(store.connectionString());
    std::string calls;
    for (int i = 0; i < 300; ++i) calls += "transadd\tShared\tk" + std::to_string(i) + "\tv\n";
    std::vector<ProcessResult> results(4);
    std::vector<std::thread> workers;
    for (auto& result : results)
        workers.emplace_back([&] {
            result = RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, calls);
        });
    for (auto& worker : workers) worker.join();
    for (const auto& result : results) {
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out.find("\t0\n"), std::string::npos);
        EXPECT_EQ(result.out.find("ERROR"), std::string::npos) << result.out.substr(0, 400);
    }
    EXPECT_EQ(store.Column("SELECT COUNT(*) || '/' || COUNT(DISTINCT INPUT) FROM QM_VALMOR"), Rows{u"300/300"});
    EXPECT_EQ(store.Column("SELECT COUNT(*) FROM QM_TABLES"), Rows{u"1"});
}

// Without the rule a failed Open in a batch sent the later lines to the
// default store.
TEST(StoreRulesTest, TheStoreGivenOnTheCommandLineAnswersEveryReconnection)
{
    TestStore store;
    const std::string connection = valmorin::text::Utf16ToUtf8(store.connectionString());
    const ProcessResult result =
        RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"},
                   "Open\tProvider=SQLite;Data Source=/nonexistent/store.db\ntransadd\tT\tk\tv\ntranslate\tT\tk\n");
    EXPECT_EQ(result.out.substr(0, 6), "ERROR\t");
    EXPECT_NE(result.out.find("\nOK\t1\nOK\tv\n"), std::string::npos) << result.out;
    EXPECT_EQ(store.Column("SELECT OUTPUT FROM QM_VALMOR"), Rows{u"v"});
}

// A store made before the rules existed: init adds them when the rows allow
// it, and names the rows that stand in the way otherwise.
TEST(StoreRulesTest, InitAddsTheRulesToAnOlderStoreOrNamesWhatBreaksThem)
{
    const std::string olderSchema =
        "CREATE TABLE QM_TABLES (ID_TABLE INTEGER NOT NULL PRIMARY KEY, NB_COLS INTEGER, NOM TEXT, "
        "DESCRIPTION TEXT, USER_CODE_LASTACTION TEXT);"
        "CREATE INDEX QM_TABLES_BY_NOM ON QM_TABLES (NOM);"
        "CREATE TABLE QM_DICO (ID_TABLE INTEGER NOT NULL, ID_COL INTEGER NOT NULL, NAME_COL TEXT, INOUT INTEGER);"
        "CREATE TABLE QM_VALMOR (ID_TABLE INTEGER NOT NULL, INPUT TEXT, OUTPUT TEXT, USER_CODE_LASTACTION TEXT);"
        "CREATE INDEX QM_VALMOR_BY_TABLE_INPUT ON QM_VALMOR (ID_TABLE, INPUT);";
    const std::string uniqueIndexes =
        "SELECT group_concat(name) FROM (SELECT name FROM sqlite_schema WHERE type = 'index' AND tbl_name IN "
        "('QM_TABLES', 'QM_VALMOR') ORDER BY name)";
    TempDir dir;
    const std::filesystem::path file = dir / "older.db";
    CreateSqliteFile(file, olderSchema + "INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'T'), (2, 'T');"
                                         "INSERT INTO QM_VALMOR (ID_TABLE, INPUT) VALUES (1, 'k'), (1, 'k');");
    const std::string connection = valmorin::text::Utf16ToUtf8(SqliteConnectionString(file));
    ProcessResult init = RunProcess({VALMORIN_CLI, "init", "--connection", connection});
    EXPECT_EQ(init.exitCode, 2);
    EXPECT_NE(init.err.find("table 'T' (2 rows)"), std::string::npos) << init.err;
    EXPECT_NE(init.err.find("table 1, INPUT 'k' (2 rows)"), std::string::npos) << init.err;
    EXPECT_EQ(QueryColumn(file, uniqueIndexes), Rows{u"QM_TABLES_BY_NOM,QM_VALMOR_BY_TABLE_INPUT"});

    // Fault caught: two NULL names, or two NULL INPUTs of a table, counted
    // as duplicates, though the unique indexes take them.
    CreateSqliteFile(file, "UPDATE QM_TABLES SET NOM = NULL; DELETE FROM QM_VALMOR WHERE rowid = 1;"
                           "INSERT INTO QM_VALMOR (ID_TABLE, INPUT) VALUES (1, NULL), (1, NULL);");
    init = RunProcess({VALMORIN_CLI, "init", "--connection", connection});
    EXPECT_EQ(init.exitCode, 0) << init.err;
    EXPECT_EQ(QueryColumn(file, uniqueIndexes), Rows{u"QM_TABLES_UNIQUE_NOM,QM_VALMOR_UNIQUE_TABLE_INPUT"});
    CreateSqliteFile(file, "UPDATE QM_TABLES SET NOM = 'T' WHERE ID_TABLE = 1;");
    EXPECT_THROW(CreateSqliteFile(file, "INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (3, 'T');"), std::runtime_error);
}

} // namespace

namespace {

// Changes that would give two tables one name, or one table two rows of one
// INPUT, fail whole on the store's rules.
TEST_P(ComponentRulesTest, ChangesThatWouldDuplicateANameOrAnInputFailWhole)
{
    auto text = [](const char16_t* value) { return CComBSTR(value); };
    ASSERT_EQ(m_component->TableCreate(text(u"u").get(), text(u"A").get(), text(u"").get(), text(u"K").get(),
                                       text(u"1").get()),
              S_OK);
    ASSERT_EQ(m_component->TableCreate(text(u"u").get(), text(u"B").get(), text(u"").get(), text(u"K").get(),
                                       text(u"1").get()),
              S_OK);
    ASSERT_EQ(
        m_component->CorrespondanceCreate(text(u"u").get(), text(u"A").get(), text(u"k1").get(), text(u"v1").get()),
        S_OK);
    ASSERT_EQ(
        m_component->CorrespondanceCreate(text(u"u").get(), text(u"A").get(), text(u"k2").get(), text(u"v2").get()),
        S_OK);
    const Rows before = StoreDump(*m_store);

    EXPECT_EQ(m_component->TableCreate(text(u"v").get(), text(u"A").get(), text(u"").get(), text(u"K¨V").get(),
                                       text(u"1¨0").get()),
              DB_E_INTEGRITYVIOLATION);
    EXPECT_EQ(m_component->TableUpdate(text(u"v").get(), text(u"B").get(), text(u"A").get(), nullptr, text(u"X").get(),
                                       text(u"0").get(), nullptr, nullptr, nullptr),
              DB_E_INTEGRITYVIOLATION);
    EXPECT_EQ(m_component->CorrespondanceUpdate(text(u"v").get(), text(u"A").get(), text(u"k2").get(),
                                                text(u"k1").get(), text(u"v3").get()),
              DB_E_INTEGRITYVIOLATION);
    EXPECT_EQ(StoreDump(*m_store), before);
}

// A write the store refuses (a trigger of its own here, with an SQLSTATE
// no HRESULT stands for on PostgreSQL) reaches the caller with the store's
// words and state, on every write path: a single statement, the column
// inserts of a new table, a table's delete.
// Faults caught: a failed write reported by its HRESULT alone, "Unspecified
// error" when the provider maps the refusal to E_FAIL; the store's SQLSTATE
// lost on its way to the caller's error object, where it is read as a
// field (ISQLErrorInfo) rather than out of the words.
TEST_P(ComponentRulesTest, ARefusalByTheStoreKeepsItsWords)
{
    ASSERT_EQ(m_component->TableCreate(Arg(u"u"), Arg(u"T"), Arg(u""), Arg(u"K"), Arg(u"1")), S_OK);
    const struct {
        const char* event;
        const char* table;
        std::function<HRESULT()> call;
    } cases[] = {
        {"INSERT", "QM_VALMOR",
         [&] { return m_component->CorrespondanceCreate(Arg(u"u"), Arg(u"T"), Arg(u"k"), Arg(u"v")); }},
        {"INSERT", "QM_DICO",
         [&] { return m_component->TableCreate(Arg(u"u"), Arg(u"U"), Arg(u""), Arg(u"K"), Arg(u"1")); }},
        {"DELETE", "QM_TABLES", [&] { return m_component->TableDelete(Arg(u"T")); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.event) + " " + c.table);
        CreateRowTrigger(*m_store, "refuse", std::string("BEFORE ") + c.event, c.table, "TRUE",
                         "SELECT RAISE(ABORT, 'refused')", "RAISE EXCEPTION 'refused' USING ERRCODE = 'VM001'");
        const Rows before = StoreDump(*m_store);
        const bool sqlite = m_store->traits().dialect == Dialect::Sqlite;
        const HRESULT hr = c.call();
        EXPECT_EQ(hr, sqlite ? DB_E_INTEGRITYVIOLATION : E_FAIL);
        const CallFailure failure = TakeCallFailure(hr);
        const std::u16string& words = failure.description;
        EXPECT_NE(words.find(u"refused"), std::u16string::npos) << valmorin::text::Utf16ToUtf8(words);
        EXPECT_FALSE(failure.sqlState.empty());
        EXPECT_NE(words.find(u"(SQLSTATE " + failure.sqlState + u")"), std::u16string::npos)
            << valmorin::text::Utf16ToUtf8(failure.sqlState + u" against " + words);
        if (!sqlite) {
            EXPECT_NE(words.find(u"SQLSTATE VM001"), std::u16string::npos) << valmorin::text::Utf16ToUtf8(words);
        }
        EXPECT_EQ(StoreDump(*m_store), before);
        DropTrigger(*m_store, "refuse", c.table);
    }
}

// One object called from several threads at once (the class is registered
// for both threading models) answers each call as if it were alone.
// Fault caught: the object's one connection and the statements its
// session keeps used by two calls at once (heap corruption, another
// thread's answer, "Unspecified error").
TEST_P(ComponentRulesTest, OneObjectSharedByThreadsAnswersEachCallAsIfAlone)
{
    constexpr int kThreads = 4, kCalls = 150;
    for (int t = 0; t < kThreads; ++t) {
        LONG added = 0;
        ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(valmorin::text::Widen("k" + std::to_string(t))),
                                        Arg(valmorin::text::Widen("v" + std::to_string(t))), &added),
                  S_OK);
    }
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::u16string key = valmorin::text::Widen("k" + std::to_string(t));
            const std::u16string expected = valmorin::text::Widen("v" + std::to_string(t));
            for (int i = 0; i < kCalls; ++i) {
                BstrResult translation;
                if (m_component->translate(Arg(u"T"), Arg(key), &translation) != S_OK || translation.text() != expected)
                    ++wrong[static_cast<std::size_t>(t)];
                LONG added = 0;
                const std::u16string own = key + u"_" + valmorin::text::Widen(std::to_string(i));
                if (m_component->transadd(Arg(u"T"), Arg(own), Arg(own), &added) != S_OK || added != 1)
                    ++wrong[static_cast<std::size_t>(t)];
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR"),
              Rows{valmorin::text::Widen(std::to_string(kThreads * (kCalls + 1)))});
}

INSTANTIATE_TEST_SUITE_P(Stores, ComponentRulesTest, VALMORIN_STORES);

} // namespace
