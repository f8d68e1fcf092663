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

INSTANTIATE_TEST_SUITE_P(Stores, WriteRaceTest, VALMORIN_STORES);

} // namespace
