// A lookup reads field 0 of a statement's first row without a recordset.
// It must give what a recordset opened on the same statement, MaxRecords
// 1, gives as that field, with the same log lines and the same failures.
//
// Varied at random, on every store: the table's rows (none, NULLs, empty
// and hostile texts, repeated rows), the statement (one column or several,
// texts, numbers and literals composed of several values, counts, no row,
// a failing one), the values (quotes, backslashes, U+FEFF, non-BMP
// characters, long texts), an open transaction, an earlier failure left
// on the connection, recordset reads and first-field reads taking turns on
// one connection, and connections never opened or closed. Steps and seed:
// VALMORIN_PROPERTY_STEPS, VALMORIN_PROPERTY_SEED.
//
// Faults caught: composed values sharing one room, so that an earlier
// value is overwritten by a later one; a value bound to the wrong marker
// or as the wrong kind; a NULL field or a missing row answered as a text;
// a field of another column or of a later row; a row's value kept for the
// next read; a failure's number, source, text or SQLSTATE other than the
// recordset's, or an earlier failure reported again; the statement's log
// line missing, doubled or different; a closed connection answered
// otherwise than a recordset answers on it.
#include "qmt/db/ado_connection.h"
#include "qmt/db/ado_recordset.h"
#include "qmt/diag/exception.h"
#include "support/memory_log.h"
#include "support/store.h"

#include "platform/text/utf.h"
#include "valmorin/com/errorinfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <malloc.h>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using qmt::AdoStatement;

constexpr qmt::StatementShape kByText{u"SELECT T FROM R WHERE T = N'%s' ORDER BY ID, N, T"};
constexpr qmt::StatementShape kById{u"SELECT N, T, ID FROM R WHERE ID = %d ORDER BY ID, N, T"};
constexpr qmt::StatementShape kComposed{u"SELECT T, ID FROM R WHERE T = N'%s|%s' OR T = N'<%s>' ORDER BY ID, N, T"};
constexpr qmt::StatementShape kCount{u"SELECT COUNT(*) FROM R WHERE ID > %d OR T = N'%s'"};
constexpr qmt::StatementShape kNone{u"SELECT T FROM R WHERE ID = %d AND ID <> %d"};
constexpr qmt::StatementShape kFailing{u"SELECT NOPE FROM R WHERE T = N'%s'"};

// What a read gave, or how it failed, and what it logged.
struct Outcome {
    bool failed = false;
    DWORD code = 0;
    std::u16string source, description, sqlState;
    bool hasRow = false;
    VARTYPE type = VT_EMPTY;
    std::u16string field;
    std::vector<std::u16string> logged;
};

std::string Show(const std::u16string& text) { return valmorin::text::Utf16ToUtf8(text); }

void PrintTo(const Outcome& outcome, std::ostream* out)
{
    if (outcome.failed)
        *out << "failed " << std::hex << outcome.code << std::dec << " " << Show(outcome.source) << ": "
             << Show(outcome.description) << " [" << Show(outcome.sqlState) << "]";
    else
        *out << (outcome.hasRow ? "row " : "no row ") << outcome.type << " '" << Show(outcome.field) << "'";
    for (const std::u16string& line : outcome.logged) *out << "\n  log: " << Show(line);
}

bool operator==(const Outcome& a, const Outcome& b)
{
    return a.failed == b.failed && a.code == b.code && a.source == b.source && a.description == b.description &&
           a.sqlState == b.sqlState && a.hasRow == b.hasRow && a.type == b.type && a.field == b.field &&
           a.logged == b.logged;
}

void Describe(Outcome& outcome, VARIANT& field)
{
    outcome.type = field.vt;
    if (field.vt == VT_EMPTY || field.vt == VT_NULL) return;
    if (field.vt != VT_BSTR) {
        ASSERT_EQ(VariantChangeType(&field, &field, 0, VT_BSTR), S_OK);
    }
    outcome.field.assign(field.bstrVal, SysStringLen(field.bstrVal));
}

template <typename Read>
Outcome Observe(Read&& read)
{
    Outcome outcome;
    SetErrorInfo(0, nullptr); // a failure must not be told in words left by an earlier one
    MemoryLog log;
    try {
        CComVariant field;
        outcome.hasRow = read(field);
        Describe(outcome, field);
    } catch (const qmt::CException& e) {
        outcome.failed = true;
        outcome.code = e.code;
        outcome.source = e.source;
        outcome.description = e.description;
        outcome.sqlState = e.sqlState;
    }
    for (const LogRecord& record : log.records()) outcome.logged.push_back(record.message);
    return outcome;
}

Outcome FirstField(qmt::CAdoConnection& connection, const AdoStatement& statement)
{
    return Observe([&](CComVariant& field) { return qmt::ReadFirstField(connection, statement, field); });
}

