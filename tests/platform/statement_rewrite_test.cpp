// Statements that differ only in their values share one prepared form, with
// the values bound as parameters. Whatever bytes a value holds, the shared
// form must do exactly what the statement as written does.
#include "platform/ado/provider.h"
#include "platform/ado/sql_lexer.h"
#include "platform/text/utf.h"
#include "support/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <random>

namespace {

using Rows = std::vector<std::u16string>;

// The first column of each row, or nothing when the statement failed.
using Outcome = std::optional<Rows>;

std::u16string Cell(sqlite3_stmt* stmt)
{
    if (sqlite3_column_type(stmt, 0) == SQLITE_NULL) return u"<NULL>";
    const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(stmt, 0));
    return {text, static_cast<std::size_t>(sqlite3_column_bytes16(stmt, 0)) / 2};
}

std::u16string Cell(const CComVariant& value)
{
    if (value.vt == VT_NULL) return u"<NULL>";
    CComVariant text;
    if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) return u"<?>";
    return {text.bstrVal, SysStringLen(text.bstrVal)};
}

bool OnlyBlanksAndComments(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        if (text.substr(at, 2) == "--")
            at = std::min(text.find('\n', at), text.size());
        else if (text.substr(at, 2) == "/*")
            at = std::min(text.find("*/", at + 2), text.size()) + 2;
        else if (std::string_view(" \t\r\n\f\v;").find(text[at]) != std::string_view::npos)
            ++at;
        else
            return false;
    }
    return true;
}

// The reference: the statement run as written, by SQLite alone, once its
// national literals are plain ones (the only rewrite that is not sharing). A text that
// holds a second statement fails, as the provider refuses it.
Outcome RunAsWritten(const std::filesystem::path& file, const std::u16string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> owner(db, sqlite3_close);
    const std::string text = valmorin::text::Utf16ToUtf8(sql);
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, text.c_str(), static_cast<int>(text.size()), &stmt, &tail) != SQLITE_OK || !stmt)
        return std::nullopt;
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(stmt, sqlite3_finalize);
    if (!OnlyBlanksAndComments(tail)) return std::nullopt;
    Rows rows;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) rows.push_back(Cell(stmt));
    if (rc != SQLITE_DONE) return std::nullopt;
    return rows;
}

Outcome RunThroughProvider(valmorin::ado::Session& session, const std::u16string& sql)
{
    try {
        Rows rows;
        const valmorin::ado::RowSet set = valmorin::ado::QueryRows(session, sql, false);
        for (std::size_t row = 0; row < set.rows; ++row) rows.push_back(Cell(set.At(row, 0)));
        return rows;
    } catch (const valmorin::ado::ProviderFailure&) {
        return std::nullopt;
    }
}

std::unique_ptr<valmorin::ado::Session> Connect(const TestStore& store)
{
    return valmorin::ado::FindProvider(u"SQLite")->Connect(valmorin::ado::ConnectionString(store.connectionString()),
                                                           u"", u"", 5);
}

std::u16string Replace(std::u16string text, std::u16string_view what, std::u16string_view with)
{
    for (std::size_t at = 0; (at = text.find(what, at)) != std::u16string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

// Values as a hostile caller would pick them: quotes of every kind,
// statement and comment punctuation, parameter markers, and surrogates
// alone or paired.
std::u16string RandomValue(std::mt19937& random)
{
    static const std::u16string kUnits[] = {
        u"a",      u"'",  u"''",     u"\"", u";",  u"--", u"/*", u"*/",     u"?",      u")",      u"(",
        u" ",      u"\n", u"[",      u"]",  u"`",  u"é",  u"1",  u"\xD800", u"\xDBFF", u"\xDC00", u"\xD83D\xDE00",
        u"OR 1=1", u"N",  u"SELECT", u"?1", u":a", u"@b", u"$c"};
    std::uniform_int_distribution<std::size_t> unit(0, std::size(kUnits) - 1);
    std::uniform_int_distribution<int> length(0, 6);
    std::u16string value;
    for (int i = length(random); i > 0; --i) value += kUnits[unit(random)];
    return value;
}

class StatementRewriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_store.Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'Currencies'), (2, 'Secrets');"
                    "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'EUR', 'Euro'), "
                    "(2, 'key', 'secret'), (1, 'a''b', 'quoted'), (1, '', 'empty');");
    }

    TestStore m_store;
};

