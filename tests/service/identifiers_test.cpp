#include "platform/text/utf.h"
#include "support/seams.h"
#include "support/process.h"
#include "support/days.h"
#include "support/component.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

using Rows = std::vector<std::u16string>;

class IdentifiersTest : public StoreTest {
protected:
    std::u16string Running(const std::u16string& name, HRESULT expected = S_OK)
    {
        BstrResult result;
        EXPECT_EQ(m_component->transIdent(CComBSTR(name).get(), &result), expected);
        return result.text();
    }
    std::u16string Daily(const std::u16string& name, HRESULT expected = S_OK)
    {
        BstrResult result;
        EXPECT_EQ(m_component->transDayIdent(CComBSTR(name).get(), &result), expected);
        return result.text();
    }
    Rows State(const std::string& name)
    {
        return m_store->Column("SELECT OUTPUT FROM QM_VALMOR WHERE INPUT = '" + name + "'");
    }
    void SetState(const std::string& name, const std::string& state)
    {
        m_store->Run("UPDATE QM_VALMOR SET OUTPUT = " + state + " WHERE INPUT = '" + name + "'");
    }
};

TEST_P(IdentifiersTest, RunningCounterStartsAtOneAndReadsPastTheFirstCharacter)
{
    EXPECT_EQ(Running(u"inv"), u"1");
    EXPECT_EQ(State("inv"), Rows{u"|1"});
    EXPECT_EQ(m_store->Column("SELECT NAME_COL FROM QM_DICO ORDER BY ID_COL"), (Rows{u"INPUT", u"OUTPUT"}));
    EXPECT_EQ(m_store->Column("SELECT NOM FROM QM_TABLES"), Rows{u"GenerationNumbers"});
    EXPECT_EQ(Running(u"inv"), u"2");
    EXPECT_EQ(State("inv"), Rows{u"|2"});
    SetState("inv", "'|41'");
    EXPECT_EQ(Running(u"inv"), u"42");
    SetState("inv", "'x41'");
    EXPECT_EQ(Running(u"inv"), u"42");
    SetState("inv", "''");
    EXPECT_EQ(Running(u"inv"), u"1");
    SetState("inv", "NULL");
    EXPECT_EQ(Running(u"inv"), u"1");
}

TEST_P(IdentifiersTest, DailyCounterRestartsOnANewDayOfTheYear)
{
    {
        FixedLocalTime fifthOfFebruary(Noon(2026, 2, 5));
        EXPECT_EQ(Daily(u"day"), u"1");
        EXPECT_EQ(State("day"), Rows{u"036|1"});
        EXPECT_EQ(Daily(u"day"), u"2");
        EXPECT_EQ(State("day"), Rows{u"036|2"});
    }
    {
        FixedLocalTime sixth(Noon(2026, 2, 6));
        EXPECT_EQ(Daily(u"day"), u"1");
        EXPECT_EQ(State("day"), Rows{u"037|1"});
    }
    {
        FixedLocalTime sameDayLaterYear(Noon(2027, 2, 6)); // only the day of the year is kept
        EXPECT_EQ(Daily(u"day"), u"2");
        FixedLocalTime leapYear(Noon(2028, 12, 31));
        EXPECT_EQ(Daily(u"day"), u"1");
        EXPECT_EQ(State("day"), Rows{u"366|1"});
    }
    FixedLocalTime fifth(Noon(2026, 2, 5));
    SetState("day", "'036|'");
    EXPECT_EQ(Daily(u"day"), u"1");
    SetState("day", "'036'");
    EXPECT_EQ(Daily(u"day"), u"1");
}

TEST_P(IdentifiersTest, BothMethodsShareOneNameSpace)
{
    FixedLocalTime fifth(Noon(2026, 2, 5));
    Daily(u"shared");
    SetState("shared", "'036|7'");
    EXPECT_EQ(Running(u"shared"), u"37"); // 36|7 read as 36
    EXPECT_EQ(State("shared"), Rows{u"|37"});
    SetState("shared", "'|5'");
    EXPECT_EQ(Daily(u"shared"), u"1"); // no day in |5
}

TEST_P(IdentifiersTest, TheEndOfTheRangeFailsAndKeepsTheState)
{
    Running(u"top");
    SetState("top", "'|2147483647'");
    EXPECT_EQ(Running(u"top", DISP_E_OVERFLOW), u"");
    EXPECT_EQ(State("top"), Rows{u"|2147483647"});
    SetState("top", "'|99999999999'"); // read as the C runtime does: held at the top
    EXPECT_EQ(Running(u"top", DISP_E_OVERFLOW), u"");
    EXPECT_EQ(Running(u"it's", MakeHResult(0x80040E14)), u"");
    EXPECT_EQ(Running(u"top2"), u"1"); // the failures left no transaction behind
}

class IdentifiersAcrossProcesses : public ::testing::TestWithParam<StoreKind> {};

TEST_P(IdentifiersAcrossProcesses, FourProcessesDrawDistinctNumbersWithoutGaps)
{
    SKIP_WITHOUT_STORE(GetParam());
    TestStore store(GetParam());
    std::string calls;
    for (int i = 0; i < 500; ++i) calls += "transIdent\tshared\n";
    const std::vector<ProcessResult> results = RunBatchesAtOnce(store, 4, calls);

    std::multiset<int> numbers;
    for (const auto& result : results) {
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::size_t from = 0;
        for (std::size_t end; (end = result.out.find('\n', from)) != std::string::npos; from = end + 1) {
            const std::string line = result.out.substr(from, end - from);
            ASSERT_TRUE(line.starts_with("OK\t")) << line;
            numbers.insert(std::stoi(line.substr(3)));
        }
    }
    ASSERT_EQ(numbers.size(), 2000u);
    int expected = 1;
    for (int number : numbers) EXPECT_EQ(number, expected++);
}

INSTANTIATE_TEST_SUITE_P(Stores, IdentifiersTest, VALMORIN_STORES);
INSTANTIATE_TEST_SUITE_P(Stores, IdentifiersAcrossProcesses, VALMORIN_STORES);

} // namespace
