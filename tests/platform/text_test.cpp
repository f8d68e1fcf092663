// Names compared as people read them: letter case of any script ignored
// only when asked, and nothing invisible taken for part of a name.
#include "platform/text/marks.h"
#include "platform/win32/nls.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

int Ordinal(std::u16string_view a, std::u16string_view b, BOOL ignoreCase)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), ignoreCase);
}

} // namespace

// Faults caught: case folded when not asked; only ASCII letters folded
// (É and é told apart); a shorter text ordered after its extension; a
// surrogate folded into another character; the terminator form reading
// past the end or stopping short.
TEST(CompareStringOrdinal, FoldsEveryScriptsCaseOnlyWhenAsked)
{
    EXPECT_EQ(Ordinal(u"alice", u"ALICE", FALSE), CSTR_GREATER_THAN);
    EXPECT_EQ(Ordinal(u"alice", u"ALICE", TRUE), CSTR_EQUAL);
    EXPECT_EQ(Ordinal(u"\u00E9lodie", u"\u00C9LODIE", TRUE), CSTR_EQUAL);
    EXPECT_EQ(
        Ordinal(u"\u0434\u043C\u0438\u0442\u0440\u0438\u0439", u"\u0414\u041C\u0418\u0422\u0420\u0418\u0419", TRUE),
        CSTR_EQUAL);
    EXPECT_EQ(Ordinal(u"ali", u"alice", TRUE), CSTR_LESS_THAN);
    EXPECT_EQ(Ordinal(u"alice", u"ali", TRUE), CSTR_GREATER_THAN);
    EXPECT_EQ(Ordinal(u"\U0001F600", u"\U0001F601", TRUE), CSTR_LESS_THAN);
    EXPECT_EQ(CompareStringOrdinal(u"Bob", -1, u"bOB", -1, TRUE), CSTR_EQUAL);
    EXPECT_EQ(CompareStringOrdinal(u"Bob", -1, u"bOBby", 3, TRUE), CSTR_EQUAL);
    EXPECT_EQ(CompareStringOrdinal(nullptr, -1, u"b", -1, TRUE), 0);
    EXPECT_EQ(CompareStringOrdinal(u"a", -2, u"b", -1, TRUE), 0);
}

// Faults caught: a zero-width or reordering mark, or a byte order mark,
// let through as showable; an ordinary letter, space or accent refused.
TEST(Marks, InvisibleAndReorderingCharactersAreUnshowable)
{
    for (char16_t c : {u'\0', u'\t', u'\x7F', u'\x85', u'\u00AD', u'\u200B', u'\u200D', u'\u200E', u'\u202E', u'\u2060',
                       u'\u2066', u'\uFEFF', u'\u2028'})
        EXPECT_TRUE(valmorin::text::Unshowable(c)) << static_cast<int>(c);
    for (char16_t c : {u'a', u' ', u'\u00E9', u'\u00A0', u'\u0301', u'\u4E2D', u'\u3000'})
        EXPECT_FALSE(valmorin::text::Unshowable(c)) << static_cast<int>(c);
    for (char16_t c : {u' ', u'\t', u'\u00A0', u'\u2003', u'\u3000'}) EXPECT_TRUE(valmorin::text::Blank(c));
    for (char16_t c : {u'a', u'_', u'\u200B'}) EXPECT_FALSE(valmorin::text::Blank(c));
}
