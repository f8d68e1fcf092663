#include "support/component.h"
#include "support/admin.h"

#include <gtest/gtest.h>

namespace {

// Table T (id 40000, past a 16-bit read) and table Other (id 2) start with
// the same columns and rows; only T may change.
struct UpdateCase {
    const char* title;
    std::string columns; // VALUES rows (ID_COL, NAME_COL, INOUT)
    std::string values;  // VALUES rows (INPUT, OUTPUT)
    std::optional<std::u16string> description;
    std::u16string addNames, addTypes, updIds, updNames, delIds;
    Rows expectedColumns; // ID_COL:NAME_COL:INOUT
    Rows expectedValues;  // INPUT=OUTPUT
};

class TableUpdateTest : public StoreTest {
protected:
    void Fill(const std::string& columns, const std::string& values)
    {
        UpdateCase c{};
        c.columns = columns;
        c.values = values;
        Fill(c);
    }
    void Fill(const UpdateCase& c)
    {
        m_store->Run("DELETE FROM QM_VALMOR; DELETE FROM QM_DICO; DELETE FROM QM_TABLES;"
                     "INSERT INTO QM_TABLES VALUES (40000, 0, 'T', 'old', 'u0'), (2, 0, 'Other', 'old', 'u0');");
        for (const char* id : {"40000", "2"}) {
            if (!c.columns.empty())
                m_store->Run("INSERT INTO QM_DICO SELECT " + std::string(id) +
                             ", column1, column2, column3 FROM (VALUES " + c.columns + ") AS c;");
            if (!c.values.empty())
                m_store->Run("INSERT INTO QM_VALMOR SELECT " + std::string(id) +
                             ", column1, column2, 'u0' FROM (VALUES " + c.values + ") AS v;");
        }
    }
    HRESULT Update(const UpdateCase& c, const std::u16string& name = u"T")
    {
        const Arg description = c.description ? Arg(*c.description) : Arg(std::nullopt);
        return m_component->TableUpdate(Arg(u"u1"), Arg(u"T"), Arg(name), description, Arg(c.addNames), Arg(c.addTypes),
                                        Arg(c.updIds), Arg(c.updNames), Arg(c.delIds));
    }
    Rows Columns(int id)
    {
        return m_store->Column("SELECT ID_COL || ':' || NAME_COL || ':' || INOUT FROM QM_DICO WHERE ID_TABLE = " +
                               std::to_string(id) + " ORDER BY ID_COL");
    }
    Rows Values(int id)
    {
        return m_store->Column("SELECT INPUT || '=' || OUTPUT FROM QM_VALMOR WHERE ID_TABLE = " + std::to_string(id) +
                               " ORDER BY INPUT");
    }
};

const std::string kKab = "(1, 'K', 1), (2, 'A', 0), (3, 'B', 0)";

TEST_P(TableUpdateTest, ColumnsAndStoredValuesChangeTogether)
{
    const UpdateCase cases[] = {
        {"the worked example",
         kKab,
         "('k1', 'a1|b1')",
         u"d",
         u"C¨L",
         u"0¨1",
         u"",
         u"",
         u"2",
         {u"1:K:1", u"3:B:0", u"4:C:0", u"5:L:1"},
         {u"k1|=b1|"}},
        {"nothing but the table row",
         kKab,
         "('k1', 'a1|')",
         std::nullopt,
         u"",
         u"",
         u"",
         u"",
         u"",
         {u"1:K:1", u"2:A:0", u"3:B:0"},
         {u"k1=a1|"}},
        {"renames, the first matching id counting",
         kKab,
         "('k1', 'a1|b1')",
         u"d",
         u"",
         u"",
         u"2¨9¨2",
         u"A'x¨y¨z",
         u"",
         {u"1:K:1", u"2:A'x:0", u"3:B:0"},
         {u"k1=a1|b1"}},
        {"the only input column deleted",
         "(1, 'K', 1), (2, 'V', 0)",
         "('k1', 'v1')",
         u"d",
         u"",
         u"",
         u"",
         u"",
         u"1",
         {u"2:V:0"},
         {u"=v1"}},
        {"an input column replaced",
         "(1, 'K', 1), (2, 'V', 0)",
         "('k1', 'v1')",
         u"d",
         u"N",
         u"1",
         u"",
         u"",
         u"1",
         {u"2:V:0", u"3:N:1"},
         {u"|=v1"}},
        {"columns added to a table without column rows",
         "",
         "('k', 'v')",
         u"d",
         u"X¨Y¨Z",
         u"1¨0¨0",
         u"",
         u"",
         u"",
         {u"0:X:1", u"1:Y:0", u"2:Z:0"},
         {u"k|=v||"}},
        {"an empty first output kept in place",
         kKab,
         "('k1', '|b1')",
         u"d",
         u"",
         u"",
         u"",
         u"",
         u"1",
         {u"2:A:0", u"3:B:0"},
         {u"=|b1"}},
        {"a missing column deleted: trailing empty values drop",
         kKab,
         "('k|', 'a||')",
         u"d",
         u"",
         u"",
         u"",
         u"",
         u"7",
         {u"1:K:1", u"2:A:0", u"3:B:0"},
         {u"k=a"}},
        {"several columns deleted by one list",
         kKab + ", (4, 'C', 0)",
         "('k', 'a|b|c')",
         u"d",
         u"",
         u"",
         u"",
         u"",
         u"2¨ 3",
         {u"1:K:1", u"4:C:0"},
         {u"k=c"}},
        // Rename ids are read as the C runtime reads a number: blanks, a
        // sign, digits up to the first other character, 0 without digits.
        {"rename ids read as numbers",
         kKab,
         "('k1', 'a1|b1')",
         u"d",
         u"",
         u"",
         u" 2x¨+3¨\t1",
         u"A2¨B2¨K2",
         u"",
         {u"1:K2:1", u"2:A2:0", u"3:B2:0"},
         {u"k1=a1|b1"}},
        {"a rename id of no column is ignored",
         kKab,
         "('k1', 'a1|b1')",
         u"d",
         u"",
         u"",
         u"abc¨-2",
         u"X¨Y",
         u"",
         {u"1:K:1", u"2:A:0", u"3:B:0"},
         {u"k1=a1|b1"}},
        {"ids that match nothing need no name",
         kKab,
         "('k1', 'a1|b1')",
         u"d",
         u"",
         u"",
         u"2¨9¨10",
         u"A2",
         u"",
         {u"1:K:1", u"2:A2:0", u"3:B:0"},
         {u"k1=a1|b1"}},
    };
    for (const UpdateCase& c : cases) {
        SCOPED_TRACE(c.title);
        Fill(c);
        const Rows otherColumns = Columns(2), otherValues = Values(2);
        ASSERT_EQ(Update(c), S_OK);
        EXPECT_EQ(Columns(40000), c.expectedColumns);
        EXPECT_EQ(Values(40000), c.expectedValues);
        EXPECT_EQ(m_store->Column("SELECT NOM || '/' || DESCRIPTION || '/' || USER_CODE_LASTACTION FROM QM_TABLES "
                                  "WHERE ID_TABLE = 40000"),
                  Rows{c.description ? u"T/" + *c.description + u"/u1" : u"T/old/u1"});
        EXPECT_EQ(Columns(2), otherColumns);
        EXPECT_EQ(Values(2), otherValues);
    }
}

TEST_P(TableUpdateTest, RenamesTheTableAndWritesOnlyChangedColumnNames)
{
    Fill(kKab, "('k1', 'a1|b1')");
    RecordWrites(*m_store, "UPDATE", "QM_DICO", "ID_COL");
    ASSERT_EQ(m_component->TableUpdate(Arg(u"D'Arcy"), Arg(u"T"), Arg(u"l'an"), Arg(u""), Arg(u""), Arg(u""),
                                       Arg(u"1¨2"), Arg(u"K¨A2"), Arg(u"")),
              S_OK);
    EXPECT_EQ(m_store->Column("SELECT ID_TABLE || '/' || NOM || '/' || DESCRIPTION || '/' || USER_CODE_LASTACTION "
                              "FROM QM_TABLES ORDER BY ID_TABLE"),
              (Rows{u"2/Other/old/u0", u"40000/l'an//D'Arcy"}));
    EXPECT_EQ(m_store->Column("SELECT n FROM writes"), Rows{u"2"});
}

TEST_P(TableUpdateTest, BadListsAndFailuresLeaveTheStoreAsItWas)
{
    Fill(kKab, "('k1', 'a1|b1')");
    const Rows before = StoreDump(*m_store);
    struct Refusal {
        const char* title;
        std::u16string addNames, addTypes, updIds, updNames, delIds;
        HRESULT hr;
    };
    const Refusal refusals[] = {
        {"separators only", u"", u"", u"", u"", u"¨¨", E_INVALIDARG},
        {"a word among the ids", u"", u"", u"", u"", u"2¨x", E_INVALIDARG},
        {"SQL after an id", u"", u"", u"", u"", u"2) OR (1=1", E_INVALIDARG},
        {"an empty id between two", u"", u"", u"", u"", u"2¨¨3", E_INVALIDARG},
        {"a matching id without its new name", u"", u"", u"9¨2", u"K", u"", E_INVALIDARG},
        {"a name without a type", u"C¨D", u"0", u"", u"", u"", E_INVALIDARG},
        {"a type that is not 0 or 1", u"C", u"0); DELETE FROM QM_VALMOR; --", u"", u"", u"", E_INVALIDARG},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.title);
        EXPECT_EQ(m_component->TableUpdate(Arg(u"u1"), Arg(u"T"), Arg(u"T2"), Arg(u"new"), Arg(r.addNames),
                                           Arg(r.addTypes), Arg(r.updIds), Arg(r.updNames), Arg(r.delIds)),
                  r.hr);
        EXPECT_EQ(StoreDump(*m_store), before);
    }

