// The history: answers as of any point replay what translate answered
// then, whatever was written in between, by the component and by other
// programs; and racing writers leave a history whose every change follows
// from the one before it.
#include "platform/text/utf.h"
#include "support/admin.h"
#include "support/ado_connection.h"
#include "support/component.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <map>
#include <random>
#include <thread>

namespace {

const std::u16string kTables[] = {u"A", u"B", u"C"};
const std::u16string kInputs[] = {u"k0", u"k1", u"k2", u"k3", u"k4"};
const std::u16string kUsers[] = {u"alice", u"bob", u"carol"};

using Answers = std::vector<std::u16string>; // translate's answer for each table and input, in order

// Now, as the store writes its revisions' times.
std::u16string UtcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &fields);
    return valmorin::text::Widen(std::string(text) + "." + std::to_string(1000 + millis).substr(1) + "Z");
}

class HistoryTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(m_component.QueryInterface(m_v3), S_OK);
    }

    std::u16string Revision()
    {
        BstrResult revision;
        EXPECT_EQ(m_v3->Revision(&revision), S_OK);
        return revision.text();
    }

    Answers Now()
    {
        Answers answers;
        for (const std::u16string& table : kTables)
            for (const std::u16string& input : kInputs) {
                BstrResult answer;
                EXPECT_EQ(m_component->translate(Arg(table), Arg(input), &answer), S_OK);
                answers.push_back(answer.text());
            }
        return answers;
    }

    Answers AsOf(const std::u16string& point)
    {
        Answers answers;
        for (const std::u16string& table : kTables)
            for (const std::u16string& input : kInputs) {
                BstrResult answer;
                const HRESULT hr = m_v3->translateAsOf(Arg(table), Arg(input), Arg(point), &answer);
                EXPECT_EQ(hr, S_OK) << valmorin::text::Utf16ToUtf8(point);
                answers.push_back(answer.text());
            }
        return answers;
    }

    // One write of a random kind: the component's methods in a random
    // user's name, an import, or another program's statement.
    void RandomWrite(std::mt19937& random, int step)
    {
        auto pick = [&](const auto& choices) { return choices[random() % std::size(choices)]; };
        const std::u16string table = pick(kTables), input = pick(kInputs), user = pick(kUsers);
        const std::u16string value = u"v" + valmorin::text::Widen(std::to_string(step));
        const std::string sqlValue = "'o" + std::to_string(step) + "'";
        const std::string sqlInput = "'" + valmorin::text::Utf16ToUtf8(input) + "'";
        const std::string sqlTable = "'" + valmorin::text::Utf16ToUtf8(table) + "'";
        LONG done = 0;
        const bool sqlite = m_store->traits().dialect == Dialect::Sqlite;
        switch (random() % 16) {
        case 0:
        case 1: m_component->transadd(Arg(table), Arg(input), Arg(value), &done); break;
        case 2: m_component->transdel(Arg(table), Arg(input), &done); break;
        case 3: m_component->CorrespondanceCreate(Arg(user), Arg(table), Arg(input), Arg(value)); break;
        case 4:
            m_component->CorrespondanceUpdate(Arg(user), Arg(table), Arg(input), Arg(pick(kInputs)), Arg(value));
            break;
        case 5: m_component->CorrespondanceDelete(Arg(table), Arg(input)); break;
        case 6:
            m_component->TableCreate(Arg(user), Arg(table), Arg(value), Arg(u"IN\u00A8OUT"), Arg(u"1\u00A80"));
            break;
        case 7: // a rename
            m_component->TableUpdate(Arg(user), Arg(table), Arg(pick(kTables)), Arg(value), Arg(u""), Arg(u""),
                                     Arg(u""), Arg(u""), Arg(u""));
            break;
        case 8: // a column added, every OUTPUT rewritten
            m_component->TableUpdate(Arg(user), Arg(table), Arg(table), Arg(value), Arg(u"X"), Arg(u"0"), Arg(u""),
                                     Arg(u""), Arg(u""));
            break;
        case 9: m_component->TableDelete(Arg(table)); break;
        case 10: Import(user, table, step, random() % 2); break;
        case 11: m_store->Run("UPDATE QM_VALMOR SET OUTPUT = " + sqlValue + " WHERE INPUT = " + sqlInput + ";"); break;
        case 12:
            m_store->Run("DELETE FROM QM_VALMOR WHERE INPUT = " + sqlInput +
                         " AND ID_TABLE IN (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = " + sqlTable + ");");
            break;
        case 13:
            m_store->Run("INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT t.ID_TABLE, " + sqlInput + ", " +
                         sqlValue + " FROM QM_TABLES t WHERE t.NOM = " + sqlTable +
                         " AND NOT EXISTS (SELECT 1 FROM QM_VALMOR v WHERE v.ID_TABLE = t.ID_TABLE AND v.INPUT = " +
                         sqlInput + ");");
            break;
        case 14: // a row replaced whole, or the insertion ignored, by another program
            m_store->Run(std::string(sqlite ? (random() % 2 ? "INSERT OR REPLACE" : "INSERT OR IGNORE") : "INSERT") +
                         " INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT ID_TABLE, " + sqlInput + ", " + sqlValue +
                         " FROM QM_TABLES WHERE NOM = " + sqlTable +
                         (sqlite ? ";" : " ON CONFLICT (ID_TABLE, INPUT) DO NOTHING;"));
            break;
        case 15: // an upsert of another program
            m_store->Run("INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT ID_TABLE, " + sqlInput + ", " +
                         sqlValue + " FROM QM_TABLES WHERE NOM = " + sqlTable +
                         " ON CONFLICT (ID_TABLE, INPUT) DO UPDATE SET OUTPUT = excluded.OUTPUT || 'u';");
            break;
        }
    }

    void Import(const std::u16string& user, const std::u16string& table, int step, LONG mode)
    {
        const std::filesystem::path file = m_files / ("import" + std::to_string(step) + ".csv");
        std::ofstream(file) << "INPUT,OUTPUT\nk0,i" << step << "\nk3,j" << step << "\n";
        BstrResult report;
        CComPtr<IValmorin2> v2;
        ASSERT_EQ(m_component.QueryInterface(v2), S_OK);
        v2->TableImport(Arg(user), Arg(table), Arg(file.u16string()), mode, &report);
    }

    CComPtr<IValmorin3> m_v3;
    TempDir m_files;
};

