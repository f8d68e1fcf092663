#include "support/component.h"
#include "support/admin.h"

#include "valmorin/com/errorinfo.h"

#include <gtest/gtest.h>

namespace {

class TablesTest : public StoreTest {
protected:
    std::u16string List()
    {
        BstrResult list;
        EXPECT_EQ(m_component->TableList(&list), S_OK);
        return list.text();
    }
    std::u16string Columns(const Arg& name)
    {
        BstrResult list;
        EXPECT_EQ(m_component->TableColumns(name, &list), S_OK);
        return list.text();
    }
    std::u16string Description(const Arg& name)
    {
        BstrResult text;
        EXPECT_EQ(m_component->TableDescription(name, &text), S_OK);
        return text.text();
    }
    LONG Exists(const Arg& name)
    {
        LONG found = 42;
        EXPECT_EQ(m_component->TableExists(name, &found), S_OK);
        return found;
    }
    HRESULT Create(const Arg& name, const Arg& columns, const Arg& types)
    {
        return m_component->TableCreate(Arg(u"u1"), name, Arg(u"d"), columns, types);
    }
    Rows ColumnRows(const std::string& table = "T")
    {
        return m_store->Column("SELECT ID_COL || ':' || NAME_COL || ':' || INOUT FROM QM_DICO WHERE ID_TABLE IN "
                               "(SELECT ID_TABLE FROM QM_TABLES WHERE NOM = '" +
                               table + "') ORDER BY ID_COL");
    }
};

TEST_P(TablesTest, ListingsKeepTheirEnvelopeOrderAndEscaping)
{
    EXPECT_EQ(List(), u"{\"list\" : []}");
    EXPECT_EQ(Columns(u"missing"), u"{\"list\" : []}");

    // Identifiers past 32767 catch 16-bit reads; B is stored before A to
    // catch a listing in storage order.
    m_store->Run("INSERT INTO QM_TABLES VALUES (40000, 0, 'B', 'say \"hi\"', 'DOMAIN\\jdoe\"x');"
                 "INSERT INTO QM_TABLES VALUES (2, 0, 'A', NULL, NULL);"
                 "INSERT INTO QM_DICO VALUES (40000, 1, 'K\\1 \"q\"', 1), (40000, 70000, 'V', 0), (40000, 2, 'K2', 1),"
                 " (40000, 3, 'odd', 5);");
    EXPECT_EQ(List(), u"{\"list\" : [{\"id\": \"2\", \"name\": \"A\", \"description\": \"\", \"input\": \"0\", "
                      u"\"output\": \"0\", \"lastactionuser\": \"\"},{\"id\": \"40000\", \"name\": \"B\", "
                      u"\"description\": \"say \\\"hi\\\"\", \"input\": \"2\", \"output\": \"1\", "
                      u"\"lastactionuser\": \"DOMAIN\\\\jdoe\\\"x\"}]}");
    EXPECT_EQ(Columns(u"B"), u"{\"list\" : [{\"id\": \"1\", \"name\": \"K\\1 \\\"q\\\"\", \"inout\": \"1\"},"
                             u"{\"id\": \"2\", \"name\": \"K2\", \"inout\": \"1\"},"
                             u"{\"id\": \"3\", \"name\": \"odd\", \"inout\": \"5\"},"
                             u"{\"id\": \"70000\", \"name\": \"V\", \"inout\": \"0\"}]}");
    EXPECT_EQ(Columns(u"A"), u"{\"list\" : []}");
    EXPECT_EQ(Description(u"B"), u"say \\\"hi\\\"");
}

TEST_P(TablesTest, NamesAreLookedUpAsWrittenApostrophesIncluded)
{
    m_store->Run("INSERT INTO QM_TABLES VALUES (70000, 0, 'O''Neil', 'Irish', NULL);"
                 "INSERT INTO QM_DICO VALUES (70000, 1, 'K', 1);");
    struct Case {
        std::u16string name;
        LONG exists;
        std::u16string description;
    };
    for (const Case& c :
         {Case{u"O'Neil", 1, u"Irish"}, Case{u"O''Neil", 0, u""}, Case{u"O", 0, u""}, Case{u"') OR ('1'='1", 0, u""}}) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        EXPECT_EQ(Exists(c.name), c.exists);
        EXPECT_EQ(Description(c.name), c.description);
        EXPECT_EQ(Columns(c.name) != u"{\"list\" : []}", c.exists == 1);
    }
    EXPECT_EQ(Exists(std::nullopt), 0);
}

TEST_P(TablesTest, FailuresGiveAnEmptyResultAndZero)
{
    m_store->Run("DROP TABLE QM_DICO;");
    BstrResult list;
    EXPECT_EQ(m_component->TableColumns(Arg(u"T"), &list), MakeHResult(0x80040E14));
    EXPECT_EQ(list.text(), u"");
    m_store->Run("DROP TABLE QM_VALMOR; DROP TABLE QM_TABLES;");
    LONG found = 42;
    EXPECT_EQ(m_component->TableExists(Arg(u"T"), &found), MakeHResult(0x80040E14));
    EXPECT_EQ(found, 0);
}