Outcome ThroughRecordset(qmt::CAdoConnection& connection, const AdoStatement& statement)
{
    return Observe([&](CComVariant& field) {
        qmt::CAdoRecordset recordset(connection);
        recordset.setMaxRecords(1);
        recordset.open(statement, connection, adOpenUnspecified, adUseClient, adLockUnspecified, adOptionUnspecified);
        const auto row = recordset.begin();
        if (!(row != recordset.end())) return false;
        (*row).read(0, field);
        return true;
    });
}

// The statement as it is shown, run as a text: what its values should
// give, whatever either way of binding them does.
Outcome ThroughShownText(qmt::CAdoConnection& connection, const AdoStatement& statement)
{
    return Observe([&](CComVariant& field) {
        qmt::CAdoRecordset recordset(connection);
        recordset.setMaxRecords(1);
        // SQLite has no N'' literals: the shape's own (after "= ") lose the N.
        std::u16string text = statement.shown();
        for (std::size_t at = 0; (at = text.find(u"= N'", at)) != std::u16string::npos;) text.erase(at + 2, 1);
        recordset.open(text, connection, adOpenUnspecified, adUseClient, adLockUnspecified, adOptionUnspecified);
        const auto row = recordset.begin();
        if (!(row != recordset.end())) return false;
        (*row).read(0, field);
        return true;
    });
}

std::string Quoted(const std::u16string& text)
{
    std::string quoted = "'";
    for (const char c : Show(text)) quoted.append(c == '\'' ? 2 : 1, c);
    return quoted + "'";
}

class FirstFieldTest : public ::testing::TestWithParam<StoreKind> {};

TEST_P(FirstFieldTest, AFirstFieldIsWhatARecordsetOfTheSameStatementGives)
{
    SKIP_WITHOUT_STORE(GetParam());
    const TestStore store(GetParam());
    store.Run("CREATE TABLE R (ID INTEGER, N INTEGER, T VARCHAR(300))");
    qmt::CAdoConnection connection;
    connection.open(store.connectionString(), u"", u"");

    const std::u16string texts[] = {u"a",       u"b",          u"",
                                    u"O'Brien", u"a|b",        u"b|a",
                                    u"<a>",     u"<b>",        u"back\\",
                                    u"\uFEFFa", u"\U0001F600", u"\u00e9t\u00e9",
                                    u"a'|'b",   u"  x  ",      std::u16string(200, u'y')};
    const char* steps = std::getenv("VALMORIN_PROPERTY_STEPS");
    const char* seed = std::getenv("VALMORIN_PROPERTY_SEED");
    std::mt19937 random(seed ? static_cast<unsigned>(std::atoi(seed)) : 20261210u);
    auto pick = [&]() -> const std::u16string& { return texts[random() % std::size(texts)]; };
    // What the composed literals make of a and b.
    auto Composed = [&]() {
        const std::u16string x = texts[random() % 2], y = texts[random() % 2];
        return random() % 2 ? x + u"|" + y : u"<" + x + u">";
    };
    auto number = [&]() { return static_cast<LONG>(random() % 7) - 1; };
    const int count = steps ? std::atoi(steps) : 300;
    for (int step = 0; step < count; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        if (step % 20 == 0) {
            store.Run("DELETE FROM R");
            const int rows = static_cast<int>(random() % 8);
            for (int i = 0; i < rows; ++i) {
                const unsigned kind = random() % 5;
                store.Run("INSERT INTO R VALUES (" + std::to_string(random() % 5) + ", " +
                          (kind == 0 ? std::string("NULL") : std::to_string(random() % 3)) + ", " +
                          (kind == 1 ? std::string("NULL") : Quoted(random() % 2 ? pick() : Composed())) + ")");
            }
        }
        // Half the time the composed values are those the stored texts
        // are made of, so that each literal finds its rows.
        const bool plain = random() % 2 != 0;
        const std::u16string a = plain ? texts[random() % 2] : pick(), b = plain ? texts[random() % 2] : pick(),
                             c = plain ? texts[random() % 2] : pick();
        const LONG n = number();
        std::vector<AdoStatement> statements;
        statements.push_back(AdoStatement::Of<kByText>(a));
        statements.push_back(AdoStatement::Of<kById>(n));
        statements.push_back(AdoStatement::Of<kComposed>(qmt::Doubled(a), qmt::Doubled(b), qmt::Doubled(c)));
        statements.push_back(AdoStatement::Of<kCount>(n, a));
        statements.push_back(AdoStatement::Of<kNone>(n, n));
        statements.push_back(AdoStatement::Of<kFailing>(a));
        const unsigned state = random() % 8;
        // A failure inside a transaction ends it on PostgreSQL: the second
        // read would fail otherwise than the first.
        const std::size_t chosen = random() % statements.size();
        const AdoStatement& statement = statements[state == 0 && chosen == statements.size() - 1 ? 0 : chosen];
        SCOPED_TRACE(Show(statement.shown()));

        if (state == 0) connection.beginTrans();
        if (state == 1) {
            EXPECT_THROW(connection.execute(u"INSERT INTO NOWHERE VALUES (1)", -1), qmt::CException);
        }
        // Which goes first varies too: each leaves the connection's kept
        // objects and errors to the other.
        const bool fastFirst = random() % 2 != 0;
        const Outcome first = fastFirst ? FirstField(connection, statement) : ThroughRecordset(connection, statement);
        const Outcome second = fastFirst ? ThroughRecordset(connection, statement) : FirstField(connection, statement);
        const Outcome& fast = fastFirst ? first : second;
        const Outcome& slow = fastFirst ? second : first;
        ASSERT_EQ(fast, slow);
        // Values composed into one literal must be what the literal shows:
        // both ways of reading share how the values are made.
        if (&statement == &statements[2]) {
            const Outcome shown = ThroughShownText(connection, statement);
            ASSERT_EQ(fast.hasRow, shown.hasRow) << Show(shown.description);
            ASSERT_EQ(fast.field, shown.field);
        }
        if (state == 0) connection.rollbackTrans();
    }

    // Connections that were never opened, or were closed, fail as a
    // recordset fails on them.
    qmt::CAdoConnection never;
    const AdoStatement statement = AdoStatement::Of<kByText>(u"a");
    const Outcome unopened = FirstField(never, statement);
    EXPECT_TRUE(unopened.failed);
    EXPECT_EQ(unopened, ThroughRecordset(never, statement));
    connection.close();
    const Outcome closed = FirstField(connection, statement);
    EXPECT_TRUE(closed.failed);
    EXPECT_EQ(closed, ThroughRecordset(connection, statement));
}