// A seeded run of writes of every kind records what translate answers
// after each; afterwards every revision, and every moment between two
// writes, must answer the same. Faults caught: a change the triggers miss
// or record under the wrong revision (another program's above all), a
// rename or a deleted table whose earlier rows are lost, an as-of reading
// that takes the first change at or before the point instead of after it,
// a time mapped to the next revision instead of the last one made, a row
// another program replaced whole recorded as made rather than changed.
TEST_P(HistoryTest, EveryPointAnswersAsTranslateDidThen)
{
    const unsigned seed = 20261207;
    std::mt19937 random(seed);
    std::map<std::u16string, Answers> byRevision;
    std::vector<std::pair<std::u16string, Answers>> byTime;
    byRevision[Revision()] = Now();
    for (int step = 0; step < 120; ++step) {
        RandomWrite(random, step);
        const std::u16string revision = Revision();
        const Answers answers = Now();
        const auto [kept, fresh] = byRevision.emplace(revision, answers);
        EXPECT_TRUE(fresh || kept->second == answers) << "revision " << valmorin::text::Utf16ToUtf8(revision)
                                                      << " answered two ways, step " << step << ", seed " << seed;
        byTime.emplace_back(UtcNow(), answers);
        std::this_thread::sleep_for(std::chrono::milliseconds(3)); // the next revision is a later millisecond
    }
    ASSERT_GT(byRevision.size(), 60u) << "too few writes changed the store to tell anything";
    for (const auto& [revision, answers] : byRevision)
        EXPECT_EQ(AsOf(revision), answers) << "as of revision " << valmorin::text::Utf16ToUtf8(revision);
    for (const auto& [time, answers] : byTime)
        EXPECT_EQ(AsOf(time), answers) << "as of " << valmorin::text::Utf16ToUtf8(time);
}

