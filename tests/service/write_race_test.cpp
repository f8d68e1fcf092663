// Writers racing the administration of their table, each a process of its
// own, on every store: whatever the interleaving, no column or
// correspondence is left without its table, no new table starts with rows
// it was not given, no INPUT is stored twice, no running number is handed
// out twice or skipped, and every call answers.
//
// Faults caught: a table id looked up and then written to in separate
// statements (a delete between them orphans the row, and a table created
// next under the same id adopts it); a counter table found outside the
// counter's transaction.
#include "platform/text/utf.h"
#include "support/component.h"
#include "support/admin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace {

constexpr int kWriters = 4;
constexpr int kWritesEach = 120;
constexpr int kAdministrations = 40;

std::string WriterCalls(int writer)
{
    std::string calls;
    for (int i = 0; i < kWritesEach; ++i) {
        const std::string key = std::to_string(writer) + "_" + std::to_string(i);
        switch (i % 3) {
        case 0: calls += "transadd\tT\tk" + key + "\tv\n"; break;
        case 1: calls += "CorrespondanceCreate\tu\tT\tc" + key + "\tv\n"; break;
        case 2: calls += "transIdent\tN\n"; break;
        }
    }
    return calls;
}

// Deletes the writers' table, creates a new one (which must start empty)
// and re-columns the writers' table when it exists again.
std::string AdministratorCalls()
{
    std::string calls;
    for (int i = 0; i < kAdministrations; ++i)
        calls += "TableDelete\tT\nTableCreate\tadmin\tFresh" + std::to_string(i) +
                 "\t\tK\xC2\xA8V\t1\xC2\xA8"
                 "0\nTableUpdate\tadmin\tT\tT\t--null\tX\t0\t\t\t\n";
    return calls;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class WriteRaceTest : public StoreTest {};

TEST_P(WriteRaceTest, WritersAgainstDeletesCreatesAndUpdatesLeaveNoRowAstray)
{
    m_component.Release(); // the processes below are the store's only clients
    const std::string connection = valmorin::text::Utf16ToUtf8(m_store->connectionString());
    std::vector<ProcessResult> writers(kWriters);
    ProcessResult administrator;
    std::vector<std::thread> running;
    for (int w = 0; w < kWriters; ++w)
        running.emplace_back([&, w] {
            writers[static_cast<std::size_t>(w)] =
                RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, WriterCalls(w));
        });
    running.emplace_back([&] {
        administrator = RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, AdministratorCalls());
    });
    for (std::thread& thread : running) thread.join();

    std::vector<long> numbers;
    for (const ProcessResult& writer : writers) {
        const std::vector<std::string> answers = Lines(writer.out);
        ASSERT_EQ(answers.size(), static_cast<std::size_t>(kWritesEach)) << writer.err;
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const std::string& answer = answers[i];
            if (i % 3 == 0) {
                EXPECT_EQ(answer, "OK\t1") << "transadd, line " << i + 1;
            } else if (i % 3 == 1) {
                EXPECT_EQ(answer, "OK\t") << "CorrespondanceCreate, line " << i + 1;
            } else {
                ASSERT_EQ(answer.substr(0, 3), "OK\t") << "transIdent, line " << i + 1;
                numbers.push_back(std::stol(answer.substr(3)));
            }
        }
    }
    for (const std::string& answer : Lines(administrator.out))
        EXPECT_TRUE(answer.starts_with("OK\t") || answer.find("No table is named") != std::string::npos) << answer;

    // Rows of a table the catalogue lacks, and rows of the new tables (which
    // were given their two columns and nothing else).
    auto orphaned = [&](const std::string& table) {
        return m_store->Column("SELECT COUNT(*) FROM " + table +
                               " x WHERE NOT EXISTS (SELECT 1 FROM QM_TABLES t WHERE t.ID_TABLE = x.ID_TABLE)");
    };
    auto inNewTables = [&](const std::string& table) {
        return m_store->Column("SELECT COUNT(*) FROM " + table +
                               " x JOIN QM_TABLES t ON t.ID_TABLE = x.ID_TABLE WHERE t.NOM LIKE 'Fresh%'");
    };
    EXPECT_EQ(orphaned("QM_VALMOR"), Rows{u"0"}) << "orphaned correspondences";
    EXPECT_EQ(orphaned("QM_DICO"), Rows{u"0"}) << "orphaned columns";
    EXPECT_EQ(inNewTables("QM_VALMOR"), Rows{u"0"}) << "correspondences adopted by new tables";
    EXPECT_EQ(inNewTables("QM_DICO"), Rows{valmorin::text::Widen(std::to_string(2 * kAdministrations))})
        << "columns adopted by new tables";

    std::sort(numbers.begin(), numbers.end());
    const std::set<long> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size()) << "running numbers handed out twice";
    EXPECT_EQ(numbers.front(), 1);
    EXPECT_EQ(numbers.back(), static_cast<long>(numbers.size())) << "running numbers skipped";
}

