#include "platform/com/com_error.h"
#include "support/memory_log.h"
#include "support/component.h"

#include <gtest/gtest.h>

namespace {

using Rows = std::vector<std::u16string>;

class EntriesTest : public StoreTest {
protected:
    HRESULT Add(const std::u16string& table, const std::u16string& input, const std::u16string& output, LONG& result)
    {
        result = 42;
        return m_component->transadd(CComBSTR(table).get(), CComBSTR(input).get(), CComBSTR(output).get(), &result);
    }
    HRESULT Delete(const std::u16string& table, const std::u16string& input, LONG& result)
    {
        result = 42;
        return m_component->transdel(CComBSTR(table).get(), CComBSTR(input).get(), &result);
    }
};

TEST_P(EntriesTest, AddCreatesAMissingTableWithItsTwoColumns)
{
    LONG result = 0;
    EXPECT_EQ(Add(u"Currencies", u"EUR", u"Euro", result), S_OK);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(m_store->Column("SELECT ID_TABLE || '/' || NB_COLS || '/' || NOM || '/' || DESCRIPTION || '/' || "
                              "COALESCE(USER_CODE_LASTACTION, 'null') FROM QM_TABLES"),
              Rows{u"1/2/Currencies/Transadd Creation/null"});
    EXPECT_EQ(m_store->Column("SELECT ID_TABLE || ':' || ID_COL || ':' || NAME_COL || ':' || INOUT FROM QM_DICO "
                              "ORDER BY ID_COL"),
              (Rows{u"1:1:INPUT:1", u"1:2:OUTPUT:0"}));
    EXPECT_EQ(m_store->Column("SELECT OUTPUT FROM QM_VALMOR WHERE INPUT = 'EUR'"), Rows{u"Euro"});
}

TEST_P(EntriesTest, NewIdentifiersFollowTheLargestAndColumnsFollowTheirTable)
{
    m_store->Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'a'), (2, 'b'), (7, 'c');"
                 "INSERT INTO QM_DICO (ID_TABLE, ID_COL, NAME_COL, INOUT) VALUES (1, 9, 'x', 1);");
    LONG result = 0;
    EXPECT_EQ(Add(u"new", u"k", u"v", result), S_OK);
    EXPECT_EQ(m_store->Column("SELECT ID_TABLE FROM QM_TABLES WHERE NOM = 'new'"), Rows{u"8"});
    EXPECT_EQ(m_store->Column("SELECT ID_COL FROM QM_DICO WHERE ID_TABLE = 8 ORDER BY 1"), (Rows{u"1", u"2"}));
}

TEST_P(EntriesTest, AddNeverUpdatesAndCountsExactlyOneAsPresent)
{
    LONG result = 0;
    Add(u"T", u"k", u"first", result);
    EXPECT_EQ(Add(u"T", u"k", u"second", result), S_OK);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(m_store->Column("SELECT OUTPUT FROM QM_VALMOR"), Rows{u"first"});
}

TEST_P(EntriesTest, TableNamesUpToThirtyOneUnitsAreTakenWhole)
{
    const std::u16string longest(31, u'n');
    LONG result = 0;
    EXPECT_EQ(Add(longest, u"k", u"v", result), S_OK);
    EXPECT_EQ(m_store->Column("SELECT length(NOM) FROM QM_TABLES"), Rows{u"31"});

    EXPECT_EQ(Add(longest + u"n", u"k", u"v", result), E_INVALIDARG);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_TABLES"), Rows{u"1"});
}

TEST_P(EntriesTest, DeleteReportsWhatItRemoved)
{
    LONG result = 0;
    {
        const MemoryLog log;
        EXPECT_EQ(Delete(u"T", u"missing", result), S_FALSE);
        EXPECT_EQ(result, 0);
        IErrorInfo* info = nullptr;
        EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
        EXPECT_EQ(log.records().front().message, u"transdel(T,missing)");
    }

    Add(u"T", u"k", u"v", result);
    EXPECT_EQ(Delete(u"T", u"k", result), S_OK);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR"), Rows{u"0"});
}

TEST_P(EntriesTest, ValuesThatCouldReshapeAStatementChangeNothing)
{
    LONG result = 0;
    Add(u"T", u"keep", u"v", result);
    EXPECT_EQ(Delete(u"T", u"x') OR ('1'='1", result), MakeHResult(0x80040E14));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Add(u"T", u"k'", u"v", result), MakeHResult(0x80040E14));
    EXPECT_EQ(Add(u"T'", u"k", u"v", result), MakeHResult(0x80040E14));
    EXPECT_EQ(m_store->Column("SELECT INPUT FROM QM_VALMOR"), Rows{u"keep"});
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_TABLES"), Rows{u"1"});
}

TEST_P(EntriesTest, AFailingCreationLeavesNoTransactionOpen)
{
    m_store->Run("ALTER TABLE QM_DICO RENAME TO QM_DICO_AWAY;");
    LONG result = 0;
    EXPECT_EQ(Add(u"T", u"k", u"v", result), MakeHResult(0x80040E14));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_TABLES"), Rows{u"0"}); // rolled back
    m_store->Run("ALTER TABLE QM_DICO_AWAY RENAME TO QM_DICO;");
    EXPECT_EQ(Add(u"T", u"k", u"v", result), S_OK); // a new transaction can begin
    EXPECT_EQ(result, 1);
}

INSTANTIATE_TEST_SUITE_P(Stores, EntriesTest, VALMORIN_STORES);

// Eight writers adding the same inputs to a table none of them finds: one
// table is created, every call is told its entry is there, and no INPUT is
// stored twice.
class EntriesAcrossProcesses : public ::testing::TestWithParam<StoreKind> {};

TEST_P(EntriesAcrossProcesses, CollidingAddsCreateOneTableAndStoreEachInputOnce)
{
    SKIP_WITHOUT_STORE(GetParam());
    TestStore store(GetParam());
    std::string calls;
    for (int i = 0; i < 250; ++i) calls += "transadd\tShared\tk" + std::to_string(i % 125) + "\tv\n";
    for (const ProcessResult& result : RunBatchesAtOnce(store, 8, calls)) {
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::size_t lines = 0;
        for (std::size_t from = 0, end; (end = result.out.find('\n', from)) != std::string::npos; from = end + 1) {
            EXPECT_EQ(result.out.substr(from, end - from), "OK\t1");
            ++lines;
        }
        EXPECT_EQ(lines, 250u);
    }
    EXPECT_EQ(store.Column("SELECT COUNT(*) || '/' || COUNT(DISTINCT INPUT) FROM QM_VALMOR"), Rows{u"125/125"});
    EXPECT_EQ(store.Column("SELECT COUNT(*) FROM QM_TABLES"), Rows{u"1"});
    EXPECT_EQ(store.Column("SELECT COUNT(*) FROM QM_DICO"), Rows{u"2"});
}

INSTANTIATE_TEST_SUITE_P(Stores, EntriesAcrossProcesses, VALMORIN_STORES);

} // namespace
