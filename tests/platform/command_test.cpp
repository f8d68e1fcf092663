// The Command object: each ? of its text takes the next value, bound by
// the provider, never written into the text.
#include "support/ado_connection.h"
#include "support/odbc_store.h"
#include "support/pg_store.h"
#include "support/temp_dir.h"

#include "valmorin/com/runtime.h"

#include <gtest/gtest.h>

namespace {

struct Outcome {
    HRESULT hr;
    LONG rows;
};

CComPtr<_Command> NewCommand(const AdoConnection& connection, const std::u16string& text)
{
    CComPtr<_Command> command;
    EXPECT_EQ(CoCreateInstance(CLSID_Command, nullptr, CLSCTX_ALL, _Command::iid, reinterpret_cast<void**>(&command)),
              S_OK);
    CComPtr<IDispatch> active;
    connection.Active().pdispVal->QueryInterface(IDispatch::iid, reinterpret_cast<void**>(&active));
    EXPECT_EQ(command->putref_ActiveConnection(active.get()), S_OK);
    EXPECT_EQ(command->put_CommandText(CComBSTR(text).get()), S_OK);
    return command;
}

Outcome Execute(const AdoConnection& connection, const std::u16string& text, const std::vector<std::u16string>& values)
{
    const CComPtr<_Command> command = NewCommand(connection, text);
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i)
        SafeArrayPutElement(array, &i, CComBSTR(values[static_cast<std::size_t>(i)]).get());
    VARIANT parameters;
    parameters.vt = VT_ARRAY | VT_BSTR;
    parameters.parray = array;
    CComVariant rows;
    const HRESULT hr = command->Execute(&rows, &parameters, adOptionUnspecified, nullptr);
    SafeArrayDestroy(array);
    return {hr, rows.vt == VT_I4 ? rows.lVal : -1};
}

// Faults caught: a value that reshapes the statement (an apostrophe, a
// ?); a ? inside a quoted text taken for a marker; markers and values of
// different numbers run anyway.
TEST(Command, ValuesStayValuesOnBothPaths)
{
    TempDir dir;
    const auto file = dir / "store.db";
    CreateSqliteFile(file, "CREATE TABLE T (ID INTEGER, A TEXT, B TEXT);");
    std::vector<std::u16string> connections = {SqliteConnectionString(file)};
    if (OdbcDriverMissing(OdbcDriver::Sqlite).empty()) connections.push_back(OdbcSqliteConnectionString(file));
    int id = 0;
    for (const std::u16string& connectionString : connections) {
        SCOPED_TRACE(std::string(connectionString.begin(), connectionString.end()));
        const AdoConnection connection(connectionString);
        const std::u16string hostile = u"x'); DELETE FROM T; --?";
        ++id;
        const Outcome inserted = Execute(connection, u"INSERT INTO T (ID, A, B) VALUES (?, ?, 'lit?eral')",
                                         {std::u16string(1, static_cast<char16_t>(u'0' + id)), hostile});
        EXPECT_EQ(inserted.hr, S_OK);
        EXPECT_EQ(inserted.rows, 1);
        EXPECT_EQ(Execute(connection, u"UPDATE T SET B = ? WHERE A = ? AND ID = ?",
                          {u"it's", hostile, std::u16string(1, u'0' + id)})
                      .rows,
                  1);
        EXPECT_EQ(Execute(connection, u"INSERT INTO T (ID, A) VALUES (?, ?)", {u"9"}).hr, DB_E_ERRORSINCOMMAND);
    }
    EXPECT_EQ(QueryColumn(file, "SELECT ID || '|' || A || '|' || B FROM T ORDER BY ID"),
              std::vector<std::u16string>(connections.size() == 2
                                              ? std::vector<std::u16string>{u"1|x'); DELETE FROM T; --?|it's",
                                                                            u"2|x'); DELETE FROM T; --?|it's"}
                                              : std::vector<std::u16string>{u"1|x'); DELETE FROM T; --?|it's"}));
}

// A recordset with the server cursor keeps stepping its statement after
// the call that opened it. Fault caught: the cursor's bound text read from
// the session's buffers, which its next statement fills again (the cursor
// then filters on the other statement's value, or reads freed memory).
TEST(Command, AServerCursorKeepsItsValuesWhileOtherStatementsRun)
{
    TempDir dir;
    const auto file = dir / "store.db";
    CreateSqliteFile(file, "CREATE TABLE T (ID INTEGER, A TEXT); INSERT INTO T VALUES (1, 'x'), (2, 'y'), (3, 'x'), "
                           "(4, 'y'), (5, 'x');");
    const AdoConnection connection(SqliteConnectionString(file));
    const CComPtr<_Command> select = NewCommand(connection, u"SELECT ID FROM T WHERE A = ?");
    ASSERT_EQ(select->put_Parameter(0, CComVariant(std::u16string_view(u"x"))), S_OK);
    CComPtr<_Recordset> rows;
    ASSERT_EQ(CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, _Recordset::iid, reinterpret_cast<void**>(&rows)),
              S_OK);
    ASSERT_EQ(rows->put_CursorLocation(adUseServer), S_OK);
    ASSERT_EQ(rows->Open(CComVariant(static_cast<IDispatch*>(select.get())), connection.Active(), adOpenForwardOnly,
                         adLockReadOnly, -1),
              S_OK);
    std::vector<LONG> ids;
    for (VARIANT_BOOL eof = VARIANT_FALSE; rows->get_EOF(&eof) == S_OK && !eof; rows->MoveNext()) {
        CComVariant id;
        ASSERT_EQ(rows->get_Collect(CComVariant(LONG{0}), &id), S_OK);
        ids.push_back(id.lVal);
        EXPECT_EQ(Execute(connection, u"UPDATE T SET ID = ID WHERE A = ?", {u"y"}).hr, S_OK);
    }
    EXPECT_EQ(ids, (std::vector<LONG>{1, 3, 5}));
}

