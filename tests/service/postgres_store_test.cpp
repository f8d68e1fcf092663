// What only the PostgreSQL store has: init on a server, its connection
// string's keys, text compared with its trailing blanks, and transactions
// that reach the server with their first statement.
#include "platform/ado/ado.h"
#include "platform/ado/connection_string.h"
#include "platform/text/utf.h"
#include "support/process.h"
#include "support/component.h"

#include <gtest/gtest.h>

namespace {

using Rows = std::vector<std::u16string>;

class PostgresStoreTest : public ::testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_STORE(StoreKind::PostgreSql); }

    static CComPtr<_Connection> Connected(const TestStore& store)
    {
        CComPtr<_Connection> connection;
        EXPECT_EQ(CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid,
                                   reinterpret_cast<void**>(&connection)),
                  S_OK);
        connection->put_CommandTimeout(1);
        EXPECT_EQ(connection->Open(CComBSTR(store.connectionString()).get(), nullptr, nullptr, adConnectUnspecified),
                  S_OK);
        return connection;
    }
    static HRESULT Execute(_Connection& connection, const char16_t* sql)
    {
        CComVariant affected;
        _Recordset* none = nullptr;
        return connection.Execute(CComBSTR(sql).get(), &affected, -1, &none);
    }

    static ProcessResult Cli(const std::u16string& connection, const std::string& input, const char* command)
    {
        return RunProcess({VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(connection), command}, input);
    }
};

TEST_F(PostgresStoreTest, InitCreatesTheStoreThatTheMethodsThenUse)
{
    const PgDatabase empty("");
    const ProcessResult created =
        RunProcess({VALMORIN_CLI, "init", "--connection", valmorin::text::Utf16ToUtf8(empty.connectionString())});
    EXPECT_EQ(created.exitCode, 0) << created.err;
    EXPECT_NE(created.out.find("created the store"), std::string::npos) << created.out;
    const ProcessResult again =
        RunProcess({VALMORIN_CLI, "init", "--connection", valmorin::text::Utf16ToUtf8(empty.connectionString())});
    EXPECT_NE(again.out.find("already exists"), std::string::npos) << again.out << again.err;

    const ProcessResult used = Cli(empty.connectionString(), "transadd\tT\tk\tv\ntranslate\tT\tk\n", "--batch");
    EXPECT_EQ(used.out, "OK\t1\nOK\tv\n") << used.err;
    // the rules of the store hold on the server too
    EXPECT_EQ(empty.Column("SELECT indexname FROM pg_indexes WHERE schemaname = 'public' AND indexdef LIKE 'CREATE "
                           "UNIQUE%' AND tablename IN ('qm_tables', 'qm_valmor') ORDER BY 1"),
              (Rows{u"qm_tables_pkey", u"qm_tables_unique_nom", u"qm_valmor_unique_table_input"}));
}

TEST_F(PostgresStoreTest, UnknownKeysAreRefusedAndThePasswordIsNeverShown)
{
    TestStore store(StoreKind::PostgreSql);
    CComPtr<IValmorin> component = NewComponent();
    const valmorin::ado::ConnectionString settings(store.connectionString());
    const std::u16string mistyped = settings.With(u"Pasword", u"s3cret-value").Text();
    EXPECT_TRUE(FAILED(component->Open(CComBSTR(mistyped).get())));
    const ProcessResult refused = Cli(settings.With(u"Password", u"s3cret-value").With(u"Colour", u"blue").Text(),
                                      "translate\tT\tk\n", "--batch");
    EXPECT_NE(refused.err.find("\"COLOUR\" is not one PostgreSQL takes"), std::string::npos) << refused.err;
    EXPECT_EQ((refused.out + refused.err).find("s3cret-value"), std::string::npos);
    EXPECT_EQ(component->Open(CComBSTR(store.connectionString()).get()), S_OK);
}