// Points the history cannot answer for are refused, naming what it can.
// Faults caught: a revision not made yet answered as the present; a time
// before the history began answered as an empty store; a malformed point
// taken for revision 0.
TEST_P(HistoryTest, PointsOutsideTheHistoryAreRefusedNamingWhatIsKept)
{
    LONG done = 0;
    ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(u"k"), Arg(u"v"), &done), S_OK);
    const std::u16string current = Revision();
    auto refused = [&](const std::u16string& point, std::u16string_view naming) {
        BstrResult answer;
        EXPECT_EQ(m_v3->translateAsOf(Arg(u"T"), Arg(u"k"), Arg(point), &answer), E_INVALIDARG)
            << valmorin::text::Utf16ToUtf8(point);
        EXPECT_EQ(answer.text(), u"");
        CComPtr<IErrorInfo> info;
        ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
        CComBSTR description;
        info->GetDescription(&description);
        EXPECT_NE(description.view().find(naming), std::u16string_view::npos)
            << valmorin::text::Utf16ToUtf8(std::u16string(description.view()));
    };
    refused(u"999999", u"the current revision is " + current);
    refused(u"2001-01-01T00:00:00Z", u"the oldest point kept is revision 0");
    refused(u"yesterday", u"neither a revision");
    refused(u"2026-02-30T00:00:00Z", u"neither a revision");
    refused(u"2026-01-01T00:00:00+02:00", u"neither a revision");
    BstrResult answer;
    EXPECT_EQ(m_v3->translateAsOf(Arg(u"T"), Arg(u"k"), Arg(u"0000" + current), &answer), S_OK);
    EXPECT_EQ(answer.text(), u"v");
}