// Values given to Execute replace those kept, even when there are none.
// Fault caught: the views of the values an empty array took the place of
// still bound (freed texts, and markers counted against stale values).
TEST(Command, AnEmptyArrayOfValuesLeavesNoneOfTheOldOnes)
{
    TempDir dir;
    const auto file = dir / "store.db";
    CreateSqliteFile(file, "CREATE TABLE T (A TEXT);");
    const AdoConnection connection(SqliteConnectionString(file));
    const CComPtr<_Command> command = NewCommand(connection, u"INSERT INTO T (A) SELECT 'fixed'");
    ASSERT_EQ(command->put_Parameter(0, CComVariant(std::u16string_view(u"a value longer than a short text"))), S_OK);
    CComVariant rows;
    EXPECT_EQ(command->Execute(&rows, nullptr, -1, nullptr), DB_E_ERRORSINCOMMAND) << "one value for no marker";
    SAFEARRAY* none = SafeArrayCreateVector(VT_BSTR, 0, 0);
    VARIANT empty;
    empty.vt = VT_ARRAY | VT_BSTR;
    empty.parray = none;
    EXPECT_EQ(command->Execute(&rows, &empty, -1, nullptr), S_OK);
    SafeArrayDestroy(none);
    EXPECT_EQ(QueryColumn(file, "SELECT A FROM T"), std::vector<std::u16string>{u"fixed"});
}

// A session's statements kept prepared can be dropped on the server
// (DEALLOCATE ALL, DISCARD ALL, a pooler). Faults caught: the dropped name
// queued for a DEALLOCATE that then fails inside the next transaction and
// ends it; a statement dropped under the session failing for good.
TEST(Command, PostgreSqlStatementsDroppedOnTheServerArePreparedAgain)
{
    if (!PostgresAvailable()) GTEST_SKIP() << "no PostgreSQL server";
    const PgDatabase database("CREATE TABLE T (A TEXT);");
    AdoConnection connection(database.connectionString());
    const std::u16string insert = u"INSERT INTO T (A) VALUES (?)";
    EXPECT_EQ(Execute(connection, insert, {u"one"}).hr, S_OK);
    connection.Execute(u"DEALLOCATE ALL");
    EXPECT_EQ(Execute(connection, insert, {u"two"}).hr, S_OK) << "run alone, it is prepared again";
    connection.Execute(u"DEALLOCATE ALL");
    LONG level = 0;
    ASSERT_EQ(connection->BeginTrans(&level), S_OK);
    connection.Execute(u"SELECT 1");
    EXPECT_TRUE(FAILED(Execute(connection, insert, {u"lost"}).hr)) << "within a transaction it fails";
    ASSERT_EQ(connection->RollbackTrans(), S_OK);
    ASSERT_EQ(connection->BeginTrans(&level), S_OK);
    connection.Execute(u"SELECT 1");
    EXPECT_EQ(Execute(connection, u"INSERT INTO T (A) SELECT ? || 'r'", {u"fou"}).hr, S_OK);
    EXPECT_EQ(Execute(connection, insert, {u"three"}).hr, S_OK);
    ASSERT_EQ(connection->CommitTrans(), S_OK);
    EXPECT_EQ(database.Column("SELECT A FROM T ORDER BY A"),
              (std::vector<std::u16string>{u"four", u"one", u"three", u"two"}));
}

// libpq reads a value up to its first NUL. Fault caught: a text holding
// one cut there and stored, the rest lost without a word.
TEST(Command, PostgreSqlRefusesATextWithANulRatherThanCuttingIt)
{
    if (!PostgresAvailable()) GTEST_SKIP() << "no PostgreSQL server";
    const PgDatabase database("CREATE TABLE T (A TEXT);");
    const AdoConnection connection(database.connectionString());
    EXPECT_EQ(Execute(connection, u"INSERT INTO T (A) VALUES (?)", {std::u16string(u"kept\0lost", 9)}).hr,
              DB_E_CANTCONVERTVALUE);
    EXPECT_EQ(database.Column("SELECT COUNT(*) FROM T"), std::vector<std::u16string>{u"0"});
}

} // namespace