TEST_F(PostgresStoreTest, TrailingBlanksAndNationalLiteralsKeepTheTextExactly)
{
    TestStore store(StoreKind::PostgreSql);
    CComPtr<IValmorin> component = NewComponent(&store);
    LONG added = 0;
    EXPECT_EQ(component->transadd(CComBSTR(u"T").get(), CComBSTR(u"k  ").get(), CComBSTR(u"v  ").get(), &added), S_OK);
    EXPECT_EQ(component->transadd(CComBSTR(u"T").get(), CComBSTR(u"k").get(), CComBSTR(u"w").get(), &added), S_OK);
    EXPECT_EQ(store.Column("SELECT '[' || INPUT || '=' || OUTPUT || ']' FROM QM_VALMOR ORDER BY INPUT"),
              (Rows{u"[k=w]", u"[k  =v  ]"}));
    BstrResult result;
    EXPECT_EQ(component->translate(CComBSTR(u"T").get(), CComBSTR(u"k  ").get(), &result), S_OK);
    EXPECT_EQ(result.text(), u"v  ");
}

// A statement kept prepared by a session answers again once another
// program changed the type of a column it reads, alone or first in a
// transaction. Fault caught: the kept statement failing ("cached plan must
// not change result type") for as long as the session lives.
TEST_F(PostgresStoreTest, AColumnRetypedByAnotherProgramLeavesNoLookupFailing)
{
    TestStore store(StoreKind::PostgreSql);
    CComPtr<IValmorin> component = NewComponent(&store);
    LONG added = 0;
    ASSERT_EQ(component->transadd(CComBSTR(u"T").get(), CComBSTR(u"k").get(), CComBSTR(u"v").get(), &added), S_OK);
    BstrResult before, after;
    ASSERT_EQ(component->translate(CComBSTR(u"T").get(), CComBSTR(u"k").get(), &before), S_OK);
    store.Run("ALTER TABLE QM_VALMOR ALTER COLUMN OUTPUT TYPE VARCHAR(4000);");
    EXPECT_EQ(component->translate(CComBSTR(u"T").get(), CComBSTR(u"k").get(), &after), S_OK);
    EXPECT_EQ(after.text(), u"v");
    // The first statement of a transaction, sent with its BEGIN.
    BstrResult first, second;
    ASSERT_EQ(component->transIdent(CComBSTR(u"n").get(), &first), S_OK);
    store.Run("ALTER TABLE QM_TABLES ALTER COLUMN ID_TABLE TYPE BIGINT;");
    EXPECT_EQ(component->transIdent(CComBSTR(u"n").get(), &second), S_OK);
    EXPECT_EQ(second.text(), u"2");
}

// BEGIN and the writers' lock wait for the transaction's first statement
// and go with it: a second writer then waits for the first (until its
// command time-out), and a first statement that fails leaves a transaction
// that rolls back.
TEST_F(PostgresStoreTest, ATransactionTakesTheWritersLockWithItsFirstStatement)
{
    TestStore store(StoreKind::PostgreSql);
    const CComPtr<_Connection> first = Connected(store), second = Connected(store);
    LONG level = 0;
    ASSERT_EQ(first->BeginTrans(&level), S_OK);
    ASSERT_EQ(Execute(*first.get(), u"INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'A')"), S_OK);
    ASSERT_EQ(second->BeginTrans(&level), S_OK);
    EXPECT_EQ(Execute(*second.get(), u"SELECT COUNT(*) FROM QM_TABLES"), DB_E_ABORTLIMITREACHED); // cancelled waiting
    EXPECT_EQ(second->RollbackTrans(), S_OK);
    EXPECT_EQ(first->CommitTrans(), S_OK);

    ASSERT_EQ(second->BeginTrans(&level), S_OK);
    EXPECT_EQ(Execute(*second.get(), u"SELECT * FROM missing"), DB_E_ERRORSINCOMMAND);
    EXPECT_EQ(second->RollbackTrans(), S_OK);
    ASSERT_EQ(second->BeginTrans(&level), S_OK);
    EXPECT_EQ(Execute(*second.get(), u"INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (2, 'B')"), S_OK);
    EXPECT_EQ(second->CommitTrans(), S_OK);
    EXPECT_EQ(store.Column("SELECT NOM FROM QM_TABLES ORDER BY 1"), (Rows{u"A", u"B"}));
}

} // namespace
