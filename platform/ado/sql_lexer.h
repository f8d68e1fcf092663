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
    std::u16string firstKeyword;    // upper-cased
    // The same statement with each string literal replaced by a ? parameter,
    // and the literals' values in order, so that statements differing only
    // in their values share one prepared form.
    std::string parameterized;
    std::vector<std::string> literals;
};

LexedStatement LexStatement(std::u16string_view sql);

} // namespace ado
