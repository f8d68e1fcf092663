// Names compared as people read them: letter case of any script and
// compatibility forms folded, and nothing invisible taken for part of a
// name.
#include "platform/text/marks.h"
#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

// Faults caught: only ASCII letters folded (É and é told apart); a
// fullwidth name, a compatibility letter (the Kelvin sign), an accent
// written apart from its letter or a mark no reader sees (combining
// grapheme joiner, variation selector, Hangul filler, a tag character), a
// typographic apostrophe or hyphen, a doubled space or the Turkish İ taken
// for another name; names that differ folded together, scripts that
// look alike merged, a lone surrogate lost.
TEST(ReadingForm, NamesThatReadAlikeAreEqualAndOnlyThose)
{
    using valmorin::text::ReadingForm;
    const std::u16string alice = ReadingForm(u"alice");
    for (std::u16string_view same : {u"ALICE", u"Alice", u"\uFF41\uFF4C\uFF49\uFF43\uFF45", u"alice\u034F",
                                     u"alice\uFE0F", u"ali\u3164ce", u"alice\U000E0020", u"al\u00ADice"})
        EXPECT_EQ(ReadingForm(same), alice) << valmorin::text::Utf16ToUtf8(same);
    EXPECT_EQ(ReadingForm(u"Jos\u00E9"), ReadingForm(u"JOSE\u0301"));
    EXPECT_EQ(ReadingForm(u"\u00C9lodie"), ReadingForm(u"\u00E9LODIE"));
    EXPECT_EQ(ReadingForm(u"\u212Aarl"), ReadingForm(u"karl"));
    EXPECT_EQ(ReadingForm(u"O\u2019Brien"), ReadingForm(u"O'Brien"));
    EXPECT_EQ(ReadingForm(u"jean\u2010luc"), ReadingForm(u"Jean-Luc"));
    EXPECT_EQ(ReadingForm(u"jean\u2011luc"), ReadingForm(u"jean-luc"));
    EXPECT_EQ(ReadingForm(u"Jean  Dupont"), ReadingForm(u"jean dupont"));
    EXPECT_EQ(ReadingForm(u"Jean\u00A0Dupont"), ReadingForm(u"jean dupont"));
    EXPECT_EQ(ReadingForm(u"\u0130lker"), ReadingForm(u"ilker"));
    EXPECT_EQ(ReadingForm(u"\u0434\u043C\u0438\u0442\u0440\u0438\u0439"),
              ReadingForm(u"\u0414\u041C\u0418\u0422\u0420\u0418\u0419"));
    for (std::u16string_view other : {u"alicia", u"alic", u"\u0430lice", u"bob", u"Jose", u"ali ce", u"ali-ce"})
        EXPECT_NE(ReadingForm(other), alice) << valmorin::text::Utf16ToUtf8(other);
    EXPECT_NE(ReadingForm(u"Jos\u00E9"), ReadingForm(u"Jose"));
    EXPECT_EQ(ReadingForm(std::u16string(1, u'\xD800')).size(), 1u);
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

// The check without a conversion says what the conversion says, on random
// bytes drawn around the edges of UTF-8 (ASCII, continuation bytes, leads
// of every length, the bytes that begin overlong forms, surrogates and
// code points past U+10FFFF). Faults caught: the ASCII shortcut skipping
// a byte it should read, a lead taken for a whole sequence, a sequence
// cut by the end of the text read past it.
TEST(Utf8Check, SaysWhatTheConversionSays)
{
    constexpr unsigned char kBytes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                        0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFF};
    std::mt19937 random(20261209);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kBytes - 1), length(0, 8);
    int wellFormed = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string text(length(random), '\0');
        for (char& c : text) c = static_cast<char>(kBytes[pick(random)]);
        const bool expected = valmorin::text::Utf8ToUtf16(text).has_value();
        wellFormed += expected;
        ASSERT_EQ(valmorin::text::IsUtf8(text), expected) << ::testing::PrintToString(text);
    }
    EXPECT_GT(wellFormed, 1000) << "the draw hardly reaches well-formed texts";
}
