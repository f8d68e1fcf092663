#include "platform/com/com_error.h"
#include "valmorin/com/runtime.h"
#include "qmt/db/ado_connection.h"
#include "qmt/db/ado_recordset.h"
#include "qmt/diag/exception.h"
#include "support/store.h"
#include "support/temp_dir.h"

#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <random>

using qmt::CAdoRecordset;

namespace {

constexpr LONG kAny = -1;

class RecordsetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CreateSqliteFile(m_file, "CREATE TABLE R (ID INTEGER, N INTEGER, T TEXT);"
                                 "INSERT INTO R VALUES (1, 40000, 'forty'), (2, NULL, NULL), (3, -7, '  x  ');"
                                 "CREATE TABLE DICO (ID_TABLE INTEGER, ID_COL INTEGER, NAME_COL TEXT);"
                                 "INSERT INTO DICO VALUES (1, 1, 'INPUT'), (2, 1, 'INPUT');");
        m_connection.open(SqliteConnectionString(m_file), u"", u"");
    }
    void OpenReadOnly(CAdoRecordset& recordset, const std::u16string& text)
    {
        recordset.open(text, m_connection, kAny, adUseClient, kAny, kAny);
    }

    TempDir m_dir;
    std::filesystem::path m_file = m_dir / "r.db";
    qmt::CAdoConnection m_connection;
};

TEST_F(RecordsetTest, ReadsTypedFieldsOfEachRow)
{
    CAdoRecordset recordset;
    OpenReadOnly(recordset, u"SELECT N, T, ID FROM R ORDER BY ID");
    auto row = recordset.begin();
    ASSERT_TRUE(row != recordset.end());
    LONG wide = 0;
    (*row).read(0, wide);
    EXPECT_EQ(wide, 40000);
    SHORT narrow = 0;
    EXPECT_THROW((*row).read(0, narrow), _com_error); // 40000 does not fit 16 bits
    std::u16string text;
    (*row).read(0, text);
    EXPECT_EQ(text, u"40000"); // a number read as text is converted

    ++row;
    (*row).read(0, wide);
    (*row).read(0, narrow);
    (*row).read(1, text);
    CComBSTR bstr;
    (*row).read(1, bstr);
    EXPECT_EQ(wide, 0);
    EXPECT_EQ(narrow, 0);
    EXPECT_EQ(text, u"");
    ASSERT_NE(bstr.get(), nullptr); // NULL reads as an empty, not a null, BSTR
    EXPECT_EQ(bstr.Length(), 0u);

    ++row;
    (*row).read(1, text);
    EXPECT_EQ(text, u"  x  ");
    EXPECT_THROW((*row).read(1, narrow), _com_error) << "text that is not a number";
    ++row;
    EXPECT_FALSE(row != recordset.end()); // past the last row, still holding the recordset
}

TEST_F(RecordsetTest, EmptyResultsAndReopening)
{
    CAdoRecordset recordset;
    OpenReadOnly(recordset, u"SELECT ID FROM R WHERE ID > 100");
    EXPECT_FALSE(recordset.begin() != recordset.end());
    OpenReadOnly(recordset, u"SELECT ID FROM R WHERE ID = 3"); // the first result is closed first
    auto row = recordset.begin();
    LONG id = 0;
    (*row).read(0, id);
    EXPECT_EQ(id, 3);
    recordset.close();
    recordset.close();
    EXPECT_THROW(recordset.begin(), qmt::CComException);
}

// A recordset released while open is kept for the next one created: that
// one must start closed and empty, not with the rows and the connection of
// the last use.
// Fault caught: a statement kept prepared answering with the columns it
// had before another program changed the table, though SQLite prepared it
// anew for the new ones (rows given fewer fields than they hold, or the
// old names).
TEST_F(RecordsetTest, AKeptStatementAnswersWithTheColumnsTheTableHasNow)
{
    const auto fieldsOfFirstRow = [&] {
        CAdoRecordset recordset;
        OpenReadOnly(recordset, u"SELECT * FROM R ORDER BY ID");
        std::vector<std::u16string> fields;
        std::u16string field;
        for (LONG at = 0; at < 4; ++at) try {
                (*recordset.begin()).read(at, field);
                fields.push_back(field);
            } catch (const qmt::CException&) {
                break;
            }
        return fields;
    };
    EXPECT_EQ(fieldsOfFirstRow(), (std::vector<std::u16string>{u"1", u"40000", u"forty"}));
    CreateSqliteFile(m_file, "ALTER TABLE R ADD COLUMN X TEXT DEFAULT 'added'"); // another program's
    EXPECT_EQ(fieldsOfFirstRow(), (std::vector<std::u16string>{u"1", u"40000", u"forty", u"added"}));
}

