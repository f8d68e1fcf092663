// Reads statement texts the way SQL does: quoted strings, quoted
// identifiers and comments are passed over whole.
#pragma once

#include <string>
#include <string_view>

namespace ado {

struct LexedStatement {
    std::string text;               // UTF-8, national literals N'...' rewritten as '...'
    bool severalStatements = false; // something follows a top-level ';'
    std::u16string firstKeyword;    // upper-cased
};

LexedStatement LexStatement(std::u16string_view sql);

} // namespace ado