    // A failure in the value rewrite takes the renames of the table and its
    // columns, the deletion and the additions back with it.
    RefuseWrites(*m_store, "UPDATE OF OUTPUT", "QM_VALMOR");
    const Rows guarded = StoreDump(*m_store);
    EXPECT_TRUE(FAILED(m_component->TableUpdate(Arg(u"u1"), Arg(u"T"), Arg(u"T2"), Arg(u"new"), Arg(u"C"), Arg(u"0"),
                                                Arg(u"1"), Arg(u"K2"), Arg(u"2"))));
    EXPECT_EQ(StoreDump(*m_store), guarded);
    DropTrigger(*m_store, "refuse", "QM_VALMOR");
    EXPECT_EQ(m_component->TableUpdate(Arg(u"u1"), Arg(u"T"), Arg(u"T2"), Arg(u"new"), Arg(u"C"), Arg(u"0"), Arg(u"1"),
                                       Arg(u"K2"), Arg(u"2")),
              S_OK); // no transaction was left open
    EXPECT_EQ(Columns(40000), (Rows{u"1:K2:1", u"3:B:0", u"4:C:0"}));
}

// The value rewrite on each store: the rows of the updated table are read
// and written back by their identity in the store (rowid on SQLite, the
// ctid read in the same transaction on PostgreSQL), and no other row moves,
// even one with the same INPUT and OUTPUT in another table.
TEST_P(TableUpdateTest, TheRewriteTouchesTheRowsItReadAndNoOthers)
{
    m_store->Run("INSERT INTO QM_TABLES VALUES (40000, 0, 'T', 'old', 'u0'), (2, 0, 'Other', 'old', 'u0');"
                 "INSERT INTO QM_DICO VALUES (40000, 1, 'K', 1), (40000, 2, 'A', 0), (40000, 3, 'B', 0),"
                 " (2, 1, 'K', 1), (2, 2, 'A', 0), (2, 3, 'B', 0);"
                 "INSERT INTO QM_VALMOR VALUES (40000, 'k1', 'a1|b1', 'u0'), (2, 'k1', 'a1|b1', 'u0'),"
                 " (40000, 'k2', 'a2|b2  ', 'u0'), (2, 'k2', 'a2|b2', 'u0');");
    ASSERT_EQ(m_component->TableUpdate(Arg(u"u1"), Arg(u"T"), Arg(u"T"), Arg(u"d"), Arg(u"C"), Arg(u"0"), Arg(u""),
                                       Arg(u""), Arg(u"2")),
              S_OK);
    EXPECT_EQ(m_store->Column("SELECT ID_TABLE || ':' || INPUT || '=' || OUTPUT || '@' || USER_CODE_LASTACTION "
                              "FROM QM_VALMOR ORDER BY ID_TABLE, INPUT"),
              (Rows{u"2:k1=a1|b1@u0", u"2:k2=a2|b2@u0", u"40000:k1=b1|@u0", u"40000:k2=b2  |@u0"}));
}

