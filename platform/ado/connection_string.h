// Connection strings, read one way for everything that reads them (the
// providers, the masking of passwords and the data-source directory) and
// built one way by everything that makes them.
//
//   Provider=SQLOLEDB;Password="a;b";Pwd={x;y}};z};Extended Properties='DSN=q;PWD=s'
//
// Pairs are separated by ";". A value may be put in braces as ODBC writes
// them (a doubled "}" stands for one) or quoted with " or ' as ADO writes
// them (a doubled quote stands for one), and then holds ";" and "=" freely;
// an unterminated one runs to the end of the text. Blanks around keys and
// unquoted values do not count, and keys are compared without regard to
// ASCII case. A pair without "=" is no pair and is skipped. A key given
// twice is refused by the providers: drivers and ADO disagree on which of
// the two counts.
#pragma once

#include "valmorin/com/types.h"

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace valmorin::ado {

struct ConnectionPair {
    std::u16string key;      // without its outer blanks
    std::u16string value;    // unquoted, without its outer blanks
    std::size_t equalsAt;    // where the "=" after the key stands
    std::size_t valueFrom;   // where the value's text starts, quotes or braces included
    std::size_t valueTo;     // one past where it ends
    char16_t opener = u'\0'; // the quote or brace the value was written in, if any
};

std::vector<ConnectionPair> ParseConnectionString(std::u16string_view text);

// Appends ";<key>=<value>" to a connection string, written as With writes
// it: bare when it reads back as itself, which is how the ODBC drivers here
// want a plain name (they keep braces as part of it), else braced as ODBC
// writes it (each "}" doubled), so that whatever it holds (";", "=",
// braces) reads back as that one value.
VALMORIN_PLATFORM_API void AppendPair(std::u16string& text, std::u16string_view key, std::u16string_view value);

// The pairs of a connection string by key, for the providers; and a
// connection string built pair by pair:
//
//   ConnectionString().With(u"Provider", u"SQLite").With(u"Data Source", path).Text()
class VALMORIN_PLATFORM_API ConnectionString {
public:
    ConnectionString() = default;
    explicit ConnectionString(std::u16string_view text);
    // The connection string with the key's value set: each pair of that key
    // (compared without regard to ASCII case) keeps its place and takes the
    // value, or the pair is added at the end. The value is written to read
    // back as itself: as it is when it can be, else braced as ODBC writes
    // values (each "}" doubled), which the providers and the ODBC drivers
    // read alike. Throws std::invalid_argument for a key no text can hold
    // (empty, with ";" or "=" or outer blanks), and where a value left open
    // earlier in the text (an unterminated quote or brace) would take the
    // pair in.
    ConnectionString With(std::u16string_view key, std::u16string_view value) const;
    // Empty when the key is absent.
    std::u16string Get(std::u16string_view key) const;
    // The keys present, upper-cased.
    std::vector<std::u16string> Keys() const;
    // The text as given or as built; providers hand it on to a driver.
    const std::u16string& Text() const& { return m_text; }
    std::u16string Text() && { return std::move(m_text); }
    // The first key given more than once, as written; empty when none is.
    const std::u16string& RepeatedKey() const { return m_repeated; }

private:
    std::u16string m_text;
    std::map<std::u16string, std::u16string> m_values; // keys upper-cased
    std::u16string m_repeated;
};

// The text with the value of every password key replaced by asterisks:
// "Password", "Pwd" and every key ending in " Password" (such as
// "Jet OLEDB:Database Password"), also inside a value that is itself a
// connection string (such as Extended Properties, or an unterminated
// brace that swallows the rest).
VALMORIN_PLATFORM_API std::u16string MaskPasswords(std::u16string_view text);

// A message built from a connection string (a driver's complaint that
// quotes it, say) without its passwords: each password of the connection
// string, and the one given apart from it, is replaced wherever it stands,
// and so is every password pair the message itself spells.
VALMORIN_PLATFORM_API std::u16string MaskSecrets(std::u16string_view message, std::u16string_view connectionString,
                                                 std::u16string_view password = {});

} // namespace valmorin::ado
