// The command's --batch session as a program driving it sees it: answers
// come while the input stays open, and lines are whole whatever the size
// of the blocks they arrive in.
#include "support/process.h"
#include "support/store.h"
#include "support/temp_dir.h"

#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace std::chrono_literals;

class BatchSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_store.Run(
            "INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'Pays');"
            "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'FR', 'France'), (1, 'DE', 'Deutschland');");
    }
    std::vector<std::string> Command() const
    {
        return {VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(m_store.connectionString()), "--batch"};
    }
    std::map<std::string, std::string> Environment() const
    {
        return {{"XDG_DATA_HOME", (m_home.path() / "data").string()}};
    }

    TempDir m_home;
    TestStore m_store;
};

// Fault caught: answers kept in the output buffer until the input ends, so
// that a program which waits for each answer before its next line waits
// for ever.
TEST_F(BatchSessionTest, AnswersEachLineBeforeTheNextIsSent)
{
    Conversation batch(Command(), Environment());
    batch.Send("translate\tPays\tFR\n");
    EXPECT_EQ(batch.ReadLine(20s), "OK\tFrance");
    batch.Send("bogus\ntranslate\tPays\tDE\n");
    EXPECT_TRUE(batch.ReadLine(20s).value_or("").starts_with("ERROR\t"));
    EXPECT_EQ(batch.ReadLine(20s), "OK\tDeutschland");
    EXPECT_EQ(batch.Finish(), 2);
}

// Faults caught: a line cut where one block of input ends and the next
// begins, answered as two; the last line lost when no line feed ends it;
// answers lost when more than one block of them is written.
TEST_F(BatchSessionTest, LinesAcrossInputBlocksAndALastLineWithoutLineFeed)
{
    constexpr int kLines = 9000; // about 170 KB, several blocks each way
    std::string input;
    for (int i = 0; i < kLines; ++i) input += i % 2 ? "translate\tPays\tDE\r\n" : "translate\tPays\tFR\n";
    input += "translate\tPays\tFR";
    const ProcessResult result = RunProcess(Command(), input, Environment());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::string expected;
    for (int i = 0; i <= kLines; ++i) expected += i % 2 ? "OK\tDeutschland\n" : "OK\tFrance\n";
    EXPECT_EQ(result.out.size(), expected.size());
    EXPECT_TRUE(result.out == expected)
        << "the first difference is at byte "
        << std::mismatch(result.out.begin(), result.out.end(), expected.begin(), expected.end()).first -
               result.out.begin();
}

} // namespace