// Another program's statements that replace a row whole, or insert it
// unless it is there: SQLite deletes a replaced row without the triggers
// of a deletion, and an insertion ignored still fired the triggers before
// it. Faults caught: a replaced row recorded as made (the value it
// replaced lost to answers as of earlier points, and to a revert); an
// insertion ignored, or turned into an update, leaving what it would
// have replaced to be taken for the replaced value of a later insertion;
// a table replaced whole, its rows left to the new one, also through its
// rowid, which the columns of an UPDATE OF trigger never name.
TEST_P(HistoryTest, AnotherProgramsReplacementsAreRecordedAsChanges)
{
    const bool sqlite = m_store->traits().dialect == Dialect::Sqlite;
    LONG done = 0;
    ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(u"k"), Arg(u"v1"), &done), S_OK);
    const std::u16string first = Revision();
    const std::string insert = "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT ID_TABLE, 'k', ";
    const std::string ofT = " FROM QM_TABLES WHERE NOM = 'T'";
    m_store->Run(sqlite ? "INSERT OR REPLACE" + insert.substr(6) + "'v2'" + ofT + ";"
                        : insert + "'v2'" + ofT + " ON CONFLICT (ID_TABLE, INPUT) DO UPDATE SET OUTPUT = 'v2';");
    m_store->Run(sqlite ? "INSERT OR IGNORE" + insert.substr(6) + "'v3'" + ofT + ";"
                        : insert + "'v3'" + ofT + " ON CONFLICT (ID_TABLE, INPUT) DO NOTHING;");
    m_store->Run("DELETE FROM QM_VALMOR WHERE INPUT = 'k';");
    const std::u16string gone = Revision();
    m_store->Run(insert + "'v4'" + ofT + ";");

    BstrResult answer;
    const auto asOf = [&](const std::u16string& point) {
        EXPECT_EQ(m_v3->translateAsOf(Arg(u"T"), Arg(u"k"), Arg(point), &answer), S_OK);
        return answer.text();
    };
    EXPECT_EQ(asOf(first), u"v1") << "the replaced value lost";
    EXPECT_EQ(asOf(gone), u"");
    ASSERT_EQ(m_v3->History(Arg(u"T"), Arg(u"k"), 0, 0, &answer), S_OK);
    EXPECT_NE(valmorin::text::Utf16ToUtf8(answer.text()).find(R"("before":null,"after":"v4")"), std::string::npos)
        << valmorin::text::Utf16ToUtf8(answer.text());
    EXPECT_NE(valmorin::text::Utf16ToUtf8(answer.text()).find(R"("before":"v1","after":"v2")"), std::string::npos)
        << valmorin::text::Utf16ToUtf8(answer.text());
    if (sqlite) {
        ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(u"m"), Arg(u"w"), &done), S_OK);
        const std::u16string beforeMove = Revision();
        m_store->Run("UPDATE OR REPLACE QM_VALMOR SET INPUT = 'k' WHERE INPUT = 'm';");
        EXPECT_EQ(asOf(beforeMove), u"v4") << "the row a key moved onto lost";
        // A table replaced would hand its rows to another, its deletion unrecorded.
        ASSERT_EQ(m_component->transadd(Arg(u"X"), Arg(u"k"), Arg(u"x"), &done), S_OK);
        EXPECT_THROW(m_store->Run("INSERT OR REPLACE INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) SELECT ID_TABLE, 2, 'X' "
                                  "FROM QM_TABLES WHERE NOM = 'T';"),
                     std::exception);
        EXPECT_THROW(m_store->Run("UPDATE OR REPLACE QM_TABLES SET NOM = 'T' WHERE NOM = 'X';"), std::exception);
        // Set through the rowid, which no UPDATE OF trigger's columns name.
        EXPECT_THROW(m_store->Run("UPDATE OR REPLACE QM_TABLES SET _rowid_ = (SELECT ID_TABLE FROM QM_TABLES WHERE "
                                  "NOM = 'T') WHERE NOM = 'X';"),
                     std::exception);
        EXPECT_THROW(m_store->Run("UPDATE QM_TABLES SET rowid = 999 WHERE NOM = 'T';"), std::exception);
        EXPECT_EQ(m_store->Column("SELECT NOM FROM QM_TABLES ORDER BY NOM"), (Rows{u"T", u"X"}));
        EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR v WHERE NOT EXISTS (SELECT 1 FROM QM_TABLES t "
                                  "WHERE t.ID_TABLE = v.ID_TABLE)"),
                  Rows{u"0"});
        // A row replaced through its rowid by one of another key, which
        // no key of the replaced row's would name.
        const std::string ofX = " FROM QM_VALMOR WHERE INPUT = 'k' AND OUTPUT = 'x'";
        EXPECT_THROW(m_store->Run("INSERT OR REPLACE INTO QM_VALMOR (rowid, ID_TABLE, INPUT, OUTPUT) SELECT rowid, "
                                  "ID_TABLE, 'n', 'y'" +
                                  ofX + ";"),
                     std::exception);
        EXPECT_THROW(
            m_store->Run("UPDATE OR REPLACE QM_VALMOR SET rowid = (SELECT rowid" + ofX + ") WHERE OUTPUT = 'w';"),
            std::exception);
        EXPECT_THROW(m_store->Run("INSERT OR REPLACE INTO QM_DICO (rowid, ID_TABLE, ID_COL, NAME_COL, INOUT) SELECT "
                                  "rowid, ID_TABLE, ID_COL, 'renamed', INOUT FROM QM_DICO LIMIT 1;"),
                     std::exception);
        EXPECT_EQ(m_store->Column("SELECT INPUT || '=' || OUTPUT FROM QM_VALMOR ORDER BY OUTPUT"),
                  (Rows{u"k=w", u"k=x"}));
        m_store->Run("INSERT OR REPLACE INTO QM_VALMOR (rowid, ID_TABLE, INPUT, OUTPUT) SELECT rowid, ID_TABLE, 'k', "
                     "'x2'" +
                     ofX + ";");
        ASSERT_EQ(m_v3->History(Arg(u"X"), Arg(u"k"), 0, 0, &answer), S_OK);
        EXPECT_NE(valmorin::text::Utf16ToUtf8(answer.text()).find(R"("before":"x","after":"x2")"), std::string::npos)
            << "a row replaced through its own rowid is an update: " << valmorin::text::Utf16ToUtf8(answer.text());
    }
}

