// Quoted identifiers in statement counting: a ";" inside "...", [...] or
// `...` is part of a name, not the end of a statement; an apostrophe inside
// one starts no string.
#include "platform/ado/provider.h"
#include "platform/ado/sql_lexer.h"
#include "platform/text/utf.h"
#include "support/ado_connection.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <random>

namespace {

struct CountCase {
    const char* fault;
    const char16_t* sql;
    bool several;
    std::vector<std::string> literals;
};

const CountCase kCases[] = {
    {"double-quoted names end the statement at a ;", u"SELECT 1 AS \"a;b\"", false, {}},
    {"bracketed names end the statement at a ;", u"SELECT 1 AS [a;b]", false, {}},
    {"back-quoted names end the statement at a ;", u"SELECT 1 AS `a;b`", false, {}},
    {"a doubled quote ends the name", u"SELECT 1 AS \"a\"\";b\"", false, {}},
    {"a doubled back-quote ends the name", u"SELECT 1 AS `a``;b`", false, {}},
    {"a bracketed name runs past its ]", u"SELECT 1 AS [a]; DELETE FROM T", true, {}},
    {"an apostrophe in a name starts a string", u"SELECT 1 AS \"it's\"; DELETE FROM T", true, {}},
    {"an apostrophe in brackets starts a string", u"SELECT 1 AS [it's]; DELETE FROM T", true, {}},
    {"an apostrophe in back-quotes starts a string", u"SELECT 1 AS `it's`; DELETE FROM T", true, {}},
    {"a double quote in a string starts a name", u"SELECT 'a\"b'; DELETE FROM T", true, {"a\"b"}},
    {"a bracket in a string starts a name", u"SELECT N'[x'; DELETE FROM T", true, {"[x"}},
    {"names taken for strings", u"SELECT \"n\", [m], `o`, 'v;w' FROM T;", false, {"v;w"}},
};

TEST(StatementLexer, SemicolonsInsideQuotedNamesDoNotEndTheStatement)
{
    for (const CountCase& c : kCases) {
        const valmorin::ado::LexedStatement lexed = valmorin::ado::LexStatement(c.sql);
        EXPECT_EQ(lexed.severalStatements, c.several) << "fault: " << c.fault;
        if (!lexed.parameterized.empty() || !lexed.literals.empty()) {
            EXPECT_EQ(lexed.literals, c.literals) << "fault: " << c.fault;
        }
        EXPECT_EQ(lexed.firstKeyword, u"SELECT") << "fault: " << c.fault;
    }
}

// A trigger's definition holds the statements of its body, each ended by a
// ";": the definition ends at the ";" after its END, as SQLite reads it,
// and only then may a second statement follow.
TEST(StatementLexer, ATriggersBodyIsPartOfItsDefinition)
{
    const std::pair<const char16_t*, bool> kCases[] = {
        {u"CREATE TRIGGER t BEFORE INSERT ON T BEGIN SELECT 1; SELECT 2; END;", false},
        {u"create temp trigger t after delete on T begin delete from U; end ;  ", false},
        {u"CREATE TRIGGER t BEFORE INSERT ON T BEGIN SELECT 1; END; DELETE FROM T", true},
        {u"CREATE TRIGGER t BEFORE INSERT ON T BEGIN SELECT 'END'; SELECT 1; APPEND; END", false},
        {u"CREATE TABLE T (a); DELETE FROM T", true},
        {u"CREATE TRIGGER t BEFORE INSERT ON T BEGIN SELECT weekend; END; DELETE FROM T", true},
        {u"CREATE TRIGGER t BEFORE INSERT ON T BEGIN SELECT x_END; DELETE FROM T", false},
    };
    for (const auto& [sql, several] : kCases)
        EXPECT_EQ(valmorin::ado::LexStatement(sql).severalStatements, several) << valmorin::text::Utf16ToUtf8(sql);
}

// The same through a store: the name with a ";" runs, and a second
// statement after a quoted name is refused before anything runs.
TEST(StatementLexer, QuotedNamesRunAndHideNoSecondStatement)
{
    TempDir dir;
    const auto file = dir / "store.db";
    CreateSqliteFile(file, "CREATE TABLE T (ID INTEGER); CREATE TABLE \"a;b\" (\"c;d\" TEXT);");
    AdoConnection connection(SqliteConnectionString(file));
    for (const char16_t* insert :
         {u"INSERT INTO \"a;b\" (\"c;d\") VALUES (N'1')", u"INSERT INTO [a;b] ([c;d]) VALUES (N'2')",
          u"INSERT INTO `a;b` (`c;d`) VALUES (N'3')"})
        EXPECT_EQ(connection.Execute(insert), 1);
    EXPECT_EQ(QueryColumn(file, "SELECT \"c;d\" FROM \"a;b\" ORDER BY 1"),
              (std::vector<std::u16string>{u"1", u"2", u"3"}));

    for (const char16_t* twice :
         {u"INSERT INTO T VALUES (1); DELETE FROM [a;b]", u"INSERT INTO T SELECT 1 AS \"it's\"; DELETE FROM [a;b]"}) {
        EXPECT_THROW(connection.Execute(twice), AdoFailure);
    }
    EXPECT_EQ(QueryColumn(file, "SELECT COUNT(*) FROM T"), std::vector<std::u16string>{u"0"});
    EXPECT_EQ(QueryColumn(file, "SELECT COUNT(*) FROM \"a;b\""), std::vector<std::u16string>{u"3"});
}

// A session lexes into one reused statement: what the last statement left
// (its literals, its keyword, a NUL or a second statement) must not leak
// into the next.
TEST(StatementLexer, ReusedOutputKeepsNothingOfThePreviousStatement)
{
    valmorin::ado::LexedStatement lexed;
    valmorin::ado::LexOneStatement(u"SELECT 'one', N'two' FROM T WHERE x = 'three'", u"test", lexed);
    EXPECT_THROW(valmorin::ado::LexOneStatement(std::u16string(u"SELECT 'a\0'", 11), u"test", lexed),
                 valmorin::ado::ProviderFailure);
    EXPECT_TRUE(lexed.holdsNul);
    EXPECT_THROW(valmorin::ado::LexOneStatement(u"SELECT 1; SELECT 2", u"test", lexed), valmorin::ado::ProviderFailure);
    valmorin::ado::LexOneStatement(u"delete FROM T WHERE x = 'only'", u"test", lexed);
    EXPECT_FALSE(lexed.holdsNul);
    EXPECT_FALSE(lexed.severalStatements);
    EXPECT_EQ(lexed.firstKeyword, u"DELETE");
    EXPECT_EQ(lexed.text, "delete FROM T WHERE x = 'only'");
    EXPECT_EQ(lexed.parameterized, "delete FROM T WHERE x = ?");
    EXPECT_EQ(lexed.literals, std::vector<std::string>{"only"});
    EXPECT_EQ(lexed.placeholders, std::vector<std::size_t>{24});
}

// National literals lose their N; a word ending in N keeps it. A NUL after
// the end of the statement, or in a comment, still refuses the text.
TEST(StatementLexer, NationalPrefixesAndNulsWhereverTheyStand)
{
    EXPECT_EQ(valmorin::ado::LexStatement(u"SELECT N'a', n'b', (N'c')").text, "SELECT 'a', 'b', ('c')");
    EXPECT_EQ(valmorin::ado::LexStatement(u"SELECT 1 AS IN'x'").text, "SELECT 1 AS IN'x'");
    EXPECT_EQ(valmorin::ado::LexStatement(u"SELECT $N'x'").text, "SELECT $N'x'");
    for (const std::u16string& sql : {std::u16string(u"SELECT 1; -- \0", 14), std::u16string(u"SELECT 1 /* \0 */", 16),
                                      std::u16string(u"SELECT [\0]", 10)})
        EXPECT_TRUE(valmorin::ado::LexStatement(sql).holdsNul) << sql.size();
}

// Runs of plain units are copied sixteen at a time: whatever must end a run
// (a quote, a comment, a marker, a NUL, a unit past ASCII, one that narrows
// to a quote's byte) is seen wherever it falls in a block.
TEST(StatementLexer, EveryUnitThatEndsARunIsSeenWhereverItFalls)
{
    const auto utf8 = [](std::u16string_view s) { return valmorin::text::Utf16ToUtf8(s); };
    for (std::size_t offset = 0; offset < 40; ++offset) {
        const std::u16string pad(offset, u'a');
        const std::string pad8(offset, 'a');
        const std::u16string head = u"SELECT " + pad;
        const std::string where = " at offset " + std::to_string(offset);

        valmorin::ado::LexedStatement lexed = valmorin::ado::LexStatement(head + u" 'v' FROM T");
        EXPECT_EQ(lexed.literals, std::vector<std::string>{"v"}) << "a quote missed" << where;
        EXPECT_TRUE(valmorin::ado::LexStatement(head + u"; DELETE FROM T").severalStatements) << "a ; missed" << where;
        EXPECT_TRUE(valmorin::ado::LexStatement(head + u" -- 'v'").literals.empty()) << "a comment missed" << where;
        EXPECT_TRUE(valmorin::ado::LexStatement(head + u" /* 'v' */").literals.empty()) << "a comment missed" << where;
        EXPECT_TRUE(valmorin::ado::LexStatement(head + u" = ? AND b = 'v'").parameterized.empty())
            << "a marker missed" << where;
        EXPECT_TRUE(valmorin::ado::LexStatement(head + std::u16string(1, u'\0') + u" FROM T").holdsNul)
            << "a NUL missed" << where;
        for (const std::u16string name : {u"\"it's\"", u"`it's`", u"[it's]"})
            EXPECT_EQ(valmorin::ado::LexStatement(head + u" " + name + u" 'v'").literals, std::vector<std::string>{"v"})
                << "a quoted name missed" << where;
        for (const char16_t wide : {char16_t{0xE9}, char16_t{0x127}, char16_t{0x8027}, char16_t{0xD800}}) {
            const std::u16string sql = head + std::u16string(1, wide) + u" 'v' FROM T";
            lexed = valmorin::ado::LexStatement(sql);
            EXPECT_EQ(lexed.text, utf8(sql)) << "unit " << int(wide) << where;
            EXPECT_EQ(lexed.literals, std::vector<std::string>{"v"}) << "unit " << int(wide) << where;
        }
        lexed = valmorin::ado::LexStatement(u"SELECT 'x" + pad + u"\u0127\u8027' FROM T");
        EXPECT_EQ(lexed.literals, std::vector<std::string>{"x" + pad8 + utf8(u"\u0127\u8027")})
            << "a wide unit in a value taken for its quote" << where;
    }
}

// A statement read against the one lexed before into the same buffers must
// come out exactly as if lexed afresh: old values, old positions or a
// doubled quote kept doubled would change what is bound.
TEST(StatementLexer, AStatementReadAgainstThePreviousOneIsLexedAsIfAfresh)
{
    const std::u16string kFirst = u"SELECT OUTPUT FROM T a WHERE (NOM = N'T1') AND (a.INPUT = N'K1_1')";
    const std::u16string kSecond[] = {
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'T22') AND (a.INPUT = N'K22_999')",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'') AND (a.INPUT = N'it''s')",
        // a lone surrogate in a value, as a caller's BSTR may hold
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'\u00E9\U0001F600" + std::u16string(1, char16_t{0xD800}) +
            u"') AND (a.INPUT = N'x')",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'a'' FROM T a WHERE (NOM = N''b') AND (a.INPUT = N'x')",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'a') AND (a.INPUT = N'x'); DELETE FROM T",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'a') AND (a.INPUT = N'x') AND 'y' = 'y'",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'a') AND (a.INPUT = N'x",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'a') AND (a.INPUT = ?)",
        u"SELECT OUTPUT FROM T b WHERE (NOM = N'a') AND (a.INPUT = N'x')",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'a') AND (a.INPUT = N'x')  ",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'a') AND (a.INPUT = N'x') -- '",
        u"SELECT OUTPUT FROM T a WHERE (NOM = N'a') AND (a.INPUT = N'x''')",
        std::u16string(u"SELECT OUTPUT FROM T a WHERE (NOM = N'a\0') AND (a.INPUT = N'x')", 63),
    };
    for (const std::u16string& second : kSecond) {
        const std::string sql = valmorin::text::Utf16ToUtf8(second);
        valmorin::ado::LexedStatement reused;
        valmorin::ado::LexOneStatement(kFirst, u"test", reused);
        const valmorin::ado::LexedStatement fresh = valmorin::ado::LexStatement(second);
        try {
            valmorin::ado::LexOneStatement(second, u"test", reused);
        } catch (const valmorin::ado::ProviderFailure&) {
            EXPECT_TRUE(fresh.holdsNul || fresh.severalStatements) << sql;
            continue;
        }
        EXPECT_EQ(reused.text, fresh.text) << sql;
        EXPECT_EQ(reused.parameterized, fresh.parameterized) << sql;
        EXPECT_EQ(reused.literals, fresh.literals) << sql;
        EXPECT_EQ(reused.placeholders, fresh.placeholders) << sql;
        EXPECT_EQ(reused.around, fresh.around) << sql;
        EXPECT_EQ(reused.valuesAt, fresh.valuesAt) << sql;
        EXPECT_EQ(reused.firstKeyword, fresh.firstKeyword) << sql;
    }
}