// Imports racing the same administration: each import is whole or not at
// all. An importer's rows stand in the writers' table all fifty or none,
// whatever was deleted, created or re-columned in between.
//
// Faults caught: an import committed in parts, or outside the writers'
// lock (a delete between its statements orphans rows, a table created in
// between adopts them); a table the import creates left half-made.
TEST_P(WriteRaceTest, ImportsAgainstDeletesCreatesAndUpdatesAreWholeOrNothing)
{
    constexpr int kImporters = 3;
    constexpr int kImportsEach = 12;
    constexpr int kRowsEach = 50;
    m_component.Release();
    const std::string connection = valmorin::text::Utf16ToUtf8(m_store->connectionString());
    TempDir files;
    std::vector<std::string> calls(kImporters);
    for (int w = 0; w < kImporters; ++w) {
        const std::filesystem::path file = files / ("importer" + std::to_string(w) + ".csv");
        std::ofstream csv(file);
        csv << "K,V\n";
        for (int r = 0; r < kRowsEach; ++r) csv << "w" << w << "_" << r << ",v" << r << "\n";
        for (int i = 0; i < kImportsEach; ++i)
            calls[static_cast<std::size_t>(w)] +=
                "TableImport\tu\tT\t" + file.string() + "\t" + std::to_string(i % 2) + "\n";
    }
    std::vector<ProcessResult> importers(kImporters);
    ProcessResult administrator;
    std::vector<std::thread> running;
    for (int w = 0; w < kImporters; ++w)
        running.emplace_back([&, w] {
            importers[static_cast<std::size_t>(w)] =
                RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, calls[static_cast<std::size_t>(w)]);
        });
    running.emplace_back([&] {
        administrator = RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, AdministratorCalls());
    });
    for (std::thread& thread : running) thread.join();

    // An import after the administrator added column X to T is refused for
    // the column its file lacks; every other answer is a report.
    int imported = 0;
    for (const ProcessResult& importer : importers) {
        const std::vector<std::string> answers = Lines(importer.out);
        ASSERT_EQ(answers.size(), static_cast<std::size_t>(kImportsEach)) << importer.err;
        for (const std::string& answer : answers) {
            if (answer.starts_with("OK\t{")) {
                ++imported;
                continue;
            }
            EXPECT_NE(answer.find("the header lacks this column"), std::string::npos) << answer;
        }
    }
    EXPECT_GT(imported, 0);
    for (int w = 0; w < kImporters; ++w) {
        const Rows held = m_store->Column("SELECT COUNT(*) FROM QM_VALMOR v JOIN QM_TABLES t ON t.ID_TABLE = "
                                          "v.ID_TABLE WHERE t.NOM = 'T' AND v.INPUT LIKE 'w" +
                                          std::to_string(w) +
                                          "\\_%' "
                                          "ESCAPE '\\'");
        EXPECT_TRUE(held == Rows{u"0"} || held == Rows{valmorin::text::Widen(std::to_string(kRowsEach))})
            << "importer " << w << " left " << valmorin::text::Utf16ToUtf8(held.at(0)) << " rows";
    }
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR x WHERE NOT EXISTS (SELECT 1 FROM QM_TABLES t WHERE "
                              "t.ID_TABLE = x.ID_TABLE)"),
              Rows{u"0"})
        << "orphaned correspondences";
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR x JOIN QM_TABLES t ON t.ID_TABLE = x.ID_TABLE WHERE "
                              "t.NOM LIKE 'Fresh%'"),
              Rows{u"0"})
        << "correspondences adopted by new tables";
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_TABLES t WHERE NOT EXISTS (SELECT 1 FROM QM_DICO d WHERE "
                              "d.ID_TABLE = t.ID_TABLE)"),
              Rows{u"0"})
        << "tables without columns";
}