// Faults caught: MaxRecords ignored (every row read), or kept by the
// recordset object a connection lends again, so that the next reader of
// a whole statement gets its first row alone.
TEST_F(RecordsetTest, MaxRecordsLimitsOnlyTheReaderThatSetIt)
{
    const auto rowsRead = [&](LONG maxRecords) {
        CAdoRecordset recordset(m_connection);
        if (maxRecords != 0) recordset.setMaxRecords(maxRecords);
        OpenReadOnly(recordset, u"SELECT ID FROM R ORDER BY ID");
        int rows = 0;
        for (auto row = recordset.begin(); row != recordset.end(); ++row) ++rows;
        return rows;
    };
    EXPECT_EQ(rowsRead(1), 1);
    EXPECT_EQ(rowsRead(0), 3);
    EXPECT_EQ(rowsRead(2), 2);
    EXPECT_EQ(rowsRead(5), 3);
    CAdoRecordset refused;
    EXPECT_THROW(refused.setMaxRecords(-1); OpenReadOnly(refused, u"SELECT ID FROM R"), qmt::CException);
}

TEST_F(RecordsetTest, ARecordsetReleasedOpenComesBackClosed)
{
    for (int i = 0; i < 2; ++i) {
        CComPtr<_Recordset> recordset;
        ASSERT_EQ(CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, _Recordset::iid,
                                   reinterpret_cast<void**>(&recordset)),
                  S_OK);
        LONG state = -1;
        ASSERT_EQ(recordset->get_State(&state), S_OK);
        EXPECT_EQ(state, adStateClosed) << "created " << i;
        VARIANT_BOOL eof = VARIANT_FALSE;
        EXPECT_TRUE(FAILED(recordset->get_EOF(&eof))) << "created " << i;
        CComVariant source(std::u16string_view(u"SELECT ID FROM R"));
        CComVariant connection(m_connection.activeConnection().get());
        ASSERT_EQ(recordset->Open(source, connection, kAny, kAny, kAny), S_OK);
    }
}

TEST_F(RecordsetTest, ProviderErrorsOfTheStatementAreThrown)
{
    CAdoRecordset recordset;
    try {
        OpenReadOnly(recordset, u"SELECT NOPE FROM R");
        FAIL();
    } catch (const qmt::CException& e) {
        EXPECT_EQ(e.code, 0x80040E14u);
        EXPECT_EQ(e.source, u"SQLite");
    }
    // a connection without a handle: open says nothing, the first read fails
    qmt::CAdoConnection never;
    CAdoRecordset orphan;
    orphan.open(u"SELECT 1", never, kAny, adUseClient, kAny, kAny);
    EXPECT_THROW(orphan.begin(), qmt::CComException);
}

// An earlier failure on the connection is not reported again by a later
// open, whether that open succeeds or fails in its own way.
// Fault caught: the provider's errors of an earlier call kept and reported
// with a later one.
TEST_F(RecordsetTest, AnEarlierFailureIsNotReportedByALaterOpen)
{
    EXPECT_THROW(m_connection.execute(u"INSERT INTO NOWHERE VALUES (1)", -1), qmt::CException);
    CAdoRecordset recordset;
    EXPECT_NO_THROW(OpenReadOnly(recordset, u"SELECT ID FROM R"));
    EXPECT_THROW(m_connection.execute(u"INSERT INTO NOWHERE VALUES (1)", -1), qmt::CException);
    try {
        OpenReadOnly(recordset, u"SELECT NOPE FROM R");
        FAIL();
    } catch (const qmt::CException& e) {
        EXPECT_NE(e.description.find(u"NOPE"), std::u16string::npos) << valmorin::text::Utf16ToUtf8(e.description);
    }
}

TEST_F(RecordsetTest, UpdateBatchWritesOnlyTheChangedRowsByIdentity)
{
    m_connection.beginTrans();
    CAdoRecordset recordset;
    recordset.open(u"SELECT ID_COL, NAME_COL FROM DICO WHERE ID_TABLE = 2", m_connection, adOpenStatic, adUseClient,
                   adLockPessimistic, kAny);
    auto row = recordset.begin();
    (*row).write(1, std::u16string(u"RENAMED"));
    recordset.updateBatch(adAffectAll);
    recordset.close();
    m_connection.commitTrans();
    // the identical row of table 1 keeps its name
    EXPECT_EQ(QueryColumn(m_file, "SELECT NAME_COL FROM DICO ORDER BY ID_TABLE"),
              (std::vector<std::u16string>{u"INPUT", u"RENAMED"}));
}

// Faults caught: the statement that writes a row kept prepared with the
// first row's values or identity (every row given the first's value, or
// the first row written twice); a row deleted since it was read taken as
// written, the caller told nothing of the lost change.
TEST_F(RecordsetTest, UpdateBatchWritesEachRowItsOwnValueAndRefusesARowGoneSinceRead)
{
    CAdoRecordset recordset;
    recordset.open(u"SELECT ID_TABLE, NAME_COL FROM DICO ORDER BY ID_TABLE", m_connection, adOpenStatic, adUseClient,
                   adLockPessimistic, kAny);
    auto row = recordset.begin();
    (*row).write(1, std::u16string(u"FIRST"));
    ++row;
    (*row).write(1, std::u16string(u"SECOND"));
    recordset.updateBatch(adAffectAll);
    recordset.close();
    EXPECT_EQ(QueryColumn(m_file, "SELECT NAME_COL FROM DICO ORDER BY ID_TABLE"),
              (std::vector<std::u16string>{u"FIRST", u"SECOND"}));

    recordset.open(u"SELECT ID_TABLE, NAME_COL FROM DICO ORDER BY ID_TABLE", m_connection, adOpenStatic, adUseClient,
                   adLockPessimistic, kAny);
    CreateSqliteFile(m_file, "DELETE FROM DICO WHERE ID_TABLE = 1"); // another program's
    (*recordset.begin()).write(1, std::u16string(u"LOST"));
    EXPECT_THROW(recordset.updateBatch(adAffectAll), qmt::CException);
    recordset.close();
    EXPECT_EQ(QueryColumn(m_file, "SELECT NAME_COL FROM DICO"), (std::vector<std::u16string>{u"SECOND"}));
}

