// Reads statement texts the way SQL does: quoted strings, quoted
// identifiers and comments are passed over whole.
#pragma once

#include "valmorin/com/types.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace valmorin::ado {

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
    // What the next statement lexed into these buffers is read against: the
    // text as given with the value of each literal left out (its quotes
    // kept), and where each value stood in it. The same for every statement
    // of one shape.
    std::u16string around;
    std::vector<std::size_t> valuesAt;
};

LexedStatement LexStatement(std::u16string_view sql);

// LexStatement for a provider that runs one statement per call, into a
// statement lexed before, whose buffers are reused (a session that keeps
// one lexes without allocating once they are large enough): a text with a
// NUL (which C interfaces read as its end, dropping what follows) or with a
// second statement is refused whole, with source as the error's. A
// statement that differs from the one before only in the values of its
// string literals is read against it: the text between the values is
// compared whole and only the values are read.
void LexOneStatement(std::u16string_view sql, std::u16string_view source, LexedStatement& into);

// The statements a session lexed last, each in buffers of its own, so that
// a session alternating between a few kinds of statement (a lookup, a count
// and an insert, say) reads each against the last of its kind. A statement
// of a kind not kept is lexed afresh in place of the kind kept longest.
class RecentStatements {
public:
    // LexOneStatement against the statements kept; valid until the next call.
    const LexedStatement& LexOne(std::u16string_view sql, std::u16string_view source);

private:
    std::array<LexedStatement, 4> m_kept;
    std::size_t m_replaced = 0; // where the next statement of a new kind goes
};

// The shared form with its parameters numbered $1, $2, ... for databases
// that do not take ? markers.
std::string NumberedParameters(const LexedStatement& lexed);

// A SELECT with one more column ahead of the caller's: the row identity an
// updatable row set carries.
std::string WithLeadingColumn(const LexedStatement& lexed, std::string_view column, std::u16string_view source);

VALMORIN_PLATFORM_API std::u16string QuoteIdentifier(std::u16string_view name);

// Where the text's parameter markers (?) stand, quoted runs and comments
// passed over as the lexer passes them.
std::vector<std::size_t> ParameterMarkers(std::u16string_view sql);

} // namespace valmorin::ado