// A session's recent statements: each statement comes out as if lexed
// afresh, whether it is read against a kept statement of its kind, lexed
// into the place of the kind kept longest, or follows a statement that
// matched a kept one only in part (which leaves that one half read).
TEST(StatementLexer, RecentStatementsGiveEachStatementAsIfLexedAfresh)
{
    const std::u16string kSequence[] = {
        u"SELECT OUTPUT FROM T WHERE NOM = N'a' AND INPUT = N'b'",
        u"SELECT COUNT(INPUT) FROM T WHERE ID = 3 AND INPUT = 'c'",
        u"SELECT OUTPUT FROM T WHERE NOM = N'a' AND INPUT = N'b' OR 1 = 1", // matches the first only in part
        u"SELECT OUTPUT FROM T WHERE NOM = N'x''y' AND INPUT = N''",
        u"INSERT INTO T VALUES (1, N'd')",
        u"DELETE FROM T WHERE INPUT = N'e'",
        u"UPDATE T SET OUTPUT = N'f'", // a fifth kind: the first kind kept gives way
        u"SELECT OUTPUT FROM T WHERE NOM = N'g' AND INPUT = N'h'",
        u"SELECT COUNT(INPUT) FROM T WHERE ID = 3 AND INPUT = 'i'",
        u"INSERT INTO T VALUES (1, N'j')",
    };
    valmorin::ado::RecentStatements recent;
    for (const std::u16string& sql : kSequence) {
        const valmorin::ado::LexedStatement& lexed = recent.LexOne(sql, u"test");
        const valmorin::ado::LexedStatement fresh = valmorin::ado::LexStatement(sql);
        const std::string where = valmorin::text::Utf16ToUtf8(sql);
        EXPECT_EQ(lexed.text, fresh.text) << where;
        EXPECT_EQ(lexed.parameterized, fresh.parameterized) << where;
        EXPECT_EQ(lexed.literals, fresh.literals) << where;
        EXPECT_EQ(lexed.placeholders, fresh.placeholders) << where;
        EXPECT_EQ(lexed.firstKeyword, fresh.firstKeyword) << where;
    }
}