// Faults caught: the store taking the component's change for another
// program's (an unnamed revision drawn beside the component's own, as when
// SQLite stops firing the component's TEMP marks before the store's
// triggers), another program's change drawing no revision of its own, and,
// on SQLite, QM_WRITER emptied so that another program's next change is
// filed under the revision before it, in that revision's user's name.
TEST_P(HistoryTest, TheComponentsChangesAreToldFromAnotherProgramsOnes)
{
    const std::string unnamed = "SELECT COUNT(*) FROM QM_REVISIONS WHERE USER_CODE IS NULL";
    const std::string userOfK = "SELECT COALESCE(r.USER_CODE, '<unknown>') FROM QM_HISTORY h JOIN QM_REVISIONS r ON "
                                "r.REVISION = h.REVISION WHERE h.INPUT = 'k' ORDER BY h.SEQ";
    LONG done = 0;
    ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(u"j"), Arg(u"v"), &done), S_OK);
    const Rows before = m_store->Column(unnamed);
    ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(u"k"), Arg(u"v1"), &done), S_OK);
    ASSERT_EQ(m_component->transdel(Arg(u"T"), Arg(u"j"), &done), S_OK);
    EXPECT_EQ(m_store->Column(unnamed), before) << "the component's change taken for another program's";
    m_store->Run("UPDATE QM_VALMOR SET OUTPUT = 'v2' WHERE INPUT = 'k';");
    EXPECT_EQ(m_store->Column(userOfK), (Rows{u"", u"<unknown>"}));
    if (m_store->traits().dialect != Dialect::Sqlite) return;
    EXPECT_THROW(m_store->Run("DELETE FROM QM_WRITER;"), std::exception);
    m_store->Run("UPDATE QM_VALMOR SET OUTPUT = 'v3' WHERE INPUT = 'k';");
    EXPECT_EQ(m_store->Column(userOfK), (Rows{u"", u"<unknown>", u"<unknown>"}));
}

// Another program writing in a transaction whose snapshot predates the
// component's last commit. Faults caught: the revision numbered from that
// snapshot, which does not see the revisions committed since: a number
// drawn twice, and the other program's write refused for it.
TEST_P(HistoryTest, AnotherProgramsWritesFromAnOlderSnapshotGetARevisionOfTheirOwn)
{
    if (m_store->traits().dialect != Dialect::PostgreSql)
        GTEST_SKIP() << "SQLite gives no transaction a snapshot older than its lock";
    LONG done = 0;
    ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(u"k"), Arg(u"v"), &done), S_OK);
    AdoConnection other(m_store->connectionString());
    other.Execute(u"BEGIN ISOLATION LEVEL REPEATABLE READ");
    other.Execute(u"SELECT COUNT(*) FROM QM_REVISIONS"); // takes the snapshot
    ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(u"k2"), Arg(u"v2"), &done), S_OK);
    const std::u16string before = Revision();
    try {
        other.Execute(u"INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT ID_TABLE, 'k3', 'v3' FROM QM_TABLES "
                      u"WHERE NOM = 'T'");
        other.Execute(u"COMMIT");
    } catch (const AdoFailure& failure) {
        FAIL() << "the other program's write was refused: " << std::hex << failure.hr;
    }
    EXPECT_GT(std::stoll(valmorin::text::Utf16ToUtf8(Revision())), std::stoll(valmorin::text::Utf16ToUtf8(before)));
    BstrResult answer;
    ASSERT_EQ(m_v3->translateAsOf(Arg(u"T"), Arg(u"k3"), Arg(before), &answer), S_OK);
    EXPECT_EQ(answer.text(), u"");
    ASSERT_EQ(m_v3->translateAsOf(Arg(u"T"), Arg(u"k2"), Arg(before), &answer), S_OK);
    EXPECT_EQ(answer.text(), u"v2");
}