// The same table proposed to, dropped by change sets applied at once, put
// under approval and out of it, while writers write to it and an operator
// prunes the history, each a process of its own.
//
// Faults caught: a write or a deletion whose history entry is lost or
// left behind when it races a drop, an approval or a prune (the history no
// longer tells the present); a pending change set or an approval outliving
// its table; revision times out of their order.
std::string ChangeSetWriterCalls(int writer)
{
    std::string calls;
    for (int i = 0; i < kWritesEach / 2; ++i) {
        const std::string key = std::to_string(writer) + "_" + std::to_string(i);
        switch (i % 4) {
        case 0: calls += "transadd\tT\tk" + key + "\tv\n"; break;
        case 1:
            calls += "ChangeSetPropose\tbob\t{\"table\":\"T\",\"changes\":[{\"op\":\"put\",\"input\":\"p" + key +
                     "\",\"output\":\"v\"}]}\n";
            break;
        case 2: calls += "transdel\tT\tk" + std::to_string(writer) + "_" + std::to_string(i - 2) + "\n"; break;
        case 3: calls += "CorrespondanceCreate\tu\tT\tc" + key + "\tv\n"; break;
        }
    }
    return calls;
}

std::string ApprovalAdministratorCalls()
{
    std::string calls;
    for (int i = 0; i < kAdministrations / 2; ++i)
        calls += "ChangeSetPropose\tadmin\t{\"table\":\"T\",\"changes\":[{\"op\":\"drop\"}]}\n"
                 "TableCreate\tadmin\tT\t\tK\xC2\xA8V\t1\xC2\xA8"
                 "0\nTableApprovalSet\tadmin\tT\t1\n"
                 "ChangeSetPropose\talice\t{\"table\":\"T\",\"changes\":[{\"op\":\"put\",\"input\":\"held\","
                 "\"output\":\"h\"}]}\nTableApprovalSet\tadmin\tT\t0\n";
    return calls;
}

// Now, as the history's times are written: UTC, to the millisecond.
std::string UtcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(text) + "." + std::to_string(1000 + millis).substr(1) + "Z";
}

