#include "support/component.h"
#include "support/admin.h"
#include "support/process.h"

#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

class CorrespondencesTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        if (IsSkipped()) return;
        // Table ids past 32767 catch 16-bit reads.
        m_store->Run("INSERT INTO QM_TABLES VALUES (40000, 0, 'T', NULL, 'u0'), (2, 0, 'Other', NULL, NULL);");
    }
    std::u16string List(const Arg& table)
    {
        BstrResult list;
        EXPECT_EQ(m_component->CorrespondanceList(table, &list), S_OK);
        return list.text();
    }
    LONG Exists(const Arg& table, const Arg& input)
    {
        LONG found = 42;
        EXPECT_EQ(m_component->CorrespondanceExists(table, input, &found), S_OK);
        return found;
    }
    LONG TableLastUser(const Arg& user, const Arg& table)
    {
        LONG last = 42;
        EXPECT_EQ(m_component->TableFourEyesIsLastUser(user, table, &last), S_OK);
        return last;
    }
    LONG LastUser(const Arg& user, const Arg& table, const Arg& input)
    {
        LONG last = 42;
        EXPECT_EQ(m_component->CorrespondanceFourEyesIsLastUser(user, table, input, &last), S_OK);
        return last;
    }
    Rows Stored()
    {
        return m_store->Column("SELECT ID_TABLE || ':' || INPUT || '=' || OUTPUT || '@' || "
                               "COALESCE(USER_CODE_LASTACTION, 'null') FROM QM_VALMOR ORDER BY ID_TABLE, INPUT");
    }
};

TEST_P(CorrespondencesTest, ListingEscapesEachFieldByItsOwnRules)
{
    EXPECT_EQ(List(u"T"), u"{\"list\" : []}");
    EXPECT_EQ(List(u"missing"), u"{\"list\" : []}");
    m_store->Run("INSERT INTO QM_VALMOR VALUES (40000, 'a\"b\\c\r\n\t', 'o\\\"\n', 'DOM\\u\"\r\n');"
                 "INSERT INTO QM_VALMOR VALUES (40000, 'x', '', NULL), (40000, 'y', 'z', 'u'), (2, 'no', 'no', NULL);");
    EXPECT_EQ(List(u"T"), u"{\"list\" : [{\"input\": \"a\\\"b\\\\c\\u000d\\u000a\t\", "
                          u"\"output\": \"o\\\\\\\"\\u000a\", "
                          u"\"lastactionuser\": \"DOM\\\\u\\\"\r\n\"},"
                          u"{\"input\": \"x\", \"output\": \"\", \"lastactionuser\": \"\"},"
                          u"{\"input\": \"y\", \"output\": \"z\", \"lastactionuser\": \"u\"}]}");
}

TEST_P(CorrespondencesTest, AListingOfSeveralMegabytesIsWholeAndInOrder)
{
    // Long outputs of quotes: the escaped text of all rows spans several of
    // the blocks the listing is gathered in.
    const std::string quotes(1200, '"');
    std::string rows;
    std::u16string expected = u"{\"list\" : [";
    std::u16string escaped;
    for (int i = 0; i < 1200; ++i) escaped.append(u"\\\"");
    for (int i = 1; i <= 1500; ++i) {
        char input[16];
        std::snprintf(input, sizeof input, "k%04d", i);
        rows.append(i > 1 ? ", " : "").append("(40000, '").append(input).append("', '" + quotes + "', NULL)");
        if (i > 1) expected += u',';
        expected.append(u"{\"input\": \"").append(valmorin::text::Widen(input)).append(u"\", \"output\": \"");
        expected.append(escaped).append(u"\", \"lastactionuser\": \"\"}");
    }
    expected += u"]}";
    m_store->Run("INSERT INTO QM_VALMOR VALUES " + rows + ";");
    EXPECT_TRUE(List(u"T") == expected); // too long to print
}

