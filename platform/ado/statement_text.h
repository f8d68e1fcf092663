// What the providers read of a statement's text. The texts they are given
// are the component's own statements, their values apart as ? markers;
// nothing here reads a value.
#pragma once

#include "valmorin/com/types.h"

#include <string>
#include <string_view>
#include <vector>

namespace valmorin::ado {

// Where the text's ? markers stand; quoted runs and comments are passed
// over whole. Read when a statement is prepared, never on each run.
std::vector<std::size_t> ParameterMarkers(std::u16string_view sql);

// The text with its ? markers numbered $1, $2, ..., for databases that do
// not take ?.
std::u16string NumberedMarkers(std::u16string_view sql);

// The text's first word, upper-cased; blanks and comments before it are
// passed over.
std::u16string LeadingKeyword(std::u16string_view sql);

// A SELECT with one more column ahead of the caller's: the row identity an
// updatable row set carries. Any other statement is refused, source named
// as the error's.
std::u16string WithLeadingColumn(std::u16string_view sql, std::u16string_view column, std::u16string_view source);

// A text with a NUL is refused whole, source named as the error's: C
// interfaces read a NUL as the text's end and would run what stands before
// it.
void RefuseNul(std::u16string_view sql, std::u16string_view source);
// The failure of a text that holds a second statement after its first.
[[noreturn]] void RefuseSecondStatement(std::u16string_view source);

VALMORIN_PLATFORM_API std::u16string QuoteIdentifier(std::u16string_view name);

} // namespace valmorin::ado