TEST_P(WriteRaceTest, ChangeSetsApprovalsAndPrunesAgainstWritersKeepTheHistoryWhole)
{
    constexpr int kPrunes = 4;
    m_component.Release();
    const std::string connection = valmorin::text::Utf16ToUtf8(m_store->connectionString());
    std::vector<ProcessResult> writers(kWriters), prunes(kPrunes);
    ProcessResult administrator;
    std::vector<std::thread> running;
    for (int w = 0; w < kWriters; ++w)
        running.emplace_back([&, w] {
            writers[static_cast<std::size_t>(w)] =
                RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, ChangeSetWriterCalls(w));
        });
    running.emplace_back([&] {
        administrator = RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, ApprovalAdministratorCalls());
    });
    running.emplace_back([&] {
        for (ProcessResult& prune : prunes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            prune = RunProcess({VALMORIN_CLI, "history", "prune", "--before", UtcNow(), "--connection", connection});
        }
    });
    for (std::thread& thread : running) thread.join();

    for (const ProcessResult& writer : writers)
        EXPECT_EQ(Lines(writer.out).size(), static_cast<std::size_t>(kWritesEach / 2)) << writer.err;
    EXPECT_EQ(Lines(administrator.out).size(), static_cast<std::size_t>(5 * kAdministrations / 2)) << administrator.err;
    for (const ProcessResult& prune : prunes) EXPECT_EQ(prune.exitCode, 0) << prune.out << prune.err;

    // The last change the history holds of each correspondence is what the
    // table holds now, and nothing the history says is there is missing.
    const std::string lastChange = "SELECT h.ID_TABLE, h.INPUT, h.NEW_VALUE FROM QM_HISTORY h WHERE h.KIND = 'row' "
                                   "AND h.SEQ = (SELECT MAX(l.SEQ) FROM QM_HISTORY l WHERE l.KIND = 'row' AND "
                                   "l.ID_TABLE = h.ID_TABLE AND l.INPUT = h.INPUT)";
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR v JOIN (" + lastChange +
                              ") h ON h.ID_TABLE = v.ID_TABLE AND h.INPUT = v.INPUT WHERE h.NEW_VALUE IS NULL OR "
                              "h.NEW_VALUE <> COALESCE(v.OUTPUT, '')"),
              Rows{u"0"})
        << "correspondences whose last recorded change is not what they hold";
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM (" + lastChange +
                              ") h WHERE h.NEW_VALUE IS NOT NULL AND NOT EXISTS (SELECT 1 FROM QM_VALMOR v WHERE "
                              "v.ID_TABLE = h.ID_TABLE AND v.INPUT = h.INPUT)"),
              Rows{u"0"})
        << "correspondences gone without their deletion recorded";
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR v JOIN QM_TABLES t ON t.ID_TABLE = v.ID_TABLE WHERE "
                              "t.NOM <> 'GenerationNumbers' AND NOT EXISTS (SELECT 1 FROM QM_HISTORY h WHERE h.KIND = "
                              "'row' AND h.ID_TABLE = v.ID_TABLE AND h.INPUT = v.INPUT) AND EXISTS (SELECT 1 FROM "
                              "QM_HISTORY h WHERE h.KIND = 'table' AND h.OLD_VALUE IS NULL AND h.ID_TABLE = v.ID_TABLE "
                              "AND h.REVISION > (SELECT REVISION FROM QM_HISTORY_START))"),
              Rows{u"0"})
        << "correspondences of a table made after the last prune without a change recorded";
    for (const char* owned : {"QM_VALMOR", "QM_DICO", "QM_APPROVAL"})
        EXPECT_EQ(m_store->Column(std::string("SELECT COUNT(*) FROM ") + owned +
                                  " x WHERE NOT EXISTS (SELECT 1 FROM QM_TABLES t WHERE t.ID_TABLE = x.ID_TABLE)"),
                  Rows{u"0"})
            << owned << " rows of a table gone";
    // A table's number is taken again by the next table made: a set is
    // told from the new table's by a drop proposed after it and applied.
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_CHANGESETS c WHERE c.STATE = 'pending' AND (NOT EXISTS "
                              "(SELECT 1 FROM QM_TABLES t WHERE t.ID_TABLE = c.ID_TABLE) OR EXISTS (SELECT 1 FROM "
                              "QM_CHANGESETS d WHERE d.ID_TABLE = c.ID_TABLE AND d.ID > c.ID AND d.STATE = 'applied' "
                              "AND d.CHANGES LIKE '%\"op\":\"drop\"%'))"),
              Rows{u"0"})
        << "pending change sets of a table gone";
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM (SELECT TIME, LAG(TIME) OVER (ORDER BY REVISION) AS BEFORE_IT "
                              "FROM QM_REVISIONS) x WHERE x.TIME < x.BEFORE_IT"),
              Rows{u"0"})
        << "revision times out of their order";
}

INSTANTIATE_TEST_SUITE_P(Stores, WriteRaceTest, VALMORIN_STORES);

} // namespace