// Statements the component sends, with the values put in unescaped as its
// formats do, and statements of literals alone.
TEST_F(StatementRewriteTest, RandomValuesRunAsTheStatementAsWritten)
{
    const std::u16string shapes[] = {
        u"SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM QM_TABLES  b WHERE NOM = "
        u"'{1}')) AND (a.INPUT = '{2}')",
        u"SELECT COUNT(INPUT) FROM QM_VALMOR WHERE ID_TABLE = 1 AND INPUT = '{1}'",
        u"SELECT N'{1}' || N'{2}'",
        u"SELECT '{1}' /* {2} */",
        u"SELECT \"OUTPUT\" FROM [QM_VALMOR] WHERE INPUT = N'{1}' -- {2}",
    };
    std::mt19937 random(20261205);
    const std::unique_ptr<valmorin::ado::Session> session = Connect(m_store);
    int shared = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::u16string& shape = shapes[static_cast<std::size_t>(i) % std::size(shapes)];
        const std::u16string sql = Replace(Replace(shape, u"{1}", RandomValue(random)), u"{2}", RandomValue(random));
        const valmorin::ado::LexedStatement lexed = valmorin::ado::LexStatement(sql);
        const Outcome expected =
            lexed.severalStatements ? std::nullopt : RunAsWritten(m_store.file(), valmorin::text::Widen(lexed.text));
        shared += expected ? 1 : 0;
        ASSERT_EQ(RunThroughProvider(*session, sql), expected)
            << "statement " << i << ": " << valmorin::text::Utf16ToUtf8(sql);
    }
    EXPECT_GT(shared, 300); // enough of them were well-formed to exercise the shared forms
}

TEST_F(StatementRewriteTest, StatementsTheRewriteCannotShareRunAsWritten)
{
    const std::unique_ptr<valmorin::ado::Session> session = Connect(m_store);
    // A caller's own parameter: binding the literal to it would answer 'a' twice.
    EXPECT_EQ(RunThroughProvider(*session, u"SELECT 'a' UNION ALL SELECT ?1"), (Rows{u"a", u"<NULL>"}));
    EXPECT_EQ(RunThroughProvider(*session, u"SELECT 'a' UNION ALL SELECT :x"), (Rows{u"a", u"<NULL>"}));
    // SQLite would stop reading at the NUL and run the rest of nothing.
    for (const std::u16string& sql : {std::u16string(u"SELECT 'a\0b'", 13), std::u16string(u"SELECT 1 \0; DELETE", 18)})
        EXPECT_EQ(RunThroughProvider(*session, sql), std::nullopt) << valmorin::text::Utf16ToUtf8(sql);
    EXPECT_EQ(m_store.Column("SELECT COUNT(*) FROM QM_VALMOR"), Rows{u"4"});
}

// The shared form of SELECT 'abc' is SELECT ?, whose column SQLite names
// "?"; and one form serves every value, so names taken from the first
// statement of a form would be wrong for the next.
TEST_F(StatementRewriteTest, ResultColumnsKeepTheNamesWritten)
{
    const std::unique_ptr<valmorin::ado::Session> session = Connect(m_store);
    const std::pair<const char16_t*, std::vector<std::u16string>> cases[] = {
        {u"SELECT 'abc'", {u"'abc'"}},
        {u"SELECT 'xyz'", {u"'xyz'"}},
        {u"SELECT 'abc' AS label, N'x' || 'y'", {u"label", u"'x' || 'y'"}}, // national literals run as plain ones
        {u"SELECT 1 AS 'quoted'", {u"quoted"}},                             // a form that does not prepare: AS ?
        {u"SELECT 1 AS 'quoted'", {u"quoted"}}, // ... and again, from what was remembered of it
        {u"SELECT OUTPUT FROM QM_VALMOR WHERE INPUT = 'EUR'", {u"OUTPUT"}},
        {u"SELECT OUTPUT FROM QM_VALMOR WHERE INPUT = 'a''b'", {u"OUTPUT"}},
    };
    for (const auto& [sql, names] : cases) {
        const valmorin::ado::RowSet set = valmorin::ado::QueryRows(*session, sql, false);
        EXPECT_EQ(set.columns, names) << valmorin::text::Utf16ToUtf8(sql);
        EXPECT_EQ(set.rows, 1u) << valmorin::text::Utf16ToUtf8(sql);
    }
    EXPECT_EQ(Cell(valmorin::ado::QueryRows(*session, u"SELECT 1 AS 'quoted'", false).At(0, 0)), u"1");
}

// A caller's own markers, numbered or named, keep the statement from being
// shared at all; a $ inside a name is no marker.
TEST(StatementLexer, OwnParametersLeaveNoSharedForm)
{
    for (const char16_t* sql : {u"SELECT 'a', ?", u"SELECT ?1, 'a'", u"SELECT 'a' WHERE ?2 IS NULL", u"SELECT :x, 'a'",
                                u"SELECT @y, 'a'", u"SELECT $z, 'a'", u"SELECT 'a' || $1"}) {
        const valmorin::ado::LexedStatement lexed = valmorin::ado::LexStatement(sql);
        EXPECT_TRUE(lexed.parameterized.empty()) << valmorin::text::Utf16ToUtf8(sql);
        EXPECT_TRUE(lexed.literals.empty()) << valmorin::text::Utf16ToUtf8(sql);
    }
    const valmorin::ado::LexedStatement named = valmorin::ado::LexStatement(u"SELECT a$b FROM t WHERE c = 'v'");
    EXPECT_EQ(named.parameterized, "SELECT a$b FROM t WHERE c = ?");
    EXPECT_EQ(named.literals, std::vector<std::string>{"v"});
}

} // namespace