TEST_P(CorrespondencesTest, WritesRecordTheUserAndMatchTextsAsWritten)
{
    // Apostrophes in every argument are data: each must reach the store and
    // match it exactly as written.
    ASSERT_EQ(m_component->CorrespondanceCreate(Arg(u"D'Arcy"), Arg(u"T"), Arg(u"O'Brien"), Arg(u"it's")), S_OK);
    ASSERT_EQ(m_component->CorrespondanceCreate(Arg(u"u1"), Arg(u"T"), Arg(u"k"), Arg(u"v")), S_OK);
    ASSERT_EQ(m_component->CorrespondanceCreate(Arg(u"u1"), Arg(u"missing"), Arg(u"k"), Arg(u"v")), S_OK);
    EXPECT_EQ(Stored(), (Rows{u"40000:O'Brien=it's@D'Arcy", u"40000:k=v@u1"}));
    EXPECT_EQ(Exists(u"T", u"O'Brien"), 1);
    EXPECT_EQ(Exists(u"T", u"O''Brien"), 0);
    EXPECT_EQ(Exists(u"missing", u"k"), 0);
    EXPECT_EQ(Exists(u"Other", u"k"), 0);

    ASSERT_EQ(m_component->CorrespondanceUpdate(Arg(u"u2"), Arg(u"T"), Arg(u"k"), Arg(u"k"), Arg(u"w")), S_OK);
    ASSERT_EQ(m_component->CorrespondanceUpdate(Arg(u"u'3"), Arg(u"T"), Arg(u"O'Brien"), Arg(u"D'Arcy"), Arg(u"'")),
              S_OK);
    EXPECT_EQ(Stored(), (Rows{u"40000:D'Arcy='@u'3", u"40000:k=w@u2"}));

    ASSERT_EQ(m_component->CorrespondanceDelete(Arg(u"T"), Arg(u"D'Arcy")), S_OK);
    ASSERT_EQ(m_component->CorrespondanceDelete(Arg(u"T"), Arg(u"absent")), S_OK);
    EXPECT_EQ(Stored(), Rows{u"40000:k=w@u2"});
}