TEST_F(RecordsetTest, WritesNeedAnUpdatableRecordAndAHandle)
{
    CAdoRecordset recordset;
    OpenReadOnly(recordset, u"SELECT T FROM R");
    auto row = recordset.begin();
    EXPECT_THROW((*row).write(0, std::u16string(u"x")), qmt::CComException);

    qmt::CAdoRecord detached{CComPtr<_Recordset>()};
    try {
        detached.write(0, CComVariant(LONG{1}));
        FAIL();
    } catch (const qmt::CException& e) {
        EXPECT_EQ(e.source, u"CAdoRecord::write");
        EXPECT_EQ(e.description, u"Recordset has not been set");
        EXPECT_EQ(e.code, 0x80004003u);
    }
}

// A limited read must be the first rows of the whole read: the limit is a
// shortcut that may only leave rows out. Varied: the store, the table's
// rows (none, NULLs, repeated values), the statement and how many columns
// and rows it gives, the limit (none, below, at and past the row count),
// the cursor's location, and readers with and without a limit taking
// turns on the recordset object the connection lends. Faults caught: a
// provider's limit off by one or taken as a count of values; a server
// cursor that ignores it; a limit left on a lent recordset for the next
// reader; rows read past the limit handed out.
class LimitedReadTest : public ::testing::TestWithParam<StoreKind> {};

std::vector<std::u16string> RowsRead(CAdoRecordset& recordset, LONG columns)
{
    std::vector<std::u16string> rows;
    for (auto row = recordset.begin(); row != recordset.end(); ++row) {
        std::u16string line, field;
        for (LONG at = 0; at < columns; ++at) {
            (*row).read(at, field);
            line += field + u'|';
        }
        rows.push_back(line);
    }
    return rows;
}

TEST_P(LimitedReadTest, ALimitedReadIsTheFirstRowsOfTheWholeRead)
{
    SKIP_WITHOUT_STORE(GetParam());
    const TestStore store(GetParam());
    store.Run("CREATE TABLE T (ID INTEGER, TXT VARCHAR(20))");
    qmt::CAdoConnection connection;
    connection.open(store.connectionString(), u"", u"");
    const struct {
        const char16_t* text;
        LONG columns;
    } statements[] = {
        {u"SELECT ID, TXT FROM T ORDER BY ID, TXT", 2},
        {u"SELECT TXT FROM T WHERE ID > 3 ORDER BY ID, TXT", 1},
        {u"SELECT COUNT(*) FROM T", 1},
        {u"SELECT ID FROM T WHERE TXT IS NULL ORDER BY ID", 1},
        {u"SELECT TXT, ID, TXT FROM T WHERE TXT = 'b' ORDER BY ID", 3},
    };
    std::mt19937 random(20261210);
    for (int round = 0; round < 40; ++round) {
        store.Run("DELETE FROM T");
        const int rows = static_cast<int>(random() % 9);
        for (int i = 0; i < rows; ++i) {
            const unsigned pick = random() % 4;
            store.Run("INSERT INTO T VALUES (" + std::to_string(random() % 8) + ", " +
                      (pick == 0 ? std::string("NULL") : "'" + std::string(1, static_cast<char>('a' + pick)) + "'") +
                      ")");
        }
        for (const auto& statement : statements) {
            const auto read = [&](LONG limit, LONG location) {
                CAdoRecordset recordset(connection);
                recordset.setMaxRecords(limit);
                recordset.open(statement.text, connection, adOpenForwardOnly, location, adLockReadOnly, kAny);
                return RowsRead(recordset, statement.columns);
            };
            const std::vector<std::u16string> whole = read(0, adUseClient);
            const auto limit = static_cast<LONG>(random() % 11);
            const LONG location = random() % 2 ? adUseServer : adUseClient;
            const std::vector<std::u16string> limited = read(limit, location);
            const std::size_t kept = limit == 0 ? whole.size() : std::min<std::size_t>(whole.size(), limit);
            ASSERT_EQ(limited, std::vector<std::u16string>(whole.begin(), whole.begin() + static_cast<long>(kept)))
                << "round " << round << ", limit " << limit << (location == adUseServer ? ", server cursor" : "")
                << ": " << valmorin::text::Utf16ToUtf8(statement.text);
            ASSERT_EQ(read(0, location), whole) << "a limit kept for the next reader";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, LimitedReadTest, VALMORIN_STORES);

} // namespace