TEST_P(TablesTest, CreateNumbersColumnsInListOrder)
{
    struct Case {
        std::u16string columns, types;
        Rows stored;
    };
    const Case cases[] = {
        {u"IN¨OUT", u"1¨0", {u"1:IN:1", u"2:OUT:0"}},
        {u"a¨¨b", u"1¨0¨0", {u"1:a:1", u"2::0", u"3:b:0"}},
        {u"a¨b¨", u"1¨0¨1", {u"1:a:1", u"2:b:0"}},
        {u"¨l'an", u"0¨1", {u"1::0", u"2:l'an:1"}},
        {u"", u"", {}},
        {u"¨¨", u"junk", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.columns.begin(), c.columns.end()));
        ASSERT_EQ(Create(u"T", c.columns, c.types), S_OK);
        EXPECT_EQ(ColumnRows(), c.stored);
        ASSERT_EQ(m_component->TableDelete(Arg(u"T")), S_OK);
    }
    ASSERT_EQ(m_component->TableCreate(Arg(u"D'Arcy"), Arg(u"l'an"), Arg(u"it's"), Arg(u""), Arg(u"")), S_OK);
    EXPECT_EQ(m_store->Column("SELECT ID_TABLE || '/' || NB_COLS || '/' || NOM || '/' || DESCRIPTION || '/' || "
                              "USER_CODE_LASTACTION FROM QM_TABLES"),
              Rows{u"1/0/l'an/it's/D'Arcy"});
}

TEST_P(TablesTest, CreateRefusesBadColumnListsBeforeWriting)
{
    m_store->Run("INSERT INTO QM_TABLES VALUES (1, 0, 'Keep', NULL, NULL);");
    const Rows before = StoreDump(*m_store);
    struct Case {
        std::u16string columns, types, complaint;
    };
    const Case cases[] = {
        {u"a¨b", u"1", u"ColumnsTypeToAdd has 1 items for 2 names in ColumnsNameToAdd."},
        {u"a¨b", u"1¨¨0", u"ColumnsTypeToAdd item 2 is \"\""},
        {u"a", u"1) --", u"ColumnsTypeToAdd item 1 is \"1) --\""},
        {u"a", u"01", u"ColumnsTypeToAdd item 1 is \"01\""},
        {u"a", u"2", u"ColumnsTypeToAdd item 1 is \"2\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.types.begin(), c.types.end()));
        EXPECT_EQ(Create(u"T", c.columns, c.types), E_INVALIDARG);
        CComPtr<IErrorInfo> info;
        ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
        CComBSTR description;
        info->GetDescription(&description);
        EXPECT_TRUE(description.view().starts_with(c.complaint))
            << std::string(description.view().begin(), description.view().end());
        EXPECT_EQ(StoreDump(*m_store), before);
    }
}

TEST_P(TablesTest, AFailingColumnInsertLeavesNothingBehind)
{
    RefuseWrites(*m_store, "INSERT", "QM_DICO", "NEW.ID_COL = 2");
    EXPECT_TRUE(FAILED(Create(u"T", u"a¨b", u"1¨0")));
    EXPECT_EQ(StoreDump(*m_store), Rows{});
    EXPECT_EQ(Create(u"T", u"a", u"1"), S_OK); // no transaction was left open
    EXPECT_EQ(ColumnRows(), Rows{u"1:a:1"});
}

TEST_P(TablesTest, DeleteRemovesOneTableWhole)
{
    m_store->Run("INSERT INTO QM_TABLES VALUES (1, 0, 'T', NULL, NULL), (2, 0, 'Other', NULL, NULL);"
                 "INSERT INTO QM_DICO VALUES (1, 1, 'K', 1), (2, 1, 'K', 1);"
                 "INSERT INTO QM_VALMOR VALUES (1, 'k', 'v', NULL), (2, 'k', 'v', NULL);");
    ASSERT_EQ(m_component->TableDelete(Arg(u"T")), S_OK);
    EXPECT_EQ(m_store->Column("SELECT 'T' || ID_TABLE || NOM FROM QM_TABLES UNION ALL SELECT 'D' || ID_TABLE "
                              "FROM QM_DICO UNION ALL SELECT 'V' || ID_TABLE FROM QM_VALMOR"),
              (Rows{u"T2Other", u"D2", u"V2"}));
    const Rows remaining = StoreDump(*m_store);
    EXPECT_EQ(m_component->TableDelete(Arg(u"T")), S_OK);
    EXPECT_EQ(m_component->TableDelete(Arg(u"x') OR ('1'='1")), S_OK);
    EXPECT_EQ(StoreDump(*m_store), remaining);
}

INSTANTIATE_TEST_SUITE_P(Stores, TablesTest, VALMORIN_STORES);

} // namespace