TEST_P(CorrespondencesTest, FourEyesAnswersAboutTheLastUserOnly)
{
    m_store->Run("INSERT INTO QM_TABLES VALUES (3, 0, 'Anon', NULL, NULL), (4, 0, 'Q', NULL, 'D''Arcy');"
                 "INSERT INTO QM_VALMOR VALUES (40000, 'k', 'v', 'u0'), (40000, 'n', 'v', NULL),"
                 " (4, 'k', 'v', 'D''Arcy');");
    struct Case {
        const char16_t *user, *table, *input;
        LONG table_answer, correspondence_answer;
    };
    const Case cases[] = {
        {u"u0", u"T", u"k", 1, 1},       {u"u1", u"T", u"k", 0, 0},     {u"U0", u"T", u"k", 0, 0},
        {u"", u"Anon", u"n", 0, 0},      {u"", u"T", u"n", 0, 0},       {u"u0", u"missing", u"k", 0, 0},
        {u"u0", u"T", u"missing", 1, 0}, {u"D'Arcy", u"Q", u"k", 1, 1}, {u"D''Arcy", u"Q", u"k", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(valmorin::text::Utf16ToUtf8(std::u16string(c.user) + u"/" + c.table + u"/" + c.input));
        EXPECT_EQ(TableLastUser(c.user, c.table), c.table_answer);
        EXPECT_EQ(LastUser(c.user, c.table, c.input), c.correspondence_answer);
    }
}

TEST_P(CorrespondencesTest, HostileTextsNeverReshapeAStatement)
{
    m_store->Run("INSERT INTO QM_VALMOR VALUES (40000, 'k', 'v', 'u0'), (2, 'k', 'v', 'u0');");
    const std::u16string hostile[] = {u"'); DELETE FROM QM_VALMOR; --",
                                      u"N'",
                                      u"''",
                                      u"' OR '1'='1",
                                      u"\\'; DROP TABLE QM_TABLES; --\\",
                                      u"\x01\x1f\x7f\t\r\n",
                                      u"\U0001F600 \u00A8 \u2028",
                                      u"k' --"};
    const Rows before = StoreDump(*m_store);
    for (const std::u16string& text : hostile) {
        SCOPED_TRACE(valmorin::text::Utf16ToUtf8(text));
        // Calls that match nothing change nothing, whichever argument carries the text.
        EXPECT_EQ(m_component->CorrespondanceDelete(Arg(text), Arg(u"k")), S_OK);
        EXPECT_EQ(m_component->CorrespondanceDelete(Arg(u"T"), Arg(text)), S_OK);
        EXPECT_EQ(m_component->CorrespondanceCreate(Arg(text), Arg(text), Arg(text), Arg(text)), S_OK);
        EXPECT_EQ(m_component->CorrespondanceUpdate(Arg(text), Arg(u"T"), Arg(text), Arg(text), Arg(text)), S_OK);
        EXPECT_EQ(m_component->CorrespondanceUpdate(Arg(u"u"), Arg(text), Arg(u"k"), Arg(text), Arg(text)), S_OK);
        EXPECT_EQ(m_component->TableDelete(Arg(text)), S_OK);
        EXPECT_EQ(Exists(text, u"k"), 0);
        EXPECT_EQ(LastUser(text, u"T", u"k"), 0);
        EXPECT_EQ(TableLastUser(text, u"T"), 0);
        EXPECT_EQ(List(text), u"{\"list\" : []}");
        EXPECT_EQ(StoreDump(*m_store), before);

        // Stored, the text comes back unchanged and is found by itself.
        ASSERT_EQ(m_component->CorrespondanceCreate(Arg(text), Arg(u"T"), Arg(text), Arg(text)), S_OK);
        EXPECT_EQ(m_store->Column("SELECT INPUT FROM QM_VALMOR WHERE USER_CODE_LASTACTION = INPUT AND "
                                  "OUTPUT = INPUT"),
                  Rows{text});
        EXPECT_EQ(Exists(u"T", text), 1);
        EXPECT_EQ(LastUser(text, u"T", text), 1);
        ASSERT_EQ(m_component->CorrespondanceDelete(Arg(u"T"), Arg(text)), S_OK);
        EXPECT_EQ(StoreDump(*m_store), before);
    }
}

TEST_P(CorrespondencesTest, FailuresGiveAnEmptyListAndZero)
{
    m_store->Run("DROP TABLE QM_VALMOR;");
    BstrResult list;
    EXPECT_EQ(m_component->CorrespondanceList(Arg(u"T"), &list), MakeHResult(0x80040E14));
    EXPECT_EQ(list.text(), u"");
    LONG found = 42;
    EXPECT_EQ(m_component->CorrespondanceExists(Arg(u"T"), Arg(u"k"), &found), MakeHResult(0x80040E14));
    EXPECT_EQ(found, 0);
    found = 42;
    EXPECT_EQ(m_component->CorrespondanceFourEyesIsLastUser(Arg(u"u"), Arg(u"T"), Arg(u"k"), &found),
              MakeHResult(0x80040E14));
    EXPECT_EQ(found, 0);
}

TEST_P(CorrespondencesTest, ARoundTripThroughTheCommandsBatch)
{
    TempDir home;
    const std::string input = "TableCreate\talice\tRates\tExchange rates\tFROM¨TO¨RATE\t1¨1¨0\n"
                              "CorrespondanceCreate\talice\tRates\tEUR|CHF\t0.94\n"
                              "CorrespondanceCreate\talice\tRates\tEUR|USD\t1.08\n"
                              "CorrespondanceFourEyesIsLastUser\tbob\tRates\tEUR|USD\n"
                              "CorrespondanceFourEyesIsLastUser\talice\tRates\tEUR|USD\n"
                              "TableFourEyesIsLastUser\tbob\tRates\n"
                              "CorrespondanceUpdate\tbob\tRates\tEUR|USD\tEUR|USD\t1.09\n"
                              "CorrespondanceFourEyesIsLastUser\tbob\tRates\tEUR|USD\n"
                              "CorrespondanceList\tRates\n"
                              "TableColumns\tRates\n";
    const ProcessResult result =
        RunProcess({VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(m_store->connectionString()), "--batch"},
                   input, {{"XDG_DATA_HOME", (home.path() / "data").string()}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(
        result.out,
        "OK\t\nOK\t\nOK\t\nOK\t0\nOK\t1\nOK\t0\nOK\t\nOK\t1\n"
        "OK\t{\"list\" : [{\"input\": \"EUR|CHF\", \"output\": \"0.94\", \"lastactionuser\": \"alice\"},"
        "{\"input\": \"EUR|USD\", \"output\": \"1.09\", \"lastactionuser\": \"bob\"}]}\n"
        "OK\t{\"list\" : [{\"id\": \"1\", \"name\": \"FROM\", \"inout\": \"1\"},{\"id\": \"2\", \"name\": \"TO\", "
        "\"inout\": \"1\"},{\"id\": \"3\", \"name\": \"RATE\", \"inout\": \"0\"}]}\n");
}

// The same INPUT stands in two tables: every call on one of them reads and
// writes that table's row alone.
// Fault caught: a statement whose table condition is not tied to the
// table (an update, a delete, a four-eyes or existence check that reaches
// the same INPUT in every table).
TEST_P(CorrespondencesTest, TheSameInputInAnotherTableIsNeverReached)
{
    m_store->Run("INSERT INTO QM_VALMOR VALUES (40000, 'k', 't', 'alice'), (2, 'k', 'o', 'bob');");
    const Rows other = {u"2:k=o@bob"};
    const auto otherRow = [&] {
        return m_store->Column("SELECT ID_TABLE || ':' || INPUT || '=' || OUTPUT || '@' || USER_CODE_LASTACTION "
                               "FROM QM_VALMOR WHERE ID_TABLE = 2");
    };
    EXPECT_EQ(LastUser(u"bob", u"T", u"k"), 0);
    EXPECT_EQ(LastUser(u"alice", u"Other", u"k"), 0);
    EXPECT_EQ(m_component->CorrespondanceUpdate(Arg(u"carol"), Arg(u"T"), Arg(u"k"), Arg(u"k"), Arg(u"t2")), S_OK);
    EXPECT_EQ(otherRow(), other);
    EXPECT_EQ(m_component->CorrespondanceDelete(Arg(u"T"), Arg(u"k")), S_OK);
    EXPECT_EQ(otherRow(), other);
    EXPECT_EQ(Exists(u"T", u"k"), 0);
    LONG added = 0;
    EXPECT_EQ(m_component->transadd(Arg(u"T"), Arg(u"k"), Arg(u"t3"), &added), S_OK);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(m_component->CorrespondanceCreate(Arg(u"dave"), Arg(u"Other"), Arg(u"k"), Arg(u"o2")),
              m_component->CorrespondanceCreate(Arg(u"dave"), Arg(u"Other"), Arg(u"k"), Arg(u"o2")));
    EXPECT_EQ(otherRow(), other) << "an existing row was written over";
    LONG deleted = 0;
    EXPECT_EQ(m_component->transdel(Arg(u"T"), Arg(u"k"), &deleted), S_OK);
    EXPECT_EQ(otherRow(), other);
    EXPECT_EQ(Exists(u"Other", u"k"), 1);
}

INSTANTIATE_TEST_SUITE_P(Stores, CorrespondencesTest, VALMORIN_STORES);

} // namespace
