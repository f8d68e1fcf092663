// The statement lexer, which decides what runs: a shared statement form,
// when there is one, must give back exactly the text with its literals put
// back, and the text that runs must never hold more statements than the
// statement as written.
#include "fuzz_check.h"
#include "platform/ado/sql_lexer.h"
#include "platform/text/utf.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

std::string Quoted(const std::string& literal)
{
    std::string quoted = "'";
    for (const char c : literal) {
        quoted += c;
        if (c == '\'') quoted += c;
    }
    return quoted + "'";
}

// A ? of the shared form stands for a literal exactly where the text has a
// quote: a ? that the text keeps is the text's own.
void CheckSharedForm(const ado::LexedStatement& lexed)
{
    if (lexed.parameterized.empty()) {
        FUZZ_CHECK(lexed.literals.empty());
        return;
    }
    std::string rebuilt;
    std::size_t next = 0;
    for (const char c : lexed.parameterized) {
        const bool literalHere = c == '?' && rebuilt.size() < lexed.text.size() && lexed.text[rebuilt.size()] == '\'';
        if (literalHere && next < lexed.literals.size())
            rebuilt += Quoted(lexed.literals[next++]);
        else
            rebuilt += c;
    }
    FUZZ_CHECK(next == lexed.literals.size());
    FUZZ_CHECK(rebuilt == lexed.text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::u16string sql(size / 2, u'\0');
    std::memcpy(sql.data(), data, sql.size() * 2);
    const ado::LexedStatement lexed = ado::LexStatement(sql);
    CheckSharedForm(lexed);
    if (!lexed.severalStatements) {
        if (const auto text = text::Utf8ToUtf16(lexed.text)) FUZZ_CHECK(!ado::LexStatement(*text).severalStatements);
    }
    return 0;
}