// The running numbers are not recorded, so their table has no past to
// answer from, and no table may take or leave their name: the part of its
// past spent under that name would be missing, and answers as of earlier
// points would be read back through changes never recorded.
//
// Faults caught: a table renamed to the running numbers' name (by the
// component or by another program) whose later changes go unrecorded; one
// renamed from it whose past is taken for a reference table's; answers as
// of a point for the running numbers made up from their present; a row
// another program moves into their table recorded as gone under the
// revision before, its last user blamed and the answer as of it lost.
TEST_P(HistoryTest, NoTableTakesOrLeavesTheRunningNumbersName)
{
    LONG done = 0;
    ASSERT_EQ(m_component->transadd(Arg(u"T"), Arg(u"k"), Arg(u"v"), &done), S_OK);
    BstrResult number;
    ASSERT_EQ(m_component->transIdent(Arg(u"orders"), &number), S_OK);
    const std::u16string revision = Revision();
    // Another program moving a row into the running numbers' table: gone
    // from T under a revision of its own, not the last one made.
    m_store->Run("UPDATE QM_VALMOR SET ID_TABLE = (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = 'GenerationNumbers') "
                 "WHERE INPUT = 'k';");
    EXPECT_NE(Revision(), revision);

    EXPECT_FALSE(SUCCEEDED(m_component->TableUpdate(Arg(u"admin"), Arg(u"GenerationNumbers"), Arg(u"Numbers"), Arg(u""),
                                                    Arg(u""), Arg(u""), Arg(u""), Arg(u""), Arg(u""))));
    ASSERT_EQ(m_component->TableDelete(Arg(u"GenerationNumbers")), S_OK);
    EXPECT_FALSE(SUCCEEDED(m_component->TableUpdate(Arg(u"admin"), Arg(u"T"), Arg(u"GenerationNumbers"), Arg(u""),
                                                    Arg(u""), Arg(u""), Arg(u""), Arg(u""), Arg(u""))));
    EXPECT_THROW(m_store->Run("UPDATE QM_TABLES SET NOM = 'GenerationNumbers' WHERE NOM = 'T';"), std::exception);
    EXPECT_EQ(m_store->Column("SELECT NOM FROM QM_TABLES"), Rows{u"T"});

    BstrResult answer;
    for (const std::u16string& point : {revision, std::u16string(u"0")}) {
        EXPECT_EQ(m_v3->translateAsOf(Arg(u"GenerationNumbers"), Arg(u"orders"), Arg(point), &answer), E_INVALIDARG);
        EXPECT_EQ(m_v3->History(Arg(u"GenerationNumbers"), Arg(u""), 0, 0, &answer), E_INVALIDARG);
    }
    EXPECT_EQ(m_v3->translateAsOf(Arg(u"T"), Arg(u"k"), Arg(revision), &answer), S_OK);
    EXPECT_EQ(answer.text(), u"v");
}

