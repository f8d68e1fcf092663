// A statement's shape read at compile time: what the store is sent, what
// each marker is bound to, and the text shown.
//
// Faults caught: a literal's value left in the sent text, or a marker for
// a piece the component fills itself; a composite literal (N'%03d|%d')
// bound as its first value only, or with the apostrophes it shows doubled;
// a constant literal's text lost; a number shown unpadded, without its
// sign, or padded past printf's width; a text shown past its first NUL, or
// doubled where it is shown as given.
#include "qmt/db/ado_statement.h"

#include <gtest/gtest.h>

namespace {

constexpr qmt::StatementShape kMixed{u"INSERT INTO T(A, B, C, D, E) VALUES ( %d, N'%s', N'%03d|%d', N'const', '%s' )"};
constexpr qmt::StatementShape kComposed{u"SELECT N'<%s>', N'%03d'"};
constexpr qmt::StatementShape kPiece{u"DELETE FROM T WHERE ID = %d AND C IN (%s) AND N = 'x%s'"};

// The marker-th value, which must be a text.
std::u16string Text(const qmt::AdoStatement& statement, std::size_t marker)
{
    std::u16string room;
    const qmt::AdoStatement::Value value = statement.value(marker, room);
    EXPECT_TRUE(value.isText);
    return std::u16string(value.text);
}

TEST(StatementShape, ValuesAreBoundApartAndShownWhereTheirConversionsStand)
{
    const std::u16string withNul(u"it's\0hidden", 11);
    const qmt::AdoStatement statement = qmt::AdoStatement::Of<kMixed>(-7, withNul, 5, -12, qmt::Doubled(u"a'b"));
    EXPECT_EQ(statement.sent(), u"INSERT INTO T(A, B, C, D, E) VALUES ( ?, ?, ?, ?, ? )");
    ASSERT_EQ(statement.valueCount(), 5u);
    std::u16string room;
    EXPECT_FALSE(statement.value(0, room).isText);
    EXPECT_EQ(statement.value(0, room).number, -7);
    EXPECT_EQ(Text(statement, 1), withNul) << "a bound text is the caller's whole";
    EXPECT_EQ(Text(statement, 2), u"005|-12");
    EXPECT_EQ(Text(statement, 3), u"const");
    EXPECT_EQ(Text(statement, 4), u"a'b") << "a text shown doubled is bound as given";
    EXPECT_EQ(statement.shown(), u"INSERT INTO T(A, B, C, D, E) VALUES ( -7, N'it's', N'005|-12', N'const', 'a''b' )");
    EXPECT_NE(statement.identity(), nullptr);
    EXPECT_EQ(statement.identity(), qmt::AdoStatement::Of<kMixed>(1, u"", 2, 3, u"").identity());
}

TEST(StatementShape, ALiteralComposedOfValuesIsBoundAsGivenAndShownAsPrintfWritesIt)
{
    const std::u16string withNul(u"O'B\0c", 5);
    const qmt::AdoStatement statement = qmt::AdoStatement::Of<kComposed>(qmt::Doubled(withNul), -5);
    ASSERT_EQ(statement.valueCount(), 2u);
    EXPECT_EQ(Text(statement, 0), u"<" + withNul + u">");
    EXPECT_EQ(Text(statement, 1), u"-05");
    EXPECT_EQ(statement.shown(), u"SELECT N'<O''B>', N'-05'");
}

TEST(StatementShape, PiecesAreWrittenIntoTheSentText)
{
    const qmt::AdoStatement statement = qmt::AdoStatement::Of<kPiece>(4, qmt::StatementPiece(u"1,2"), u"y");
    EXPECT_EQ(statement.sent(), u"DELETE FROM T WHERE ID = ? AND C IN (1,2) AND N = ?");
    EXPECT_EQ(statement.shown(), u"DELETE FROM T WHERE ID = 4 AND C IN (1,2) AND N = 'xy'");
    EXPECT_EQ(statement.identity(), nullptr) << "texts that differ cannot share what is kept per shape";
    ASSERT_EQ(statement.valueCount(), 2u);
    EXPECT_EQ(Text(statement, 1), u"xy");
}

} // namespace