// Statements of the kinds a session keeps, each changed anywhere (not only
// in its values): a unit replaced, inserted or dropped, a clause or a
// trailing text appended, the text cut short. Whatever a session has kept,
// each must come out exactly as if lexed afresh.
//
// Fault caught: a kept statement answering for one it does not equal, such
// as a text without values taken for a longer one it is a prefix of
// (ID_TABLE = 5 for ID_TABLE = 57), or a tail not compared.
class StatementMutations {
public:
    explicit StatementMutations(unsigned seed) : m_random(seed) {}

    std::u16string Next()
    {
        std::u16string sql = kBases[Pick(std::size(kBases))];
        const std::size_t edits = Pick(3);
        for (std::size_t i = 0; i < edits; ++i) Mutate(sql);
        return sql;
    }

private:
    static constexpr const char16_t* kBases[] = {
        u"SELECT ID_TABLE FROM QM_TABLES WHERE ( NOM = N'Currencies')",
        u"SELECT MAX(ID_TABLE) FROM QM_TABLES",
        u"SELECT MAX(ID_COL) FROM QM_DICO WHERE ID_TABLE = '5'",
        u"SELECT ID_COL, INOUT, NAME_COL FROM QM_DICO WHERE ID_TABLE = 5 ORDER BY ID_COL ASC",
        u"SELECT INPUT, OUTPUT FROM QM_VALMOR WHERE ID_TABLE = 57",
        u"DELETE FROM QM_DICO WHERE ID_TABLE = 5 AND ID_COL IN (2)",
        u"SELECT COUNT(INPUT) FROM QM_VALMOR WHERE ID_TABLE = 3 AND INPUT = 'EUR'",
        u"SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM QM_TABLES  b WHERE NOM = "
        u"N'T')) AND (a.INPUT = N'K')",
        u"INSERT INTO QM_VALMOR(ID_TABLE, INPUT, OUTPUT) VALUES ( 12, N'a''b', N'')",
        u"UPDATE QM_VALMOR SET OUTPUT = N'|7' WHERE ID_TABLE = 1 AND INPUT = N'c'",
    };
    static constexpr std::u16string_view kUnits = u"0123456789abcXYZ _,()=<>*'\"N;-/[]`?$\u00e9";
    static constexpr const char16_t* kAppended[] = {
        u"7", u" AND 1 = 1", u" OR NOM = N'x'", u"  ", u" -- '", u"; DELETE FROM QM_TABLES", u"'", u" ORDER BY 1"};