// Writers in several processes and another program's statements, all at
// once, on two tables that are deleted and made again: read in revision
// order, every change of a correspondence starts from where the one
// before it left the row, the last leaves it as it is, revisions' times
// never go back, and only the other program's changes are unattributed.
// Faults caught: revisions drawn in another order than commits (a second
// writer numbered before the first commits), a change recorded twice or
// not at all, the record of a rolled-back write kept, another program's
// change recorded under the component's revision or the reverse.
TEST_P(HistoryTest, RacingWritersLeaveAChainOfChangesInCommitOrder)
{
    m_component.Release();
    m_v3.Release();
    const std::string connection = valmorin::text::Utf16ToUtf8(m_store->connectionString());
    auto calls = [](int writer) {
        std::string text;
        for (int i = 0; i < 60; ++i) {
            const std::string table = i % 2 ? "T" : "U", key = "k" + std::to_string((i * 7 + writer) % 5);
            switch ((i + writer) % 6) {
            case 0:
            case 1: text += "transadd\t" + table + "\t" + key + "\tv" + std::to_string(i) + "\n"; break;
            case 2: text += "CorrespondanceUpdate\tw" + std::to_string(writer) + "\t" + table + "\t" + key + "\t" + key +
                            "\tu" + std::to_string(i) + "\n";
                break;
            case 3: text += "transdel\t" + table + "\t" + key + "\n"; break;
            case 4: text += "CorrespondanceCreate\tw\t" + table + "\t" + key + "\tc\n"; break; // often a duplicate
            case 5: text += (i % 10 == 5 ? "TableDelete\t" + table : "transIdent\tN") + "\n"; break;
            }
        }
        return text;
    };
    std::vector<std::thread> running;
    for (int w = 0; w < 3; ++w)
        running.emplace_back([&, w] { RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, calls(w)); });
    std::atomic<bool> writing{true};
    std::thread other([&] {
        for (int i = 0; writing; ++i) {
            const std::string key = "'o" + std::to_string(i % 3) + "'", value = "'x" + std::to_string(i) + "'";
            try {
                m_store->Run("INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT ID_TABLE, " + key + ", " + value +
                             " FROM QM_TABLES t WHERE NOM IN ('T', 'U') AND NOT EXISTS (SELECT 1 FROM QM_VALMOR v "
                             "WHERE v.ID_TABLE = t.ID_TABLE AND v.INPUT = " +
                             key + ");");
                m_store->Run("UPDATE QM_VALMOR SET OUTPUT = " + value + " WHERE INPUT = " + key + ";");
                if (i % 4 == 3) m_store->Run("DELETE FROM QM_VALMOR WHERE INPUT = " + key + ";");
            } catch (const std::exception&) {
                // a busy store refused the statement: nothing of it is kept
            }
        }
    });
    for (std::thread& thread : running) thread.join();
    writing = false;
    other.join();

    const Rows times = m_store->Column("SELECT TIME FROM QM_REVISIONS ORDER BY REVISION");
    ASSERT_GT(times.size(), 50u);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << "a revision's time is earlier than the one before";
    // Each change as key, before and after; then each row as it stands.
    const std::string null = "'<none>'";
    const Rows changes = m_store->Column(
        "SELECT ID_TABLE || '/' || INPUT || ' ' || COALESCE(OLD_VALUE, " + null + ") || ' ' || COALESCE(NEW_VALUE, " +
        null + ") FROM QM_HISTORY WHERE KIND = 'row' ORDER BY ID_TABLE, INPUT, REVISION, SEQ");
    const Rows rows = m_store->Column("SELECT v.ID_TABLE || '/' || v.INPUT || ' ' || v.OUTPUT FROM QM_VALMOR v JOIN "
                                      "QM_TABLES t ON t.ID_TABLE = v.ID_TABLE WHERE t.NOM <> 'GenerationNumbers'");
    std::map<std::string, std::string> last; // key -> value after its last change
    for (const std::u16string& change : changes) {
        const std::string line = valmorin::text::Utf16ToUtf8(change);
        const std::size_t keyEnd = line.find(' '), beforeEnd = line.find(' ', keyEnd + 1);
        const std::string key = line.substr(0, keyEnd), before = line.substr(keyEnd + 1, beforeEnd - keyEnd - 1);
        const auto found = last.find(key);
        EXPECT_EQ(before, found == last.end() ? "<none>" : found->second) << "change " << line;
        last[key] = line.substr(beforeEnd + 1);
    }
    std::map<std::string, std::string> standing;
    for (const std::u16string& row : rows) {
        const std::string line = valmorin::text::Utf16ToUtf8(row);
        standing[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
    }
    for (const auto& [key, value] : last)
        EXPECT_EQ(value, standing.contains(key) ? standing[key] : "<none>") << "row " << key;
    for (const auto& [key, value] : standing) EXPECT_TRUE(last.contains(key)) << "row " << key << " has no history";
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_HISTORY h JOIN QM_REVISIONS r ON r.REVISION = h.REVISION "
                              "WHERE r.USER_CODE IS NULL AND (h.KIND <> 'row' OR h.INPUT NOT LIKE 'o%')"),
              Rows{u"0"})
        << "the component's changes recorded as another program's";
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_HISTORY h JOIN QM_REVISIONS r ON r.REVISION = h.REVISION "
                              "WHERE r.USER_CODE IS NOT NULL AND h.INPUT LIKE 'o%' AND h.NEW_VALUE IS NOT NULL"),
              Rows{u"0"})
        << "another program's changes recorded as the component's";
}

INSTANTIATE_TEST_SUITE_P(Stores, HistoryTest, VALMORIN_STORES);

} // namespace
