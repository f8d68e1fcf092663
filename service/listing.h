// What the administration methods share: their statements with the
// caller's texts shown quoted, the escaping of texts put inside JSON strings, the
// {"list" : [...]} envelope of the listings, and the cutting of list
// arguments into items.
#pragma once

#include "valmorin/com/bstr.h"
#include "qmt/db/ado_statement.h"
#include "service/service_text.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Separates the items of a list argument: U+00A8 DIAERESIS, one UTF-16 unit.
inline constexpr char16_t ListSeparator = u'\u00A8';
// Separates the values of several input or output columns in one stored field.
inline constexpr char16_t ValueSeparator = u'|';

// Replaces every `from` by `to`, searching on after each inserted `to`, so
// inserted text is never searched again. Linear in the text's length.
void ReplaceAll(std::u16string& text, std::u16string_view from, std::u16string_view to);

// The statement of the shape with each of the caller's texts (NULL as
// empty, up to its first NUL) shown with its apostrophes doubled, in the
// shape's order.
template <const auto& Shape, typename... Texts>
qmt::AdoStatement QuotedStatement(Texts... texts)
{
    return qmt::AdoStatement::Of<Shape>(qmt::Doubled(TextOf(texts))...);
}

// Each double quote preceded by a backslash; nothing else is rewritten.
std::u16string EscapeJsonText(std::u16string text);

// Appends text to out with each backslash doubled and each double quote
// preceded by a backslash; with lineBreaks, CR and LF also become \u000d and
// \u000a. One pass over the text, as ReplaceAll applied in that order gives.
void AppendJsonEscaped(std::u16string& out, std::u16string_view text, bool lineBreaks);

// Cuts text at each separator. Empty items before or between non-empty ones
// stay; empty items after the last non-empty one are dropped, so a text of
// separators only gives no items. Items are not trimmed.
std::vector<std::u16string> SplitList(std::u16string_view text, char16_t separator);
// The same items as views of text, into items (emptied first).
void SplitListViews(std::u16string_view text, char16_t separator, std::vector<std::u16string_view>& items);

// Fills an item format whose conversions are %s and %d, each replaced by the
// next of values as it stands (numbers are passed already as decimal text).
void AppendItem(std::u16string& out, std::u16string_view format, std::initializer_list<std::u16string_view> values);

// {"list" : [ items joined by commas ]}. The text is gathered in blocks of
// fixed capacity and copied once into the result: a listing of many rows
// never re-copies what it holds, as one doubling string would at each growth.
class JsonListEnvelope {
public:
    JsonListEnvelope();
    // The text to append the next item to, the separating comma already in place.
    std::u16string& NextItem();
    // The closed listing as a new BSTR the caller owns.
    BSTR Close();

private:
    std::vector<std::u16string> m_blocks;
    bool m_empty = true;
};

// A 32-bit number as the decimal text a listing shows it with.
std::u16string Decimal(LONG value);

// A number read as the C runtime's _wtoi reads it: leading blanks, an
// optional sign, then digits up to the first other character; 0 without
// digits; held at the ends of the 32-bit range.
LONG ParseLeadingNumber(std::u16string_view text);