    std::size_t Pick(std::size_t count) { return std::uniform_int_distribution<std::size_t>(0, count - 1)(m_random); }
    char16_t Unit() { return kUnits[Pick(kUnits.size())]; }

    void Mutate(std::u16string& sql)
    {
        const std::size_t at = Pick(sql.size() + 1);
        switch (Pick(6)) {
        case 0:
            if (at < sql.size()) sql[at] = Unit();
            break;
        case 1: sql.insert(at, 1, Unit()); break;
        case 2:
            if (at < sql.size()) sql.erase(at, 1);
            break;
        case 3: sql += kAppended[Pick(std::size(kAppended))]; break;
        case 4: sql.resize(at); break;
        case 5: sql.insert(at, 1, u'\0'); break;
        }
    }

    std::mt19937 m_random;
};

TEST(StatementLexer, EveryStatementReadAgainstKeptOnesComesOutAsIfLexedAfresh)
{
    StatementMutations mutations(20261206);
    valmorin::ado::RecentStatements recent;
    valmorin::ado::LexedStatement previous;
    for (int i = 0; i < 40000; ++i) {
        const std::u16string sql = mutations.Next();
        const valmorin::ado::LexedStatement fresh = valmorin::ado::LexStatement(sql);
        const std::string where = valmorin::text::Utf16ToUtf8(sql);
        const bool refused = fresh.holdsNul || fresh.severalStatements;
        for (int reader = 0; reader < 2; ++reader) {
            const valmorin::ado::LexedStatement* lexed = &previous;
            try {
                if (reader == 0)
                    lexed = &recent.LexOne(sql, u"test");
                else
                    valmorin::ado::LexOneStatement(sql, u"test", previous);
            } catch (const valmorin::ado::ProviderFailure&) {
                EXPECT_TRUE(refused) << where;
                continue;
            }
            EXPECT_FALSE(refused) << where;
            ASSERT_EQ(lexed->text, fresh.text) << where;
            ASSERT_EQ(lexed->parameterized, fresh.parameterized) << where;
            ASSERT_EQ(lexed->literals, fresh.literals) << where;
            ASSERT_EQ(lexed->placeholders, fresh.placeholders) << where;
            ASSERT_EQ(lexed->firstKeyword, fresh.firstKeyword) << where;
        }
    }
}

} // namespace
