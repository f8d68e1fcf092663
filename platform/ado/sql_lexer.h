// Reads statement texts the way SQL does: quoted strings, quoted
// identifiers and comments are passed over whole.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ado {

struct LexedStatement {
    std::string text;               // UTF-8, national literals N'...' rewritten as '...'
    bool severalStatements = false; // something follows a top-level ';'
    bool holdsNul = false;          // a NUL unit anywhere in the text
    std::u16string firstKeyword;    // upper-cased
    // The same statement with each string literal replaced by a ? parameter,
    // and the literals' values in order, so that statements differing only
    // in their values share one prepared form.
    std::string parameterized;
    std::vector<std::string> literals;
    std::vector<std::size_t> placeholders; // offsets of the ? in parameterized
};

LexedStatement LexStatement(std::u16string_view sql);

// LexStatement for a provider that runs one statement per call: a text
// with a NUL (which C interfaces read as its end, dropping what follows)
// or with a second statement is refused whole, with source as the error's.
LexedStatement LexOneStatement(std::u16string_view sql, std::u16string_view source);
// The same into a statement lexed before, whose buffers are reused: a
// session that keeps one lexes without allocating once they are large enough.
void LexOneStatement(std::u16string_view sql, std::u16string_view source, LexedStatement& into);

// The shared form with its parameters numbered $1, $2, ... for databases
// that do not take ? markers.
std::string NumberedParameters(const LexedStatement& lexed);

// A SELECT with one more column ahead of the caller's: the row identity an
// updatable row set carries.
std::string WithLeadingColumn(const LexedStatement& lexed, std::string_view column, std::u16string_view source);

std::u16string QuoteIdentifier(std::u16string_view name);

} // namespace ado