// A link lost under two connections: the first read after the loss, and
// the read after the connection saw it gone and dropped its session, fail
// alike through either way of reading.
TEST_P(FirstFieldTest, ALostLinkFailsAsARecordsetFailsOnIt)
{
    SKIP_WITHOUT_STORE(GetParam());
    const TestStore store(GetParam());
    store.Run("CREATE TABLE R (ID INTEGER, N INTEGER, T VARCHAR(300)); INSERT INTO R VALUES (1, 1, 'a')");
    qmt::CAdoConnection fast, slow;
    fast.open(store.connectionString(), u"", u"");
    slow.open(store.connectionString(), u"", u"");
    const AdoStatement statement = AdoStatement::Of<kByText>(u"a");
    ASSERT_EQ(FirstField(fast, statement), ThroughRecordset(slow, statement));
    if (store.file().empty()) {
        store.Column("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() AND "
                     "pid <> pg_backend_pid()");
    } else {
        const std::filesystem::path copy = store.file().string() + ".copy";
        std::filesystem::copy_file(store.file(), copy);
        std::filesystem::rename(copy, store.file());
    }
    const Outcome afterLoss = FirstField(fast, statement);
    EXPECT_EQ(afterLoss, ThroughRecordset(slow, statement));
    EXPECT_EQ(fast.isOpen(), slow.isOpen());
    const Outcome dropped = FirstField(fast, statement);
    EXPECT_EQ(dropped, ThroughRecordset(slow, statement));
    if (!fast.isOpen()) {
        EXPECT_TRUE(dropped.failed);
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, FirstFieldTest, VALMORIN_STORES);

// The heap the process holds in use, mapped blocks included.
std::size_t HeapInUse()
{
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

// A SQLite session converts texts in and out through room it keeps from
// call to call. One huge value, read or bound, must not leave that room
// huge for the life of a server.
// Fault caught: the room sized by the largest value ever met (a server
// kept about 80 MB per session after a few lookups of a 20 MB value).
TEST(SqliteRoom, AHugeValueLeavesNoRoomBehindOnceTheCallsAreDone)
{
    const TestStore store(StoreKind::Sqlite);
    const std::string huge(3'000'000, 'x');
    store.Run("CREATE TABLE R (ID INTEGER, N INTEGER, T VARCHAR(300)); INSERT INTO R VALUES (1, 1, '" + huge +
              "\u00e9');");
    qmt::CAdoConnection connection;
    connection.open(store.connectionString(), u"", u"");
    const AdoStatement small = AdoStatement::Of<kById>(LONG{1});
    CComVariant field;
    ASSERT_TRUE(qmt::ReadFirstField(connection, AdoStatement::Of<kCount>(LONG{5}, u"a"), field));
    const std::size_t before = HeapInUse();
    ASSERT_TRUE(qmt::ReadFirstField(connection, small, field)); // the huge text, read
    {
        const std::u16string hugeValue(3'000'000, u'\u00e9');
        ASSERT_FALSE(qmt::ReadFirstField(connection, AdoStatement::Of<kByText>(hugeValue), field)); // bound
    }
    ASSERT_FALSE(qmt::ReadFirstField(connection, AdoStatement::Of<kByText>(u"a"), field));
    field = CComVariant();
    EXPECT_LT(HeapInUse(), before + 1'000'000) << HeapInUse() - before;
}

} // namespace
