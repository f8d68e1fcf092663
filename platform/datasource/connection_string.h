// The key=value pairs of an ADO or ODBC connection string, as the text
// spells them, so that a value can be found, and replaced, where it
// stands:
//
//   Provider=SQLOLEDB;Password="a;b";Pwd={x;y}};z};Extended Properties='DSN=q;PWD=s'
//
// Pairs are separated by ";". A value may be quoted with " or ' (a doubled
// quote inside stands for one) or put in braces (a doubled "}" stands for
// one), and then holds ";" and "=" freely. Blanks around keys and unquoted
// values do not count. A pair without "=" is no pair and is skipped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace datasource {

struct ConnectionPair {
    std::u16string key;       // without its outer blanks
    std::u16string value;     // unquoted, without its outer blanks
    std::size_t equalsAt;     // where the "=" after the key stands
    std::size_t valueFrom;    // where the value's text starts, quotes or braces included
    std::size_t valueTo;      // one past where it ends
    char16_t opener = u'\0';  // the quote or brace the value was written in, if any
};

std::vector<ConnectionPair> ParseConnectionString(std::u16string_view text);

// The text with the value of every password key replaced by asterisks:
// "Password", "Pwd" and every key ending in " Password" (such as
// "Jet OLEDB:Database Password"), also inside a value that is itself a
// connection string (such as Extended Properties).
std::u16string MaskPasswords(std::u16string_view text);

} // namespace datasource