// Texts that start with U+FEFF or U+FFFE are values like any others: the
// rewrite and a column's new name store them unit for unit.
// Fault caught: SQLite's reading of bound UTF-16, which takes them for
// byte-order marks (dropping U+FEFF, swapping the bytes after U+FFFE).
TEST_P(TableUpdateTest, TextsThatLookLikeByteOrderMarksComeBackUnitForUnit)
{
    Fill(kKab, "");
    const std::u16string key = u"\uFEFFkey", output = u"\uFFFEAB", name = u"\uFEFFName";
    ASSERT_EQ(m_component->CorrespondanceCreate(Arg(u"u"), Arg(u"T"), Arg(key), Arg(output + u"|b1")), S_OK);
    ASSERT_EQ(m_component->TableUpdate(Arg(u"u1"), Arg(u"T"), Arg(u"T"), Arg(std::nullopt), Arg(u""), Arg(u""),
                                       Arg(u"2"), Arg(name), Arg(u"3")),
              S_OK);
    BstrResult translation;
    ASSERT_EQ(m_component->translate(Arg(u"T"), Arg(key), &translation), S_OK);
    EXPECT_EQ(translation.text(), output);
    EXPECT_EQ(Values(40000), Rows{key + u"=" + output});
    EXPECT_EQ(Columns(40000), (Rows{u"1:K:1", u"2:" + name + u":0"}));
}

INSTANTIATE_TEST_SUITE_P(Stores, TableUpdateTest, VALMORIN_STORES);

} // namespace
